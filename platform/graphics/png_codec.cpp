#include "platform/graphics/png_codec.hpp"

#include "platform/graphics/interruption.hpp"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace platform::graphics {
namespace {

// libdeflate at level 6 measured slightly smaller than zlib level 6 on the same filtered
// rows, in well under half the time; higher levels cost more time for little gain.
constexpr int kCompressionLevel = 6;
// Filtered pictures larger than this are compressed as a stream (see encodePng).
constexpr size_t kStreamAboveBytes = kPngRowsStreamedAbove;

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// A compressor holds sizeable match-finder tables; reuse one per thread.
libdeflate_compressor* threadCompressor() {
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(kCompressionLevel));
    return compressor.get();
}

// Unpremultiply with rounding: the inverse Cairo's PNG reader applies (round(c * a / 255))
// then gives back exactly the stored premultiplied value.
struct UnpremultiplyTable {
    std::array<uint8_t, 256 * 256> v{};
    UnpremultiplyTable() {
        for (int a = 0; a < 256; ++a) {
            for (int c = 0; c < 256; ++c) {
                int u = 0;
                if (a == 255) u = c;
                else if (a != 0) u = std::min(255, (c * 255 + a / 2) / a);
                v[a * 256 + c] = static_cast<uint8_t>(u);
            }
        }
    }
};

const UnpremultiplyTable& unpremultiplyTable() {
    static const UnpremultiplyTable table;
    return table;
}

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void putChunk(std::vector<uint8_t>& out, const char type[4], const uint8_t* data, size_t length) {
    putBe32(out, static_cast<uint32_t>(length));
    const size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    if (length) out.insert(out.end(), data, data + length);
    putBe32(out, libdeflate_crc32(0, out.data() + typeAt, length + 4));
}

inline uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// Eight bytes at a time in 16-bit lanes, with the compiler's vector types: the scalar
// loops are not vectorised at the optimisation level we ship, and this is the encoder's
// main cost besides deflate.
typedef uint8_t U8x8 __attribute__((vector_size(8)));
typedef int16_t I16x8 __attribute__((vector_size(16)));

inline I16x8 load8(const uint8_t* p) {
    U8x8 v;
    std::memcpy(&v, p, 8);
    return __builtin_convertvector(v, I16x8);
}

inline void store8(uint8_t* p, I16x8 v) {
    const U8x8 bytes = __builtin_convertvector(v & 0xff, U8x8);
    std::memcpy(p, &bytes, 8);
}

inline I16x8 abs16(I16x8 v) { return v < 0 ? -v : v; }

struct RowFilters {
    std::array<std::vector<uint8_t>, 5> out;
    std::array<uint64_t, 5> cost{};

    explicit RowFilters(size_t len) {
        for (auto& o : out) o.resize(len);
    }

    // Filters one row every way and records each result's sum of signed magnitudes,
    // the usual heuristic for choosing a filter per row. The first row passes a zeroed
    // previous row, which is what PNG defines.
    void run(const uint8_t* cur, const uint8_t* prev, size_t len, size_t bpp) {
        cost.fill(0);
        size_t i = 0;
        for (; i < bpp; ++i) {
            out[0][i] = cur[i];
            out[1][i] = cur[i];
            out[2][i] = static_cast<uint8_t>(cur[i] - prev[i]);
            out[3][i] = static_cast<uint8_t>(cur[i] - (prev[i] >> 1));
            out[4][i] = static_cast<uint8_t>(cur[i] - prev[i]);
        }
        I16x8 sums[5] = {};
        int pending = 0;
        for (; i + 8 <= len; i += 8) {
            const I16x8 x = load8(cur + i), a = load8(cur + i - bpp), b = load8(prev + i), c = load8(prev + i - bpp);
            const I16x8 pa = abs16(b - c), pb = abs16(a - c), pc = abs16(a + b - 2 * c);
            const I16x8 pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            const I16x8 f[5] = {x, (x - a) & 0xff, (x - b) & 0xff, (x - ((a + b) >> 1)) & 0xff, (x - pred) & 0xff};
            for (int t = 0; t < 5; ++t) {
                store8(out[t].data() + i, f[t]);
                sums[t] += f[t] < 128 ? f[t] : 256 - f[t];
            }
            if (++pending == 200) {  // 200 * 128 stays below 2^15; fold before a lane overflows
                flush(sums);
                pending = 0;
            }
        }
        flush(sums);
        const size_t tail = i;
        for (; i < len; ++i) {
            const int a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
            out[0][i] = cur[i];
            out[1][i] = static_cast<uint8_t>(cur[i] - a);
            out[2][i] = static_cast<uint8_t>(cur[i] - b);
            out[3][i] = static_cast<uint8_t>(cur[i] - ((a + b) >> 1));
            out[4][i] = static_cast<uint8_t>(cur[i] - paeth(a, b, c));
        }
        // The few head and tail bytes done without vectors are counted directly.
        for (int t = 0; t < 5; ++t) {
            for (size_t k = 0; k < bpp; ++k) cost[t] += signedMagnitude(out[t][k]);
            for (size_t k = tail; k < len; ++k) cost[t] += signedMagnitude(out[t][k]);
        }
    }

    static unsigned signedMagnitude(uint8_t v) { return v < 128 ? v : 256u - v; }

    void flush(I16x8 (&sums)[5]) {
        for (int t = 0; t < 5; ++t) {
            for (int k = 0; k < 8; ++k) cost[t] += static_cast<uint16_t>(sums[t][k]);
            sums[t] = I16x8{};
        }
    }

    int best() const {
        int bestType = 0;
        for (int t = 1; t < 5; ++t)
            if (cost[t] < cost[bestType]) bestType = t;
        return bestType;
    }
};

}  // namespace

std::vector<uint8_t> encodePng(const PixelView& src, bool keepAlpha) {
    if (!src.data || src.width <= 0 || src.height <= 0 ||
        static_cast<int64_t>(src.stride) < static_cast<int64_t>(src.width) * 4) {
        return {};
    }
    const size_t bpp = keepAlpha ? 4 : 3;
    const size_t rowLen = static_cast<size_t>(src.width) * bpp;
    const auto& table = unpremultiplyTable().v;

    // Large pictures are compressed row by row (zlib, streaming) instead of whole
    // (libdeflate): holding the filtered picture and a compression bound beside it
    // would take twice the picture's size again, the largest allocation of a
    // conversion. Smaller ones keep the faster, slightly smaller whole-buffer path.
    const size_t filteredSize = (rowLen + 1) * static_cast<size_t>(src.height);
    const bool streaming = filteredSize > kStreamAboveBytes;
    std::vector<uint8_t> filtered(streaming ? rowLen + 1 : filteredSize);
    std::vector<uint8_t> cur(rowLen), prev(rowLen, 0);
    RowFilters filters(rowLen);

    std::vector<uint8_t> png;
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    png.insert(png.end(), signature, signature + 8);
    std::vector<uint8_t> ihdr;
    putBe32(ihdr, static_cast<uint32_t>(src.width));
    putBe32(ihdr, static_cast<uint32_t>(src.height));
    ihdr.push_back(8);                     // bit depth
    ihdr.push_back(keepAlpha ? 6 : 2);     // colour type: RGBA or RGB
    ihdr.push_back(0);                     // deflate
    ihdr.push_back(0);                     // adaptive filtering
    ihdr.push_back(0);                     // no interlace
    putChunk(png, "IHDR", ihdr.data(), ihdr.size());

    std::vector<uint8_t> idat;
    z_stream stream{};
    size_t idatAt = 0;
    if (streaming) {
        if (deflateInit(&stream, kCompressionLevel) != Z_OK) return {};
        // A streamed picture is compressed straight into its file's one data chunk (its
        // length and checksum filled in at the end), which never moves: room for the
        // worst case is only address space until written, and a copy of the file
        // would take as much again as the file.
        idatAt = png.size();
        png.reserve(idatAt + 8 + deflateBound(&stream, static_cast<uLong>(filteredSize)) + 24);
        png.resize(idatAt + 8);
    }
    std::vector<uint8_t>& compressed = streaming ? png : idat;
    std::array<uint8_t, 64 * 1024> chunk;
    auto deflateInto = [&](const uint8_t* data, size_t length, int flush) {
        stream.next_in = const_cast<uint8_t*>(data);
        stream.avail_in = static_cast<uInt>(length);
        int status = Z_OK;
        do {
            stream.next_out = chunk.data();
            stream.avail_out = static_cast<uInt>(chunk.size());
            status = deflate(&stream, flush);
            compressed.insert(compressed.end(), chunk.begin(),
                              chunk.begin() + static_cast<long>(chunk.size() - stream.avail_out));
        } while (stream.avail_out == 0 || (flush == Z_FINISH && status == Z_OK));
        return status != Z_STREAM_ERROR;
    };

    for (int y = 0; y < src.height; ++y) {
        // Asked every few rows: a large picture's rows take seconds to compress.
        if (y % 16 == 0 && interruptionRequested()) {
            if (streaming) deflateEnd(&stream);
            return {};
        }
        const uint8_t* in = src.data + static_cast<size_t>(y) * src.stride;
        uint8_t* o = cur.data();
        for (int x = 0; x < src.width; ++x, in += 4) {
            uint32_t p;
            std::memcpy(&p, in, 4);
            const uint32_t a = p >> 24;
            const uint8_t* row = &table[a * 256];
            *o++ = row[(p >> 16) & 0xff];
            *o++ = row[(p >> 8) & 0xff];
            *o++ = row[p & 0xff];
            if (keepAlpha) *o++ = static_cast<uint8_t>(a);
        }
        filters.run(cur.data(), prev.data(), rowLen, bpp);
        const int type = filters.best();
        uint8_t* out = streaming ? filtered.data() : &filtered[(rowLen + 1) * y];
        out[0] = static_cast<uint8_t>(type);
        std::memcpy(out + 1, filters.out[type].data(), rowLen);
        if (streaming && !deflateInto(out, rowLen + 1, Z_NO_FLUSH)) {
            deflateEnd(&stream);
            return {};
        }
        std::swap(cur, prev);
    }

    if (streaming) {
        const bool finished = deflateInto(nullptr, 0, Z_FINISH);
        deflateEnd(&stream);
        const size_t idatLen = png.size() - idatAt - 8;
        // At most 2^26 pixels, the stream stays far below the 2^30 bytes a data chunk
        // holds here, so it is one chunk as the whole-buffer path writes it.
        if (!finished || idatLen == 0 || idatLen > (size_t{1} << 30)) return {};
        uint8_t* head = png.data() + idatAt;
        for (int i = 0; i < 4; ++i) head[i] = static_cast<uint8_t>(idatLen >> (24 - 8 * i));
        std::memcpy(head + 4, "IDAT", 4);
        putBe32(png, libdeflate_crc32(0, head + 4, idatLen + 4));
        putChunk(png, "IEND", nullptr, 0);
        return png;
    }
    libdeflate_compressor* compressor = threadCompressor();
    if (!compressor) return {};
    idat.resize(libdeflate_zlib_compress_bound(compressor, filtered.size()));
    const size_t idatLen =
        libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), idat.data(), idat.size());
    std::vector<uint8_t>().swap(filtered);
    if (idatLen == 0) return {};
    png.reserve(png.size() + idatLen + 24);

    // Chunk lengths are limited to 2^31 - 1; split very large streams.
    constexpr size_t kMaxChunk = size_t{1} << 30;
    for (size_t at = 0; at < idatLen; at += kMaxChunk) {
        putChunk(png, "IDAT", idat.data() + at, std::min(kMaxChunk, idatLen - at));
    }
    putChunk(png, "IEND", nullptr, 0);
    return png;
}

namespace {

uint32_t readBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Reverses one row's filter in place; `prev` is the row above, unfiltered (zeros for
// the first row). False for a filter type PNG does not define.
bool unfilterRow(int type, uint8_t* row, const uint8_t* prev, size_t len, size_t bpp) {
    switch (type) {
        case 0: return true;
        case 1:
            for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
            return true;
        case 2:
            for (size_t i = 0; i < len; ++i) row[i] = uint8_t(row[i] + prev[i]);
            return true;
        case 3:
            for (size_t i = 0; i < bpp; ++i) row[i] = uint8_t(row[i] + (prev[i] >> 1));
            for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + ((row[i - bpp] + prev[i]) >> 1));
            return true;
        case 4:
            for (size_t i = 0; i < bpp; ++i) row[i] = uint8_t(row[i] + prev[i]);
            for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + paeth(row[i - bpp], prev[i], prev[i - bpp]));
            return true;
        default: return false;
    }
}

// Chunks that leave the pixels as stored: text, time, and colour notes (gamma,
// chromaticities, background, the sRGB intent) that the general decoder does not apply
// either. Anything else (transparency, palettes, resolution, profiles, chunks
// unknown) goes to the general decoder.
bool ignoredByTheDecoders(std::string_view name) {
    for (std::string_view kind : {"tEXt", "zTXt", "iTXt", "tIME", "gAMA", "cHRM", "bKGD", "sRGB"}) {
        if (name == kind) return true;
    }
    return false;
}

// Whether a chunk beside the picture data leaves a plain picture plain.
bool takenBeside(std::string_view name, const uint8_t* body, uint32_t length, size_t bpp) {
    if (name == "sBIT") {
        // Every sample's bits significant: nothing to shift (gdk-pixbuf writes it so).
        if (length != bpp) return false;
        for (uint32_t i = 0; i < length; ++i) {
            if (body[i] != 8) return false;
        }
        return true;
    }
    return ignoredByTheDecoders(name);
}

// The header of a plain picture: 8-bit RGB or RGBA, not interlaced. Its bytes per pixel,
// or 0.
size_t plainHeader(const uint8_t* body, uint32_t length) {
    if (length != 13 || body[8] != 8 || (body[9] != 2 && body[9] != 6) || body[10] != 0 || body[11] != 0 ||
        body[12] != 0) {
        return 0;
    }
    return body[9] == 6 ? 4 : 3;
}

}  // namespace

bool startsAsPlainPng(std::span<const uint8_t> head) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (head.size() < 8 || std::memcmp(head.data(), kSignature, 8) != 0) return false;
    size_t bpp = 0;
    for (size_t at = 8; head.size() - at >= 8;) {
        const uint32_t length = readBe32(&head[at]);
        const std::string_view name(reinterpret_cast<const char*>(&head[at + 4]), 4);
        if (name == "IDAT") return bpp != 0;
        if (length > head.size() - at - 8) return false;
        const uint8_t* body = &head[at + 8];
        if (bpp == 0) {
            if (name != "IHDR" || (bpp = plainHeader(body, length)) == 0) return false;
        } else if (!takenBeside(name, body, length, bpp)) {
            return false;
        }
        if (length > head.size() - at - 12) return false;
        at += size_t(length) + 12;
    }
    return false;
}

std::optional<DecodedBitmap> decodePlainPng(std::span<const uint8_t> bytes, size_t rowsStreamedAbove) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return std::nullopt;
    uint32_t width = 0, height = 0;
    size_t bpp = 0;
    std::vector<std::span<const uint8_t>> data;
    size_t dataSize = 0;
    bool header = false, ended = false;
    for (size_t at = 8; at < bytes.size();) {
        if (ended || bytes.size() - at < 12) return std::nullopt;
        const uint32_t length = readBe32(&bytes[at]);
        if (length > bytes.size() - at - 12) return std::nullopt;
        const uint8_t* type = &bytes[at + 4];
        const uint8_t* body = type + 4;
        if (libdeflate_crc32(0, type, length + 4) != readBe32(body + length)) return std::nullopt;
        const std::string_view name(reinterpret_cast<const char*>(type), 4);
        if (!header) {
            // IHDR first: width, height, depth 8, colour type 2 or 6, no interlace.
            if (name != "IHDR" || (bpp = plainHeader(body, length)) == 0) return std::nullopt;
            width = readBe32(body);
            height = readBe32(body + 4);
            if (!dimensionsAcceptable(width, height)) return std::nullopt;
            header = true;
        } else if (name == "IDAT") {
            data.emplace_back(body, length);
            dataSize += length;
        } else if (name == "IEND") {
            ended = true;
        } else if (!takenBeside(name, body, length, bpp)) {
            return std::nullopt;
        }
        at += size_t(length) + 12;
    }
    if (!ended || data.empty()) return std::nullopt;

    const size_t rowLen = size_t(width) * bpp;
    DecodedBitmap decoded;
    decoded.width = int(width);
    decoded.height = int(height);
    decoded.stride = int(width) * 4;
    decoded.hasAlpha = bpp == 4;
    decoded.argb32.resize(size_t(decoded.stride) * height);
    // Unfilters row y (its filter byte first) against the row above, unfiltered, and
    // stores it premultiplied.
    auto takeRow = [&](uint32_t y, uint8_t* row, const uint8_t* prev) {
        if (!unfilterRow(row[0], row + 1, prev, rowLen, bpp)) return false;
        const uint8_t* in = row + 1;
        auto* out = reinterpret_cast<uint32_t*>(decoded.argb32.data() + size_t(y) * decoded.stride);
        if (bpp == 3) {
            for (uint32_t x = 0; x < width; ++x, in += 3) {
                out[x] = 0xFF000000u | (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | uint32_t(in[2]);
            }
        } else {
            for (uint32_t x = 0; x < width; ++x, in += 4) {
                const uint32_t a = in[3];
                auto pre = [a](uint32_t v) { return (v * a + 127) / 255; };
                out[x] = (a << 24) | (pre(in[0]) << 16) | (pre(in[1]) << 8) | pre(in[2]);
            }
        }
        return true;
    };
    const std::vector<uint8_t> zeros(rowLen + 1, 0);
    // A large picture is inflated row by row straight from its chunks: its filtered
    // rows and its data joined in one piece would each take about as much memory again
    // as its pixels, the largest allocations of a conversion.
    if ((rowLen + 1) * height > rowsStreamedAbove) {
        z_stream inflater{};
        if (inflateInit(&inflater) != Z_OK) return std::nullopt;
        std::vector<uint8_t> rows[2] = {std::vector<uint8_t>(rowLen + 1), zeros};
        size_t part = 0;
        auto feed = [&] {
            while (inflater.avail_in == 0 && part < data.size()) {
                inflater.next_in = const_cast<uint8_t*>(data[part].data());
                inflater.avail_in = static_cast<uInt>(data[part].size());
                ++part;
            }
        };
        bool ok = true;
        for (uint32_t y = 0; y < height && ok; ++y) {
            std::vector<uint8_t>& row = rows[y % 2];
            inflater.next_out = row.data();
            inflater.avail_out = static_cast<uInt>(row.size());
            while (ok && inflater.avail_out > 0) {
                feed();
                const int status = inflate(&inflater, Z_NO_FLUSH);
                // The stream must not end before the last row is whole.
                ok = status == Z_OK || (status == Z_STREAM_END && y + 1 == height && inflater.avail_out == 0);
            }
            ok = ok && takeRow(y, row.data(), rows[(y + 1) % 2].data() + 1);
        }
        // Exactly the rows the header promises, and nothing after the stream.
        if (ok) {
            uint8_t extra = 0;
            int status = Z_OK;
            while (status == Z_OK) {
                feed();
                inflater.next_out = &extra;
                inflater.avail_out = 1;
                status = inflate(&inflater, Z_NO_FLUSH);
                // A byte more than the rows is not this picture.
                if (inflater.avail_out == 0) status = Z_DATA_ERROR;
            }
            ok = status == Z_STREAM_END && inflater.avail_in == 0 && part == data.size();
        }
        inflateEnd(&inflater);
        if (!ok) return std::nullopt;
        return decoded;
    }

    std::vector<uint8_t> joined;
    std::span<const uint8_t> stream = data.front();
    if (data.size() > 1) {
        joined.reserve(dataSize);
        for (const auto& part : data) joined.insert(joined.end(), part.begin(), part.end());
        stream = joined;
    }
    std::vector<uint8_t> filtered((rowLen + 1) * height);
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
    if (!decompressor) return std::nullopt;
    size_t consumed = 0;
    // Exactly the rows the header promises, and nothing after the stream.
    if (libdeflate_zlib_decompress_ex(decompressor.get(), stream.data(), stream.size(), filtered.data(),
                                      filtered.size(), &consumed, nullptr) != LIBDEFLATE_SUCCESS ||
        consumed != stream.size()) {
        return std::nullopt;
    }
    const uint8_t* prev = zeros.data() + 1;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = &filtered[y * (rowLen + 1)];
        if (!takeRow(y, row, prev)) return std::nullopt;
        prev = row + 1;
    }
    return decoded;
}

}  // namespace platform::graphics
