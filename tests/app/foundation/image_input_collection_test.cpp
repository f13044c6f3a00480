#include "app/foundation/image_input_collection.hpp"

#include "picture_test_support.hpp"

#include <gtest/gtest.h>

namespace {

using gw::CollectionType;
using gw::ImageInput;
using gw::ImageInputCollection;
using gw::ImageInputPtr;
using platform::graphics::Size;
using Error = ImageInputCollection::ImageInputCollectionError;

class CollectionTest : public ::testing::Test {
protected:
    gwtest::ScopedSettings settings;

    static ImageInputPtr picture(int w, int h) {
        auto input = ImageInput::make();
        input->setImageWrapper(gw::ImageWrapper::make(w > 0 && h > 0 ? gwtest::makeImage(w, h)
                                                                       : platform::graphics::Image::make()));
        input->setImageName(std::to_string(w) + "x" + std::to_string(h));
        return input;
    }
    static std::string best(std::vector<ImageInputPtr> inputs, Size size) {
        auto chosen = gw::bestImageInput(inputs, size);
        return chosen ? chosen->imageName() : "none";
    }
    static Error::Case errorOf(const ImageInputCollection& collection) {
        try {
            collection.imageInput();
        } catch (const Error& e) {
            return e.errorCase();
        }
        ADD_FAILURE() << "no error";
        return Error::Case::empty;
    }
};

TEST_F(CollectionTest, TheCollectionTypeDecidesWhichPictureStandsForIt) {
    for (auto type : gw::allCollectionTypes) {
        EXPECT_EQ(errorOf(ImageInputCollection{{}, type}), Error::Case::empty);
    }
    std::vector<ImageInputPtr> three{picture(1, 1), picture(2, 2), picture(3, 3)};
    EXPECT_EQ(ImageInputCollection({three, CollectionType::single}).imageInput(Size{3, 3}), three[0]);
    EXPECT_EQ(ImageInputCollection({three, CollectionType::variants}).imageInput(), three[0]);
    EXPECT_EQ(ImageInputCollection({three, CollectionType::variants}).imageInput(Size{3, 3}), three[2]);
    EXPECT_EQ(ImageInputCollection({{three[1]}, CollectionType::batch}).imageInput(), three[1]);
    EXPECT_EQ(errorOf(ImageInputCollection{{three[0], three[1]}, CollectionType::batch}), Error::Case::tooMany);
}

TEST_F(CollectionTest, CollectionTypesReadOnlyTheirExactTextAndNumbers) {
    EXPECT_EQ(gw::collectionTypeFromString("variants"), CollectionType::variants);
    EXPECT_EQ(gw::collectionTypeFromString("single"), CollectionType::single);
    EXPECT_EQ(gw::collectionTypeFromString("batch"), CollectionType::batch);
    EXPECT_EQ(gw::collectionTypeFromString("Variants"), std::nullopt);
    EXPECT_EQ(gw::collectionTypeFromString(" single"), std::nullopt);
    EXPECT_EQ(gw::collectionTypeFromString(""), std::nullopt);
    EXPECT_EQ(gw::collectionTypeFromRawValue(2), CollectionType::batch);
    EXPECT_EQ(gw::collectionTypeFromRawValue(3), std::nullopt);
    EXPECT_EQ(gw::collectionTypeFromRawValue(-1), std::nullopt);
}

TEST_F(CollectionTest, ExactMatchWinsWhereverItStands) {
    EXPECT_EQ(best({picture(512, 512), picture(1024, 1024), picture(2048, 2048)}, Size{1024, 1024}), "1024x1024");
    EXPECT_EQ(best({picture(2048, 2048), picture(512, 512), picture(1024, 1024)}, Size{1024, 1024}), "1024x1024");
    EXPECT_EQ(best({}, Size{1, 1}), "none");
    EXPECT_EQ(best({picture(7, 3)}, Size{100, 100}), "7x3");
}

TEST_F(CollectionTest, RatioComesBeforeArea) {
    EXPECT_EQ(best({picture(200, 100), picture(100, 100)}, Size{180, 180}), "100x100");
    EXPECT_EQ(best({picture(1024, 1024), picture(120, 120)}, Size{180, 180}), "120x120");
}

TEST_F(CollectionTest, TiesGoToTheEarlierPicture) {
    EXPECT_EQ(best({picture(17, 17), picture(7, 7)}, Size{13, 13}), "17x17");
    EXPECT_EQ(best({picture(7, 7), picture(17, 17)}, Size{13, 13}), "7x7");
    EXPECT_EQ(best({picture(150, 100), picture(50, 100)}, Size{100, 100}), "150x100");
    EXPECT_EQ(best({picture(50, 100), picture(150, 100)}, Size{100, 100}), "50x100");
}

TEST_F(CollectionTest, PicturesWithoutPixelsNeverWinOverRealOnesAndNeverCrash) {
    EXPECT_EQ(best({picture(0, 0), picture(64, 64)}, Size{100, 100}), "64x64");
    EXPECT_EQ(best({picture(0, 0), picture(0, 0), picture(16, 8)}, Size{100, 100}), "16x8");
    EXPECT_EQ(best({picture(0, 0), picture(0, 0)}, Size{100, 100}), "0x0");
    // A target without a height has no ratio either.
    EXPECT_NE(best({picture(4, 4), picture(8, 8)}, Size{10, 0}), "none");
    EXPECT_EQ(ImageInputCollection({{picture(0, 0), picture(5, 5)}, CollectionType::variants})
                  .imageInput(Size{0, 0})
                  ->imageName(),
              "0x0");  // an exact match, however odd
}

}  // namespace
