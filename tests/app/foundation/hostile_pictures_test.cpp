// Hostile and real-world picture files through the loader the application uses for
// every file: each hostile file is refused with the reason a user is shown, or loads
// as the picture it is; cut-short files of every format are refused; file names in
// any case load. Built twice: with GW_HEAVY_PICTURES the heavy hostile files run,
// outside the sanitizer stage, and the others not.
#include "app/foundation/image_input.hpp"

#include "app/foundation/image_categories.hpp"
#include "picture_test_support.hpp"
#include "support/machine_pace.hpp"
#include "support/picture_samples.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using gw::ImageInput;
using platform::foundation::URL;

#ifdef GW_HEAVY_PICTURES
constexpr bool kHeavy = true;
#else
constexpr bool kHeavy = false;
#endif
using platform::graphics::PictureProblem;
namespace samples = gwtest::samples;

#if defined(GW_ADDRESS_SANITIZER_BUILD) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// The processor time a picture's load may take, this process's and its drawing helpers': a
// bound only a reader gone through every frame or tile would reach (a hostile picture is
// refused or read in well under a second of it, the heaviest here in about 3 s), which a busy
// machine does not move. A hang is the test's time limit's to catch.
constexpr std::chrono::seconds kLoadProcessorBound{kSanitized ? 120 : 30};

class HostilePictures : public ::testing::Test {
protected:
    gwtest::ScopedSettings settings;
    gwtest::TempDir dir;

    URL write(const std::string& name, const samples::Bytes& bytes) {
        gwtest::writeFile(dir / name, std::string(bytes.begin(), bytes.end()));
        return URL::fileURL(dir / name, false);
    }

    // The picture, or none and the failure its load ended with.
    gw::ImageInputPtr load(const URL& url, std::optional<ImageInput::ImageInputError>& failure) {
        try {
            return ImageInput::load(url);
        } catch (const ImageInput::ImageInputError& e) {
            failure = e;
        }
        return nullptr;
    }

    // The failure a load ends with; none when it loaded.
    std::optional<ImageInput::ImageInputError> loadFailure(const URL& url) {
        std::optional<ImageInput::ImageInputError> failure;
        load(url, failure);
        return failure;
    }
};

TEST_F(HostilePictures, EachIsRefusedWithItsReasonOrLoadsAsWhatItShows) {
    for (const auto& hostile : samples::hostilePictures()) {
        if (hostile.heavy != kHeavy) continue;
        SCOPED_TRACE(hostile.name);
        const URL url = write(hostile.fileName, hostile.bytes);
        const auto before = gwtest::processorTimeWithChildren();
        std::optional<ImageInput::ImageInputError> failure;
        const auto input = load(url, failure);
        EXPECT_LT(gwtest::processorTimeWithChildren() - before, kLoadProcessorBound);
        if (hostile.outcome == samples::Outcome::refused) {
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->problem(), hostile.problem) << failure->what() << " / " << failure->detail();
            // The description is a sentence for users, with what was met when that is a
            // limit; the details name no internals.
            EXPECT_EQ(std::string(failure->what()), ImageInput::problemDescription(hostile.problem, failure->detail()));
            EXPECT_EQ(std::string(failure->what()).rfind(ImageInput::problemDescription(hostile.problem).substr(0, 30), 0),
                      0u)
                << failure->what();
            EXPECT_EQ(std::string(failure->what()).find("gw."), std::string::npos);
            EXPECT_FALSE(failure->detail().empty());
            continue;
        }
        ASSERT_TRUE(input) << failure->what() << " / " << failure->detail();
        const auto image = input->image();
        const auto size = gw::pixelSize(*image);
        EXPECT_GT(size.width, 0);
        if (hostile.outcome != samples::Outcome::redDisc) continue;
        // The mask leaves a red disc in the middle and nothing at the corners.
        const auto rendered = image->renderBitmap(100, 100);
        ASSERT_TRUE(rendered);
        const uint32_t centre = rendered->pixelAt(50, 50);  // premultiplied ARGB
        const uint32_t corner = rendered->pixelAt(3, 3);
        EXPECT_EQ(centre, 0xFFFF0000u);
        EXPECT_EQ(corner >> 24, 0u) << "the mask was dropped";
    }
}

#ifndef GW_HEAVY_PICTURES
TEST_F(HostilePictures, EveryFormatCutShortIsRefusedAsTruncatedOrDamaged) {
    for (const auto& sample : samples::bitmapSamples()) {
        // WebP and ICO are read by their content under any picture name.
        const std::string name = "whole." + (sample.extension == "webp" || sample.extension == "ico"
                                                  ? std::string("png") : sample.extension);
        EXPECT_FALSE(loadFailure(write(name, sample.bytes))) << sample.format;
        for (const auto& [cut, bytes] : samples::truncations(sample.bytes)) {
            const auto failure = loadFailure(write(name, bytes));
            ASSERT_TRUE(failure) << sample.format << " cut at " << cut;
            EXPECT_TRUE(failure->problem() == PictureProblem::truncated ||
                        failure->problem() == PictureProblem::damaged ||
                        failure->problem() == PictureProblem::notAPicture)
                << sample.format << " cut at " << cut << ": " << failure->detail();
        }
    }
    // A missing file and a folder under a picture's name say so.
    EXPECT_EQ(loadFailure(URL::fileURL(dir / "absent.png", false))->problem(), PictureProblem::missing);
    std::filesystem::create_directories(dir / "folder.png");
    EXPECT_EQ(loadFailure(URL::fileURL(dir / "folder.png", false))->problem(), PictureProblem::unreadable);
}

TEST_F(HostilePictures, UpperCaseExtensionsLoad) {
    const URL jpg = write("Photo.JPG", samples::savedWithPixbuf("jpeg", 64, 48));
    const URL png = write("Icon.PNG", samples::savedWithPixbuf("png", 32, 32));
    EXPECT_EQ(ImageInput::load(jpg)->imageName(), "Photo");
    EXPECT_EQ(ImageInput::load(png)->imageName(), "Icon");
}

#endif

}  // namespace
