#include "app/foundation/layer_frame.hpp"

#include "app/foundation/decoding_error.hpp"
#include "platform/foundation/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using gw::LayerFrame;
using platform::graphics::Size;

class RecordingDelegate : public gw::LayerFrameDelegate {
public:
    void layerFrameDidChange(LayerFrame& frame) override {
        calls.push_back({frame.width(), frame.height(), frame.centerX(), frame.centerY()});
    }
    std::vector<std::array<double, 4>> calls;
};

TEST(LayerFrame, StartsAtThePicturesOwnSizeCentredInTheCanvas) {
    LayerFrame frame(Size{200, 100}, Size{400, 240});
    EXPECT_EQ(frame.width(), 200);
    EXPECT_EQ(frame.height(), 100);
    EXPECT_EQ(frame.centerX(), 200);
    EXPECT_EQ(frame.centerY(), 120);
    EXPECT_EQ(frame.widthToHeightRatio(), 0.5);
    EXPECT_EQ(frame.heightToWidthRatio(), 2);
    EXPECT_TRUE(frame.isAspectRatioLocked());
    EXPECT_FALSE(frame.isLocked());
    EXPECT_FALSE(frame.adjustingForAspectRatio());
    EXPECT_TRUE(frame.isCenteredInCanvas());

    LayerFrame canvas(Size{1280, 768});
    EXPECT_TRUE(canvas.isLocked());
    EXPECT_EQ(canvas.selectedPointSize(), (Size{1280, 768}));
    EXPECT_EQ(canvas.canvasSize(), (Size{1280, 768}));
}

TEST(LayerFrame, TheLockMakesTheOtherSideFollowAndTellsTheDelegateTwice) {
    LayerFrame frame(Size{200, 100}, Size{400, 240});
    auto delegate = std::make_shared<RecordingDelegate>();
    frame.setDelegate(delegate);

    frame.setWidth(100);
    EXPECT_EQ(frame.height(), 50);
    ASSERT_EQ(delegate->calls.size(), 2u);
    // First for the matching height, from inside the width change.
    EXPECT_EQ(delegate->calls[0][1], 50);
    EXPECT_EQ(frame.widthToHeightRatio(), 0.5);

    frame.setHeight(80);
    EXPECT_EQ(frame.width(), 160);

    frame.setIsAspectRatioLocked(false);
    frame.setWidth(30);
    EXPECT_EQ(frame.height(), 80);
    frame.setHeight(7);
    EXPECT_EQ(frame.width(), 30);

    frame.setIsAspectRatioLocked(true);
    EXPECT_EQ(frame.width(), 200);
    EXPECT_EQ(frame.height(), 100);
    EXPECT_EQ(frame.widthToHeightRatio(), 0.5);
}

TEST(LayerFrame, RecentringMovesBothAxesAndFalseDoesNothing) {
    LayerFrame frame(Size{200, 100}, Size{400, 240});
    auto delegate = std::make_shared<RecordingDelegate>();
    frame.setCenterX(201);
    EXPECT_FALSE(frame.isCenteredInCanvas());

    frame.setDelegate(delegate);
    frame.setIsCenteredInCanvas(false);
    EXPECT_EQ(frame.centerX(), 201);
    EXPECT_TRUE(delegate->calls.empty());

    frame.setIsCenteredInCanvas(true);
    EXPECT_TRUE(frame.isCenteredInCanvas());
    EXPECT_EQ(delegate->calls.size(), 2u);
}

TEST(LayerFrame, ADelegateThatIsGoneIsNotCalled) {
    LayerFrame frame(Size{10, 10}, Size{20, 20});
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        frame.setDelegate(delegate);
    }
    frame.setWidth(5);  // would crash through a dangling delegate
    EXPECT_EQ(frame.delegate(), nullptr);
}

TEST(LayerFrame, ObserversOfCentringHearCentreChanges) {
    LayerFrame frame(Size{10, 10}, Size{20, 20});
    std::vector<std::string> keys;
    frame.addObserver("isCenteredInCanvas", [&](const gw::PropertyChange& change) { keys.emplace_back(change.key); });
    frame.setCenterX(3);
    frame.setCenterY(4);
    frame.setWidth(8);
    EXPECT_EQ(keys, (std::vector<std::string>{"isCenteredInCanvas", "isCenteredInCanvas"}));
}

TEST(LayerFrame, ScalingRoundsToTheNearestHalfPoint) {
    auto scaledWidth = [](double width) {
        LayerFrame frame(Size{width, 10}, Size{100, 100});
        return frame.scaled(2).width;
    };
    EXPECT_EQ(scaledWidth(10.3), 20.5);
    EXPECT_EQ(scaledWidth(10.2), 20.5);
    EXPECT_EQ(scaledWidth(10.1), 20.0);

    LayerFrame frame(Size{200, 100}, Size{400, 240});
    auto scaled = frame.scaled(0.5);
    EXPECT_EQ(scaled.centerX, 100);
    EXPECT_EQ(scaled.centerY, 60);
    EXPECT_EQ(frame.width(), 200);  // unchanged
}

TEST(LayerFrame, ZeroSidesGiveFiniteRatios) {
    LayerFrame empty(Size{0, 0}, Size{400, 240});
    EXPECT_TRUE(std::isfinite(empty.widthToHeightRatio()));
    EXPECT_TRUE(std::isfinite(empty.heightToWidthRatio()));
    empty.setWidth(50);
    EXPECT_TRUE(std::isfinite(empty.height()));

    LayerFrame flat(Size{100, 0}, Size{400, 240});
    flat.setHeight(10);
    EXPECT_TRUE(std::isfinite(flat.width()));
    // Frames with finite numbers can always be written as JSON.
    EXPECT_NO_THROW(platform::foundation::json::serialize(flat.encode()));
}

TEST(LayerFrame, DebugDescriptionPrintsEveryValueWithADecimal) {
    LayerFrame frame(Size{200, 100}, Size{400, 240});
    EXPECT_EQ(frame.debugDescription(),
              "centerX:200.0, centerY:120.0,\nwidth:200.0, height:100.0,\nisCenteredInCanvas:true, "
              "originalSize:(200.0, 100.0) isLocked:false\ncanvasSize:(400.0, 240.0)");
}

TEST(LayerFrame, CodingKeepsStoredValuesAsTheyAreAndTellsNobody) {
    LayerFrame frame(Size{200, 100}, Size{400, 240});
    frame.setIsAspectRatioLocked(false);
    frame.setWidth(123.5);
    auto encoded = frame.encode();
    ASSERT_EQ(encoded.size(), 11u);
    EXPECT_TRUE(encoded["originalSize"].isArray());

    // Ratios that do not match the size survive decoding untouched.
    auto dict = *encoded.asDictionary();
    dict["widthToHeightRatio"] = platform::foundation::Value(3.0);
    auto text = platform::foundation::json::serialize(platform::foundation::Value(dict));
    auto decoded = LayerFrame::decode(platform::foundation::json::parse(text));
    EXPECT_EQ(decoded->width(), 123.5);
    EXPECT_EQ(decoded->height(), 100);
    EXPECT_EQ(decoded->widthToHeightRatio(), 3.0);
    EXPECT_FALSE(decoded->isAspectRatioLocked());
    EXPECT_EQ(decoded->canvasSize(), (Size{400, 240}));
    EXPECT_FALSE(decoded->isLocked());

    auto missing = dict;
    missing.erase("canvasSize");
    EXPECT_THROW(LayerFrame::decode(platform::foundation::Value(missing)), gw::DecodingError);
    auto mistyped = dict;
    mistyped["isLocked"] = platform::foundation::Value(1.5);
    EXPECT_THROW(LayerFrame::decode(platform::foundation::Value(mistyped)), gw::DecodingError);
}

}  // namespace
