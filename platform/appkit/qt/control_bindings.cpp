#include "platform/appkit/qt/control_bindings.hpp"

#include "platform/appkit/qt/image_view.hpp"
#include "platform/appkit/qt/pop_up_button.hpp"
#include "platform/appkit/qt/small_controls.hpp"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>
#include <QSignalBlocker>
#include <QVariant>

namespace platform::appkit::qt {

namespace {

// The holder lives as a child object, so Qt destroys it (and so every observation)
// with the widget.
class BindingsHolder : public QObject {
public:
    explicit BindingsHolder(QObject* parent) : QObject(parent) { setObjectName(name()); }
    static QString name() { return QStringLiteral("gw-bindings"); }
    Bindings bindings;
};

std::string textFor(const BoundValue& shown, QLineEdit& field, const BindingOptions& options) {
    const auto& value = shown.value;
    if (value.isMultipleValues()) {
        field.setPlaceholderText(options.multipleValuesPlaceholder ? QString::fromStdString(options.multipleValuesPlaceholder->stringValue())
                                                                   : QString(multipleValuesText));
        return {};
    }
    if (value.isNoSelection()) {
        field.setPlaceholderText(QString(noSelectionText));
        return {};
    }
    field.setPlaceholderText({});
    // A number field shows what its formatter allows; text stays as it was typed.
    if (auto* numbers = dynamic_cast<NumberTextField*>(&field); numbers && value.isNumber() && !value.isString())
        return numbers->formatter().stringFromNumber(value.doubleValue());
    return value.stringValue();
}

}  // namespace

Bindings& bindingsOf(QWidget& widget) {
    auto* holder = widget.findChild<BindingsHolder*>(BindingsHolder::name(), Qt::FindDirectChildrenOnly);
    if (!holder) holder = new BindingsHolder(&widget);
    return holder->bindings;
}

void bindCustom(QWidget& widget, const std::string& name, const std::shared_ptr<KeyValueCoding>& object,
                std::string keyPath, BindingOptions options, Bindings::Setter setter) {
    bindingsOf(widget).bind(name, object, std::move(keyPath), std::move(options), std::move(setter));
}

void unbind(QWidget& widget, const std::string& name) { bindingsOf(widget).unbind(name); }

bool bind(QWidget& widget, const std::string& name, const std::shared_ptr<KeyValueCoding>& object,
          std::string keyPath, BindingOptions options) {
    auto& bindings = bindingsOf(widget);
    QPointer<QWidget> guard(&widget);
    // Signals are connected once per name: a renewed binding reuses them.
    const QByteArray connectedFlag = QByteArray("gw-connected-") + name.c_str();
    const bool connectOnce = !widget.property(connectedFlag.constData()).toBool();
    widget.setProperty(connectedFlag.constData(), true);
    auto writeBack = [&bindings, name](const KeyValue& value) { bindings.write(name, value); };

    if (name == "enabled" || name == "hidden") {
        const bool hidden = name == "hidden";
        bindings.bind(name, object, std::move(keyPath), std::move(options), [guard, hidden](const BoundValue& v) {
            if (!guard) return;
            if (hidden) {
                guard->setHidden(v.value.boolValue());
            } else {
                guard->setEnabled(v.value.boolValue());
            }
        });
        return true;
    }
    if (name == "image") {
        auto* view = dynamic_cast<ImageView*>(&widget);
        if (!view) return false;
        bindings.bind(name, object, std::move(keyPath), std::move(options), [view, guard](const BoundValue& v) {
            if (guard) view->setImage(v.value.image());
        });
        return true;
    }
    if (name == "selectedIndex") {
        if (auto* popUp = dynamic_cast<PopUpButton*>(&widget)) {
            bindings.bind(name, object, std::move(keyPath), std::move(options), [popUp, guard](const BoundValue& v) {
                if (!guard) return;
                QSignalBlocker block(popUp);
                popUp->selectItemAtIndex(v.value.isNumber() ? static_cast<int>(v.value.integerValue()) : -1);
            });
            if (connectOnce) QObject::connect(popUp, &QComboBox::activated, &widget,
                             [writeBack](int index) { writeBack(KeyValue(std::int64_t{index})); });
            return true;
        }
        if (auto* segments = dynamic_cast<SegmentedControl*>(&widget)) {
            bindings.bind(name, object, std::move(keyPath), std::move(options), [segments, guard](const BoundValue& v) {
                if (guard) segments->setSelectedSegment(v.value.isNumber() ? static_cast<int>(v.value.integerValue()) : -1);
            });
            segments->setBindingWriter(
                [segments, writeBack] { writeBack(KeyValue(std::int64_t{segments->selectedSegment()})); });
            return true;
        }
        return false;
    }
    if (name == "state") {
        auto* button = dynamic_cast<QAbstractButton*>(&widget);
        if (!button) return false;
        button->setCheckable(true);
        bindings.bind(name, object, std::move(keyPath), std::move(options), [button, guard](const BoundValue& v) {
            if (!guard) return;
            QSignalBlocker block(button);
            button->setChecked(v.value.boolValue());
        });
        if (connectOnce) QObject::connect(button, &QAbstractButton::clicked, &widget,
                         [writeBack](bool checked) { writeBack(KeyValue(checked)); });
        return true;
    }
    if (name != "value") return false;

    if (auto* slider = dynamic_cast<Slider*>(&widget)) {
        bindings.bind(name, object, std::move(keyPath), std::move(options), [slider, guard](const BoundValue& v) {
            if (!guard) return;
            slider->setDoubleValue(v.value.doubleValue());
            slider->setEnabled(v.editable);
        });
        slider->setBindingWriter([slider, writeBack] { writeBack(KeyValue(slider->doubleValue())); });
        return true;
    }
    if (auto* stepper = dynamic_cast<Stepper*>(&widget)) {
        bindings.bind(name, object, std::move(keyPath), std::move(options), [stepper, guard](const BoundValue& v) {
            if (!guard) return;
            stepper->setDoubleValue(v.value.doubleValue());
            stepper->setEnabled(v.editable);
        });
        stepper->setBindingWriter([stepper, writeBack] { writeBack(KeyValue(stepper->doubleValue())); });
        return true;
    }
    if (auto* well = dynamic_cast<ColorWell*>(&widget)) {
        bindings.bind(name, object, std::move(keyPath), std::move(options), [well, guard](const BoundValue& v) {
            if (!guard) return;
            well->setColor(v.value.color().value_or(graphics::Color::clear()));
            well->setEnabled(v.editable);
        });
        well->setBindingWriter([well, writeBack] { writeBack(KeyValue(well->color())); });
        return true;
    }
    if (auto* view = dynamic_cast<ImageView*>(&widget)) {
        bindings.bind(name, object, std::move(keyPath), std::move(options), [view, guard](const BoundValue& v) {
            if (guard) view->setImage(v.value.image());
        });
        return true;
    }
    if (auto* field = dynamic_cast<QLineEdit*>(&widget)) {
        const bool continuous = options.continuouslyUpdatesValue;
        BindingOptions kept = options;
        bindings.bind(name, object, std::move(keyPath), std::move(options), [field, guard, kept](const BoundValue& v) {
            if (!guard) return;
            QSignalBlocker block(field);
            field->setText(QString::fromStdString(textFor(v, *field, kept)));
            field->setReadOnly(!v.editable);
        });
        auto writeText = [field, writeBack] { writeBack(KeyValue(field->text().toStdString())); };
        if (!connectOnce) {
        } else if (continuous) {
            QObject::connect(field, &QLineEdit::textEdited, &widget, writeText);
        } else {
            // Leaving a field the user did not change writes nothing: what it shows may be
            // the model's number rounded by a formatter. Showing the model's value again
            // (setText) clears the mark.
            QObject::connect(field, &QLineEdit::editingFinished, &widget, [field, writeText] {
                if (field->isModified()) writeText();
            });
        }
        return true;
    }
    if (auto* button = dynamic_cast<QAbstractButton*>(&widget)) {
        return qt::bind(*button, "state", object, std::move(keyPath), std::move(options));
    }
    return false;
}

}  // namespace platform::appkit::qt
