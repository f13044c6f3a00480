#include "app/engine/picture_estimates.hpp"

#include "app/foundation/image_categories.hpp"
#include "app/foundation/image_operations.hpp"
#include "platform/graphics/decoded_bitmap.hpp"
#include "platform/graphics/image_io.hpp"
#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/png_codec.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace gw {

namespace pg = platform::graphics;

namespace {

// Enough of a file to find its size in, and what is read when that was not enough.
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::size_t kLongHeadBytes = 1024 * 1024;
// What parsing a document takes beside its bytes (an SVG is inflated to at most 32 MiB,
// its elements parsed, a small drawing made at once).
constexpr std::uint64_t kDocumentParsingBytes = std::uint64_t{64} << 20;

std::uint32_t be16(std::span<const std::uint8_t> b, std::size_t at) { return std::uint32_t(b[at]) << 8 | b[at + 1]; }
std::uint32_t le16(std::span<const std::uint8_t> b, std::size_t at) { return std::uint32_t(b[at + 1]) << 8 | b[at]; }
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) { return be16(b, at) << 16 | be16(b, at + 2); }
std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) { return le16(b, at + 2) << 16 | le16(b, at); }
std::uint32_t le24(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t(b[at + 2]) << 16 | le16(b, at);
}

std::optional<DeclaredSize> sized(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) return std::nullopt;
    return DeclaredSize{width, height};
}

std::optional<DeclaredSize> jpegSize(std::span<const std::uint8_t> b) {
    std::size_t at = 2;
    while (at + 4 <= b.size()) {
        if (b[at] != 0xFF) return std::nullopt;
        const std::uint8_t marker = b[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        // Markers without a length: restarts, start and end of image.
        if ((marker >= 0xD0 && marker <= 0xD9) || marker == 0x01) {
            at += 2;
            continue;
        }
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (at + 9 > b.size()) return std::nullopt;
            return sized(be16(b, at + 7), be16(b, at + 5));
        }
        at += 2 + be16(b, at + 2);
    }
    return std::nullopt;
}

std::optional<DeclaredSize> tiffSize(std::span<const std::uint8_t> b) {
    const bool little = b[0] == 'I';
    auto u16 = [&](std::size_t at) { return little ? le16(b, at) : be16(b, at); };
    auto u32 = [&](std::size_t at) { return little ? le32(b, at) : be32(b, at); };
    const std::size_t ifd = u32(4);
    if (ifd + 2 > b.size()) return std::nullopt;
    std::int64_t width = 0, height = 0;
    const std::size_t count = u16(ifd);
    for (std::size_t i = 0; i < count && ifd + 2 + 12 * (i + 1) <= b.size(); ++i) {
        const std::size_t entry = ifd + 2 + 12 * i;
        const std::uint32_t tag = u16(entry), type = u16(entry + 2);
        const std::int64_t value = type == 3 ? u16(entry + 8) : type == 4 ? u32(entry + 8) : 0;
        if (tag == 256) width = value;
        if (tag == 257) height = value;
    }
    return sized(width, height);
}

std::optional<DeclaredSize> webpSize(std::span<const std::uint8_t> b) {
    if (b.size() < 30) return std::nullopt;
    const std::string_view kind(reinterpret_cast<const char*>(b.data() + 12), 4);
    if (kind == "VP8X") return sized(1 + std::int64_t(le24(b, 24)), 1 + std::int64_t(le24(b, 27)));
    if (kind == "VP8 ") return sized(le16(b, 26) & 0x3FFF, le16(b, 28) & 0x3FFF);
    if (kind == "VP8L") {
        const std::uint32_t bits = le32(b, 21);
        return sized(1 + std::int64_t(bits & 0x3FFF), 1 + std::int64_t((bits >> 14) & 0x3FFF));
    }
    return std::nullopt;
}

std::optional<DeclaredSize> gifSize(std::span<const std::uint8_t> b) {
    std::int64_t width = le16(b, 6), height = le16(b, 8);
    // A first image reaching past the logical screen widens the canvas.
    std::size_t at = 13;
    if (b[10] & 0x80) at += 3u << ((b[10] & 0x07) + 1);
    while (at < b.size()) {
        if (b[at] == 0x2C) {
            if (at + 9 > b.size()) break;
            width = std::max<std::int64_t>(width, le16(b, at + 1) + le16(b, at + 5));
            height = std::max<std::int64_t>(height, le16(b, at + 3) + le16(b, at + 7));
            break;
        }
        if (b[at] != 0x21 || at + 2 >= b.size()) break;
        at += 2;  // extension: introducer, label, then sub-blocks up to an empty one
        while (at < b.size() && b[at] != 0) at += 1 + b[at];
        ++at;
    }
    return sized(width, height);
}

}  // namespace

std::optional<DeclaredSize> declaredPixelSize(std::span<const std::uint8_t> b) {
    switch (pg::detectImageFormat(b)) {
        case pg::ImageFormat::png:
            if (b.size() < 24) return std::nullopt;
            return sized(be32(b, 16), be32(b, 20));
        case pg::ImageFormat::jpeg: return jpegSize(b);
        case pg::ImageFormat::gif:
            if (b.size() < 13) return std::nullopt;
            return gifSize(b);
        case pg::ImageFormat::bmp: {
            if (b.size() < 26) return std::nullopt;
            if (le32(b, 14) == 12) return sized(le16(b, 18), le16(b, 20));
            const auto height = static_cast<std::int32_t>(le32(b, 22));
            return sized(static_cast<std::int32_t>(le32(b, 18)), std::abs(std::int64_t(height)));
        }
        case pg::ImageFormat::tiff:
            if (b.size() < 8) return std::nullopt;
            return tiffSize(b);
        case pg::ImageFormat::webp: return webpSize(b);
        case pg::ImageFormat::psd:
            if (b.size() < 22) return std::nullopt;
            return sized(be32(b, 18), be32(b, 14));
        case pg::ImageFormat::ico:
        case pg::ImageFormat::pdf:
        case pg::ImageFormat::unknown: break;
    }
    return std::nullopt;
}

ReadingEstimate estimateReading(std::span<const std::uint8_t> head, std::uint64_t fileBytes) {
    const auto format = pg::detectImageFormat(head);
    if (format == pg::ImageFormat::pdf) return {0, 2 * fileBytes + kDocumentParsingBytes};
    std::int64_t pixels = pg::kMaxImagePixels;
    // A size past the limits is refused before the decoder allocates anything.
    const auto size = declaredPixelSize(head);
    if (size) pixels = pg::dimensionsAcceptable(size->width, size->height) ? size->width * size->height : 0;
    const std::uint64_t pixelBytes = std::uint64_t(pixels) * 4;
    // A large plain PNG is inflated row by row straight into its pixels.
    if (format == pg::ImageFormat::png && size && pixels > 0 && pg::startsAsPlainPng(head)) {
        const std::uint64_t samples = head[25] == 6 ? 4 : 3;
        if ((size->width * samples + 1) * std::uint64_t(size->height) > pg::kPngRowsStreamedAbove) {
            return {pixelBytes, fileBytes};
        }
    }
    switch (format) {
        case pg::ImageFormat::gif:
        case pg::ImageFormat::webp:
            // The first frame cut out, and decoded into a picture of the loader's own and
            // (an animation's) onto a canvas.
            return {pixelBytes, 2 * fileBytes + 2 * pixelBytes};
        case pg::ImageFormat::png:
        case pg::ImageFormat::tiff:
            // A copy of the data (the chunks joined, the loader's buffer), and the filtered
            // rows or the loader's own picture.
            return {pixelBytes, 2 * fileBytes + pixelBytes};
        default:
            // The file and the decoder's own picture (or the PSD reader's planes).
            return {pixelBytes, fileBytes + pixelBytes};
    }
}

ReadingEstimate estimateReading(const FileHead& file, const std::filesystem::path& name) {
    std::string extension = name.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (extension == ".svg") return {0, 2 * file.size() + kDocumentParsingBytes};
    // Most files say their size in their first bytes; JPEG files may carry large
    // metadata first.
    auto head = file.first(kHeadBytes);
    if (head.size() == kHeadBytes && pg::detectImageFormat(head) == pg::ImageFormat::jpeg && !declaredPixelSize(head)) {
        head = file.first(kLongHeadBytes);
    }
    return estimateReading(head, file.size());
}

std::shared_ptr<pg::BitmapRep> unchangedSource(const ImageDefinition& definition, const pg::Image& source) {
    if (definition.format != ImageDefinition::Format::png || definition.zoom != 1.0f || definition.roundCorners ||
        definition.addShadow || definition.isAlphaChannelRemoved || definition.backgroundColour.alpha() != 0) {
        return nullptr;
    }
    const pg::Size size = definition.size;
    if (!(size.width >= 1 && size.height >= 1) || size.width != std::floor(size.width) ||
        size.height != std::floor(size.height)) {
        return nullptr;
    }
    // Where the conversion would draw the source: it must cover the picture exactly.
    pg::Rect rect{0, 0, size.width, size.height};
    if (definition.scaleType == ScaleType::aspectFit) rect = aspectFitDrawingRect(source.size(), size);
    if (definition.scaleType == ScaleType::aspectFill) rect = aspectFillDrawingRect(source.size(), size);
    if (rect.origin.x != 0 || rect.origin.y != 0 || rect.size.width != size.width || rect.size.height != size.height) {
        return nullptr;
    }
    const auto rep = source.bestRepresentationForRect(rect);
    if (!rep || rep->kind() != pg::ImageRep::Kind::bitmap || rep->pixelsWide() != size.width ||
        rep->pixelsHigh() != size.height) {
        return nullptr;
    }
    return std::static_pointer_cast<pg::BitmapRep>(rep);
}

std::uint64_t estimateDrawing(const ImageDefinition& definition, const pg::Image& source) {
    if (definition.format == ImageDefinition::Format::pdf) {
        // The document read again, the page drawn into a new one, and the new one's bytes.
        const auto rep = pdfImageRep(source);
        return 3 * std::uint64_t(rep ? rep->pdfData().size() : 0) + kDocumentParsingBytes;
    }
    auto side = [](double points) {
        const double whole = std::ceil(std::isfinite(points) ? points : 1.0);
        return std::uint64_t(std::clamp(whole, 1.0, double(pg::kMaxImageSide)));
    };
    const std::uint64_t width = side(definition.size.width), height = side(definition.size.height);
    // Encoding: the filtered rows with a compression bound beside them, or (streamed)
    // the file as it grows, at most the rows and deflate's own few bytes.
    auto encoding = [&](std::uint64_t samples) {
        const std::uint64_t rows = (width * samples + 1) * height;
        const std::uint64_t file = rows + rows / 1000 + (std::uint64_t{64} << 10);
        return rows <= pg::kPngRowsStreamedAbove ? rows + file : file;
    };
    // Encoded from the source's own pixels: an opaque one is written without alpha.
    if (const auto unchanged = unchangedSource(definition, source)) {
        return encoding(unchanged->hasAlpha() ? 4 : 3);
    }
    const std::uint64_t picture = width * height * 4;
    // While drawing, beside the picture: the source shrunk to its size (or the
    // document's drawing), and for a shadow the picture drawn alone and its blur, for
    // taking alpha off the picture drawn once more and made opaque. What was drawn
    // from is gone before the picture is encoded.
    std::uint64_t copies = 1;
    if (definition.addShadow) copies += 2;
    if (definition.isAlphaChannelRemoved) copies += 2;
    return picture + std::max(picture * copies, encoding(4));
}

}  // namespace gw
