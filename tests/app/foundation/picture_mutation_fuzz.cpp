// A mutation fuzz run of the picture loader: thousands of damaged variants of a
// picture of every format we read, each loaded and (when it loads) drawn. Nothing may
// crash or hang; every refusal says why; every picture that loads is within the
// pixel limits. The seed is fixed, so a failure repeats; each picture stops early when it
// has used its share of the time, so a slow machine runs fewer cases of every format
// instead of timing out.
#include "app/foundation/vector_pictures.hpp"
#include "platform/graphics/decoded_bitmap.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/svg_document.hpp"
#include "support/picture_samples.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using samples::Bytes;

constexpr int kMutationsPerSeed = 600;
// Shared out among the pictures still to run: a bitmap's 600 cases take well under a second,
// a document's each take a drawing (about a minute for 600).
constexpr auto kTimeBudget = std::chrono::seconds(90);

// A longer or different run by hand: GW_FUZZ_SEED and GW_FUZZ_MUTATIONS.
unsigned long fromEnvironment(const char* name, unsigned long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoul(value, nullptr, 10) : fallback;
}

// A drawing that reaches the renderer's features: gradients, paths, text, a small
// mask and filter, a pattern, nested use.
Bytes svgSeed() {
    return samples::bytesOf(samples::svgText(
        "width=\"64\" height=\"48\" viewBox=\"0 0 64 48\"",
        "<defs><linearGradient id=\"g\"><stop offset=\"0\" stop-color=\"#f00\"/>"
        "<stop offset=\"1\" stop-color=\"#00f\"/></linearGradient>"
        "<mask id=\"m\"><circle cx=\"32\" cy=\"24\" r=\"20\" fill=\"white\"/></mask>"
        "<filter id=\"f\"><feGaussianBlur stdDeviation=\"2\"/></filter>"
        "<pattern id=\"p\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\">"
        "<rect width=\"4\" height=\"4\" fill=\"#0a0\"/></pattern>"
        "<g id=\"u\"><path d=\"M4 4 L60 4 L32 44 Z\" fill=\"url(#g)\"/></g></defs>"
        "<rect width=\"64\" height=\"48\" fill=\"url(#p)\"/>"
        "<use href=\"#u\" mask=\"url(#m)\" filter=\"url(#f)\"/>"
        "<text x=\"4\" y=\"40\" font-size=\"12\">Aa</text>"));
}

// Nesting the renderer resolves: relative font sizes, use chains, clip paths,
// transforms, a stroke style.
Bytes nestedSvgSeed() {
    return samples::bytesOf(samples::svgText(
        "width=\"640\" height=\"480\" viewBox=\"0 0 64 48\"",
        "<defs><clipPath id=\"c\"><rect x=\"2\" y=\"2\" width=\"60\" height=\"44\" rx=\"6\"/></clipPath>"
        "<g id=\"a\"><circle r=\"4\" stroke=\"#000\" stroke-width=\"1\" stroke-dasharray=\"2 1\"/></g>"
        "<g id=\"b\"><use href=\"#a\" x=\"8\"/><use href=\"#a\" x=\"16\" transform=\"rotate(30)\"/></g></defs>"
        "<g clip-path=\"url(#c)\" font-size=\"2em\"><g font-size=\"150%\" letter-spacing=\"1\">"
        "<text x=\"4\" y=\"20\" font-size=\"0.5em\" style=\"font: italic 8px serif\">Ab</text>"
        "<use href=\"#b\" transform=\"translate(10 10) scale(1.5)\"/>"
        "<polyline points=\"0,0 10,40 20,5 30,45\" fill=\"none\" stroke=\"red\" stroke-linejoin=\"round\"/>"
        "</g></g>"));
}

// What the scan before drawing follows: entities, a style sheet applying a filter,
// uses of a group, an embedded picture.
Bytes structuredSvgSeed() {
    return samples::bytesOf(
        "<!DOCTYPE svg [<!ENTITY c \"#0a0\"><!ENTITY t \"Ab\">]>" +
        samples::svgText("width=\"64\" height=\"48\"",
                         "<style>.b { filter: url(#f) }</style><defs><filter id=\"f\"><feMorphology radius=\"1\"/>"
                         "<feTurbulence numOctaves=\"2\"/></filter><g id=\"u\"><rect class=\"b\" width=\"8\" "
                         "height=\"8\" fill=\"&c;\"/></g></defs><use href=\"#u\"/><use href=\"#u\" x=\"20\"/>"
                         "<text x=\"4\" y=\"40\">&t;</text><image x=\"32\" width=\"16\" height=\"16\" "
                         "href=\"data:image/png;base64," +
                             samples::base64(samples::savedWithPixbuf("png", 8, 8)) + "\"/>"));
}

struct Seed {
    std::string format;
    Bytes bytes;
    bool svg = false;
};

std::vector<Seed> seeds() {
    std::vector<Seed> all;
    for (auto& sample : samples::bitmapSamples()) all.push_back({sample.format, std::move(sample.bytes)});
    all.push_back({"pdf", samples::pdf(64, 48)});
    all.push_back({"pdf in an object stream", samples::pdfInObjectStream(samples::nestedFormObjects(3, 2))});
    // What the page scan reads of shadings, patterns and codecs before poppler draws.
    all.push_back({"pdf mesh shading", samples::meshShadingPdf(6, 20, false)});
    all.push_back({"pdf stitched shading", samples::stitchedShadingPdf(3, 2)});
    all.push_back({"pdf tiling pattern", samples::tilingPatternPdf(10, 10)});
    all.push_back({"pdf jbig2 image", samples::jbig2ImagePdf(16, 16)});
    all.push_back({"animated webp", samples::animatedWebp(64, 48, 3, 32, 16, 8, 8)});
    all.push_back({"gif of frames", samples::manyFramesGif(4)});
    all.push_back({"structured svg", structuredSvgSeed(), true});
    all.push_back({"svg", svgSeed(), true});
    all.push_back({"nested svg", nestedSvgSeed(), true});
    return all;
}

// One of the usual damages: flipped bits, bytes set to edge values, a cut, a
// repeated or removed stretch; for text, numbers made huge.
Bytes mutated(const Bytes& original, bool text, std::mt19937& random) {
    Bytes bytes = original;
    auto position = [&](size_t size) { return std::uniform_int_distribution<size_t>(0, size - 1)(random); };
    const int kind = std::uniform_int_distribution<int>(0, text ? 6 : 5)(random);
    const int count = std::uniform_int_distribution<int>(1, 8)(random);
    switch (kind) {
        case 0:
            for (int i = 0; i < count; ++i) bytes[position(bytes.size())] ^= uint8_t(1u << (random() % 8));
            break;
        case 1: {
            static const uint8_t edges[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE};
            for (int i = 0; i < count; ++i) bytes[position(bytes.size())] = edges[random() % 6];
            break;
        }
        case 2: bytes.resize(position(bytes.size())); break;
        case 3: {
            const size_t from = position(bytes.size());
            const size_t length = std::min<size_t>(bytes.size() - from, 1 + random() % 64);
            const Bytes stretch(bytes.begin() + long(from), bytes.begin() + long(from + length));
            bytes.insert(bytes.begin() + long(position(bytes.size())), stretch.begin(), stretch.end());
            break;
        }
        case 4: {
            const size_t from = position(bytes.size());
            bytes.erase(bytes.begin() + long(from),
                        bytes.begin() + long(std::min(bytes.size(), from + 1 + random() % 64)));
            break;
        }
        case 5:
            // Header fields live in the first bytes: hit them harder.
            for (int i = 0; i < count; ++i) bytes[position(std::min<size_t>(bytes.size(), 64))] = uint8_t(random());
            break;
        default: {
            static const char* const huge[] = {"99999999", "-1", "1e30", "0", "16385", "nan"};
            std::string s(bytes.begin(), bytes.end());
            for (int i = 0; i < count; ++i) {
                const size_t at = s.find_first_of("0123456789", position(s.size()));
                if (at == std::string::npos) break;
                const size_t end = s.find_first_not_of("0123456789.", at);
                s.replace(at, (end == std::string::npos ? s.size() : end) - at, huge[random() % 6]);
            }
            bytes.assign(s.begin(), s.end());
            break;
        }
    }
    if (bytes.empty()) bytes.push_back(0);
    return bytes;
}

// Loads and draws one input the way the application does; returns whether it loaded.
bool loadAndDraw(const Bytes& bytes, bool svg, std::string& why) {
    pg::ImagePtr image;
    pg::PictureProblem problem = pg::PictureProblem::none;
    if (svg) {
        auto document = pg::SvgDocument::fromData(bytes, &why, &problem);
        if (!document) {
            EXPECT_NE(problem, pg::PictureProblem::none) << why;
            return false;
        }
        image = gw::convertToPDFImage(document, &why);
        if (!image) return false;
    } else {
        image = pg::Image::fromData(bytes, &why, &problem);
        if (!image) {
            EXPECT_NE(problem, pg::PictureProblem::none) << why;
            EXPECT_FALSE(why.empty());
            return false;
        }
    }
    const pg::Size size = image->size();
    EXPECT_TRUE(pg::dimensionsAcceptable(int64_t(std::ceil(size.width * 0.999)),
                                         int64_t(std::ceil(size.height * 0.999))) ||
                size.width < 1 || size.height < 1)
        << size.width << " x " << size.height;
    // Drawing is where a damaged document meets the renderer.
    if (size.width >= 1 && size.height >= 1) image->renderBitmap(24, 24);
    return true;
}

TEST(PictureMutationFuzz, DamagedPicturesOfEveryFormatNeverCrashAndAreRefusedWithAReason) {
    std::mt19937 random(static_cast<std::mt19937::result_type>(fromEnvironment("GW_FUZZ_SEED", 20261207)));
    const int mutations = static_cast<int>(fromEnvironment("GW_FUZZ_MUTATIONS", kMutationsPerSeed));
    const auto started = std::chrono::steady_clock::now();
    int runs = 0;
    int loaded = 0;
    const auto all = seeds();
    for (std::size_t next = 0; next < all.size(); ++next) {
        const auto& seed = all[next];
        ASSERT_FALSE(seed.bytes.empty()) << seed.format;
        std::string why;
        ASSERT_TRUE(loadAndDraw(seed.bytes, seed.svg, why)) << seed.format << ": " << why;
        const auto seedStarted = std::chrono::steady_clock::now();
        const auto share = (kTimeBudget - (seedStarted - started)) / (all.size() - next);
        for (int i = 0; i < mutations; ++i) {
            if (mutations == kMutationsPerSeed && std::chrono::steady_clock::now() - seedStarted > share) break;
            const Bytes input = mutated(seed.bytes, seed.svg, random);
            SCOPED_TRACE(seed.format + " mutation " + std::to_string(i));
            loaded += loadAndDraw(input, seed.svg, why) ? 1 : 0;
            ++runs;
        }
    }
    // Some damage leaves a picture readable, most does not: both paths ran.
    EXPECT_GT(runs, 1000);
    EXPECT_GT(loaded, 0);
    EXPECT_LT(loaded, runs);
    std::printf("%d damaged pictures, %d of them still loaded\n", runs, loaded);
}

}  // namespace
