// A picture file that does not decode completely is refused, whatever its format and
// wherever it was cut, with the kind of failure the application explains to users.
#include "platform/graphics/image.hpp"
#include "platform/graphics/image_io.hpp"
#include "support/picture_samples.hpp"

#include <gtest/gtest.h>

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;

TEST(TruncatedPictures, EveryFormatLoadsWholeAndIsRefusedWhenCutShort) {
    for (const auto& sample : samples::bitmapSamples()) {
        ASSERT_FALSE(sample.bytes.empty()) << sample.format;
        std::string error;
        EXPECT_TRUE(pg::Image::fromData(sample.bytes, &error)) << sample.format << ": " << error;
        for (const auto& [cut, bytes] : samples::truncations(sample.bytes)) {
            std::string why;
            auto problem = pg::PictureProblem::none;
            EXPECT_FALSE(pg::Image::fromData(bytes, &why, &problem)) << sample.format << " cut at " << cut;
            EXPECT_FALSE(why.empty()) << sample.format << " cut at " << cut;
            // What a user is told: cut short, or damaged where the decoder cannot tell.
            EXPECT_TRUE(problem == pg::PictureProblem::truncated || problem == pg::PictureProblem::damaged ||
                        (cut == "header only" && problem == pg::PictureProblem::notAPicture))
                << sample.format << " cut at " << cut << ": " << why << " (" << int(problem) << ")";
        }
    }
}

TEST(TruncatedPictures, TheReportedCaseOfAValidHeaderAndDataCutAfter300BytesIsRefused) {
    // A 1024 x 1024 PNG cut inside its data used to decode to flat grey.
    auto png = samples::savedWithPixbuf("png", 1024, 1024);
    ASSERT_GT(png.size(), 300u);
    png.resize(300);
    std::string why;
    auto problem = pg::PictureProblem::none;
    EXPECT_FALSE(pg::Image::fromData(png, &why, &problem));
    EXPECT_EQ(problem, pg::PictureProblem::truncated) << why;

    // A checksum that does not match is damage, not a picture.
    auto damaged = samples::savedWithPixbuf("png", 64, 48);
    damaged[40] ^= 0xFF;  // inside the first data chunk, under its CRC
    problem = pg::PictureProblem::none;
    EXPECT_FALSE(pg::Image::fromData(damaged, &why, &problem));
    EXPECT_NE(problem, pg::PictureProblem::none);
}

}  // namespace
