#pragma once
// Picture files made by the tests: a sample of every format the loader takes, the ways
// a file gets cut short, and hostile files built to exhaust memory, time or the
// renderer. Shared by the loader's tests, the command line's and the mutation run.
// Users link gdk-pixbuf, cairo and zlib.
#include <cairo-pdf.h>
#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include "platform/graphics/picture_problem.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace gwtest::samples {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline void putBe32(Bytes& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}
inline void putLe32(Bytes& out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) out.push_back(uint8_t(v >> s));
}
inline void putLe24(Bytes& out, uint32_t v) {
    for (int s = 0; s < 24; s += 8) out.push_back(uint8_t(v >> s));
}

// What a sample shows: a busy picture (a gradient with a pattern) so that compressed
// data is spread over the whole file and a cut anywhere loses rows, or a red top half
// over a blue bottom half, easy to check after decoding.
enum class Pattern { busy, redOverBlue };

inline GdkPixbuf* patternPixbuf(int width, int height, bool alpha, Pattern pattern = Pattern::busy) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, width, height);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    guint8* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            guint8* p = pixels + y * stride + x * channels;
            if (pattern == Pattern::redOverBlue) {
                const bool top = y < height / 2;
                p[0] = top ? 255 : 0;
                p[1] = 0;
                p[2] = top ? 0 : 255;
            } else {
                p[0] = guint8(x * 255 / std::max(1, width - 1));
                p[1] = guint8(((x * 7) ^ (y * 13)) & 0xFF);
                p[2] = guint8(y * 255 / std::max(1, height - 1));
            }
            if (alpha) p[3] = 255;
        }
    }
    return pixbuf;
}

// The picture saved by gdk-pixbuf as `type` (with an alpha channel for ICO, or when
// asked); empty when it cannot be saved.
inline Bytes savedWithPixbuf(const char* type, int width, int height,
                             std::vector<std::pair<std::string, std::string>> options = {},
                             Pattern pattern = Pattern::busy, bool alpha = false) {
    alpha = alpha || std::string(type) == "ico";
    GdkPixbuf* pixbuf = patternPixbuf(width, height, alpha, pattern);
    std::vector<char*> keys, values;
    for (auto& [k, v] : options) {
        keys.push_back(k.data());
        values.push_back(v.data());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    gchar* buffer = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    const bool ok = gdk_pixbuf_save_to_bufferv(pixbuf, &buffer, &length, type, keys.data(), values.data(), &error);
    g_object_unref(pixbuf);
    if (error != nullptr) g_error_free(error);
    if (!ok) return {};
    Bytes bytes(buffer, buffer + length);
    g_free(buffer);
    return bytes;
}

// A GIF written by hand (gdk-pixbuf cannot write one): a clear code before every
// pixel keeps the code width at three bits. Colours: 0 red, 1 blue, 2 green.
inline Bytes gif(int width, int height, Pattern pattern = Pattern::busy) {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a', uint8_t(width), uint8_t(width >> 8), uint8_t(height),
                 uint8_t(height >> 8), 0x81, 0, 0};
    const uint8_t palette[12] = {255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0, 0};
    out.insert(out.end(), palette, palette + 12);
    out.insert(out.end(), {0x2C, 0, 0, 0, 0, uint8_t(width), uint8_t(width >> 8), uint8_t(height),
                           uint8_t(height >> 8), 0, 2});
    Bytes data;
    uint32_t bits = 0;
    int count = 0;
    auto emit = [&](uint32_t code) {
        bits |= code << count;
        count += 3;
        while (count >= 8) {
            data.push_back(uint8_t(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            emit(4);
            emit(pattern == Pattern::redOverBlue ? uint32_t(y < height / 2 ? 0 : 1) : uint32_t((x + y) % 3));
        }
    emit(5);
    if (count > 0) data.push_back(uint8_t(bits & 0xFF));
    for (size_t i = 0; i < data.size(); i += 255) {
        const size_t n = std::min<size_t>(255, data.size() - i);
        out.push_back(uint8_t(n));
        out.insert(out.end(), data.begin() + long(i), data.begin() + long(i + n));
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

// A raw RGB composite, planar, without resources or layers.
inline Bytes psd(int width, int height, Pattern pattern = Pattern::busy) {
    Bytes out = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3};
    putBe32(out, uint32_t(height));
    putBe32(out, uint32_t(width));
    out.insert(out.end(), {0, 8, 0, 3});
    putBe32(out, 0);
    putBe32(out, 0);
    putBe32(out, 0);
    out.insert(out.end(), {0, 0});
    for (int channel = 0; channel < 3; ++channel)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (pattern == Pattern::redOverBlue) {
                    const bool top = y < height / 2;
                    out.push_back(channel == 0 ? (top ? 255 : 0) : channel == 2 ? (top ? 0 : 255) : 0);
                } else {
                    out.push_back(uint8_t(channel == 0 ? x * 4 : channel == 1 ? y * 4 : x ^ y));
                }
            }
    return out;
}

inline cairo_status_t appendToBytes(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<Bytes*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

// A one-page PDF with a few shapes, drawn by cairo.
inline Bytes pdf(double width, double height) {
    Bytes out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendToBytes, &out, width, height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.2, 0.4, 0.8);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, width / 2, height / 2, std::min(width, height) / 3, 0, 6.2832);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    return out;
}

inline std::string svgText(const std::string& rootAttributes, const std::string& body) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" " + rootAttributes + ">" + body + "</svg>\n";
}

inline Bytes svg(int width, int height) {
    return bytesOf(svgText("width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"",
                           "<rect width=\"100%\" height=\"100%\" fill=\"#3a7bd5\"/>"
                           "<circle cx=\"50%\" cy=\"50%\" r=\"30%\" fill=\"#ffffff\"/>"));
}

struct Sample {
    std::string format;     // as named by the loader's reasons
    std::string extension;  // the file name's
    Bytes bytes;
};

// One picture of every bitmap format the loader decodes, 64 x 48 pixels.
inline std::vector<Sample> bitmapSamples() {
    constexpr int w = 64, h = 48;
    return {
        {"png", "png", savedWithPixbuf("png", w, h)},
        {"jpeg", "jpg", savedWithPixbuf("jpeg", w, h, {{"quality", "90"}})},
        {"tiff", "tiff", savedWithPixbuf("tiff", w, h)},
        {"bmp", "bmp", savedWithPixbuf("bmp", w, h)},
        {"ico", "ico", savedWithPixbuf("ico", w, h)},
        {"webp", "webp", savedWithPixbuf("webp", w, h, {{"lossless", "true"}})},
        {"gif", "gif", gif(w, h)},
        {"psd", "psd", psd(w, h)},
    };
}

// Ways a file ends early: its first bytes only, cut inside the data at several places
// (so inside a row as well as between rows).
inline std::vector<std::pair<std::string, Bytes>> truncations(const Bytes& whole) {
    std::vector<std::pair<std::string, Bytes>> cuts;
    auto cut = [&](const std::string& name, size_t size) {
        size = std::min(size, whole.size() - 1);
        cuts.emplace_back(name, Bytes(whole.begin(), whole.begin() + long(size)));
    };
    cut("header only", std::min<size_t>(40, whole.size() / 4));
    cut("a third", whole.size() / 3);
    cut("half", whole.size() / 2 + 3);
    cut("two thirds", whole.size() * 2 / 3 + 1);
    cut("nine tenths", whole.size() * 9 / 10);
    return cuts;
}

// --- hostile files -------------------------------------------------------------

// Headers that claim a picture of width x height, followed by a little data.

// A PNG header, then a little IDAT of zeros that would inflate to a lot.
inline Bytes pngClaiming(uint32_t width, uint32_t height) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};
    Bytes chunk = {'I', 'H', 'D', 'R'};
    putBe32(chunk, width);
    putBe32(chunk, height);
    chunk.insert(chunk.end(), {8, 6, 0, 0, 0});
    png.insert(png.end(), chunk.begin(), chunk.end());
    putBe32(png, uint32_t(::crc32(0, chunk.data(), uInt(chunk.size()))));
    Bytes zeros(1 << 20, 0), packed(compressBound(zeros.size()));
    uLongf packedSize = packed.size();
    compress(packed.data(), &packedSize, zeros.data(), zeros.size());
    putBe32(png, uint32_t(packedSize));
    png.insert(png.end(), {'I', 'D', 'A', 'T'});
    png.insert(png.end(), packed.begin(), packed.begin() + long(packedSize));
    png.insert(png.end(), {0, 0, 0, 0});
    return png;
}

// A small GIF whose screen and image both claim 65535 x 65535.
inline Bytes gifClaimingTheMost() {
    auto out = gif(30, 20, Pattern::redOverBlue);
    for (size_t offset : {size_t(6), size_t(8), size_t(30), size_t(32)}) out[offset] = out[offset + 1] = 0xFF;
    return out;
}

inline Bytes bmpClaiming(uint32_t width, uint32_t height) {
    Bytes bmp = {'B', 'M'};
    putLe32(bmp, 54 + 1024);
    putLe32(bmp, 0);
    putLe32(bmp, 54);
    putLe32(bmp, 40);
    putLe32(bmp, width);
    putLe32(bmp, height);
    bmp.insert(bmp.end(), {1, 0, 24, 0});
    for (int i = 0; i < 6; ++i) putLe32(bmp, 0);
    bmp.resize(bmp.size() + 1024, 0x7F);
    return bmp;
}

inline Bytes tiffClaiming(uint32_t width, uint32_t height) {
    Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto le16 = [&](uint16_t v) { tiff.insert(tiff.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    const std::vector<std::array<uint32_t, 3>> entries = {
        {256, 4, width}, {257, 4, height}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
        {273, 4, 200},   {277, 3, 1},      {278, 4, height}, {279, 4, 1024},
    };
    le16(uint16_t(entries.size()));
    for (const auto& [tag, type, value] : entries) {
        le16(uint16_t(tag));
        le16(uint16_t(type));
        putLe32(tiff, 1);
        if (type == 3) {
            le16(uint16_t(value));
            le16(0);
        } else {
            putLe32(tiff, value);
        }
    }
    putLe32(tiff, 0);
    tiff.resize(200 + 1024, 0x7F);
    return tiff;
}


// An animated WebP of `frameBytes` claiming a canvas of width x height.
inline Bytes animatedWebpCanvas(uint32_t width, uint32_t height) {
    Bytes body = {'W', 'E', 'B', 'P', 'V', 'P', '8', 'X'};
    putLe32(body, 10);
    body.insert(body.end(), {0x12, 0, 0, 0});  // animation and alpha
    putLe24(body, width - 1);
    putLe24(body, height - 1);
    body.insert(body.end(), {'A', 'N', 'I', 'M'});
    putLe32(body, 6);
    body.insert(body.end(), {0, 0, 0, 0, 0, 0});
    body.insert(body.end(), {'A', 'N', 'M', 'F'});
    putLe32(body, 16 + 8 + 10);
    putLe24(body, 0);
    putLe24(body, 0);
    putLe24(body, 0);  // a 1 x 1 frame
    putLe24(body, 0);
    putLe24(body, 100);
    body.push_back(0);
    // A VP8L 1 x 1 frame.
    body.insert(body.end(), {'V', 'P', '8', 'L'});
    putLe32(body, 10);
    body.insert(body.end(), {0x2F, 0, 0, 0, 0x10, 0x07, 0x10, 0x11, 0x11, 0x88});
    Bytes out = {'R', 'I', 'F', 'F'};
    putLe32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A deflate stream (gzip or zlib framed) of `head`, then `megabytes` MiB of `fill`,
// then `tail`: the sizes of a bomb, made in an instant. After a full flush the
// compressor starts afresh, so every MiB of fill compresses to the same bytes, which
// are repeated; the trailer's checksum is combined to match.
inline Bytes deflatedBomb(const std::string& head, uint8_t fill, size_t megabytes, const std::string& tail,
                          bool gzip) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, gzip ? 15 + 16 : 15, 9, Z_DEFAULT_STRATEGY);
    Bytes out, chunk(1 << 16);
    auto feed = [&](const uint8_t* data, size_t n, int flush) {
        Bytes produced;
        stream.next_in = const_cast<uint8_t*>(data);
        stream.avail_in = uInt(n);
        do {
            stream.next_out = chunk.data();
            stream.avail_out = uInt(chunk.size());
            deflate(&stream, flush);
            produced.insert(produced.end(), chunk.begin(), chunk.begin() + long(chunk.size() - stream.avail_out));
        } while (stream.avail_out == 0);
        return produced;
    };
    const Bytes mebibyte(1 << 20, fill);
    out = feed(reinterpret_cast<const uint8_t*>(head.data()), head.size(), Z_FULL_FLUSH);
    const Bytes first = feed(mebibyte.data(), mebibyte.size(), Z_FULL_FLUSH);
    out.insert(out.end(), first.begin(), first.end());
    const Bytes repeated = feed(mebibyte.data(), mebibyte.size(), Z_FULL_FLUSH);
    for (size_t i = 2; i <= megabytes; ++i) out.insert(out.end(), repeated.begin(), repeated.end());
    const Bytes end = feed(reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), Z_FINISH);
    out.insert(out.end(), end.begin(), end.end());
    deflateEnd(&stream);
    // The trailer as it would be for all of the data.
    const size_t fillBytes = megabytes * mebibyte.size();
    auto sum = [&](auto update, auto combine, uLong initial) {
        uLong total = update(initial, reinterpret_cast<const Bytef*>(head.data()), uInt(head.size()));
        const uLong one = update(initial, mebibyte.data(), uInt(mebibyte.size()));
        for (size_t i = 0; i < megabytes; ++i) total = combine(total, one, z_off_t(mebibyte.size()));
        const uLong last = update(initial, reinterpret_cast<const Bytef*>(tail.data()), uInt(tail.size()));
        return combine(total, last, z_off_t(tail.size()));
    };
    if (gzip) {
        const uLong crc = sum(::crc32, ::crc32_combine, ::crc32(0, nullptr, 0));
        const uint32_t size = uint32_t(head.size() + fillBytes + tail.size());
        for (int i = 0; i < 4; ++i) out[out.size() - 8 + i] = uint8_t(crc >> (8 * i));
        for (int i = 0; i < 4; ++i) out[out.size() - 4 + i] = uint8_t(size >> (8 * i));
    } else {
        const uLong adler = sum(::adler32, ::adler32_combine, ::adler32(0, nullptr, 0));
        for (int i = 0; i < 4; ++i) out[out.size() - 4 + i] = uint8_t(adler >> (24 - 8 * i));
    }
    return out;
}

// A one-page PDF whose objects are given as text, with `stream` as the data of the
// last object's stream.
inline Bytes pdfWithStream(const std::string& objects, const Bytes& stream) {
    Bytes out = bytesOf(objects);
    out.insert(out.end(), stream.begin(), stream.end());
    const std::string tail = "\nendstream endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// A PDF with one content stream that inflates to `megabytes` MiB of spaces.
inline Bytes deflateBombPdf(size_t megabytes) {
    const Bytes packed = deflatedBomb("", ' ', megabytes, "", false);
    return pdfWithStream(
        "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
        "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
        "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents 4 0 R >> endobj\n"
        "4 0 obj << /Length " + std::to_string(packed.size()) + " /Filter /FlateDecode >> stream\n",
        packed);
}

// A PDF page drawing one image of width x height grey pixels: small when deflated,
// enormous when drawn.
inline Bytes hugeImagePdf(uint32_t width, uint32_t height) {
    // Far less data than the image needs: a hostile file need not be consistent.
    const Bytes packed = deflatedBomb("", 0, std::min<size_t>(16, (size_t(width) * height) >> 20), "", false);
    const std::string content = "q 100 0 0 100 0 0 cm /Im0 Do Q";
    return pdfWithStream(
        "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
        "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
        "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents 4 0 R "
        "/Resources << /XObject << /Im0 5 0 R >> >> >> endobj\n"
        "4 0 obj << /Length " + std::to_string(content.size()) + " >> stream\n" + content +
        "\nendstream endobj\n"
        "5 0 obj << /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
        std::to_string(height) + " /ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode /Length " +
        std::to_string(packed.size()) + " >> stream\n",
        packed);
}

// The same drawing with its mask at `size` points: a red square showing a red disc
// through the mask.
inline Bytes maskedDisc(int size) {
    const std::string s = std::to_string(size);
    const std::string half = std::to_string(size / 2);
    const std::string third = std::to_string(size / 3);
    return bytesOf(svgText("width=\"" + s + "\" height=\"" + s + "\"",
                           "<defs><mask id=\"m\" maskUnits=\"userSpaceOnUse\" x=\"0\" y=\"0\" width=\"" + s +
                               "\" height=\"" + s + "\"><circle cx=\"" + half + "\" cy=\"" + half + "\" r=\"" +
                               third + "\" fill=\"white\"/></mask></defs>"
                               "<rect width=\"" + s + "\" height=\"" + s + "\" fill=\"red\" mask=\"url(#m)\"/>"));
}

// The same blur over a drawing of `width` x `height`.
inline Bytes blurred(int width, int height, int deviation) {
    const std::string w = std::to_string(width), h = std::to_string(height);
    return bytesOf(svgText("width=\"" + w + "\" height=\"" + h + "\"",
                           "<filter id=\"b\"><feGaussianBlur stdDeviation=\"" + std::to_string(deviation) +
                               "\"/></filter><rect width=\"" + w + "\" height=\"" + h +
                               "\" fill=\"blue\" filter=\"url(#b)\"/>"));
}

// What a hostile picture must come to.
enum class Outcome {
    refused,  // with the problem given
    redDisc,  // converted, showing a red disc on a background that is not red
    converts, // converted (its content is not judged)
};

struct Hostile {
    std::string name;
    std::string fileName;
    Bytes bytes;
    Outcome outcome;
    platform::graphics::PictureProblem problem = platform::graphics::PictureProblem::none;
};

// Every kind of hostile picture: each is refused with its reason, or converted
// correctly, without crashing, hanging or taking more than the memory budget.
inline std::vector<Hostile> hostilePictures() {
    using P = platform::graphics::PictureProblem;
    std::vector<Hostile> all;
    all.push_back({"svg wider than cairo's coordinates", "wide.svg", svg(8388609, 100), Outcome::refused, P::tooLarge});
    all.push_back({"svg of huge size on both sides", "huge.svg", svg(1000000, 1000000), Outcome::refused, P::tooLarge});
    all.push_back({"svg with nested patterns and filters", "nested.svg",
                   bytesOf(svgText("width=\"4000\" height=\"4000\"",
                                   "<defs><filter id=\"f\" x=\"-1000%\" y=\"-1000%\" width=\"2100%\" "
                                   "height=\"2100%\"><feGaussianBlur stdDeviation=\"50\"/></filter>"
                                   "<pattern id=\"p1\" width=\"40000\" height=\"40000\" patternUnits=\"userSpaceOnUse\">"
                                   "<rect width=\"40000\" height=\"40000\" fill=\"red\" filter=\"url(#f)\"/></pattern>"
                                   "<pattern id=\"p2\" width=\"40000\" height=\"40000\" patternUnits=\"userSpaceOnUse\">"
                                   "<rect width=\"40000\" height=\"40000\" fill=\"url(#p1)\" filter=\"url(#f)\"/>"
                                   "</pattern></defs>"
                                   "<rect width=\"4000\" height=\"4000\" fill=\"url(#p2)\" filter=\"url(#f)\"/>")),
                   Outcome::refused, P::incompleteRender});
    all.push_back({"svg of 16000 x 16000 with a blur", "blur.svg", blurred(16000, 16000, 500), Outcome::refused,
                   P::tooLarge});
    all.push_back({"svg of 16000 x 4000 with a blur", "blurwide.svg", blurred(16000, 4000, 500), Outcome::refused,
                   P::tooDemanding});
    all.push_back({"svg with a 16000 pixel blur", "blur16000.svg", blurred(1000, 1000, 16000), Outcome::converts});
    all.push_back({"svg mask at 16385", "mask16385.svg", maskedDisc(16385), Outcome::refused, P::tooLarge});
    all.push_back({"svg mask at 40000", "mask40000.svg", maskedDisc(40000), Outcome::refused, P::tooLarge});
    all.push_back({"svg mask at 8000", "mask8000.svg", maskedDisc(8000), Outcome::refused, P::tooDemanding});
    all.push_back({"svg mask at 1000", "mask1000.svg", maskedDisc(1000), Outcome::redDisc});
    // Compressed SVG is read by its content, whatever the name says.
    all.push_back({"gzip bomb svg", "bomb.svg",
                   deflatedBomb("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"><!--", ' ', 1024,
                                "--></svg>\n", true),
                   Outcome::refused, P::tooDemanding});
    // Bitmaps are read by their content too: a WebP under a name we take.
    all.push_back({"animated webp canvas 30000 x 30000", "canvas.png", animatedWebpCanvas(30000, 30000),
                   Outcome::refused, P::tooLarge});
    all.push_back({"animated webp canvas 16384 x 16384", "canvas16k.png", animatedWebpCanvas(16384, 16384),
                   Outcome::refused, P::tooLarge});
    {
        // A WebP whose frame header claims 16383 x 16383 over 64 x 48 pixels of data.
        auto webp = savedWithPixbuf("webp", 64, 48);
        const std::string chunk = "VP8 ";
        const size_t at = size_t(std::search(webp.begin(), webp.end(), chunk.begin(), chunk.end()) - webp.begin()) + 14;
        if (at + 4 <= webp.size()) {
            for (size_t side = 0; side < 2; ++side) {
                webp[at + 2 * side] = 0xFF;
                webp[at + 2 * side + 1] = 0x3F;
            }
        }
        all.push_back({"webp claiming 16383 x 16383", "claims.png", webp, Outcome::refused, P::tooLarge});
    }
    // Past what the text layout's fixed-point sizes hold, the renderer aborts.
    all.push_back({"svg with an enormous font size", "font.svg",
                   bytesOf(svgText("width=\"64\" height=\"64\"", "<text x=\"4\" y=\"40\" font-size=\"99999999\">Aa</text>")),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf deflate bomb", "bomb.pdf", deflateBombPdf(1024), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf with a 30000 x 30000 image", "image.pdf", hugeImagePdf(30000, 30000), Outcome::refused,
                   P::tooLarge});
    {
        auto png = savedWithPixbuf("png", 1024, 1024);
        png.resize(300);
        all.push_back({"png of 1024 x 1024 cut after 300 bytes", "truncated.png", png, Outcome::refused,
                       P::truncated});
    }
    return all;
}

}  // namespace gwtest::samples
