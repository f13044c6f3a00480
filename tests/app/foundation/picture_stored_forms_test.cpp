#include "app/foundation/decoding_error.hpp"
#include "app/foundation/image_input.hpp"
#include "picture_test_support.hpp"
#include "platform/appkit/pasteboard.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/json.hpp"
#include "support/picture_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using gw::ImageInput;
using gw::UserDefaultsKey;
using platform::foundation::Dictionary;
using platform::foundation::URL;
using platform::foundation::Value;
using platform::graphics::Size;
namespace json = platform::foundation::json;

class StoredFormsTest : public ::testing::Test {
protected:
    gwtest::ScopedSettings settings;
    gwtest::TempDir dir;

    gw::ImageInputPtr loadPng(const std::string& name, int w, int h) {
        gwtest::writePng(dir / name, w, h);
        return ImageInput::load(URL::fileURL(dir / name, false));
    }
    Dictionary jsonObject(const ImageInput& input) { return *json::parse(input.jsonString()).asDictionary(); }
};

TEST_F(StoredFormsTest, JSONRoundTripKeepsEverySetting) {
    auto input = loadPng("My Icon@3x.png", 300, 150);
    input->setIsAspectRatioLocked(false);
    input->setAssetPointWidth(100);
    input->setAssetPointHeight(40);
    input->setImageName("Renamed");
    input->setZoom(1.25);
    input->setPadding(0.125);
    input->setDeviceTypes({gw::DeviceType::ipad, gw::DeviceType::watch});
    input->setScaleType(gw::ScaleType::aspectFill);
    auto frame = gw::LayerFrame::make(Size{300, 150}, Size{400, 240});
    frame->setCenterX(10);
    input->setTvOSAppIconlayerFrame(frame);
    input->setTvOSLeaderboardLayerFrame(gw::LayerFrame::make(Size{30, 15}, Size{659, 371}));

    auto read = ImageInput::fromJSONString(input->jsonString());
    EXPECT_EQ(read->id(), input->id());
    EXPECT_EQ(read->imageURL(), input->imageURL());
    EXPECT_EQ(read->imageName(), "Renamed");
    EXPECT_EQ(read->selectedPointSize(), (Size{100, 40}));
    EXPECT_FALSE(read->isAspectRatioLocked());
    EXPECT_EQ(read->zoom(), 1.25);
    EXPECT_EQ(read->padding(), 0.125);
    EXPECT_EQ(read->deviceTypes(), input->deviceTypes());
    EXPECT_EQ(read->scaleType(), gw::ScaleType::aspectFill);
    EXPECT_EQ(read->widthToHeightRatio(), input->widthToHeightRatio());
    EXPECT_EQ(read->heightToWidthRatio(), input->heightToWidthRatio());
    EXPECT_EQ(read->adjustingForAspectRatio(), input->adjustingForAspectRatio());
    ASSERT_TRUE(read->tvOSAppIconlayerFrame());
    EXPECT_EQ(read->tvOSAppIconlayerFrame()->debugDescription(), frame->debugDescription());
    ASSERT_TRUE(read->tvOSLeaderboardLayerFrame());
    EXPECT_EQ(read->tvOSLeaderboardLayerFrame()->canvasSize(), (Size{659, 371}));
    EXPECT_EQ(read->imageWrapper()->size(), (Size{300, 150}));
    EXPECT_FALSE(read->isVector());
    // The same settings write the same JSON again.
    EXPECT_EQ(read->jsonString(), input->jsonString());
}

TEST_F(StoredFormsTest, OptionalKeysAreLeftOutAndRequiredOnesEnforced) {
    auto plain = ImageInput::make();
    plain->setImageWrapper(gw::ImageWrapper::make(gwtest::makeImage(8, 8)));
    auto object = jsonObject(*plain);
    EXPECT_EQ(object.size(), 13u);
    EXPECT_FALSE(object.contains("imageURL"));
    EXPECT_TRUE(object["scaleType"].isInteger());
    EXPECT_TRUE(object["imageWrapper"]["image"].isString());

    auto full = loadPng("full.png", 8, 8);
    full->setTvOSAppIconlayerFrame(gw::LayerFrame::make(Size{8, 8}, Size{16, 16}));
    full->setTvOSLeaderboardLayerFrame(gw::LayerFrame::make(Size{8, 8}, Size{16, 16}));
    EXPECT_EQ(jsonObject(*full).size(), 16u);

    auto without = [&](std::string key) {
        auto copy = object;
        copy.erase(key);
        return Value(copy);
    };
    EXPECT_FALSE(ImageInput::decodeJSON(without("imageURL"))->imageURL());
    EXPECT_THROW(ImageInput::decodeJSON(without("zoom")), gw::DecodingError);
    EXPECT_THROW(ImageInput::decodeJSON(without("imageWrapper")), gw::DecodingError);

    auto with = [&](std::string key, Value value) {
        auto copy = object;
        copy[key] = std::move(value);
        return Value(copy);
    };
    EXPECT_THROW(ImageInput::decodeJSON(with("scaleType", 3)), gw::DecodingError);
    EXPECT_THROW(ImageInput::decodeJSON(with("deviceTypes", Value::array({0, 6}))), gw::DecodingError);
    EXPECT_THROW(ImageInput::decodeJSON(with("zoom", "big")), gw::DecodingError);
    EXPECT_THROW(ImageInput::decodeJSON(with("imageWrapper", Value::dict({{"image", "@@@"}}))), gw::DecodingError);
    EXPECT_THROW(ImageInput::decodeJSON(with("imageWrapper", Value::dict({{"image", "AAAA"}}))),
                 gw::ImageWrapper::StorageError);
    EXPECT_THROW(ImageInput::fromJSONString("{\"id\": "), gw::DecodingError);
    // Numbers too large to be finite never become sizes.
    auto huge = json::serialize(Value(object));
    auto at = huge.find("\"zoom\":1.0");
    ASSERT_NE(at, std::string::npos);
    huge.replace(at, 10, "\"zoom\":1e999");
    EXPECT_THROW(ImageInput::fromJSONString(huge), gw::DecodingError);
}

TEST_F(StoredFormsTest, JSONReadsValuesAsStoredWithoutTheLock) {
    auto input = loadPng("stored.png", 300, 300);
    input->setIsAspectRatioLocked(false);
    input->setAssetPointWidth(100);
    input->setAssetPointHeight(40);
    auto object = jsonObject(*input);
    object["isAspectRatioLocked"] = true;
    auto read = ImageInput::decodeJSON(Value(object));
    EXPECT_EQ(read->selectedPointSize(), (Size{100, 40}));
    EXPECT_TRUE(read->isAspectRatioLocked());
}

TEST_F(StoredFormsTest, ANameFromAPasteIsMadeSafe) {
    auto input = loadPng("safe.png", 4, 4);
    auto object = jsonObject(*input);
    object["imageName"] = "../../outside";
    auto read = ImageInput::decodeJSON(Value(object));
    EXPECT_EQ(read->imageName().find('/'), std::string::npos);
    object["imageName"] = "..";
    EXPECT_NE(ImageInput::decodeJSON(Value(object))->imageName(), "..");
}

TEST_F(StoredFormsTest, KeyedArchiveRebuildsThePictureFromItsPixels) {
    auto input = loadPng("Archived.png", 300, 300);
    input->setIsAspectRatioLocked(false);
    input->setAssetPointWidth(100);
    input->setAssetPointHeight(40);
    input->setZoom(0.5);
    input->setImageName("Kept");
    settings.set(UserDefaultsKey::aspectRatioLocked, true);

    auto read = ImageInput::unarchive(input->archivedData());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->id(), input->id());
    EXPECT_EQ(read->imageName(), "Kept");
    EXPECT_EQ(read->imageURL(), input->imageURL());
    EXPECT_EQ(read->zoom(), 0.5);
    // The point size follows the pixels, not what was stored.
    EXPECT_EQ(read->selectedPointSize(), (Size{100, 100}));
    // Reading a picture with the lock off switches the setting off.
    EXPECT_FALSE(settings.boolFor(UserDefaultsKey::aspectRatioLocked));
    // A new image object: not equal to the one it was written from.
    EXPECT_FALSE(read->isEqual(*input));

    EXPECT_EQ(ImageInput::unarchive(platform::foundation::dataFromString("not an archive")), nullptr);
    EXPECT_EQ(ImageInput::unarchive({}), nullptr);
}

// The bytes a picture's JSON form stores for its image.
std::vector<std::uint8_t> storedImageBytes(const ImageInput& input) {
    const auto form = input.encodeJSON();
    return *platform::foundation::base64Decoded(*form.get("imageWrapper").get("image").asString());
}

// The premultiplied pixel words of a picture, read row by row.
std::vector<std::uint32_t> pixelWords(const ImageInput& input) {
    const auto bitmap = input.imageWrapper()->image()->renderedBitmap()->bitmap();
    std::vector<std::uint32_t> words;
    for (int y = 0; y < bitmap->height(); ++y) {
        for (int x = 0; x < bitmap->width(); ++x) words.push_back(bitmap->pixelAt(x, y));
    }
    return words;
}

TEST_F(StoredFormsTest, APictureIsStoredAsTheBytesItWasReadFromWhileTheyHoldItCompactly) {
    namespace samples = gwtest::samples;
    struct Case {
        const char* name;
        samples::Bytes bytes;
        bool storedAsRead;  // else encoded anew, as PNG
        bool changedAfterLoading = false;
    };
    const std::vector<Case> cases = {
        {"photo.jpg", samples::savedWithPixbuf("jpeg", 400, 300), true},
        // Raw pixels: encoding them is smaller.
        {"raw.bmp", samples::savedWithPixbuf("bmp", 400, 300), false},
        // What the file holds now is not the picture that was read.
        {"changed.jpg", samples::savedWithPixbuf("jpeg", 400, 300), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.bytes.empty());
        gwtest::writeBytes(dir / c.name, c.bytes);
        auto input = ImageInput::load(URL::fileURL(dir / c.name, false));
        if (c.changedAfterLoading) gwtest::writeBytes(dir / c.name, samples::savedWithPixbuf("jpeg", 401, 300));
        const auto stored = storedImageBytes(*input);
        if (c.storedAsRead) {
            EXPECT_EQ(stored, c.bytes);
        } else {
            ASSERT_GE(stored.size(), 8u);
            EXPECT_EQ(std::string(stored.begin() + 1, stored.begin() + 4), "PNG");
        }
        // Read back, it is the same picture, and it is stored again as those same bytes,
        // also once its pixels were let go and read again from them.
        auto restored = ImageInput::fromJSONString(input->jsonString());
        EXPECT_EQ(pixelWords(*restored), pixelWords(*input));
        EXPECT_EQ(storedImageBytes(*restored), stored);
        EXPECT_TRUE(restored->releasePixels());
        EXPECT_EQ(pixelWords(*restored), pixelWords(*input));
    }
}

TEST_F(StoredFormsTest, PasteboardWriterAndReaderAgree) {
    auto input = loadPng("Pasted.png", 64, 32);
    input->setScaleType(gw::ScaleType::aspectFit);

    auto& board = platform::appkit::Pasteboard::withName("stored-forms-test");
    board.clearContents();
    ASSERT_TRUE(board.writeObjects({input.get()}));
    EXPECT_EQ(board.types(), std::vector<std::string>{"com.norvane.image-input"});
    ASSERT_EQ(board.availableTypeFromArray(ImageInput::readableTypesForPasteboard()), "com.norvane.image-input");

    auto data = board.dataForType("com.norvane.image-input");
    ASSERT_TRUE(data);
    auto read = ImageInput::fromPasteboardPropertyList(*data, "com.norvane.image-input");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->id(), input->id());
    EXPECT_EQ(read->imageName(), "Pasted");
    EXPECT_EQ(read->scaleType(), gw::ScaleType::aspectFit);
    EXPECT_EQ(read->imageWrapper()->size(), (Size{64, 32}));

    // The windows' own readers unarchive the data with the keyed unarchiver.
    auto unarchived = platform::foundation::KeyedUnarchiver::unarchiveObject<ImageInput>(*data);
    EXPECT_EQ(unarchived->id(), input->id());

    // The bare JSON form is read as well.
    auto fromJson = ImageInput::fromPasteboardPropertyList(platform::foundation::dataFromString(input->jsonString()),
                                                           "com.norvane.image-input");
    ASSERT_TRUE(fromJson);
    EXPECT_EQ(fromJson->id(), input->id());

    EXPECT_EQ(input->pasteboardPropertyListForType(platform::appkit::pasteboardTypePNG), std::nullopt);
    EXPECT_EQ(input->pasteboardPropertyListForType(platform::appkit::pasteboardTypeFileURL), std::nullopt);
    EXPECT_EQ(ImageInput::fromPasteboardPropertyList(*data, "public.png"), nullptr);
    EXPECT_EQ(ImageInput::fromPasteboardPropertyList(platform::foundation::dataFromString("{}"),
                                                     "com.norvane.image-input"),
              nullptr);
}

TEST_F(StoredFormsTest, APictureWithoutStorableImageCannotBeWritten) {
    auto input = ImageInput::make();
    EXPECT_THROW(input->jsonString(), gw::ImageWrapper::StorageError);
    EXPECT_EQ(input->pasteboardPropertyListForType("com.norvane.image-input"), std::nullopt);
    platform::appkit::Pasteboard board;
    EXPECT_FALSE(board.writeObjects({input.get()}));
}

TEST_F(StoredFormsTest, EqualityFollowsTheSharedImage) {
    auto a = loadPng("same.png", 4, 4);
    auto b = ImageInput::load(URL::fileURL(dir / "same.png", false));
    EXPECT_FALSE(a->isEqual(*b));

    auto copy = ImageInput::make();
    copy->copyValues(*a);
    EXPECT_TRUE(copy->isEqual(*a));
    EXPECT_EQ(copy->hash(), a->hash());
    EXPECT_EQ(copy->id(), a->id());
    EXPECT_EQ(copy->imageName(), "same");
    EXPECT_TRUE(copy->imageNameIsFileName());
}

}  // namespace
