#include "platform/graphics/psd_reader.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace platform::graphics {
namespace {

enum ColourMode : uint16_t { kBitmap = 0, kGrey = 1, kIndexed = 2, kRgb = 3, kCmyk = 4, kMultichannel = 7, kDuotone = 8, kLab = 9 };

// Big-endian cursor over a byte range. Every read is bounds-checked; a failed read
// leaves the cursor unusable and the caller reports truncation.
class Cursor {
public:
    explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t pos() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }
    bool has(uint64_t n) const { return n <= remaining(); }

    bool skip(uint64_t n) {
        if (!has(n)) return false;
        pos_ += static_cast<size_t>(n);
        return true;
    }
    bool seek(size_t p) {
        if (p > bytes_.size()) return false;
        pos_ = p;
        return true;
    }
    const uint8_t* take(uint64_t n) {
        if (!has(n)) return nullptr;
        const uint8_t* p = bytes_.data() + pos_;
        pos_ += static_cast<size_t>(n);
        return p;
    }
    bool u8(uint8_t& v) { return read(v, 1); }
    bool u16(uint16_t& v) { return read(v, 2); }
    bool u32(uint32_t& v) { return read(v, 4); }
    bool u64(uint64_t& v) { return read(v, 8); }

private:
    template <typename T>
    bool read(T& v, int n) {
        const uint8_t* p = take(n);
        if (!p) return false;
        uint64_t x = 0;
        for (int i = 0; i < n; ++i) x = (x << 8) | p[i];
        v = static_cast<T>(x);
        return true;
    }

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

std::optional<DecodedBitmap> fail(std::string* error, std::string text) {
    if (error) *error = "PSD: " + std::move(text);
    return std::nullopt;
}

// Unpacks one PackBits row into exactly outLen bytes; a short or overlong row is corrupt.
bool unpackBits(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) {
    size_t i = 0, o = 0;
    while (i < inLen && o < outLen) {
        const int8_t n = static_cast<int8_t>(in[i++]);
        if (n >= 0) {
            const size_t count = static_cast<size_t>(n) + 1;
            if (count > inLen - i || count > outLen - o) return false;
            std::memcpy(out + o, in + i, count);
            i += count;
            o += count;
        } else if (n != -128) {
            const size_t count = static_cast<size_t>(1 - n);
            if (i >= inLen || count > outLen - o) return false;
            std::memset(out + o, in[i++], count);
            o += count;
        }
    }
    return o == outLen;
}

inline uint8_t mul255(unsigned a, unsigned b) {
    const unsigned t = a * b + 128;
    return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

}  // namespace

std::optional<DecodedBitmap> decodePsd(std::span<const uint8_t> bytes, std::string* error) {
    Cursor in(bytes);
    const uint8_t* sig = in.take(4);
    if (!sig) return fail(error, "file too short for a header");
    if (std::memcmp(sig, "8BPS", 4) != 0) return fail(error, "not a PSD file (bad signature)");
    uint16_t version = 0, channels = 0, depth = 0, mode = 0;
    uint32_t height = 0, width = 0;
    if (!in.u16(version) || !in.skip(6) || !in.u16(channels) || !in.u32(height) || !in.u32(width) ||
        !in.u16(depth) || !in.u16(mode)) {
        return fail(error, "truncated header");
    }
    if (version != 1 && version != 2) return fail(error, "unsupported version " + std::to_string(version));
    const bool large = version == 2;
    if (channels < 1 || channels > 56) return fail(error, "invalid channel count " + std::to_string(channels));
    if (width == 0 || height == 0) return fail(error, "zero width or height");
    if (!dimensionsAcceptable(width, height)) {
        return fail(error, "image of " + std::to_string(width) + " x " + std::to_string(height) +
                               " pixels exceeds the size limit");
    }
    if (depth != 8 && depth != 16) return fail(error, "unsupported bit depth " + std::to_string(depth));
    int colourChannels = 0;
    switch (mode) {
        case kGrey: colourChannels = 1; break;
        case kRgb: colourChannels = 3; break;
        case kCmyk: colourChannels = 4; break;
        case kBitmap: return fail(error, "unsupported colour mode (bitmap)");
        case kIndexed: return fail(error, "unsupported colour mode (indexed)");
        case kMultichannel: return fail(error, "unsupported colour mode (multichannel)");
        case kDuotone: return fail(error, "unsupported colour mode (duotone)");
        case kLab: return fail(error, "unsupported colour mode (Lab)");
        default: return fail(error, "unknown colour mode " + std::to_string(mode));
    }
    if (channels < colourChannels) return fail(error, "too few channels for the colour mode");

    uint32_t colourDataLength = 0;
    if (!in.u32(colourDataLength) || !in.skip(colourDataLength)) return fail(error, "truncated colour mode data");

    // Image resources: only the resolution matters here.
    double dpiX = 0.0, dpiY = 0.0;
    uint32_t resourcesLength = 0;
    if (!in.u32(resourcesLength) || !in.has(resourcesLength)) return fail(error, "truncated image resources");
    {
        Cursor res(bytes.subspan(in.pos(), resourcesLength));
        in.skip(resourcesLength);
        while (res.remaining() > 0) {
            uint16_t id = 0;
            uint8_t nameLength = 0;
            uint32_t size = 0;
            if (!res.skip(4) || !res.u16(id) || !res.u8(nameLength) || !res.skip(nameLength + ((nameLength + 1) & 1)) ||
                !res.u32(size)) {
                return fail(error, "corrupt image resource block");
            }
            const uint8_t* data = res.take(size);
            if (!data || !res.skip(std::min<size_t>(size & 1, res.remaining()))) {
                return fail(error, "corrupt image resource block");
            }
            if (id == 1005 && size >= 16) {
                // Fixed-point 16.16 pixels per inch; the unit fields only say how to display it.
                auto fixed = [&](int at) {
                    const uint32_t v = (uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) |
                                       (uint32_t{data[at + 2]} << 8) | data[at + 3];
                    return v / 65536.0;
                };
                const double h = fixed(0), v = fixed(8);
                // Some writers leave the resolution as a bare 1/65536 when no density was set;
                // anything below one pixel per inch means "unknown", not a gigantic point size.
                if (h >= 1.0 && v >= 1.0) {
                    dpiX = h;
                    dpiY = v;
                }
            }
        }
    }

    // Layer and mask information: skipped, except that a negative layer count says the
    // first extra channel of the composite is its transparency.
    bool compositeHasAlpha = false;
    uint64_t layerSectionLength = 0;
    if (large) {
        if (!in.u64(layerSectionLength)) return fail(error, "truncated layer section");
    } else {
        uint32_t l = 0;
        if (!in.u32(l)) return fail(error, "truncated layer section");
        layerSectionLength = l;
    }
    if (!in.has(layerSectionLength)) return fail(error, "truncated layer section");
    {
        Cursor layers(bytes.subspan(in.pos(), static_cast<size_t>(layerSectionLength)));
        in.skip(layerSectionLength);
        uint64_t layerInfoLength = 0;
        bool ok;
        if (large) {
            ok = layers.u64(layerInfoLength);
        } else {
            uint32_t l = 0;
            ok = layers.u32(l);
            layerInfoLength = l;
        }
        uint16_t count = 0;
        if (ok && layerInfoLength >= 2 && layers.u16(count)) compositeHasAlpha = static_cast<int16_t>(count) < 0;
    }
    const bool hasAlpha = compositeHasAlpha && channels > colourChannels;
    const int used = colourChannels + (hasAlpha ? 1 : 0);

    uint16_t compression = 0;
    if (!in.u16(compression)) return fail(error, "missing image data");
    if (compression == 2 || compression == 3) return fail(error, "unsupported compression (ZIP) for the composite image");
    if (compression > 1) return fail(error, "unknown compression " + std::to_string(compression));

    const size_t w = width, h = height;
    const size_t sampleBytes = depth / 8;
    const size_t rowBytes = w * sampleBytes;

    // Gather one pointer and length per row of each channel we use, checking that
    // every byte is present before allocating the picture.
    std::vector<const uint8_t*> rowData(used * h);
    std::vector<size_t> rowLength(used * h);
    if (compression == 0) {
        for (size_t i = 0; i < rowData.size(); ++i) {
            rowData[i] = in.take(rowBytes);
            if (!rowData[i]) return fail(error, "truncated image data");
            rowLength[i] = rowBytes;
        }
    } else {
        const size_t countBytes = large ? 4 : 2;
        const uint64_t tableBytes = static_cast<uint64_t>(channels) * h * countBytes;
        const uint8_t* table = in.take(tableBytes);
        if (!table) return fail(error, "truncated RLE row table");
        for (size_t i = 0; i < rowData.size(); ++i) {
            const uint8_t* c = table + i * countBytes;
            const size_t n = large ? (size_t{c[0]} << 24) | (size_t{c[1]} << 16) | (size_t{c[2]} << 8) | c[3]
                                   : (size_t{c[0]} << 8) | c[1];
            rowData[i] = in.take(n);
            if (!rowData[i]) return fail(error, "truncated RLE image data");
            rowLength[i] = n;
        }
    }

    // Up to four channels interleaved per pixel; CMYK with alpha needs a fifth plane.
    std::vector<uint8_t> pixels(w * h * 4, 0);
    std::vector<uint8_t> alphaPlane(used > 4 ? w * h : 0);
    std::vector<uint8_t> unpacked(compression == 1 ? rowBytes : 0);
    for (int c = 0; c < used; ++c) {
        for (size_t y = 0; y < h; ++y) {
            const size_t i = c * h + y;
            const uint8_t* row = rowData[i];
            if (compression == 1) {
                if (!unpackBits(row, rowLength[i], unpacked.data(), rowBytes)) {
                    return fail(error, "corrupt RLE data in channel " + std::to_string(c) + ", row " + std::to_string(y));
                }
                row = unpacked.data();
            }
            uint8_t* dst = c < 4 ? &pixels[y * w * 4 + c] : &alphaPlane[y * w];
            const size_t step = c < 4 ? 4 : 1;
            if (sampleBytes == 1) {
                for (size_t x = 0; x < w; ++x) dst[x * step] = row[x];
            } else {
                for (size_t x = 0; x < w; ++x) {
                    const unsigned v = (unsigned{row[2 * x]} << 8) | row[2 * x + 1];
                    dst[x * step] = static_cast<uint8_t>((v * 255 + 32767) / 65535);
                }
            }
        }
    }

    // To premultiplied native ARGB32. A transparent composite is stored blended against
    // white, so premultiplied colour = stored + alpha - 255.
    for (size_t p = 0; p < w * h; ++p) {
        uint8_t* px = &pixels[p * 4];
        unsigned r, g, b, a = 255;
        switch (colourChannels) {
            case 1: r = g = b = px[0]; break;
            case 3: r = px[0]; g = px[1]; b = px[2]; break;
            default:  // CMYK, stored as 255 - ink; a plain ink-multiply without colour management
                r = mul255(px[0], px[3]);
                g = mul255(px[1], px[3]);
                b = mul255(px[2], px[3]);
                break;
        }
        if (hasAlpha) {
            a = colourChannels == 4 ? alphaPlane[p] : px[colourChannels];
            auto unblend = [a](unsigned v) { return std::min(a, v + a >= 255 ? v + a - 255 : 0u); };
            r = unblend(r);
            g = unblend(g);
            b = unblend(b);
        }
        const uint32_t word = (a << 24) | (r << 16) | (g << 8) | b;
        std::memcpy(px, &word, 4);
    }

    DecodedBitmap out;
    out.width = static_cast<int>(w);
    out.height = static_cast<int>(h);
    out.dpiX = dpiX;
    out.dpiY = dpiY;
    out.argb32 = std::move(pixels);
    out.stride = static_cast<int>(w * 4);
    out.hasAlpha = hasAlpha;
    return out;
}

}  // namespace platform::graphics
