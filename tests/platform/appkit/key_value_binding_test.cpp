#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/binding.hpp"
#include "platform/appkit/property_observable.hpp"
#include "platform/appkit/value_transformer.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using platform::appkit::ArrayController;
using platform::appkit::Bindings;
using platform::appkit::BoundValue;
using platform::appkit::KeyPathObservation;
using platform::appkit::KeyValue;
using platform::appkit::PropertyObservable;
using platform::appkit::ValueTransformer;

// A model object of the tests: any key holds any value, and a key named "child"
// holds another node.
class Node : public PropertyObservable {
public:
    KeyValue valueForKey(std::string_view key) const override {
        auto it = values.find(std::string(key));
        return it == values.end() ? KeyValue() : it->second;
    }
    bool setValueForKey(std::string_view key, const KeyValue& value) override {
        values[std::string(key)] = value;
        didChangeValueForKey(key);
        return true;
    }
    std::map<std::string, KeyValue> values;
};

std::shared_ptr<Node> node(double padding) {
    auto n = std::make_shared<Node>();
    n->values["padding"] = padding;
    return n;
}

TEST(KeyValueTest, ReadingsOfValuesFollowThePlatformRules) {
    struct Row {
        KeyValue value;
        bool isNumber;
        double asDouble;
        bool asBool;
        std::string asString;
    };
    const Row rows[] = {
        {KeyValue(2.5), true, 2.5, true, "2.5"},
        {KeyValue("3.5"), true, 3.5, true, "3.5"},
        {KeyValue("abc"), false, 0, false, "abc"},
        {KeyValue("4px"), false, 4, true, "4px"},
        {KeyValue(true), true, 1, true, "1"},
        {KeyValue(std::int64_t{-7}), true, -7, true, "-7"},
        {KeyValue(), false, 0, false, ""},
        {KeyValue::multipleValues(), false, 0, false, ""},
        {KeyValue(0.1f), true, static_cast<double>(0.1f), true, "0.10000000149011612"},
        // Exact, and never in exponent form.
        {KeyValue(400.0), true, 400, true, "400"},
        {KeyValue(240.0), true, 240, true, "240"},
        {KeyValue(1024.0 / 3), true, 1024.0 / 3, true, "341.3333333333333"},
        {KeyValue(1e21), true, 1e21, true, "1000000000000000000000"},
        {KeyValue(2.5e-7), true, 2.5e-7, true, "0.00000025"},
        {KeyValue(-0.0), true, 0, false, "0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.asString);
        EXPECT_EQ(row.value.isNumber(), row.isNumber);
        EXPECT_DOUBLE_EQ(row.value.doubleValue(), row.asDouble);
        EXPECT_EQ(row.value.boolValue(), row.asBool);
        EXPECT_EQ(row.value.stringValue(), row.asString);
    }
    EXPECT_FALSE(KeyValue(1.0) == KeyValue(std::int64_t{1}));  // kinds differ
    EXPECT_TRUE(KeyValue(KeyValue::IntegerSet{1, 2}) == KeyValue(KeyValue::IntegerSet{2, 1}));
}

TEST(KeyValueTest, SelectionGivesMarkersAndWritesEverySelectedObject) {
    auto controller = std::make_shared<ArrayController>();
    EXPECT_TRUE(valueForKeyPath(*controller, "selection.padding").isNoSelection());
    auto a = node(0.1), b = node(0.2), c = node(0.1);
    controller->addObjects({ArrayController::Element::of(a), ArrayController::Element::of(b),
                            ArrayController::Element::of(c)});
    struct Row {
        std::set<std::size_t> selection;
        KeyValue expected;
    };
    const Row rows[] = {
        {{0, 1}, KeyValue::multipleValues()},
        {{0, 2}, KeyValue(0.1)},
        {{1}, KeyValue(0.2)},
        {{}, KeyValue::noSelection()},
    };
    for (const auto& row : rows) {
        controller->setSelectionIndexes(row.selection);
        EXPECT_EQ(valueForKeyPath(*controller, "selection.padding"), row.expected) << row.selection.size();
    }
    controller->setSelectionIndexes({0, 1});
    ASSERT_TRUE(setValueForKeyPath(*controller, "selection.padding", 0.3));
    EXPECT_EQ(a->values["padding"], KeyValue(0.3));
    EXPECT_EQ(b->values["padding"], KeyValue(0.3));
    EXPECT_EQ(c->values["padding"], KeyValue(0.1));
    EXPECT_EQ(valueForKeyPath(*controller, "selection.padding"), KeyValue(0.3));

    ASSERT_TRUE(setValueForKeyPath(*controller, "arrangedObjects.zoom", 2.0));
    for (const auto& n : {a, b, c}) EXPECT_EQ(n->values["zoom"], KeyValue(2.0));

    EXPECT_EQ(controller->valueForKey("selectionIndex"), KeyValue(std::int64_t{0}));
    controller->setValueForKey("selectionIndex", std::int64_t{2});
    EXPECT_EQ(controller->selectionIndexes(), (std::set<std::size_t>{2}));
    controller->setValueForKey("selectionIndex", std::int64_t{-1});
    EXPECT_TRUE(controller->selectionIndexes().empty());
}

TEST(KeyValueTest, ObservedPathFollowsReplacedObjectsAndSelection) {
    auto controller = std::make_shared<ArrayController>();
    auto first = std::make_shared<Node>(), second = std::make_shared<Node>();
    auto oldChild = node(0.1), newChild = node(0.5);
    first->values["child"] = KeyValue(oldChild);
    second->values["child"] = KeyValue(node(0.9));
    controller->addObjects({ArrayController::Element::of(first), ArrayController::Element::of(second)});
    controller->setSelectionIndexes({0});

    int calls = 0;
    {
        KeyPathObservation observation(controller, "selection.child.padding", [&] { ++calls; });
        EXPECT_EQ(oldChild->observerCount("padding"), 1u);
        oldChild->setValueForKey("padding", 0.2);
        EXPECT_EQ(calls, 1);

        first->setValueForKey("child", KeyValue(newChild));  // intermediate object replaced
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(oldChild->observerCount("padding"), 0u);
        oldChild->setValueForKey("padding", 0.3);
        EXPECT_EQ(calls, 2);
        newChild->setValueForKey("padding", 0.4);
        EXPECT_EQ(calls, 3);

        controller->setSelectionIndexes({1});  // the selection moves on
        EXPECT_EQ(calls, 4);
        newChild->setValueForKey("padding", 0.6);
        EXPECT_EQ(calls, 4);
    }
    // Gone with its token: no observer stays behind anywhere on the path.
    EXPECT_EQ(controller->observerCount(), 0u);
    EXPECT_EQ(second->observerCount(), 0u);
    EXPECT_EQ(second->values["child"].object() ? static_cast<Node&>(*second->values["child"].object()).observerCount() : 9u,
              0u);
    second->setValueForKey("child", KeyValue(node(1)));
    EXPECT_EQ(calls, 4);
}

TEST(KeyValueTest, BindingShowsWritesAndReplacesWithoutPilingUp) {
    auto controller = std::make_shared<ArrayController>();
    auto a = node(0.1), b = node(0.2);
    a->values["hidden"] = false;
    b->values["hidden"] = false;
    controller->addObjects({ArrayController::Element::of(a), ArrayController::Element::of(b)});
    controller->setSelectionIndexes({0});

    std::vector<BoundValue> shown;
    auto record = [&](const BoundValue& v) { shown.push_back(v); };
    {
        Bindings bindings;
        for (int i = 0; i < 100; ++i) bindings.bind("value", controller, "selection.padding", {}, record);
        EXPECT_EQ(a->observerCount("padding"), 1u);
        EXPECT_EQ(controller->observerCount(), 1u);
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back().value, KeyValue(0.1));

        controller->setSelectionIndexes({0, 1});  // follows the selection
        EXPECT_TRUE(shown.back().value.isMultipleValues());
        EXPECT_TRUE(shown.back().editable);

        platform::appkit::BindingOptions options;
        options.multipleValuesPlaceholder = KeyValue("mixed");
        options.allowsEditingMultipleValuesSelection = false;
        bindings.bind("value", controller, "selection.padding", options, record);
        EXPECT_EQ(shown.back().value, KeyValue("mixed"));
        EXPECT_FALSE(shown.back().editable);

        ASSERT_TRUE(bindings.write("value", KeyValue("0.3")));  // text from a field
        EXPECT_EQ(a->values["padding"], KeyValue("0.3"));
        EXPECT_EQ(shown.back().value, KeyValue("0.3"));

        platform::appkit::BindingOptions negate;
        negate.valueTransformerName = std::string(platform::appkit::negateBooleanTransformerName);
        std::optional<bool> enabled;
        bindings.bind("enabled", controller, "selection.hidden", negate,
                      [&](const BoundValue& v) { enabled = v.value.boolValue(); });
        EXPECT_EQ(enabled, true);
        ASSERT_TRUE(bindings.write("enabled", false));  // reversed through the negation
        EXPECT_EQ(a->values["hidden"], KeyValue(true));
        EXPECT_EQ(enabled, false);

        auto info = bindings.infoForBinding("value");
        ASSERT_TRUE(info);
        EXPECT_EQ(info->observedKeyPath, "selection.padding");
        EXPECT_EQ(info->observedObject.lock(), controller);
        bindings.unbind("enabled");
        EXPECT_EQ(a->observerCount("hidden"), 0u);
    }
    const auto count = shown.size();
    EXPECT_EQ(a->observerCount(), 0u);
    EXPECT_EQ(controller->observerCount(), 0u);
    a->setValueForKey("padding", 0.7);
    controller->setSelectionIndexes({1});
    EXPECT_EQ(shown.size(), count);
}

TEST(KeyValueTest, TransformerRegistryByName) {
    auto negate = ValueTransformer::valueTransformerForName("NSNegateBoolean");
    ASSERT_TRUE(negate);
    EXPECT_EQ(negate->transformedValue(true), KeyValue(false));
    EXPECT_EQ(negate->transformedValue(KeyValue()), KeyValue(true));
    EXPECT_TRUE(negate->transformedValue(KeyValue::noSelection()).isNoSelection());
    EXPECT_FALSE(ValueTransformer::valueTransformerForName("NoSuchTransformer"));
    ValueTransformer::setValueTransformer(
        std::make_shared<platform::appkit::BlockValueTransformer>([](const KeyValue& v) { return v.doubleValue() * 2; }),
        "Double");
    EXPECT_EQ(ValueTransformer::valueTransformerForName("Double")->transformedValue(2.0), KeyValue(4.0));
    ValueTransformer::setValueTransformer(nullptr, "Double");
    EXPECT_FALSE(ValueTransformer::valueTransformerForName("Double"));
}

}  // namespace
