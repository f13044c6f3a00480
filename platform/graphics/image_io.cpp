#include "platform/graphics/image_io.hpp"

#include "platform/graphics/bitmap_containers.hpp"
#include "platform/graphics/file_bytes.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "platform/graphics/image.hpp"
#include "platform/graphics/png_codec.hpp"
#include "platform/graphics/psd_reader.hpp"

namespace platform::graphics {

namespace {

bool startsWith(std::span<const uint8_t> bytes, std::string_view magic, size_t offset = 0) {
    return bytes.size() >= offset + magic.size() && std::memcmp(bytes.data() + offset, magic.data(), magic.size()) == 0;
}

struct SizeGuard {
    int64_t maxPixels = kMaxImagePixels;
    bool refused = false;
    int width = 0;
    int height = 0;
    std::vector<char> rowsFilled;  // rows the decoder reported as filled
    int rowsReached = 0;
};

void onAreaUpdated(GdkPixbufLoader*, int, int y, int, int height, gpointer data) {
    auto* guard = static_cast<SizeGuard*>(data);
    // Decoders fill top-down or (BMP, ICO) bottom-up, some several times over.
    const int rows = static_cast<int>(guard->rowsFilled.size());  // none once refused
    for (int row = std::max(0, y); row < y + height && row < rows; ++row) {
        if (!guard->rowsFilled[static_cast<size_t>(row)]) {
            guard->rowsFilled[static_cast<size_t>(row)] = 1;
            ++guard->rowsReached;
        }
    }
}

void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* guard = static_cast<SizeGuard*>(data);
    guard->width = width;
    guard->height = height;
    if (!dimensionsAcceptable(width, height) || int64_t(width) * height > guard->maxPixels) {
        guard->refused = true;
        // A zero size makes the loaders stop before allocating the pixels.
        gdk_pixbuf_loader_set_size(loader, 0, 0);
        return;
    }
    guard->rowsFilled.assign(static_cast<size_t>(height), 0);
}

double dpiOption(GdkPixbuf* pixbuf, const char* key) {
    const char* value = gdk_pixbuf_get_option(pixbuf, key);
    if (value == nullptr) return 0;
    char* end = nullptr;
    const double dpi = std::strtod(value, &end);
    return (end != value && std::isfinite(dpi) && dpi > 0 && dpi < 1e6) ? dpi : 0;
}

// Two decoders finish a picture whose data ends early without a word: the JPEG
// decoder fills the missing rows with grey, the WebP decoder with nothing. The file
// itself tells: a JPEG ends its last scan with an end-of-image marker, a WebP file
// holds all the bytes its RIFF header counts.
bool endsEarly(std::span<const uint8_t> bytes, ImageFormat format) {
    if (format == ImageFormat::webp) {
        if (bytes.size() < 12) return true;
        const uint64_t declared = uint64_t(bytes[4]) | uint64_t(bytes[5]) << 8 | uint64_t(bytes[6]) << 16 |
                                  uint64_t(bytes[7]) << 24;
        return declared + 8 > bytes.size();
    }
    if (format == ImageFormat::jpeg) {
        // Markers cannot occur inside entropy-coded data (0xFF is stuffed there), so
        // the last start-of-scan belongs to the picture's last scan.
        size_t lastScan = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) lastScan = i;
        }
        for (size_t i = lastScan; i + 1 < bytes.size(); ++i) {
            if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) return false;
        }
        return true;
    }
    return false;
}

std::string tooLargeText(int64_t width, int64_t height) {
    return fmt::format("picture too large or empty: {} x {} pixels (at most {} per side and {} in all)", width,
                       height, kMaxImageSide, kMaxImagePixels);
}

// Refuses a picture of more than `maxPixels` (a budget smaller than the pixel limits)
// as too demanding, and one beyond the limits as too large.
bool withinPixelBudget(int64_t width, int64_t height, int64_t maxPixels, std::string* error, PictureProblem* problem) {
    if (!dimensionsAcceptable(width, height)) {
        return noteProblem(error, problem, PictureProblem::tooLarge, tooLargeText(width, height));
    }
    if (width * height > maxPixels) {
        return noteProblem(error, problem, PictureProblem::tooDemanding,
                           fmt::format("picture of {} x {} pixels is beyond the budget of {} pixels", width, height,
                                       maxPixels));
    }
    return true;
}

std::optional<DecodedBitmap> decodeWithPixbuf(std::span<const uint8_t> bytes, const char* type, std::string* error,
                                              PictureProblem* problem, int64_t maxPixels = kMaxImagePixels) {
    auto fail = [&](PictureProblem kind, const std::string& why) -> std::optional<DecodedBitmap> {
        noteProblem(error, problem, kind, why);
        return std::nullopt;
    };
    const ImageFormat format = detectImageFormat(bytes);
    if (endsEarly(bytes, format)) {
        return fail(PictureProblem::truncated, fmt::format("{} picture is truncated: the file ends early", type));
    }
    // Only the first frame is used: the loader would otherwise walk every frame of
    // the file, however many there are.
    std::optional<std::vector<uint8_t>> firstFrame;
    if (format == ImageFormat::gif && (firstFrame = gifFirstFrame(bytes))) bytes = *firstFrame;
    GError* gerror = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, &gerror);
    if (loader == nullptr) {
        std::string why = fmt::format("no decoder for {} pictures: {}", type, gerror ? gerror->message : "");
        if (gerror != nullptr) g_error_free(gerror);
        return fail(PictureProblem::notAPicture, why);
    }
    SizeGuard guard;
    guard.maxPixels = maxPixels;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &guard);
    g_signal_connect(loader, "area-updated", G_CALLBACK(onAreaUpdated), &guard);
    constexpr size_t kChunk = 64 * 1024;
    bool ok = true;
    for (size_t offset = 0; offset < bytes.size() && ok && !guard.refused; offset += kChunk) {
        const size_t length = std::min(kChunk, bytes.size() - offset);
        ok = gdk_pixbuf_loader_write(loader, bytes.data() + offset, length, &gerror);
    }
    // Closing also reports truncated data.
    const bool closed = gdk_pixbuf_loader_close(loader, ok ? &gerror : nullptr);
    ok = ok && closed;
    std::string reason = gerror != nullptr ? gerror->message : "";
    if (gerror != nullptr) g_error_free(gerror);
    GdkPixbuf* pixbuf = ok && !guard.refused ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf != nullptr) g_object_ref(pixbuf);
    g_object_unref(loader);
    if (guard.refused) {
        withinPixelBudget(guard.width, guard.height, maxPixels, error, problem);
        return std::nullopt;
    }
    if (pixbuf == nullptr) {
        // The decoders say "truncated", "premature end" or "incomplete" when the data
        // ends early; anything else is damage.
        const bool early = reason.find("runcat") != std::string::npos || reason.find("remature") != std::string::npos ||
                           reason.find("ncomplete") != std::string::npos || reason.find("nsufficient") != std::string::npos;
        return fail(early ? PictureProblem::truncated : PictureProblem::damaged,
                    fmt::format("cannot decode {} picture: {}", type, reason.empty() ? "corrupt data" : reason));
    }

    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    // Several decoders hand back a partly filled (often grey) picture for a file that
    // ends early, without an error; the rows they reported as filled tell. Every
    // decoder reports the rows it fills, the non-incremental ones all at once. A GIF's
    // first frame may rightly cover only part of its canvas.
    if (guard.rowsReached < height && format != ImageFormat::gif) {
        g_object_unref(pixbuf);
        return fail(PictureProblem::truncated,
                    fmt::format("{} picture is truncated: {} of {} rows", type, guard.rowsReached, height));
    }
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if (!dimensionsAcceptable(width, height) || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
        gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB || channels < (alpha ? 4 : 3)) {
        g_object_unref(pixbuf);
        return fail(PictureProblem::notAPicture, fmt::format("unsupported {} pixel layout", type));
    }
    DecodedBitmap decoded;
    decoded.width = width;
    decoded.height = height;
    decoded.stride = width * 4;
    decoded.hasAlpha = alpha;
    decoded.dpiX = dpiOption(pixbuf, "x-dpi");
    decoded.dpiY = dpiOption(pixbuf, "y-dpi");
    if (decoded.dpiY == 0) decoded.dpiY = decoded.dpiX;
    decoded.argb32.resize(static_cast<size_t>(decoded.stride) * height);
    const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    for (int y = 0; y < height; ++y) {
        const guint8* in = pixels + static_cast<size_t>(y) * rowstride;
        auto* out = reinterpret_cast<uint32_t*>(decoded.argb32.data() + static_cast<size_t>(y) * decoded.stride);
        if (!alpha) {
            // Opaque pixels need no premultiplying (v * 255 / 255 is v): this loop is
            // on the path of every conversion before any other work can start.
            for (int x = 0; x < width; ++x, in += channels) {
                out[x] = 0xFF000000u | (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | uint32_t(in[2]);
            }
            continue;
        }
        for (int x = 0; x < width; ++x, in += channels) {
            const uint32_t a = in[3];
            auto pre = [a](uint32_t v) { return (v * a + 127) / 255; };
            out[x] = (a << 24) | (pre(in[0]) << 16) | (pre(in[1]) << 8) | pre(in[2]);
        }
    }
    g_object_unref(pixbuf);
    return decoded;
}

// The loader decodes every frame of an animation when it closes, each a canvas of
// its own; the first frame is cut out and decoded alone instead, and placed on a clear
// canvas where the animation shows it.
std::optional<DecodedBitmap> decodeAnimatedWebp(std::span<const uint8_t> bytes, std::string* error,
                                                PictureProblem* problem, int64_t maxPixels) {
    if (endsEarly(bytes, ImageFormat::webp)) {
        noteProblem(error, problem, PictureProblem::truncated, "webp picture is truncated: the file ends early");
        return std::nullopt;
    }
    const auto frame = webpFirstFrame(bytes, error, problem);
    if (!frame || !withinPixelBudget(frame->canvasWidth, frame->canvasHeight, maxPixels, error, problem)) {
        return std::nullopt;
    }
    auto decoded = decodeWithPixbuf(frame->still, "webp", error, problem);
    if (!decoded) return std::nullopt;
    if (decoded->width != frame->width || decoded->height != frame->height) {
        noteProblem(error, problem, PictureProblem::damaged,
                    fmt::format("the WebP animation's first frame holds {} x {} pixels where its header says {} x {}",
                                decoded->width, decoded->height, frame->width, frame->height));
        return std::nullopt;
    }
    if (frame->width == frame->canvasWidth && frame->height == frame->canvasHeight) return decoded;
    DecodedBitmap canvas;
    canvas.width = frame->canvasWidth;
    canvas.height = frame->canvasHeight;
    canvas.stride = canvas.width * 4;
    canvas.hasAlpha = true;
    canvas.argb32.assign(static_cast<size_t>(canvas.stride) * canvas.height, 0);
    for (int y = 0; y < decoded->height; ++y) {
        std::memcpy(canvas.argb32.data() + static_cast<size_t>(frame->y + y) * canvas.stride + size_t(frame->x) * 4,
                    decoded->argb32.data() + static_cast<size_t>(y) * decoded->stride, size_t(decoded->width) * 4);
    }
    return canvas;
}

Size pointSizeFor(const DecodedBitmap& decoded) {
    // 72 dots per inch is one point per pixel; a file without a resolution
    // counts as 72.
    const double w = decoded.dpiX > 0 ? decoded.width * 72.0 / decoded.dpiX : decoded.width;
    const double h = decoded.dpiY > 0 ? decoded.height * 72.0 / decoded.dpiY : decoded.height;
    return Size{w, h};
}

}  // namespace

ImageFormat detectImageFormat(std::span<const uint8_t> bytes) {
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) return ImageFormat::png;
    if (startsWith(bytes, "\xFF\xD8\xFF")) return ImageFormat::jpeg;
    if (startsWith(bytes, std::string_view("II*\0", 4)) || startsWith(bytes, std::string_view("MM\0*", 4)))
        return ImageFormat::tiff;
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return ImageFormat::gif;
    if (startsWith(bytes, "BM")) return ImageFormat::bmp;
    if (startsWith(bytes, std::string_view("\0\0\1\0", 4))) return ImageFormat::ico;
    if (startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8)) return ImageFormat::webp;
    if (startsWith(bytes, "8BPS")) return ImageFormat::psd;
    // A PDF header may follow some bytes of junk; readers look in the first KiB.
    const size_t window = std::min<size_t>(bytes.size(), 1024);
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()), window);
    if (head.find("%PDF-") != std::string_view::npos) return ImageFormat::pdf;
    return ImageFormat::unknown;
}

const char* formatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::png: return "png";
        case ImageFormat::jpeg: return "jpeg";
        case ImageFormat::tiff: return "tiff";
        case ImageFormat::gif: return "gif";
        case ImageFormat::bmp: return "bmp";
        case ImageFormat::ico: return "ico";
        case ImageFormat::webp: return "webp";
        case ImageFormat::psd: return "psd";
        case ImageFormat::pdf: return "pdf";
        case ImageFormat::unknown: break;
    }
    return "unknown";
}

std::optional<DecodedBitmap> decodeBitmapFile(std::span<const uint8_t> bytes, std::string* error,
                                              PictureProblem* problem, int64_t maxPixels) {
    const ImageFormat format = detectImageFormat(bytes);
    // The two formats not decoded by gdk-pixbuf state their size up front.
    auto be32 = [&](size_t at) {
        return int64_t(bytes[at]) << 24 | int64_t(bytes[at + 1]) << 16 | int64_t(bytes[at + 2]) << 8 | bytes[at + 3];
    };
    if (maxPixels < kMaxImagePixels) {
        if (format == ImageFormat::png && bytes.size() >= 24 &&
            !withinPixelBudget(be32(16), be32(20), maxPixels, error, problem)) {
            return std::nullopt;
        }
        if (format == ImageFormat::psd && bytes.size() >= 22 &&
            !withinPixelBudget(be32(18), be32(14), maxPixels, error, problem)) {
            return std::nullopt;
        }
    }
    switch (format) {
        case ImageFormat::unknown:
        case ImageFormat::pdf:
            noteProblem(error, problem, PictureProblem::notAPicture, "not a supported bitmap picture format");
            return std::nullopt;
        case ImageFormat::psd: {
            std::string why;
            auto decoded = decodePsd(bytes, &why);
            if (!decoded) {
                const bool large = why.find("size limit") != std::string::npos;
                const bool early = why.find("truncated") != std::string::npos || why.find("missing") != std::string::npos ||
                                   why.find("too short") != std::string::npos;
                noteProblem(error, problem,
                            large ? PictureProblem::tooLarge
                                  : early ? PictureProblem::truncated : PictureProblem::damaged,
                            why);
                return std::nullopt;
            }
            if (!dimensionsAcceptable(decoded->width, decoded->height)) {
                noteProblem(error, problem, PictureProblem::tooLarge, tooLargeText(decoded->width, decoded->height));
                return std::nullopt;
            }
            return decoded;
        }
        case ImageFormat::png:
            if (auto plain = decodePlainPng(bytes)) return plain;
            return decodeWithPixbuf(bytes, formatName(format), error, problem, maxPixels);
        default:
            if (!declaredSizesAcceptable(bytes, format, error, problem)) return std::nullopt;
            if (format == ImageFormat::webp && isAnimatedWebp(bytes)) {
                return decodeAnimatedWebp(bytes, error, problem, maxPixels);
            }
            return decodeWithPixbuf(bytes, formatName(format), error, problem, maxPixels);
    }
}

ImagePtr Image::fromData(std::span<const uint8_t> bytes, std::string* error, PictureProblem* problem) {
    const ImageFormat format = detectImageFormat(bytes);
    if (format == ImageFormat::pdf) {
        auto rep = PdfRep::fromData(std::vector<uint8_t>(bytes.begin(), bytes.end()), error, problem);
        if (!rep) return nullptr;
        if (rep->bounds().isEmpty()) {
            noteProblem(error, problem, PictureProblem::damaged, "the PDF page has an empty crop box");
            return nullptr;
        }
        return withRepresentation(std::move(rep));
    }
    auto decoded = decodeBitmapFile(bytes, error, problem);
    if (!decoded) return nullptr;
    const Size points = pointSizeFor(*decoded);
    auto bitmap = Bitmap::fromDecoded(std::move(*decoded));
    if (!bitmap || bitmap->width() == 0) {
        noteProblem(error, problem, PictureProblem::damaged, "decoder produced an inconsistent bitmap");
        return nullptr;
    }
    return withBitmap(std::move(bitmap), points);
}

ImagePtr Image::fromFile(const std::filesystem::path& path, std::string* error, PictureProblem* problem) {
    const auto bytes = readFileBytes(path, kMaxFileBytes, error, problem);
    if (!bytes) return nullptr;
    return fromData(*bytes, error, problem);
}

namespace {

// Whether the file still has the size and time of change it had when it was read.
bool unchangedSince(const std::filesystem::path& path, std::uintmax_t size, std::filesystem::file_time_type changed) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) != size || error) return false;
    return std::filesystem::last_write_time(path, error) == changed && !error;
}

}  // namespace

BitmapPtr Image::soleBitmap(const ImagePtr& image) {
    if (!image || image->reps_.size() != 1 || image->reps_.front()->kind() != ImageRep::Kind::bitmap) return nullptr;
    return std::static_pointer_cast<BitmapRep>(image->reps_.front())->bitmap();
}

bool Image::reloadPixelsFrom(const std::filesystem::path& path) {
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path, error);
    if (error) return false;
    const auto changed = std::filesystem::last_write_time(path, error);
    if (error) return false;
    return reloadPixelsFrom([path, bytes, changed]() -> std::optional<std::vector<uint8_t>> {
        if (!unchangedSince(path, bytes, changed)) return std::nullopt;
        auto read = readFileBytes(path, kMaxFileBytes, nullptr, nullptr);
        // Changed while it was read: not the bytes the picture was read from.
        if (!read || read->size() != bytes) return std::nullopt;
        return read;
    });
}

bool Image::reloadPixelsFrom(Reread reread) {
    if (reps_.size() != 1 || reps_.front()->kind() != ImageRep::Kind::bitmap || !reread) return false;
    encodedSource_ = EncodedSource{nullptr, reread};
    std::static_pointer_cast<BitmapRep>(reps_.front())->setReload([reread]() -> BitmapPtr {
        const auto bytes = reread();
        if (!bytes) return nullptr;
        return soleBitmap(Image::fromData(*bytes));
    });
    return true;
}

void Image::keepEncodedBytes(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    if (!bytes) return;
    encodedSource_ = EncodedSource{bytes, {}};
    if (reps_.size() != 1 || reps_.front()->kind() != ImageRep::Kind::bitmap) return;
    std::static_pointer_cast<BitmapRep>(reps_.front())->setReload(
        [bytes]() -> BitmapPtr { return soleBitmap(Image::fromData(*bytes)); });
}

std::optional<std::vector<uint8_t>> Image::encodedBytes() const {
    if (!encodedSource_) return std::nullopt;
    const auto& source = *encodedSource_;
    if (source.bytes) return *source.bytes;
    return source.reread();
}

std::shared_ptr<const std::vector<uint8_t>> Image::keptEncodedBytes() const {
    return encodedSource_ ? encodedSource_->bytes : nullptr;
}

bool Image::releasePixels() {
    bool released = false;
    for (const auto& rep : reps_) {
        if (rep->kind() == ImageRep::Kind::bitmap && std::static_pointer_cast<BitmapRep>(rep)->releasePixels()) {
            released = true;
        }
    }
    return released;
}

}  // namespace platform::graphics
