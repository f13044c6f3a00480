// The memory budget a conversion admits its work against, and the estimates work asks
// it for: what waits and what goes first, which pictures' pixels are let go and when,
// what a file's first bytes say it will take to read, and that a picture encoded
// straight from its source's pixels is the picture drawing would have made.
#include "app/engine/memory_budget.hpp"
#include "app/engine/picture_estimates.hpp"

#include "app/foundation/image_operations.hpp"
#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/png_codec.hpp"
#include "support/picture_samples.hpp"
#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <thread>

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using gw::MemoryBudget;
using namespace std::chrono_literals;

// Long enough for a loaded machine under a sanitizer to admit what may go; what must
// wait is only ever checked after a short while, so a slow machine cannot fail it.
constexpr auto kAdmitted = 30s;
constexpr auto kStillWaiting = 150ms;

constexpr int kSide = 16;
constexpr std::uint64_t kPixels = kSide * kSide * 4;

// A picture whose pixels can be let go and read again from its bytes; its pixels are in
// memory when made.
pg::ImagePtr picture(unsigned seed) {
    std::vector<std::uint8_t> argb(kPixels);
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < argb.size(); i += 4) {
        const std::uint32_t word = 0xFF000000u | (rng() & 0xFFFFFFu);
        std::memcpy(&argb[i], &word, 4);
    }
    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(
        pg::encodePng({argb.data(), kSide, kSide, kSide * 4}, false));
    auto image = pg::Image::fromData(*bytes);
    image->keepEncodedBytes(bytes);
    return image;
}

bool hasPixels(const pg::ImagePtr& image) {
    return std::static_pointer_cast<pg::BitmapRep>(image->representations().front())->hasPixels();
}

// An admission made on a thread of its own, to be waited for.
struct Pending {
    std::future<MemoryBudget::Admission> admission;
    bool admitted(std::chrono::milliseconds within) const {
        return admission.wait_for(within) == std::future_status::ready;
    }
};

// Admitted only once `release` gives room back: still waiting a while before, admitted after.
MemoryBudget::Admission admittedOnlyAfter(Pending& pending, const std::function<void()>& release) {
    EXPECT_FALSE(pending.admitted(kStillWaiting));
    release();
    EXPECT_TRUE(pending.admitted(kAdmitted));
    return pending.admission.get();
}

Pending admitLater(MemoryBudget& budget, std::uint64_t bytes, std::vector<MemoryBudget::PictureUse> pictures = {},
                   std::function<bool()> stop = {}) {
    return {std::async(std::launch::async, [&budget, bytes, pictures, stop] {
        return budget.admit(bytes, pictures, stop);
    })};
}

}  // namespace

TEST(MemoryBudget, WorkWaitsUntilItFitsAndWorkLargerThanTheBudgetRunsAlone) {
    MemoryBudget budget(1000);
    auto first = budget.admit(600);
    ASSERT_TRUE(first);
    EXPECT_EQ(budget.held(), 600u);

    auto second = admitLater(budget, 600);
    auto secondAdmission = admittedOnlyAfter(second, [&] { first = {}; });
    EXPECT_EQ(budget.held(), 600u);

    // More than there is: it waits until nothing else runs, then nothing runs beside it.
    auto huge = admitLater(budget, 5000);
    auto hugeAdmission = admittedOnlyAfter(huge, [&] { secondAdmission = {}; });
    auto small = admitLater(budget, 10);
    admittedOnlyAfter(small, [&] { hugeAdmission = {}; });
    EXPECT_EQ(budget.held(), 0u);
}

TEST(MemoryBudget, APictureCountsOnceHoweverManyDrawItAndWhatReadingItTookIsGivenBack) {
    MemoryBudget budget(100000);
    const auto image = picture(1);
    image->releasePixels();
    ASSERT_FALSE(hasPixels(image));

    auto first = budget.admit(10, {{image, 500}});
    EXPECT_EQ(budget.held(), 10 + kPixels + 500);
    std::static_pointer_cast<pg::BitmapRep>(image->representations().front())->bitmap();
    first.picturesRead();
    EXPECT_EQ(budget.held(), 10 + kPixels);
    // Shown twice in one work, and drawn by other work meanwhile: still once.
    auto second = budget.admit(20, {{image, 500}, {image, 700}});
    EXPECT_EQ(budget.held(), 30 + kPixels);
    first = {};
    second = {};
    // Nobody draws it now, but its pixels are in memory until the room is needed.
    EXPECT_EQ(budget.held(), kPixels);
    EXPECT_EQ(budget.picturesHeld(), 1u);
    EXPECT_TRUE(hasPixels(image));

    budget.letGo(image);
    EXPECT_FALSE(hasPixels(image));
    EXPECT_EQ(budget.held(), 0u);
    EXPECT_EQ(budget.picturesHeld(), 0u);
}

TEST(MemoryBudget, PicturesNobodyDrawsAreLetGoOldestFirstAndThoseStillToBeDrawnOnlyWhenNothingRuns) {
    MemoryBudget budget(3 * kPixels);
    const auto older = picture(1), newer = picture(2), awaited = picture(3);
    for (const auto& image : {older, newer, awaited}) budget.admit(0, {{image, 0}});
    ASSERT_EQ(budget.held(), 3 * kPixels);
    const auto expectation = budget.expect(awaited);

    // Room for one picture's worth: the oldest goes, and only it.
    auto running = budget.admit(kPixels / 2);
    EXPECT_FALSE(hasPixels(older));
    EXPECT_TRUE(hasPixels(newer));
    EXPECT_TRUE(hasPixels(awaited));
    auto more = budget.admit(kPixels);
    EXPECT_FALSE(hasPixels(newer));
    EXPECT_TRUE(hasPixels(awaited));

    // The picture work to come will draw stays while anything runs.
    auto waiting = admitLater(budget, 2 * kPixels + kPixels / 2);
    EXPECT_FALSE(waiting.admitted(kStillWaiting));
    EXPECT_TRUE(hasPixels(awaited));
    running = {};
    more = {};
    ASSERT_TRUE(waiting.admitted(kAdmitted));
    EXPECT_FALSE(hasPixels(awaited));
    // Let go, it is read again when drawn.
    EXPECT_EQ(std::static_pointer_cast<pg::BitmapRep>(awaited->representations().front())->bitmap()->width(), kSide);
}

TEST(MemoryBudget, ReadersWaitTheirTurnWhileWorkOnPicturesInMemoryGoesOn) {
    MemoryBudget budget(4000);
    const auto first = picture(1), second = picture(2), inMemory = picture(3);
    first->releasePixels();
    second->releasePixels();
    auto drawing = budget.admit(0, {{inMemory, 0}});
    auto running = budget.admit(2900 - kPixels);  // 1100 left

    // The first reader needs more than is left; the second would fit, but reading is
    // done in turn, so that a large picture is not passed over again and again.
    auto firstReader = admitLater(budget, 900, {{first, 0}});
    EXPECT_FALSE(firstReader.admitted(kStillWaiting));
    auto secondReader = admitLater(budget, 0, {{second, 0}});
    EXPECT_FALSE(secondReader.admitted(kStillWaiting));
    // Work that reads nothing goes on.
    EXPECT_TRUE(budget.admit(50, {{inMemory, 0}}));

    running = {};
    ASSERT_TRUE(firstReader.admitted(kAdmitted));
    ASSERT_TRUE(secondReader.admitted(kAdmitted));
}

TEST(MemoryBudget, AStoppedWaitEndsEmptyAndLetsTheNextReaderGo) {
    MemoryBudget budget(kPixels);
    auto running = budget.admit(kPixels);
    std::atomic<bool> stop{false};
    const auto image = picture(1), other = picture(2);
    image->releasePixels();
    other->releasePixels();
    auto stopped = admitLater(budget, 0, {{image, 0}}, [&] { return stop.load(); });
    auto next = admitLater(budget, 0, {{other, 0}});
    EXPECT_FALSE(admittedOnlyAfter(stopped, [&] { stop = true; }));
    EXPECT_TRUE(admittedOnlyAfter(next, [&] { running = {}; }));
}

TEST(MemoryBudget, PixelsJustReadAreKeptOnlyWhereThereIsRoomAndNeverLetGoWhileDrawn) {
    MemoryBudget budget(2 * kPixels + 100);
    const auto first = picture(1), second = picture(2), third = picture(3);
    {
        const auto reading = budget.admit(2 * kPixels);
        EXPECT_TRUE(budget.keepIfRoom(first, reading));
    }
    {
        const auto reading = budget.admit(kPixels);
        EXPECT_TRUE(budget.keepIfRoom(second, reading));
    }
    {
        const auto reading = budget.admit(0);
        EXPECT_FALSE(budget.keepIfRoom(third, reading));
    }
    EXPECT_EQ(budget.held(), 2 * kPixels);

    const auto drawing = budget.admit(0, {{first, 0}});
    budget.letGo(first);
    EXPECT_TRUE(hasPixels(first));
    budget.letGo(second);
    EXPECT_FALSE(hasPixels(second));
    EXPECT_EQ(budget.held(), kPixels);
}

// --- estimates ---------------------------------------------------------------------

TEST(PictureEstimates, AFilesFirstBytesTellItsPixelSizeInEveryFormatThatSaysIt) {
    for (const auto& sample : samples::bitmapSamples()) {
        SCOPED_TRACE(sample.format);
        ASSERT_FALSE(sample.bytes.empty());
        const auto size = gw::declaredPixelSize(sample.bytes);
        if (sample.format == "ico") {
            EXPECT_FALSE(size);
            continue;
        }
        ASSERT_TRUE(size);
        EXPECT_EQ(size->width, 64);
        EXPECT_EQ(size->height, 48);
    }
    const auto lossy = samples::savedWithPixbuf("webp", 70, 30, {{"quality", "80"}});
    ASSERT_TRUE(gw::declaredPixelSize(lossy));
    EXPECT_EQ(gw::declaredPixelSize(lossy)->width, 70);
    // What hostile headers claim is what is taken as their size.
    struct Claim {
        samples::Bytes bytes;
        std::int64_t width, height;
    };
    for (const auto& claim : {Claim{samples::pngClaiming(100000, 3), 100000, 3},
                              Claim{samples::bmpClaiming(20000, 30000), 20000, 30000},
                              Claim{samples::tiffClaiming(40000, 2), 40000, 2},
                              Claim{samples::gifClaimingTheMost(), 65535, 65535},
                              Claim{samples::animatedWebpCanvas(16383, 16383), 16383, 16383}}) {
        const auto size = gw::declaredPixelSize(claim.bytes);
        ASSERT_TRUE(size) << claim.width;
        EXPECT_EQ(size->width, claim.width);
        EXPECT_EQ(size->height, claim.height);
    }
}

TEST(PictureEstimates, ReadingAFileTakesItsPixelsAndAtLeastItsFileBeside) {
    // A large plain PNG is inflated row by row: its file is all it holds beside its
    // pixels. Not plain (a transparent colour), the general decoder holds a picture of
    // its own as well.
    const auto plain = samples::pngClaiming(4200, 4200);
    auto transparent = plain;
    const samples::Bytes chunk = {0, 0, 0, 6, 't', 'R', 'N', 'S', 0, 1, 0, 2, 0, 3, 0, 0, 0, 0};
    transparent.insert(transparent.begin() + 33, chunk.begin(), chunk.end());
    const std::uint64_t file = 50'000'000, pixels = 4200u * 4200 * 4;
    EXPECT_EQ(gw::estimateReading(plain, file).pixelBytes, pixels);
    EXPECT_EQ(gw::estimateReading(plain, file).readingBytes, file);
    EXPECT_GE(gw::estimateReading(transparent, file).readingBytes, file + pixels);

    // Refused before anything is allocated; a size the file does not tell (no header, a
    // side of 0) is the most the limits allow; a document has no pixels of its own.
    EXPECT_EQ(gw::estimateReading(samples::pngClaiming(100000, 100000), 1000).pixelBytes, 0u);
    EXPECT_EQ(gw::estimateReading(samples::bytesOf("no picture at all"), 17).pixelBytes,
              std::uint64_t(pg::kMaxImagePixels) * 4);
    EXPECT_EQ(gw::estimateReading(samples::pdf(100, 100), 5000).pixelBytes, 0u);
    const auto sizeless = gw::estimateReading(samples::pngClaiming(0, 4200), 1000);
    EXPECT_EQ(sizeless.pixelBytes, std::uint64_t(pg::kMaxImagePixels) * 4);
    EXPECT_GE(sizeless.readingBytes, sizeless.pixelBytes);

    // A JPEG's size may come after more metadata than a file's first bytes hold.
    auto jpeg = samples::savedWithPixbuf("jpeg", 64, 48, {{"quality", "90"}});
    for (int segment = 0; segment < 4; ++segment) {
        samples::Bytes metadata = {0xFF, 0xE1, 0xEA, 0x60};
        metadata.resize(2 + 0xEA60, 'x');
        jpeg.insert(jpeg.begin() + 2, metadata.begin(), metadata.end());
    }
    gwtest::TempDir dir;
    const auto path = dir / "photo.jpg";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg.data()), long(jpeg.size()));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto estimate = gw::estimateReading(gw::FileHead(fd, jpeg.size()), path);
    ::close(fd);
    EXPECT_EQ(estimate.pixelBytes, 64u * 48 * 4);
    EXPECT_GE(estimate.readingBytes, jpeg.size());
}

TEST(PictureEstimates, APictureEncodedFromItsSourcesPixelsIsThePictureDrawingMakes) {
    // Every alpha, opaque pixels, and a size drawn through each scale type.
    std::vector<std::uint8_t> argb(37 * 23 * 4);
    std::mt19937 rng(7);
    for (std::size_t i = 0; i < argb.size(); i += 4) {
        const std::uint32_t a = (i / 4) % 3 == 0 ? 255 : rng() % 256;
        auto c = [&] { return a ? std::uint32_t(rng() % (a + 1)) : 0u; };
        const std::uint32_t word = a << 24 | c() << 16 | c() << 8 | c();
        std::memcpy(&argb[i], &word, 4);
    }
    std::vector<std::uint8_t> opaque = argb;
    for (std::size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 0xFF;
    for (const bool alpha : {true, false}) {
        const auto& pixels = alpha ? argb : opaque;
        const auto image = pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(37, 23, 37 * 4, pixels, alpha)));
        for (const auto scale : {gw::ScaleType::stretch, gw::ScaleType::aspectFit, gw::ScaleType::aspectFill}) {
            SCOPED_TRACE(std::to_string(alpha) + " " + std::to_string(gw::rawValue(scale)));
            gw::ImageDefinition definition;
            definition.size = {37, 23};
            definition.scaleType = scale;
            const auto unchanged = gw::unchangedSource(definition, *image);
            ASSERT_TRUE(unchanged);
            const auto drawn = gw::converted(*image, definition.size, gw::rawValue(scale), 1.0, std::nullopt, false,
                                             false, false);
            EXPECT_TRUE(unchanged->pngData() == drawn->pngData());
        }
        // Anything else asks for a drawing.
        gw::ImageDefinition other;
        other.size = {36, 23};
        EXPECT_FALSE(gw::unchangedSource(other, *image));
        other.size = {37, 23};
        other.zoom = 1.5f;
        EXPECT_FALSE(gw::unchangedSource(other, *image));
        other.zoom = 1.0f;
        other.backgroundColour = pg::Color::white();
        EXPECT_FALSE(gw::unchangedSource(other, *image));
        other.backgroundColour = pg::Color::clear();
        other.isAlphaChannelRemoved = true;
        EXPECT_FALSE(gw::unchangedSource(other, *image));
    }
}
