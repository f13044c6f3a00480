#pragma once
// The moment a view controller, window or panel is about to be shown, without any window
// system: the window-toolkit layer calls willAppear() after its own will-appear work,
// naming the class of what appears (a demangled C++ name) and whether it only contains
// other content (tab, split and page controllers). Observers hear every appearance on
// the thread that reports it.
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace platform::appkit {

class ViewAppearance {
public:
    using Observer = std::function<void(const std::string& className, bool isContainer)>;
    using Token = std::uint64_t;

    ViewAppearance() = delete;

    static void willAppear(const std::string& className, bool isContainer);
    // The demangled name of the object's dynamic type (texts name the class themselves).
    template <typename T>
        requires(!std::is_convertible_v<const T&, std::string>)
    static void willAppear(const T& object, bool isContainer) {
        willAppear(demangledName(typeid(object)), isContainer);
    }

    static Token addObserver(Observer observer);
    static void removeObserver(Token token);

    // "gw::ui::SettingsWindow" for the type's mangled name; the raw name when it cannot
    // be demangled.
    static std::string demangledName(const std::type_info& type);
};

}  // namespace platform::appkit
