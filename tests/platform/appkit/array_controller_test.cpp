#include "platform/appkit/array_controller.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::appkit::ArrayController;
using Key = ArrayController::Key;

struct Recorder {
    explicit Recorder(ArrayController& c) {
        c.addObserver(Key::selectedObjects, [this] { log.push_back("selection"); });
        c.addObserver(Key::arrangedObjects, [this] { log.push_back("arranged"); });
    }
    std::vector<std::string> log;
};

TEST(ArrayControllerTest, InsertedObjectsBecomeTheSelectionAndBothChangesAreAnnounced) {
    ArrayController controller;
    Recorder recorder(controller);
    auto a = std::make_shared<std::string>("a");
    auto b = std::make_shared<std::string>("b");
    controller.addObject(a);
    controller.insertObject(b, 0);
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"selection", "arranged", "selection", "arranged"}));
    EXPECT_EQ(controller.selectionIndexes(), std::set<std::size_t>{0});
    EXPECT_EQ(*controller.arrangedObjectsAs<std::string>(), (std::vector<std::shared_ptr<std::string>>{b, a}));

    controller.setSelectsInsertedObjects(false);
    controller.insertObject(std::make_shared<std::string>("c"), 0);
    EXPECT_EQ(controller.selectionIndexes(), std::set<std::size_t>{1});  // b moved along
    controller.addObjects({});
    EXPECT_EQ(recorder.log.size(), 6u);
}

TEST(ArrayControllerTest, MixedTypesCannotBeReadAsOneType) {
    ArrayController controller;
    controller.addObject(std::make_shared<std::string>("a"));
    controller.addObject(std::make_shared<int>(1));
    EXPECT_FALSE(controller.arrangedObjectsAs<std::string>());
    EXPECT_TRUE(controller.selectedObjectsAs<int>());
    EXPECT_EQ(controller.count(), 2u);
}

TEST(ArrayControllerTest, RemovalKeepsTheSelectionOnTheSameObjects) {
    ArrayController controller;
    auto a = std::make_shared<std::string>("a");
    auto b = std::make_shared<std::string>("b");
    auto c = std::make_shared<std::string>("c");
    controller.addObjects({ArrayController::Element::of(a), ArrayController::Element::of(b), ArrayController::Element::of(c)});
    controller.setSelectionIndexes({0, 2, 7});
    EXPECT_EQ(controller.selectionIndexes(), (std::set<std::size_t>{0, 2}));
    Recorder recorder(controller);
    controller.removeObjects({ArrayController::Element::of(a)});
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"selection", "arranged"}));
    EXPECT_EQ(*controller.selectedObjectsAs<std::string>(), std::vector<std::shared_ptr<std::string>>{c});
    controller.moveObject(1, 0);
    EXPECT_EQ(*controller.selectedObjectsAs<std::string>(), std::vector<std::shared_ptr<std::string>>{c});
    EXPECT_EQ(controller.selectionIndexes(), std::set<std::size_t>{0});
    // Moving an object to its own index still tells the observers of the list.
    recorder.log.clear();
    controller.moveObject(1, 1);
    EXPECT_EQ(std::count(recorder.log.begin(), recorder.log.end(), "arranged"), 1);
    EXPECT_EQ(*controller.arrangedObjectsAs<std::string>(), (std::vector<std::shared_ptr<std::string>>{c, b}));
    controller.setSelectedObjects({ArrayController::Element::of(b), ArrayController::Element::of(a)});
    EXPECT_EQ(controller.selectionIndexes(), std::set<std::size_t>{1});
    controller.removeAllObjects();
    EXPECT_TRUE(controller.selectedObjects().empty());
}

TEST(ArrayControllerTest, HandlersMayChangeTheControllerAndRemovedObserversAreNotCalled) {
    ArrayController controller;
    int calls = 0;
    ArrayController::Token second = 0;
    controller.addObserver(Key::arrangedObjects, [&] {
        ++calls;
        controller.removeObserver(second);
        if (controller.selectionIndexes().empty()) controller.setSelectionIndexes({0});
    });
    second = controller.addObserver(Key::arrangedObjects, [&] { ADD_FAILURE() << "removed before its turn"; });
    controller.setSelectsInsertedObjects(false);
    controller.addObject(std::make_shared<int>(3));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(controller.selectionIndexes(), std::set<std::size_t>{0});
}

}  // namespace
