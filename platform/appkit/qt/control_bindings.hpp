#pragma once
// Bindings of widgets: the attribute names the panels use ("value", "enabled",
// "hidden", "image", "selectedIndex", "state") applied to our controls and to plain
// Qt buttons and line edits. The bindings belong to the widget and end with it;
// binding a name again replaces the earlier binding.
#include "platform/appkit/binding.hpp"

#include <QWidget>

#include <memory>
#include <string>

namespace platform::appkit::qt {

// The widget's own bindings (made on first use).
Bindings& bindingsOf(QWidget& widget);

// Text shown for a selection marker in a text control without a placeholder option.
inline constexpr const char* multipleValuesText = "Multiple Values";
inline constexpr const char* noSelectionText = "No Selection";

// Binds `name` of `widget` to `keyPath` of `object`. Unknown combinations of name and
// widget are refused (false, nothing bound). A custom setter serves any other widget
// attribute (for example a view's "padding").
bool bind(QWidget& widget, const std::string& name, const std::shared_ptr<KeyValueCoding>& object,
          std::string keyPath, BindingOptions options = {});
void bindCustom(QWidget& widget, const std::string& name, const std::shared_ptr<KeyValueCoding>& object,
                std::string keyPath, BindingOptions options, Bindings::Setter setter);
void unbind(QWidget& widget, const std::string& name);

}  // namespace platform::appkit::qt
