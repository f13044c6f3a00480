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
#include <cstdio>
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

// A RIFF chunk: tag, length, payload, padded to an even length.
inline void putChunk(Bytes& out, const std::string& tag, const Bytes& payload) {
    out.insert(out.end(), tag.begin(), tag.end());
    putLe32(out, uint32_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    if (payload.size() % 2 == 1) out.push_back(0);
}

// The head of an animated WebP's frame (an ANMF chunk's payload): where it lies on the
// canvas (x and y even), its size, 100 ms, and `flags`.
inline Bytes webpFrameHeader(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint8_t flags) {
    Bytes frame;
    putLe24(frame, x / 2);
    putLe24(frame, y / 2);
    putLe24(frame, width - 1);
    putLe24(frame, height - 1);
    putLe24(frame, 100);
    frame.push_back(flags);
    return frame;
}

// An animated WebP on a canvas of width x height, of `frames` (ANMF chunks' payloads).
inline Bytes animatedWebpOf(uint32_t width, uint32_t height, const std::vector<Bytes>& frames) {
    Bytes body = {'W', 'E', 'B', 'P'};
    Bytes header = {0x12, 0, 0, 0};  // animation, alpha
    putLe24(header, width - 1);
    putLe24(header, height - 1);
    putChunk(body, "VP8X", header);
    putChunk(body, "ANIM", {0, 0, 0, 0, 0, 0});
    for (const Bytes& frame : frames) putChunk(body, "ANMF", frame);
    Bytes out = {'R', 'I', 'F', 'F'};
    putLe32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
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


// An animated WebP of one 1 x 1 frame claiming a canvas of width x height.
inline Bytes animatedWebpCanvas(uint32_t width, uint32_t height) {
    Bytes frame = webpFrameHeader(0, 0, 1, 1, 0);
    putChunk(frame, "VP8L", {0x2F, 0, 0, 0, 0x10, 0x07, 0x10, 0x11, 0x11, 0x88});
    return animatedWebpOf(width, height, {frame});
}

// A deflate stream (gzip or zlib framed) of `head`, then `megabytes` MiB of `unit`
// repeated (the last repetition in each MiB cut short), then `tail`: the sizes of a bomb,
// made in an instant. After a full flush the compressor starts afresh, so every MiB of
// fill compresses to the same bytes, which are repeated; the trailer's checksum is
// combined to match.
inline Bytes deflatedRepeat(const std::string& head, const std::string& unit, size_t megabytes,
                            const std::string& tail, bool gzip) {
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
    Bytes mebibyte(1 << 20);
    for (size_t i = 0; i < mebibyte.size(); ++i) mebibyte[i] = uint8_t(unit[i % unit.size()]);
    out = feed(reinterpret_cast<const uint8_t*>(head.data()), head.size(), Z_FULL_FLUSH);
    if (megabytes > 0) {
        const Bytes first = feed(mebibyte.data(), mebibyte.size(), Z_FULL_FLUSH);
        out.insert(out.end(), first.begin(), first.end());
    }
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

inline Bytes deflatedBomb(const std::string& head, uint8_t fill, size_t megabytes, const std::string& tail,
                          bool gzip) {
    return deflatedRepeat(head, std::string(1, char(fill)), megabytes, tail, gzip);
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

// --- animations -------------------------------------------------------------------

// LSB-first bits, as the lossless WebP and GIF bit streams pack them.
struct BitWriter {
    Bytes bytes;
    uint32_t pending = 0;
    int count = 0;
    void put(uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) {
            pending |= ((value >> i) & 1u) << count;
            if (++count == 8) {
                bytes.push_back(uint8_t(pending));
                pending = 0;
                count = 0;
            }
        }
    }
    Bytes finish() {
        if (count > 0) bytes.push_back(uint8_t(pending));
        pending = 0;
        count = 0;
        return bytes;
    }
};

// A lossless WebP bit stream of width x height pixels of one colour: every prefix code
// has a single symbol, so the pixels take no bits at all and any size is a few bytes.
inline Bytes solidVp8l(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    BitWriter bits;
    bits.put(0x2F, 8);
    bits.put(width - 1, 14);
    bits.put(height - 1, 14);
    bits.put(a != 255 ? 1 : 0, 1);
    bits.put(0, 3);  // version
    bits.put(0, 1);  // no transform
    bits.put(0, 1);  // no colour cache
    bits.put(0, 1);  // no meta prefix codes
    for (const uint8_t symbol : {g, r, b, a}) {
        bits.put(1, 1);  // simple code
        bits.put(0, 1);  // one symbol
        bits.put(1, 1);  // of eight bits
        bits.put(symbol, 8);
    }
    bits.put(1, 1);  // the distance code: one symbol of one bit
    bits.put(0, 1);
    bits.put(0, 1);
    bits.put(0, 1);
    Bytes out = bits.finish();
    out.resize(out.size() + 4, 0);
    return out;
}

// An animated WebP: a canvas of width x height and `frames` frames, each filling it
// with one colour; the first is red at (frameX, frameY) and frameWidth x frameHeight
// (the whole canvas when 0), the others alternate blue and green.
inline Bytes animatedWebp(uint32_t width, uint32_t height, size_t frames, uint32_t frameWidth = 0,
                          uint32_t frameHeight = 0, uint32_t frameX = 0, uint32_t frameY = 0) {
    std::vector<Bytes> all;
    for (size_t i = 0; i < frames; ++i) {
        const bool first = i == 0;
        const uint32_t w = first && frameWidth > 0 ? frameWidth : width;
        const uint32_t h = first && frameHeight > 0 ? frameHeight : height;
        Bytes frame = webpFrameHeader(first ? frameX : 0, first ? frameY : 0, w, h, 0x02);  // no blending
        const Bytes pixels = first ? solidVp8l(w, h, 255, 0, 0) : i % 2 ? solidVp8l(w, h, 0, 0, 255)
                                                                        : solidVp8l(w, h, 0, 255, 0);
        putChunk(frame, "VP8L", pixels);
        all.push_back(std::move(frame));
    }
    return animatedWebpOf(width, height, all);
}

// A GIF of `frames` frames of 1 x 1 pixel, each with its own timing, 23 bytes a frame.
inline Bytes manyFramesGif(size_t frames) {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 255, 0, 0, 0, 0, 255};
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t colour = uint8_t(i % 2);
        out.insert(out.end(), {0x21, 0xF9, 4, 0x04, 10, 0, 0, 0});  // 10 ms, keep the frame
        out.insert(out.end(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0});
        // Clear, the pixel, end: three-bit codes 4, colour, 5.
        const uint32_t codes = 4u | uint32_t(colour) << 3 | 5u << 6;
        out.insert(out.end(), {2, 2, uint8_t(codes), uint8_t(codes >> 8), 0});
    }
    out.push_back(0x3B);
    return out;
}

// --- declared sizes ------------------------------------------------------------------

// A sound 24-bit BMP of width x height whose header field at `offset` (32 bits) is
// replaced by `value`.
inline Bytes bmpWithField(uint32_t width, uint32_t height, size_t offset, uint32_t value) {
    Bytes bmp = savedWithPixbuf("bmp", int(width), int(height));
    for (int i = 0; i < 4; ++i) bmp[offset + i] = uint8_t(value >> (8 * i));
    return bmp;
}

// A sound ICO whose first directory entry's field at `offset` (32 bits, 6 + offset in
// the file: 8 is the data size, 12 its position) is replaced by `value`.
inline Bytes icoWithEntryField(size_t offset, uint32_t value) {
    Bytes ico = savedWithPixbuf("ico", 32, 32);
    for (int i = 0; i < 4; ++i) ico[6 + offset + i] = uint8_t(value >> (8 * i));
    return ico;
}

// --- PDF pages that are a lot of work -------------------------------------------------

// A PDF of numbered objects given as texts (each "<< ... >>" or "<< ... >> stream\n..."),
// object 1 the catalog, with a cross-reference table.
inline Bytes pdfOfObjects(const std::vector<Bytes>& objects) {
    Bytes out = bytesOf("%PDF-1.5\n%\xE2\xE3\xCF\xD3\n");
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        const std::string head = std::to_string(i + 1) + " 0 obj\n";
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), objects[i].begin(), objects[i].end());
        const std::string tail = "\nendobj\n";
        out.insert(out.end(), tail.begin(), tail.end());
    }
    const size_t xref = out.size();
    std::string table = "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const size_t offset : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        table += line;
    }
    table += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
             std::to_string(xref) + "\n%%EOF\n";
    out.insert(out.end(), table.begin(), table.end());
    return out;
}

inline Bytes pdfStream(const std::string& dictionary, const Bytes& data) {
    Bytes out = bytesOf("<< " + dictionary + " /Length " + std::to_string(data.size()) + " >>\nstream\n");
    out.insert(out.end(), data.begin(), data.end());
    const std::string tail = "\nendstream";
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// Objects 1 to 3: catalog, page tree, and a page of width x height points whose
// contents are object 4 and whose resources are `resources`.
inline std::vector<Bytes> pdfPage(int width, int height, const std::string& resources) {
    return {bytesOf("<< /Type /Catalog /Pages 2 0 R >>"), bytesOf("<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
            bytesOf("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) + " " +
                    std::to_string(height) + "] /Contents 4 0 R /Resources " + resources + " >>")};
}

// The objects of a page whose contents draw form F0, and form XObjects `levels` deep,
// each drawing the next `fanout` times: fanout^levels rectangles from a few kilobytes.
inline std::vector<Bytes> nestedFormObjects(int levels, int fanout) {
    auto objects = pdfPage(100, 100, "<< /XObject << /F0 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf("/F0 Do")));
    for (int level = 0; level < levels; ++level) {
        std::string content;
        for (int i = 0; level + 1 < levels && i < fanout; ++i) content += "/F Do ";
        if (level + 1 == levels) content = "0 0 1 rg 10 10 80 80 re f";
        const std::string resources =
            level + 1 < levels ? " /Resources << /XObject << /F " + std::to_string(6 + level) + " 0 R >> >>" : "";
        objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100]" + resources, bytesOf(content)));
    }
    return objects;
}

inline Bytes nestedFormsPdf(int levels, int fanout) { return pdfOfObjects(nestedFormObjects(levels, fanout)); }

// The objects of pdfOfObjects(), all but the streams kept in one object stream and
// found through a cross-reference stream, as newer writers save.
inline Bytes pdfInObjectStream(const std::vector<Bytes>& objects) {
    const auto isStream = [](const Bytes& object) {
        const std::string text(object.begin(), object.end());
        return text.find("\nstream\n") != std::string::npos;
    };
    auto append = [](Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); };
    Bytes out = bytesOf("%PDF-1.5\n");
    const uint32_t count = uint32_t(objects.size());
    const uint32_t holder = count + 1, table = count + 2;
    std::vector<std::pair<int, uint32_t>> where(count + 3);  // type, offset or index
    std::string header, body;
    uint32_t index = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (isStream(objects[i])) {
            where[i + 1] = {1, uint32_t(out.size())};
            append(out, std::to_string(i + 1) + " 0 obj\n");
            out.insert(out.end(), objects[i].begin(), objects[i].end());
            append(out, "\nendobj\n");
        } else {
            where[i + 1] = {2, index++};
            header += std::to_string(i + 1) + " " + std::to_string(body.size()) + " ";
            body += std::string(objects[i].begin(), objects[i].end()) + "\n";
        }
    }
    where[holder] = {1, uint32_t(out.size())};
    append(out, std::to_string(holder) + " 0 obj\n");
    const Bytes stream = pdfStream("/Type /ObjStm /N " + std::to_string(index) + " /First " +
                                       std::to_string(header.size()),
                                   bytesOf(header + body));
    out.insert(out.end(), stream.begin(), stream.end());
    append(out, "\nendobj\n");
    const size_t xref = out.size();
    where[table] = {1, uint32_t(xref)};
    Bytes rows;
    for (uint32_t num = 0; num < count + 3; ++num) {
        const auto [type, value] = where[num];
        rows.push_back(uint8_t(type));
        putBe32(rows, type == 2 ? holder : value);
        rows.push_back(0);
        rows.push_back(type == 2 ? uint8_t(value) : 0);
    }
    append(out, std::to_string(table) + " 0 obj\n");
    const Bytes xrefStream =
        pdfStream("/Type /XRef /W [1 4 2] /Size " + std::to_string(count + 3) + " /Root 1 0 R", rows);
    out.insert(out.end(), xrefStream.begin(), xrefStream.end());
    append(out, "\nendobj\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n");
    return out;
}

// One grey image of side x side pixels (sound, deflated) drawn `times` over the page.
inline Bytes repeatedImagePdf(uint32_t side, int times) {
    std::string content;
    for (int i = 0; i < times; ++i) content += "q 100 0 0 100 0 0 cm /Im0 Do Q\n";
    auto objects = pdfPage(100, 100, "<< /XObject << /Im0 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf(content)));
    const size_t pixels = size_t(side) * side;
    const Bytes packed =
        deflatedRepeat("", std::string(1, char(0x80)), pixels >> 20, std::string(pixels & 0xFFFFF, char(0x80)), false);
    objects.push_back(pdfStream("/Type /XObject /Subtype /Image /Width " + std::to_string(side) + " /Height " +
                                    std::to_string(side) +
                                    " /ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode",
                                packed));
    return pdfOfObjects(objects);
}

// A page whose deflated contents are `megabytes` MiB of `unit`, repeated.
inline Bytes manyOperatorsPdf(const std::string& unit, size_t megabytes) {
    auto objects = pdfPage(100, 100, "<< >>");
    objects.push_back(pdfStream("/Filter /FlateDecode", deflatedRepeat("", unit, megabytes, "\n", false)));
    return pdfOfObjects(objects);
}

// An image of 16 x 16 pixels by its dictionary whose JPEG 2000 codestream says
// width x height.
inline Bytes jpxImagePdf(uint32_t width, uint32_t height) {
    auto objects = pdfPage(100, 100, "<< /XObject << /Im0 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf("q 100 0 0 100 0 0 cm /Im0 Do Q")));
    Bytes codestream = {0xFF, 0x4F, 0xFF, 0x51, 0, 41, 0, 0};
    for (const uint32_t value : {width, height, 0u, 0u, width, height, 0u, 0u}) putBe32(codestream, value);
    codestream.insert(codestream.end(), {0, 1, 7, 1, 1, 0xFF, 0xD9});
    objects.push_back(pdfStream("/Type /XObject /Subtype /Image /Width 16 /Height 16 /ColorSpace /DeviceGray "
                                "/BitsPerComponent 8 /Filter /JPXDecode",
                                codestream));
    return pdfOfObjects(objects);
}

// A page whose trailer says the document is encrypted.
inline Bytes encryptedPdf() {
    Bytes out = pdf(64, 64);
    const std::string trailer = "trailer";
    auto at = std::search(out.begin(), out.end(), trailer.begin(), trailer.end());
    at = std::find(at, out.end(), '<');
    const std::string encrypt = "<< /Encrypt << /Filter /Standard /V 1 /R 2 /P -4 /O (x) /U (x) >> ";
    if (at != out.end()) out.insert(at + 2, encrypt.begin() + 2, encrypt.end());
    return out;
}

// --- SVG documents that are a lot of work -------------------------------------------

inline std::string base64(const Bytes& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t n = uint32_t(bytes[i]) << 16 | (i + 1 < bytes.size() ? uint32_t(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < bytes.size() ? uint32_t(bytes[i + 2]) : 0);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
    }
    return out;
}

// A PNG of side x side black pixels, sound, deflated.
inline Bytes greyPng(uint32_t side) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const std::string& tag, const Bytes& data) {
        putBe32(png, uint32_t(data.size()));
        Bytes typed(tag.begin(), tag.end());
        typed.insert(typed.end(), data.begin(), data.end());
        png.insert(png.end(), typed.begin(), typed.end());
        putBe32(png, uint32_t(::crc32(0, typed.data(), uInt(typed.size()))));
    };
    Bytes header;
    putBe32(header, side);
    putBe32(header, side);
    header.insert(header.end(), {8, 0, 0, 0, 0});
    chunk("IHDR", header);
    // Each row is filter byte 0 and black pixels: zeros throughout.
    const size_t raw = size_t(side + 1) * side;
    chunk("IDAT", deflatedRepeat("", std::string(1, '\0'), raw >> 20, std::string(raw & 0xFFFFF, '\0'), false));
    chunk("IEND", {});
    return png;
}

inline Bytes embeddedPictureSvg(const Bytes& png) {
    return bytesOf(svgText("width=\"64\" height=\"64\"",
                           "<rect width=\"64\" height=\"64\" fill=\"blue\"/>"
                           "<image x=\"16\" y=\"16\" width=\"32\" height=\"32\" href=\"data:image/png;base64," +
                               base64(png) + "\"/>"));
}

// One entity of `length` characters used `count` times in a text.
inline Bytes entityTextSvg(size_t length, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += "&a;";
    return bytesOf("<?xml version=\"1.0\"?>\n<!DOCTYPE svg [\n<!ENTITY a \"" + std::string(length, 'a') +
                   "\">\n]>\n" + svgText("width=\"64\" height=\"64\"", "<text x=\"0\" y=\"32\">" + text + "</text>"));
}

// Entities of ten references each, `levels` deep, the last used in a text.
inline Bytes entityExpansionSvg(int levels) {
    std::string doctype = "<?xml version=\"1.0\"?>\n<!DOCTYPE svg [\n<!ENTITY e0 \"laugh laugh \">\n";
    for (int i = 1; i < levels; ++i) {
        doctype += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) doctype += "&e" + std::to_string(i - 1) + ";";
        doctype += "\">\n";
    }
    doctype += "]>\n";
    return bytesOf(doctype + svgText("width=\"64\" height=\"64\"", "<text x=\"0\" y=\"32\">&e" +
                                                                         std::to_string(levels - 1) + ";</text>"));
}

inline Bytes manyRectanglesSvg(size_t count) {
    std::string body;
    body.reserve(count * 48);
    for (size_t i = 0; i < count; ++i) {
        body += "<rect x=\"" + std::to_string(i % 64) + "\" y=\"" + std::to_string(i / 64 % 64) +
                "\" width=\"1\" height=\"1\" fill=\"#0a0\"/>\n";
    }
    return bytesOf(svgText("width=\"64\" height=\"64\"", body));
}

// Masks `depth` deep, each masking its content with the one before.
inline Bytes nestedMasksSvg(int depth, int side) {
    const std::string s = std::to_string(side);
    std::string defs = "<mask id=\"m0\"><rect width=\"" + s + "\" height=\"" + s + "\" fill=\"white\"/></mask>";
    for (int i = 1; i < depth; ++i) {
        defs += "<mask id=\"m" + std::to_string(i) + "\"><rect width=\"" + s + "\" height=\"" + s +
                "\" fill=\"white\" mask=\"url(#m" + std::to_string(i - 1) + ")\"/></mask>";
    }
    return bytesOf(svgText("width=\"" + s + "\" height=\"" + s + "\"",
                           "<defs>" + defs + "</defs><rect width=\"" + s + "\" height=\"" + s +
                               "\" fill=\"red\" mask=\"url(#m" + std::to_string(depth - 1) + ")\"/>"));
}

inline Bytes turbulenceSvg(const std::string& octaves) {
    return bytesOf(svgText("width=\"64\" height=\"64\"",
                           "<filter id=\"t\"><feTurbulence baseFrequency=\"0.05\" numOctaves=\"" + octaves +
                               "\"/></filter><rect width=\"64\" height=\"64\" filter=\"url(#t)\"/>"));
}

// --- PDF shadings, patterns and codecs that are a lot of work --------------------------

// `text` deflated with a zlib frame, as PDF streams take it.
inline Bytes deflated(const std::string& text) {
    uLongf size = compressBound(uLong(text.size()));
    Bytes packed(size);
    compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()), 6);
    packed.resize(size);
    return packed;
}

// A 1024-pt page painting `paints` times (each in a square `clip` pt wide, or the whole
// page) the shading `shading` (a dictionary, or an object number as "N 0 R"), with
// `more` objects after it, numbered from 6.
inline Bytes shadingPagePdf(const std::string& shading, int paints, const std::vector<Bytes>& more = {},
                            int clip = 0) {
    auto objects = pdfPage(1024, 1024, "<< /Shading << /S 5 0 R >> >>");
    std::string paint = clip > 0 ? "q 10 10 " + std::to_string(clip) + " " + std::to_string(clip) + " re W n /S sh Q\n"
                                 : "/S sh\n";
    std::string content;
    for (int i = 0; i < paints; ++i) content += paint;
    objects.push_back(pdfStream("/Filter /FlateDecode", deflated(content)));
    objects.push_back(bytesOf(shading));
    objects.insert(objects.end(), more.begin(), more.end());
    return pdfOfObjects(objects);
}

inline const std::string kRedToBlue = "<< /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >>";

// One axial shading from red to blue across the page, or a radial one about its middle.
inline std::string axialShading() {
    return "<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 1024 0] /Extend [true true] /Function " +
           kRedToBlue + " >>";
}
inline std::string radialShading() {
    return "<< /ShadingType 3 /ColorSpace /DeviceRGB /Coords [512 512 0 512 512 700] /Extend [true true] "
           "/Function " + kRedToBlue + " >>";
}

// A function-based shading over the page whose calculator function runs `operators`
// operators (adding and taking away 1) for each colour.
inline Bytes calculatorShadingPdf(int operators) {
    std::string program = "{ pop";
    for (int i = 0; i < operators / 4; ++i) program += " 1 add 1 sub";
    program += " dup dup }";
    return shadingPagePdf("<< /ShadingType 1 /ColorSpace /DeviceRGB /Domain [0 1 0 1] /Matrix [1024 0 0 1024 0 0] "
                          "/Function 6 0 R >>",
                          1, {pdfStream("/FunctionType 4 /Domain [0 1 0 1] /Range [0 1 0 1 0 1]", bytesOf(program))});
}

// An axial shading whose function is `levels` stitching functions, each holding the next
// `fanout` times: fanout^levels functions once poppler has parsed them all.
inline Bytes stitchedShadingPdf(int levels, int fanout) {
    std::vector<Bytes> functions;
    for (int level = 0; level < levels; ++level) {
        const std::string next = std::to_string(7 + level) + " 0 R ";
        std::string held, bounds, encode;
        for (int i = 0; i < fanout; ++i) {
            held += next;
            encode += "0 1 ";
            if (i > 0) bounds += std::to_string(double(i) / fanout) + " ";
        }
        functions.push_back(bytesOf("<< /FunctionType 3 /Domain [0 1] /Functions [" + held + "] /Bounds [" + bounds +
                                    "] /Encode [" + encode + "] >>"));
    }
    functions.push_back(bytesOf(kRedToBlue));
    return shadingPagePdf("<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 1024 0] /Function 6 0 R >>", 1,
                          functions);
}

// A mesh shading over the page: `count` Coons patches (type 6) or free-form triangles
// in a strip (type 4), red, each some 24 pt across, deflated (or not). Coordinates are
// 16 bits over 0 to 1024; the patches' data is cut short at each MiB's end and read on
// out of step, as any hostile data may be.
inline Bytes meshShadingPdf(int type, size_t count, bool deflate = true) {
    auto coordinate = [](Bytes& out, double value) {
        const uint32_t v = uint32_t(value / 1024 * 65535);
        out.push_back(uint8_t(v >> 8));
        out.push_back(uint8_t(v));
    };
    size_t unitCount = 0;
    Bytes unit;
    if (type == 6) {
        unit.push_back(0);
        for (int k = 0; k < 12; ++k) {
            coordinate(unit, 500 + 8 * (k % 4));
            coordinate(unit, 500 + 8 * (k / 4));
        }
        for (int k = 0; k < 4; ++k) unit.insert(unit.end(), {255, 0, 0});
        unitCount = count;
    } else {
        // After the first three, each vertex flagged 1 makes a triangle with the last two.
        for (int k = 0; k < 4; ++k) {
            unit.push_back(k < 3 ? 0 : 1);
            coordinate(unit, 500 + 24 * (k % 2));
            coordinate(unit, 500 + 24 * (k / 2));
            unit.insert(unit.end(), {255, 0, 0});
        }
        unitCount = count / 2;  // two triangles a unit, counting the strip's start
    }
    const size_t bytes = unit.size() * unitCount;
    const std::string text(unit.begin(), unit.end());
    std::string all;
    if (bytes < (size_t(1) << 20)) {
        for (size_t i = 0; i < unitCount; ++i) all += text;
    }
    if (!deflate) {
        return shadingPagePdf("6 0 R", 1,
                              {pdfStream("/ShadingType " + std::to_string(type) +
                                             " /ColorSpace /DeviceRGB /BitsPerCoordinate 16 /BitsPerComponent 8 "
                                             "/BitsPerFlag 8 /Decode [0 1024 0 1024 0 1 0 1 0 1]",
                                         bytesOf(all))});
    }
    const Bytes packed = all.empty() ? deflatedRepeat("", text, bytes >> 20, "", false) : deflated(all);
    return shadingPagePdf("6 0 R", 1,
                          {pdfStream("/ShadingType " + std::to_string(type) +
                                         " /ColorSpace /DeviceRGB /BitsPerCoordinate 16 /BitsPerComponent 8 "
                                         "/BitsPerFlag 8 /Decode [0 1024 0 1024 0 1 0 1 0 1] /Filter /FlateDecode",
                                     packed)});
}

// A small page whose newest cross-reference section is a stream of one byte a row
// (/W [1 0 0]) listing `ranges` ranges of `perRange` entries each, free (type 0) or in
// use (type 1), past the objects the page has; the older table holds those. Six ranges of
// ten million: some 60 KB.
inline Bytes crossReferenceFloodPdf(int ranges, uint32_t perRange, bool inUse) {
    Bytes out = pdfOfObjects({bytesOf("<< /Type /Catalog /Pages 2 0 R >>"),
                              bytesOf("<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
                              bytesOf("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] >>")});
    const std::string text(out.begin(), out.end());
    const size_t mark = text.rfind("startxref\n");
    const std::string previous = text.substr(mark + 10, text.find('\n', mark + 10) - (mark + 10));
    out.resize(mark);
    const size_t listed = size_t(ranges) * perRange;
    std::string index;
    for (int i = 0; i < ranges; ++i) index += std::to_string(1000000 + uint64_t(i) * perRange) + " " + std::to_string(perRange) + " ";
    const char row = char(inUse);
    const Bytes rows = deflatedRepeat("", std::string(1, row), listed >> 20, std::string(listed & 0xFFFFF, row), false);
    const size_t at = out.size();
    const Bytes stream = pdfStream("/Type /XRef /W [1 0 0] /Index [" + index + "] /Size " +
                                       std::to_string(1000000 + listed) + " /Root 1 0 R /Prev " + previous +
                                       " /Filter /FlateDecode",
                                   rows);
    const Bytes head = bytesOf("4 0 obj\n");
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), stream.begin(), stream.end());
    const Bytes tail = bytesOf("\nendobj\nstartxref\n" + std::to_string(at) + "\n%%EOF\n");
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// A 1024-pt page whose contents fill a square, with one annotation over the page whose
// appearance (drawn when the page is printed) runs `appearance` with the shading S,
// `shading`, and the form F, the first of `forms` (numbered from 7).
inline Bytes annotatedPdf(const std::string& appearance, const std::string& shading,
                          const std::vector<Bytes>& forms = {}) {
    std::vector<Bytes> objects = {
        bytesOf("<< /Type /Catalog /Pages 2 0 R >>"), bytesOf("<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
        bytesOf("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 1024 1024] /Contents 4 0 R /Resources << >> "
                "/Annots [5 0 R] >>"),
        pdfStream("", bytesOf("0 g 0 0 10 10 re f")),
        bytesOf("<< /Type /Annot /Subtype /Square /Rect [0 0 1024 1024] /F 4 /AP << /N 6 0 R >> >>"),
        pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 1024 1024] /Resources << /Shading << /S " + shading +
                      " >> /XObject << /F 7 0 R >> >> /Filter /FlateDecode",
                  deflated(appearance))};
    objects.insert(objects.end(), forms.begin(), forms.end());
    return pdfOfObjects(objects);
}

// JBIG2 data of one page information segment (number 0, type 48, nothing referred to,
// page 1) declaring a page of width x height.
inline Bytes jbig2PageSegment(uint32_t width, uint32_t height) {
    Bytes data = {0, 0, 0, 0, 48, 0, 1};
    putBe32(data, 19);
    for (const uint32_t value : {width, height, 0u, 0u}) putBe32(data, value);
    data.insert(data.end(), {0, 0, 0});
    return data;
}

// A JBIG2 segment of page 1: its number, type, the earlier segments it refers to
// (written in the long form past four, each number as wide as this segment's own
// number needs) and its data.
struct Jbig2Segment {
    uint32_t number = 0;
    uint8_t type = 0;
    Bytes data;
    std::vector<uint32_t> referred = {};
};

inline Bytes jbig2Stream(const std::vector<Jbig2Segment>& segments) {
    Bytes out;
    for (const auto& segment : segments) {
        putBe32(out, segment.number);
        out.push_back(segment.type);
        const size_t count = segment.referred.size();
        if (count <= 4) {
            out.push_back(uint8_t(count << 5));
        } else {
            putBe32(out, 0xE0000000u | uint32_t(count));
            out.insert(out.end(), (count + 8) / 8, 0);  // retention bits: the segment's and each referred one's
        }
        for (const uint32_t referred : segment.referred) {
            if (segment.number <= 256) {
                out.push_back(uint8_t(referred));
            } else if (segment.number <= 65536) {
                out.push_back(uint8_t(referred >> 8));
                out.push_back(uint8_t(referred));
            } else {
                putBe32(out, referred);
            }
        }
        out.push_back(1);  // page 1
        putBe32(out, uint32_t(segment.data.size()));
        out.insert(out.end(), segment.data.begin(), segment.data.end());
    }
    return out;
}

// A page information segment's data: a page of width x height (0xFFFFFFFF: left open,
// grown by its stripes), striped in stripes of at most `stripe` rows when not 0.
inline Bytes jbig2PageInfo(uint32_t width, uint32_t height, uint16_t stripe = 0) {
    Bytes data;
    for (const uint32_t value : {width, height, 0u, 0u}) putBe32(data, value);
    data.push_back(0);
    const uint16_t striping = stripe == 0 ? 0 : uint16_t(0x8000 | stripe);
    data.insert(data.end(), {uint8_t(striping >> 8), uint8_t(striping)});
    return data;
}

// An immediate generic region's data: a region of width x height at (x, y), arithmetic
// coded with template 0, whose coded bytes end it.
inline Bytes jbig2GenericRegion(uint32_t width, uint32_t height, uint32_t x = 0, uint32_t y = 0) {
    Bytes data;
    for (const uint32_t value : {width, height, x, y}) putBe32(data, value);
    data.push_back(0);                                    // combination: or
    data.push_back(0);                                    // arithmetic, template 0
    data.insert(data.end(), {3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE});  // adaptive pixels
    data.insert(data.end(), {0xFF, 0xAC});                // the coded data's end
    return data;
}

// An end-of-stripe segment's data: the stripe ends at `row`.
inline Bytes jbig2EndOfStripe(uint32_t row) {
    Bytes data;
    putBe32(data, row);
    return data;
}

inline Bytes jbig2ImagePdfOf(const Bytes& data) {
    auto objects = pdfPage(100, 100, "<< /XObject << /Im0 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf("q 100 0 0 100 0 0 cm /Im0 Do Q")));
    objects.push_back(pdfStream("/Type /XObject /Subtype /Image /Width 16 /Height 16 /ColorSpace /DeviceGray "
                                "/BitsPerComponent 1 /Filter /JBIG2Decode",
                                data));
    return pdfOfObjects(objects);
}

// An image whose JBIG2 data declares a page of width x height, 16 x 16 by its dictionary.
inline Bytes jbig2ImagePdf(uint32_t width, uint32_t height) { return jbig2ImagePdfOf(jbig2PageSegment(width, height)); }

// JBIG2 data whose first segment declares a small page and whose later ones declare a
// bitmap of some `side` pixels in one of the ways the data can: `how` is "region" (a
// region of side x side), "stripes" (a page 64 wide of open height whose last stripe
// ends at row side - 1), "placed" (the same page grown by a region placed side - 64
// rows down), or "referring" (a region of side x side after a segment numbered past
// 256 that refers to five others in the long form).
inline Bytes jbig2Declaring(const std::string& how, uint32_t side) {
    if (how == "region") {
        return jbig2Stream({{0, 48, jbig2PageInfo(64, 64)}, {1, 38, jbig2GenericRegion(side, side)}});
    }
    if (how == "stripes") {
        return jbig2Stream({{0, 48, jbig2PageInfo(64, 0xFFFFFFFF, 64)},
                            {1, 38, jbig2GenericRegion(64, 64)},
                            {2, 50, jbig2EndOfStripe(63)},
                            {3, 50, jbig2EndOfStripe(side - 1)}});
    }
    if (how == "placed") {
        return jbig2Stream({{0, 48, jbig2PageInfo(64, 0xFFFFFFFF, 64)},
                            {1, 38, jbig2GenericRegion(64, 64, 0, side - 64)}});
    }
    // Intermediate regions an extension segment after them refers to.
    std::vector<Jbig2Segment> segments = {{0, 48, jbig2PageInfo(64, 64)}};
    for (uint32_t n = 1; n <= 5; ++n) segments.push_back({n, 36, jbig2GenericRegion(8, 8)});
    segments.push_back({300, 62, Bytes(4, 0), {1, 2, 3, 4, 5}});
    segments.push_back({301, 38, jbig2GenericRegion(side, side)});
    return jbig2Stream(segments);
}

// JBIG2 data that reads two ways: a segment refers to seven others in the long form,
// whose retention bits the standard packs in one byte and poppler reads as two. Read
// the standard's way it is a 64 x 64 page and two extension segments; read poppler's,
// the first extension's length is a byte later and covers the second's head, and a
// region of side x side follows inside the second's data.
inline Bytes jbig2ReadTwoWays(uint32_t side) {
    std::vector<Jbig2Segment> segments = {{0, 48, jbig2PageInfo(64, 64)}};
    for (uint32_t n = 1; n <= 7; ++n) segments.push_back({n, 36, jbig2GenericRegion(8, 8)});
    Bytes out = jbig2Stream(segments);
    putBe32(out, 8);
    out.push_back(62);
    putBe32(out, 0xE0000007u);
    out.push_back(0);                                   // retention, the standard's one byte
    for (uint8_t n = 1; n <= 7; ++n) out.push_back(n);  // poppler's second byte, then six of them
    out.push_back(1);                                   // page; poppler's last referred-to segment
    putBe32(out, 0);                                    // length; poppler's page and length's head
    // The next segment's head (number 0x20000009): its first byte ends poppler's length.
    const Bytes region = jbig2Stream({{10, 38, jbig2GenericRegion(side, side)}});
    const uint32_t hidden = 0x20;  // what poppler skips from the byte after its length
    Bytes second;
    putBe32(second, 0x20000009);
    second.push_back(62);
    second.push_back(0);
    second.push_back(1);
    // Poppler's skip begins one byte into this segment and ends where the region begins.
    const size_t headLeft = 11 - 1;
    putBe32(second, uint32_t(hidden - (headLeft) + region.size()));
    second.insert(second.end(), hidden - headLeft, 0);
    second.insert(second.end(), region.begin(), region.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

// A 64 x 64 grey image whose mask (`key`: Mask or SMask) is 64 x 64 by its dictionary
// and JBIG2 data declaring a page of width x height.
inline Bytes jbig2MaskPdf(const std::string& key, uint32_t width, uint32_t height) {
    auto objects = pdfPage(100, 100, "<< /XObject << /Im0 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf("q 100 0 0 100 0 0 cm /Im0 Do Q")));
    objects.push_back(pdfStream("/Type /XObject /Subtype /Image /Width 64 /Height 64 /ColorSpace /DeviceGray "
                                "/BitsPerComponent 8 /" + key + " 6 0 R",
                                Bytes(64 * 64, 0x80)));
    const std::string kind = key == "Mask" ? "/ImageMask true" : "/ColorSpace /DeviceGray";
    objects.push_back(pdfStream("/Type /XObject /Subtype /Image /Width 64 /Height 64 " + kind +
                                    " /BitsPerComponent 1 /Filter /JBIG2Decode",
                                jbig2PageSegment(width, height)));
    return pdfOfObjects(objects);
}

// A 64 x 64 inline image (BI ... ID ... EI) of JBIG2 data declaring a page of width x
// height, drawn on the page, in a form, or in a Type 3 glyph (`where`).
inline Bytes jbig2InlinePdf(const std::string& where, uint32_t width, uint32_t height) {
    Bytes image = bytesOf("q 100 0 0 100 0 0 cm BI /W 64 /H 64 /IM true /BPC 1 /F /JBIG2Decode ID ");
    const Bytes data = jbig2PageSegment(width, height);
    image.insert(image.end(), data.begin(), data.end());
    const Bytes end = bytesOf("\nEI Q");
    image.insert(image.end(), end.begin(), end.end());
    if (where == "page") {
        auto objects = pdfPage(100, 100, "<< >>");
        objects.push_back(pdfStream("", image));
        return pdfOfObjects(objects);
    }
    if (where == "form") {
        auto objects = pdfPage(100, 100, "<< /XObject << /F 5 0 R >> >>");
        objects.push_back(pdfStream("", bytesOf("/F Do")));
        objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100]", image));
        return pdfOfObjects(objects);
    }
    auto objects = pdfPage(100, 100, "<< /Font << /T 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf("BT /T 50 Tf 10 10 Td (a) Tj ET")));
    objects.push_back(bytesOf("<< /Type /Font /Subtype /Type3 /FontBBox [0 0 1 1] /FontMatrix [0.01 0 0 0.01 0 0] "
                              "/CharProcs << /a 6 0 R >> /Encoding << /Differences [97 /a] >> /FirstChar 97 "
                              "/LastChar 97 /Widths [100] >>"));
    Bytes glyph = bytesOf("100 0 d0 ");
    glyph.insert(glyph.end(), image.begin(), image.end());
    objects.push_back(pdfStream("", glyph));
    return pdfOfObjects(objects);
}

// A calculator function of one input and `outputs` outputs running `operators`
// operators (adding and taking away 1).
inline Bytes calculatorFunction(int operators, int outputs) {
    std::string program = "{";
    for (int i = 0; i < operators / 4; ++i) program += " 1 add 1 sub";
    std::string range;
    for (int i = 0; i < outputs; ++i) range += " 0 1";
    for (int i = 1; i < outputs; ++i) program += " dup";
    program += " }";
    return pdfStream("/FunctionType 4 /Domain [0 1] /Range [" + range + " ] /Filter /FlateDecode",
                     deflated(program));
}

// Colours whose tint transform (object 5) is a calculator function of `operators`
// operators, and transfer functions of as many: drawn as `kind` says ("fills": a
// Separation colour of 20000 tints filling a square each; "image": a DeviceN image
// of side x side; "spaces": the space set and a tint filled 50000 times; "shading": a
// function shading in the DeviceN space; "transfer": a transfer function set by a
// graphics state 50000 times).
inline Bytes tintTransformPdf(const std::string& kind, int operators, int side = 64) {
    const std::string separation = "[/Separation /Spot /DeviceRGB 5 0 R]";
    const std::string deviceN = "[/DeviceN [/Cyan /Spot] /DeviceRGB 5 0 R]";
    const int inputs = kind == "fills" || kind == "spaces" || kind == "transfer" ? 1 : 2;
    auto objects = pdfPage(1024, 1024,
                           "<< /ColorSpace << /CS0 " + (inputs == 1 ? separation : deviceN) +
                               " >> /XObject << /Im0 6 0 R >> /Shading << /S 6 0 R >> /ExtGState << /G 6 0 R >> >>");
    std::string content;
    Bytes sixth;
    if (kind == "fills") {
        content = "/CS0 cs\n";
        for (int i = 0; i < 20000; ++i) content += std::to_string(i / 20000.0).substr(0, 7) + " scn 0 0 10 10 re f\n";
        sixth = bytesOf("<< >>");
    } else if (kind == "spaces") {
        for (int i = 0; i < 50000; ++i) content += "/CS0 cs 0.5 scn 0 0 10 10 re f\n";
        sixth = bytesOf("<< >>");
    } else if (kind == "image") {
        content = "q 1024 0 0 1024 0 0 cm /Im0 Do Q";
        Bytes pixels(size_t(side) * side * 2);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 7);
        sixth = pdfStream("/Type /XObject /Subtype /Image /Width " + std::to_string(side) + " /Height " +
                              std::to_string(side) + " /ColorSpace " + deviceN +
                              " /BitsPerComponent 8 /Filter /FlateDecode",
                          deflated(std::string(pixels.begin(), pixels.end())));
    } else if (kind == "shading") {
        content = "/S sh";
        sixth = bytesOf("<< /ShadingType 1 /ColorSpace " + deviceN +
                        " /Domain [0 1 0 1] /Matrix [1024 0 0 1024 0 0] /Function 7 0 R >>");
    } else {
        for (int i = 0; i < 50000; ++i) content += "/G gs 0 0 10 10 re f\n";
        sixth = bytesOf("<< /Type /ExtGState /TR 5 0 R >>");
    }
    objects.push_back(pdfStream("/Filter /FlateDecode", deflated(content)));
    objects.push_back(calculatorFunction(operators, kind == "transfer" ? 1 : 3));
    objects.push_back(sixth);
    // The shading's own function: two inputs to the space's two components.
    objects.push_back(pdfStream("/FunctionType 4 /Domain [0 1 0 1] /Range [0 1 0 1]", bytesOf("{ }")));
    return pdfOfObjects(objects);
}

// A 1024-pt page on which forms `levels` deep each draw the next twice, the innermost
// painting a shading `paints` times: 2^levels x paints shadings from a few kilobytes.
// `how` is the way a hostile author hides that from a reader who follows only some of
// the ways forms are reached and names found:
// - "own": each form's own resources name what it draws;
// - "inherited": each form has resources of its own that name nothing it draws, the
//   page's name every form and the shading (poppler looks a name up in the resources
//   of every content drawing the one that uses it);
// - "innermost": as "own", but the shading named by the page's resources only;
// - "twoNames": each form draws the next once by each of two names;
// - "wrapped": each drawing in "q 0.5 0 0 0.5 0 0 cm ... Q";
// - "pattern", "softMask", "annotation": the first form drawn by a tiling pattern's
//   tile that the page fills with, a soft mask the page sets, or an annotation's
//   appearance.
inline Bytes nestedShadingFormsPdf(int levels, int paints, const std::string& how = "own") {
    const bool inherited = how == "inherited";
    auto formRef = [](int level) { return std::to_string(5 + level) + " 0 R"; };
    // The page's resources: the first form, everything for "inherited", the shading
    // for "innermost".
    std::string names;
    for (int level = 0; level < levels; ++level) {
        if (inherited || level == 0) names += " /F" + std::to_string(level) + " " + formRef(level);
    }
    std::string pageResources = "<< /XObject <<" + names + " >>";
    if (inherited || how == "innermost") pageResources += " /Shading << /S " + axialShading() + " >>";
    const int extra = 5 + levels;  // the first object after the forms
    std::string page = "/F0 Do";
    if (how == "wrapped") page = "q 0.5 0 0 0.5 0 0 cm /F0 Do Q";
    if (how == "annotation") page = "";
    if (how == "pattern") {
        pageResources += " /Pattern << /P " + std::to_string(extra) + " 0 R >>";
        page = "/Pattern cs /P scn 0 0 1024 1024 re f";
    }
    if (how == "softMask") {
        pageResources += " /ExtGState << /M << /SMask << /S /Luminosity /G " + std::to_string(extra) + " 0 R >> >> >>";
        page = "/M gs 0 0 1024 1024 re f";
    }
    pageResources += " >>";
    auto objects = pdfPage(1024, 1024, pageResources);
    if (how == "annotation") {
        std::string text(objects[2].begin(), objects[2].end());
        text.insert(text.size() - 3, " /Annots [" + std::to_string(extra) + " 0 R]");
        objects[2] = bytesOf(text);
    }
    objects.push_back(pdfStream("", bytesOf(page)));
    for (int level = 0; level < levels; ++level) {
        const std::string next = "/F" + std::to_string(level + 1);
        std::string content, resources;
        if (level + 1 < levels) {
            if (how == "twoNames") {
                content = next + " Do " + next + "b Do";
                resources = "<< /XObject << " + next + " " + formRef(level + 1) + " " + next + "b " +
                            formRef(level + 1) + " >> >>";
            } else if (how == "wrapped") {
                content = "q 0.5 0 0 0.5 0 0 cm " + next + " Do Q q 0.5 0 0 0.5 512 512 cm " + next + " Do Q";
            } else {
                content = next + " Do " + next + " Do";
            }
            if (resources.empty()) {
                resources = inherited ? "<< /ProcSet [/PDF] >>" : "<< /XObject << " + next + " " + formRef(level + 1) + " >> >>";
            }
        } else {
            for (int i = 0; i < paints; ++i) content += "/S sh\n";
            resources = inherited || how == "innermost" ? "<< /ProcSet [/PDF] >>"
                                                        : "<< /Shading << /S " + axialShading() + " >> >>";
        }
        objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 1024 1024] /Resources " + resources,
                                    bytesOf(content)));
    }
    const std::string drawFirst = "/Resources << /XObject << /F0 " + formRef(0) + " >> >>";
    if (how == "pattern") {
        objects.push_back(pdfStream("/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 1024 1024] /XStep 1024 "
                                    "/YStep 1024 " + drawFirst,
                                    bytesOf("/F0 Do")));
    } else if (how == "softMask") {
        objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 1024 1024] /Group << /S /Transparency "
                                    "/CS /DeviceRGB >> " + drawFirst,
                                    bytesOf("/F0 Do")));
    } else if (how == "annotation") {
        objects.push_back(bytesOf("<< /Type /Annot /Subtype /Square /Rect [0 0 1024 1024] /F 4 /AP << /N " +
                                  std::to_string(extra + 1) + " 0 R >> >>"));
        objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 1024 1024] " + drawFirst,
                                    bytesOf("/F0 Do")));
    }
    return pdfOfObjects(objects);
}

// A 1024-pt page filled with a tiling pattern whose tile (a red square with a blue
// quarter) is `tile` pt wide, repeated every `step` pt, through a pattern matrix
// scaling by `scale`.
inline Bytes tilingPatternPdf(double tile, double step, double scale = 1) {
    auto number = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.10f", value);
        return std::string(text);
    };
    auto objects = pdfPage(1024, 1024, "<< /Pattern << /P 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf("/Pattern cs /P scn 0 0 1024 1024 re f")));
    const std::string t = number(tile), half = number(tile / 2);
    objects.push_back(pdfStream("/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 " + t + " " + t + "] /XStep " +
                                    number(step) + " /YStep " + number(step) + " /Matrix [" + number(scale) +
                                    " 0 0 " + number(scale) + " 0 0] /Resources << >>",
                                bytesOf("1 0 0 rg 0 0 " + t + " " + t + " re f 0 0 1 rg 0 0 " + half + " " + half +
                                        " re f")));
    return pdfOfObjects(objects);
}

// A page that fills a form `fills` times, the form one path of `segments` segments between
// points spread over the page (crossing each other everywhere): every count of the
// pre-scan lets it through, and its drawing runs for minutes.
inline Bytes filledPathPdf(int segments, int fills) {
    std::string path = "50 50 m\n", content;
    for (uint32_t i = 0, seed = 12345; i < 2 * uint32_t(segments); ++i) {
        seed = seed * 1103515245u + 12345u;
        path += std::to_string((seed >> 16) % 10000 / 100.0) + (i % 2 ? " l\n" : " ");
    }
    for (int i = 0; i < fills; ++i) content += "/P Do\n";
    auto objects = pdfPage(100, 100, "<< /XObject << /P 5 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf(content)));
    objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Filter /FlateDecode",
                                deflated(path + "f\n")));
    return pdfOfObjects(objects);
}

// A page that draws a form it lacks (the renderer reports it and draws the rest), then
// fills itself `fills` times through a blend mode: drawn at once at small sizes, with the
// report, and for minutes at large ones.
inline Bytes blendedFillsPdf(int fills) {
    std::string content = "/Missing Do\n/G gs\n";
    for (int i = 0; i < fills; ++i) content += "0.5 0 0 rg 0 0 100 100 re f\n";
    auto objects = pdfPage(100, 100, "<< /ExtGState << /G 5 0 R >> >>");
    objects.push_back(pdfStream("/Filter /FlateDecode", deflated(content)));
    objects.push_back(bytesOf("<< /Type /ExtGState /BM /Multiply /ca 0.5 >>"));
    return pdfOfObjects(objects);
}

// Points spread over a square of `side` units, `count` of them, from a fixed seed, as
// "x,y x,y ..." (`separator` between the two numbers of a point).
inline std::string scatteredPoints(int count, double side, const char* separator = ",", uint32_t seed = 12345) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        const double x = (seed >> 16) % 10000 / 10000.0 * side;
        seed = seed * 1103515245u + 12345u;
        const double y = (seed >> 16) % 10000 / 10000.0 * side;
        char point[64];
        std::snprintf(point, sizeof point, "%s%.1f%s%.1f", i == 0 ? "" : " ", x, separator, y);
        out += point;
    }
    return out;
}

// One line of `points` points across a 1000-unit drawing stroked with dashes `dash` units
// long: every dash is a shape of its own to the renderer, which no scan counts.
inline Bytes dashedLineSvg(int points, double dash, int side = 1000, int strokeWidth = 1) {
    const std::string size = std::to_string(side);
    return bytesOf(svgText(R"(width=")" + size + R"(" height=")" + size + R"(")",
                           R"(<polyline fill="none" stroke="black" stroke-width=")" + std::to_string(strokeWidth) +
                               R"(" style="stroke-dasharray:)" + std::to_string(dash) + R"(" points=")" +
                               scatteredPoints(points, side) + R"("/>)"));
}

// `count` thin circles, rings in rows over a 100-point page: many elements, ordinary ones.
inline Bytes thinCirclesSvg(int count) {
    std::string body;
    for (int i = 0; i < count; ++i) {
        body += "<circle cx=\"" + std::to_string(i % 1000 / 10.0) + "\" cy=\"" + std::to_string(i / 1000 * 1.6) +
                "\" r=\"3\" fill=\"none\" stroke=\"#" + (i % 2 ? "135" : "a42") + "\" stroke-width=\"0.2\"/>";
    }
    return bytesOf(svgText(R"(width="100" height="100")", body));
}

// A path of `points` points crossing itself everywhere, filled `uses` times: slow to
// fill at any size, in little memory.
inline Bytes crossingFillsSvg(int points, int uses) {
    std::string body = R"(<defs><path id="p" d="M)" + scatteredPoints(points, 100, " ") + R"(Z"/></defs>)";
    for (int i = 0; i < uses; ++i) body += R"(<use href="#p"/>)";
    return bytesOf(svgText(R"(width="100" height="100")", body));
}

// A path from the page's middle through `points` points of a 100-point page, as PDF operators.
inline std::string pdfPolyline(int points, uint32_t seed) {
    std::string path = "50 50 m\n";
    for (const char c : scatteredPoints(points, 100, ",", seed)) path += c == ' ' ? " l\n" : c == ',' ? " " : std::string(1, c);
    return path + " l\n";
}

// A page of one line of `points` points stroked with dashes `dash` points long.
inline Bytes dashedLinePdf(int points, double dash) {
    const std::string content = "[" + std::to_string(dash) + "] 0 d 0.5 w\n" + pdfPolyline(points, 12345) + "S\n";
    auto objects = pdfPage(100, 100, "<< >>");
    objects.push_back(pdfStream("/Filter /FlateDecode", deflated(content)));
    return pdfOfObjects(objects);
}

// A page each drawing of which stays under the renderer's limits but takes a second or
// more at any size: an 8192 x 8192 picture drawn small `draws` times (decoded whole at
// each), and a path of `segments` segments filled `fills` times.
inline Bytes heavyPagePdf(int segments, int fills, int draws = 1) {
    std::string content;
    for (int i = 0; i < draws; ++i) content += "q 10 0 0 10 0 0 cm /Im0 Do Q\n";
    for (int i = 0; i < fills; ++i) content += "/P Do\n";
    auto objects = pdfPage(100, 100, "<< /XObject << /Im0 5 0 R /P 6 0 R >> >>");
    objects.push_back(pdfStream("", bytesOf(content)));
    const size_t pixels = size_t(8192) * 8192;
    objects.push_back(pdfStream("/Type /XObject /Subtype /Image /Width 8192 /Height 8192 /ColorSpace /DeviceGray "
                                "/BitsPerComponent 8 /Filter /FlateDecode",
                                deflatedRepeat("", std::string(1, char(0x80)), pixels >> 20, "", false)));
    objects.push_back(pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Filter /FlateDecode",
                                deflated(pdfPolyline(segments, 54321) + "f\n")));
    return pdfOfObjects(objects);
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
    // Converting it takes seconds and most of the memory budget: tested apart, outside
    // the sanitizer stage.
    bool heavy = false;
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
                   // Its effects at 4000 x 4000 need more than the renderer's memory beside
                   // what librsvg's libraries map.
                   Outcome::refused, P::pastMemoryLimit});
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
    // Only the first frame of an animation is read, however many follow.
    all.push_back({"animated webp of two 64 x 64 frames", "anim.png", animatedWebp(64, 64, 2), Outcome::converts});
    all.push_back({"animated webp of 100000 frames of 1024 x 1024", "anim100000.png", animatedWebp(1024, 1024, 100000),
                   Outcome::converts});
    all.push_back({"animated webp of 5000 frames of 2048 x 2048", "anim5000.png", animatedWebp(2048, 2048, 5000),
                   Outcome::converts});
    all.push_back({"animated webp of 100 frames of 8192 x 8192", "anim8192.png", animatedWebp(8192, 8192, 100),
                   Outcome::converts, P::none, true});
    all.push_back({"animated webp of 200 frames of 16383 x 4096", "anim16383.png", animatedWebp(16383, 4096, 200),
                   Outcome::converts, P::none, true});
    all.push_back({"gif of 300000 frames", "frames.gif", manyFramesGif(300000), Outcome::converts});
    // Declared sizes the decoders would allocate by.
    all.push_back({"bmp with its pixels declared at byte 0xFFFFFFFF", "offset.bmp",
                   bmpWithField(64, 48, 10, 0xFFFFFFFF), Outcome::refused, P::truncated});
    all.push_back({"bmp with a header declared 4 GiB long", "header.bmp", bmpWithField(64, 48, 14, 0xFFFFFFF0),
                   Outcome::refused, P::damaged});
    all.push_back({"ico with its picture declared at byte 0xFFFFFFFF", "icon.png", icoWithEntryField(12, 0xFFFFFFFF),
                   Outcome::refused, P::truncated});
    // SVG documents whose drawing alone would run for minutes or take gigabytes.
    all.push_back({"svg turbulence of 100000000 octaves", "noise.svg", turbulenceSvg("100000000"), Outcome::refused,
                   P::tooDemanding});
    all.push_back({"svg entity expanding into 160 KB of text", "laughs.svg", entityTextSvg(1600, 100),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"svg entities nested nine deep", "billion.svg", entityExpansionSvg(9), Outcome::refused,
                   P::tooDemanding});
    all.push_back({"svg of 17 MB of rectangles", "rectangles.svg", manyRectanglesSvg(400000), Outcome::refused,
                   P::tooDemanding});
    all.push_back({"svg masks nested 400 deep", "masks.svg", nestedMasksSvg(400, 64), Outcome::refused,
                   P::tooDemanding});
    all.push_back({"svg embedding an 8192 x 8192 png", "embedded.svg", embeddedPictureSvg(greyPng(8192)),
                   Outcome::refused, P::tooDemanding});
    // A drawing that would come out without its embedded picture is not a drawing.
    all.push_back({"svg embedding a png that claims 100000 x 100000", "claims.svg",
                   embeddedPictureSvg(pngClaiming(100000, 100000)), Outcome::refused, P::tooLarge});
    all.push_back({"svg embedding a png labelled as jpeg", "mislabelled.svg",
                   bytesOf(svgText("width=\"64\" height=\"64\"",
                                   "<image width=\"64\" height=\"64\" href=\"data:image/jpeg;base64," +
                                       base64(savedWithPixbuf("png", 32, 32)) + "\"/>")),
                   Outcome::refused, P::damaged});
    all.push_back({"svg embedding a 64 x 64 png", "small.svg", embeddedPictureSvg(greyPng(64)), Outcome::converts});
    all.push_back({"svg showing a picture from another file", "linked.svg",
                   bytesOf(svgText("width=\"64\" height=\"64\"",
                                   "<rect width=\"64\" height=\"64\" fill=\"blue\"/>"
                                   "<image x=\"16\" y=\"16\" width=\"32\" height=\"32\" href=\"photo.png\"/>")),
                   Outcome::refused, P::incompleteRender});
    // PDF pages whose drawing alone would run for minutes or take gigabytes.
    all.push_back({"pdf forms nested 40 deep, each drawing the next twice", "forms.pdf", nestedFormsPdf(40, 2),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf forms nested 8 deep, each drawing the next ten times", "fanout.pdf", nestedFormsPdf(8, 10),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf drawing one 8192 x 8192 image 200 times", "repeated.pdf", repeatedImagePdf(8192, 200),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf page of two million operators", "operators.pdf", manyOperatorsPdf("0 0 100 100 re f\n", 16),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf image whose codestream claims 60000 x 60000", "jpx.pdf", jpxImagePdf(60000, 60000),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"encrypted pdf", "encrypted.pdf", encryptedPdf(), Outcome::refused, P::encrypted});
    // Shadings, patterns and codecs whose drawing would run for minutes or take gigabytes.
    all.push_back({"pdf shading function of 60000 calculator operators", "calculator.pdf",
                   calculatorShadingPdf(60000), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf shading of 2000 stitching functions, each holding the next twice", "stitched.pdf",
                   stitchedShadingPdf(2000, 2), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf of 500000 Coons patches", "patches.pdf", meshShadingPdf(6, 500000), Outcome::refused,
                   P::tooDemanding});
    all.push_back({"pdf of 2000000 free-form triangles", "triangles.pdf", meshShadingPdf(4, 2000000),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf painting one axial shading 200000 times", "painted.pdf", shadingPagePdf(axialShading(), 200000),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf jbig2 image declaring a 100000 x 100000 page", "jbig2.pdf", jbig2ImagePdf(100000, 100000),
                   Outcome::refused, P::tooLarge});
    all.push_back({"pdf tiling pattern with steps of 0.001 pt", "steps.pdf", tilingPatternPdf(0.001, 0.001),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf tiling pattern with steps of 1e-6 pt", "tiny.pdf", tilingPatternPdf(1e-6, 1e-6),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf tiling pattern through a matrix of 1e-4", "matrix.pdf", tilingPatternPdf(10, 10, 1e-4),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf tiling pattern of 30000-pt tiles", "tile.pdf", tilingPatternPdf(10, 10, 3000),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf tiling pattern drawn tile by tile every 0.5 pt", "tiles.pdf", tilingPatternPdf(10, 0.5),
                   Outcome::refused, P::tooDemanding});
    all.push_back({"pdf of 2000 radial shadings", "radial.pdf", shadingPagePdf(radialShading(), 2000),
                   Outcome::refused, P::tooDemanding});
    {
        std::string paints;
        for (int i = 0; i < 300; ++i) paints += "/S sh\n";
        all.push_back({"pdf annotation painting a radial shading 300 times", "annotation.pdf",
                       annotatedPdf(paints, radialShading()), Outcome::refused, P::tooDemanding});
    }
    // JBIG2 data wherever it is drawn, tint transforms and transfer functions weighed by
    // their evaluations, and paints multiplied through nested forms.
    for (const std::string key : {"Mask", "SMask"}) {
        all.push_back({"pdf image whose " + key + " is jbig2 declaring a 100000 x 100000 page", "jbig2" + key + ".pdf",
                       jbig2MaskPdf(key, 100000, 100000), Outcome::refused, P::tooLarge});
    }
    all.push_back({"pdf jbig2 data read two ways, hiding a 100000 x 100000 region", "jbig2twoways.pdf",
                   jbig2ImagePdfOf(jbig2ReadTwoWays(100000)), Outcome::refused, P::tooLarge});
    for (const std::string where : {"page", "form", "type3"}) {
        all.push_back({"pdf inline jbig2 image in a " + where + " declaring a 100000 x 100000 page",
                       "inline-" + where + ".pdf", jbig2InlinePdf(where, 100000, 100000), Outcome::refused,
                       P::tooLarge});
    }
    all.push_back({"pdf separation fill of 20000 tints through 60000 calculator operators", "tints.pdf",
                   tintTransformPdf("fills", 60000), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf devicen image of 64 x 64 through 60000 calculator operators", "devicen64.pdf",
                   tintTransformPdf("image", 60000, 64), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf devicen image of 1024 x 1024 through 60000 calculator operators", "devicen1024.pdf",
                   tintTransformPdf("image", 60000, 1024), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf colour space set 50000 times with 60000 calculator operators", "spaces.pdf",
                   tintTransformPdf("spaces", 60000), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf function shading in a devicen space of 60000 calculator operators", "devicenshading.pdf",
                   tintTransformPdf("shading", 60000), Outcome::refused, P::tooDemanding});
    all.push_back({"pdf transfer function of 60000 calculator operators set 50000 times", "transfer.pdf",
                   tintTransformPdf("transfer", 60000), Outcome::refused, P::tooDemanding});
    for (const std::string how :
         {"own", "inherited", "innermost", "twoNames", "wrapped", "pattern", "softMask", "annotation"}) {
        all.push_back({"pdf forms nested 10 deep, each drawing the next twice, 200 shadings at the bottom, reached " + how,
                       "nestedshadings-" + how + ".pdf", nestedShadingFormsPdf(10, 200, how), Outcome::refused,
                       P::tooDemanding});
    }
    all.push_back({"pdf devicen image of 16 x 16 through a small function", "spot.pdf",
                   tintTransformPdf("image", 40, 16), Outcome::converts});
    all.push_back({"pdf with one 8192 x 8192 image", "image8192.pdf", repeatedImagePdf(8192, 1), Outcome::converts,
                   P::none, true});
    return all;
}

}  // namespace gwtest::samples
