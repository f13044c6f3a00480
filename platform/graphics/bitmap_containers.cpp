#include "platform/graphics/bitmap_containers.hpp"

#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "platform/graphics/decoded_bitmap.hpp"

namespace platform::graphics {

namespace {

uint32_t le16(std::span<const uint8_t> bytes, size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8; }
uint32_t le24(std::span<const uint8_t> bytes, size_t at) { return le16(bytes, at) | uint32_t(bytes[at + 2]) << 16; }
uint32_t le32(std::span<const uint8_t> bytes, size_t at) { return le24(bytes, at) | uint32_t(bytes[at + 3]) << 24; }

bool tagIs(std::span<const uint8_t> bytes, size_t at, std::string_view tag) {
    return bytes.size() >= at + tag.size() && std::memcmp(bytes.data() + at, tag.data(), tag.size()) == 0;
}

bool tooLarge(int64_t width, int64_t height, std::string_view what, std::string* error, PictureProblem* problem) {
    return noteProblem(error, problem, PictureProblem::tooLarge,
                       fmt::format("the {} declares {} x {} pixels (at most {} per side and {} in all)", what, width,
                                   height, kMaxImageSide, kMaxImagePixels));
}

// A BMP's loader reserves room up to the pixel data's declared offset, and reads a
// header of the declared length, before it looks at either.
bool bmpAcceptable(std::span<const uint8_t> bytes, std::string* error, PictureProblem* problem) {
    if (bytes.size() < 18) return true;  // the decoder says what is missing
    const uint64_t pixelOffset = le32(bytes, 10);
    const uint64_t headerSize = le32(bytes, 14);
    if (headerSize < 12 || headerSize > 1024) {
        return noteProblem(error, problem, PictureProblem::damaged,
                           fmt::format("the BMP header declares an impossible length of {} bytes", headerSize));
    }
    if (14 + headerSize > bytes.size() || pixelOffset > bytes.size()) {
        return noteProblem(
            error, problem, PictureProblem::truncated,
            fmt::format("the BMP declares its pixels at byte {} of a file of {} bytes", pixelOffset, bytes.size()));
    }
    return true;
}

bool icoAcceptable(std::span<const uint8_t> bytes, std::string* error, PictureProblem* problem) {
    if (bytes.size() < 6) return true;
    const size_t count = le16(bytes, 4);
    for (size_t i = 0; i < count && 6 + 16 * (i + 1) <= bytes.size(); ++i) {
        const uint64_t offset = le32(bytes, 6 + 16 * i + 12);
        if (offset > bytes.size()) {
            return noteProblem(error, problem, PictureProblem::truncated,
                               fmt::format("the icon's picture {} is declared at byte {} of a file of {} bytes", i + 1,
                                           offset, bytes.size()));
        }
    }
    return true;
}

// The WebP decoder allocates by the size in the first chunk's header before the
// loader announces any size: the canvas of an extended file, else the frame's own.
bool webpAcceptable(std::span<const uint8_t> bytes, std::string* error, PictureProblem* problem) {
    if (tagIs(bytes, 12, "VP8X") && bytes.size() >= 30) {
        const int64_t width = int64_t(le24(bytes, 24)) + 1, height = int64_t(le24(bytes, 27)) + 1;
        if (!dimensionsAcceptable(width, height)) return tooLarge(width, height, "WebP canvas", error, problem);
    } else if (tagIs(bytes, 12, "VP8 ") && bytes.size() >= 30) {
        const int64_t width = le16(bytes, 26) & 0x3FFF, height = le16(bytes, 28) & 0x3FFF;
        if (!dimensionsAcceptable(width, height)) return tooLarge(width, height, "WebP frame", error, problem);
    } else if (tagIs(bytes, 12, "VP8L") && bytes.size() >= 25) {
        const uint32_t bits = le32(bytes, 21);
        const int64_t width = int64_t(bits & 0x3FFF) + 1, height = int64_t((bits >> 14) & 0x3FFF) + 1;
        if (!dimensionsAcceptable(width, height)) return tooLarge(width, height, "WebP frame", error, problem);
    }
    return true;
}

void putLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(value >> shift));
}

void putChunk(std::vector<uint8_t>& out, std::span<const uint8_t> chunk) {
    out.insert(out.end(), chunk.begin(), chunk.end());
    if (chunk.size() % 2 == 1) out.push_back(0);
}

}  // namespace

bool declaredSizesAcceptable(std::span<const uint8_t> bytes, ImageFormat format, std::string* error,
                             PictureProblem* problem) {
    switch (format) {
        case ImageFormat::bmp:
            return bmpAcceptable(bytes, error, problem);
        case ImageFormat::ico:
            return icoAcceptable(bytes, error, problem);
        case ImageFormat::webp:
            return webpAcceptable(bytes, error, problem);
        default:
            return true;
    }
}

std::optional<std::vector<uint8_t>> gifFirstFrame(std::span<const uint8_t> bytes) {
    if (bytes.size() < 13) return std::nullopt;
    auto colourTable = [](uint8_t flags) -> size_t { return (flags & 0x80) ? size_t(3) << ((flags & 7) + 1) : 0; };
    size_t at = 13 + colourTable(bytes[10]);
    // Data sub-blocks, each led by its length, end with an empty one.
    auto skipSubBlocks = [&]() {
        while (at < bytes.size()) {
            const size_t length = bytes[at];
            at += 1 + length;
            if (length == 0) return true;
        }
        return false;
    };
    while (at < bytes.size()) {
        if (bytes[at] == 0x21) {  // an extension: label, then sub-blocks
            at += 2;
            if (!skipSubBlocks()) return std::nullopt;
        } else if (bytes[at] == 0x2C) {  // an image: descriptor, colour table, code size, data
            if (at + 10 > bytes.size()) return std::nullopt;
            at += 10 + colourTable(bytes[at + 9]) + 1;
            if (!skipSubBlocks()) return std::nullopt;
            if (at >= bytes.size() || (bytes[at] == 0x3B && at + 1 == bytes.size())) return std::nullopt;
            std::vector<uint8_t> first(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
            first.push_back(0x3B);
            return first;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool isAnimatedWebp(std::span<const uint8_t> bytes) {
    return tagIs(bytes, 0, "RIFF") && tagIs(bytes, 8, "WEBP") && tagIs(bytes, 12, "VP8X") && bytes.size() >= 30 &&
           (bytes[20] & 0x02) != 0;
}

std::optional<WebpFrame> webpFirstFrame(std::span<const uint8_t> bytes, std::string* error, PictureProblem* problem) {
    auto fail = [&](PictureProblem kind, std::string why) -> std::optional<WebpFrame> {
        noteProblem(error, problem, kind, std::move(why));
        return std::nullopt;
    };
    WebpFrame frame;
    frame.canvasWidth = int(le24(bytes, 24)) + 1;
    frame.canvasHeight = int(le24(bytes, 27)) + 1;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const size_t length = le32(bytes, at + 4);
        const size_t payload = at + 8;
        if (length > bytes.size() - payload) break;
        if (!tagIs(bytes, at, "ANMF")) {
            at = payload + length + (length & 1);
            continue;
        }
        if (length < 16) return fail(PictureProblem::damaged, "the WebP animation's first frame has no header");
        frame.x = int(le24(bytes, payload)) * 2;
        frame.y = int(le24(bytes, payload + 3)) * 2;
        frame.width = int(le24(bytes, payload + 6)) + 1;
        frame.height = int(le24(bytes, payload + 9)) + 1;
        if (int64_t(frame.x) + frame.width > frame.canvasWidth ||
            int64_t(frame.y) + frame.height > frame.canvasHeight) {
            return fail(
                PictureProblem::damaged,
                fmt::format("the WebP animation's first frame of {} x {} at ({}, {}) lies outside its "
                            "canvas of {} x {}",
                            frame.width, frame.height, frame.x, frame.y, frame.canvasWidth, frame.canvasHeight));
        }
        std::span<const uint8_t> alpha, pixels;
        bool lossless = false;
        for (size_t sub = payload + 16; sub + 8 <= payload + length;) {
            const size_t subLength = le32(bytes, sub + 4);
            if (subLength > payload + length - (sub + 8)) break;
            const auto chunk = bytes.subspan(sub, 8 + subLength);
            if (tagIs(bytes, sub, "ALPH") && alpha.empty()) alpha = chunk;
            if (tagIs(bytes, sub, "VP8 ") || tagIs(bytes, sub, "VP8L")) {
                pixels = chunk;
                lossless = tagIs(bytes, sub, "VP8L");
                break;
            }
            sub += 8 + subLength + (subLength & 1);
        }
        if (pixels.empty()) return fail(PictureProblem::truncated, "the WebP animation's first frame has no pixels");
        // The frame alone, as a still file: an extended one when its alpha comes apart.
        std::vector<uint8_t> body = {'W', 'E', 'B', 'P'};
        if (!lossless && !alpha.empty()) {
            body.insert(body.end(), {'V', 'P', '8', 'X', 10, 0, 0, 0, 0x10, 0, 0, 0});
            for (const int side : {frame.width - 1, frame.height - 1}) {
                for (int shift = 0; shift < 24; shift += 8) body.push_back(uint8_t(side >> shift));
            }
            putChunk(body, alpha);
        }
        putChunk(body, pixels);
        frame.still = {'R', 'I', 'F', 'F'};
        putLe32(frame.still, uint32_t(body.size()));
        frame.still.insert(frame.still.end(), body.begin(), body.end());
        return frame;
    }
    return fail(PictureProblem::truncated, "the WebP animation holds no frame");
}

}  // namespace platform::graphics
