#include "platform/foundation/binary_plist_reader.hpp"
#include "platform/foundation/utf8.hpp"

#include <bit>
#include <cstring>
#include <string_view>

namespace platform::foundation {

namespace {

constexpr std::size_t kHeader = 8;
constexpr std::size_t kTrailer = 32;
// Far beyond any archived log; deeper or larger graphs go to the library, which has
// its own limits and messages for them.
constexpr int kMaxDepth = 128;
constexpr std::size_t kMaxValues = std::size_t{1} << 16;
// The library refuses tables longer than this, reachable or not.
constexpr std::uint64_t kMaxObjects = std::uint64_t{1} << 22;

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

class Reader {
public:
    explicit Reader(const Data& data) : bytes_(data.data()) {
        if (data.size() < kHeader + kTrailer || std::memcmp(bytes_, "bplist00", kHeader) != 0) return;
        const std::size_t trailer = data.size() - kTrailer;
        offsetSize_ = bytes_[trailer + 6];
        refSize_ = bytes_[trailer + 7];
        objectCount_ = bigEndian(bytes_ + trailer + 8, 8);
        top_ = bigEndian(bytes_ + trailer + 16, 8);
        tableOffset_ = bigEndian(bytes_ + trailer + 24, 8);
        sound_ = offsetSize_ >= 1 && offsetSize_ <= 8 && refSize_ >= 1 && refSize_ <= 8 && objectCount_ > 0 &&
                 objectCount_ <= kMaxObjects &&
                 top_ < objectCount_ && tableOffset_ >= kHeader && tableOffset_ < trailer &&
                 objectCount_ <= (trailer - tableOffset_) / offsetSize_;
    }

    std::optional<Value> root() {
        Value value;
        if (!sound_ || !read(top_, 0, value)) return std::nullopt;
        return value;
    }

private:
    // Where the object starts; false when the table entry points outside the objects.
    bool objectAt(std::uint64_t index, std::size_t& at) const {
        if (index >= objectCount_) return false;
        const std::uint64_t offset =
            bigEndian(bytes_ + tableOffset_ + static_cast<std::size_t>(index) * offsetSize_, offsetSize_);
        if (offset < kHeader || offset >= tableOffset_) return false;
        at = static_cast<std::size_t>(offset);
        return true;
    }

    // The length in the marker's low nibble, or in the integer after it; `at` moves past both.
    bool length(std::size_t& at, std::uint64_t& count) const {
        count = bytes_[at] & 0x0F;
        ++at;
        if (count != 0x0F) return true;
        if (at >= tableOffset_) return false;
        const std::uint8_t marker = bytes_[at];
        if ((marker >> 4) != 0x1 || (marker & 0x0F) > 3) return false;
        const std::size_t width = std::size_t{1} << (marker & 0x0F);
        if (width > tableOffset_ - at - 1) return false;
        count = bigEndian(bytes_ + at + 1, width);
        at += 1 + width;
        return true;
    }

    // `count` items of `unit` bytes from `at` lie before the table.
    bool fits(std::size_t at, std::uint64_t count, std::size_t unit) const {
        return at <= tableOffset_ && count <= (tableOffset_ - at) / unit;
    }

    bool readText(std::uint64_t index, std::string& out) const {
        std::size_t at = 0;
        if (!objectAt(index, at)) return false;
        const unsigned type = bytes_[at] >> 4;
        std::uint64_t count = 0;
        if ((type != 0x5 && type != 0x6) || !length(at, count)) return false;
        if (type == 0x5) {
            if (!fits(at, count, 1)) return false;
            const auto* begin = bytes_ + at;
            // NUL stops the library; bytes past ASCII it reads its own way. (One pass
            // without branches: both wrap to 0x7F and above after subtracting one.)
            std::uint8_t outside = 0;
            for (std::uint64_t i = 0; i < count; ++i) outside |= static_cast<std::uint8_t>(begin[i] - 1) >= 0x7F;
            if (outside) return false;
            out.assign(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(count));
            return true;
        }
        if (!fits(at, count, 2)) return false;
        out.clear();
        out.reserve(static_cast<std::size_t>(count) * 3);
        const auto* units = bytes_ + at;
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint32_t c = static_cast<std::uint32_t>(units[2 * i] << 8 | units[2 * i + 1]);
            if (c == 0 || c == 0xFEFF || (c >= 0xDC00 && c <= 0xDFFF)) return false;
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (i + 1 == count) return false;
                const std::uint32_t low = static_cast<std::uint32_t>(units[2 * i + 2] << 8 | units[2 * i + 3]);
                if (low < 0xDC00 || low > 0xDFFF) return false;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
            appendUTF8(out, c);
        }
        return true;
    }

    bool ref(std::size_t at, std::uint64_t i, std::uint64_t& out) const {
        out = bigEndian(bytes_ + at + static_cast<std::size_t>(i) * refSize_, refSize_);
        return out < objectCount_;
    }

    bool read(std::uint64_t index, int depth, Value& out) {
        if (depth > kMaxDepth || ++values_ > kMaxValues) return false;
        std::size_t at = 0;
        if (!objectAt(index, at)) return false;
        const std::uint8_t marker = bytes_[at];
        switch (marker >> 4) {
        case 0x0:
            if (marker != 0x08 && marker != 0x09) return false;
            out = Value(marker == 0x09);
            return true;
        case 0x1: {
            if ((marker & 0x0F) > 3) return false;
            const std::size_t width = std::size_t{1} << (marker & 0x0F);
            if (!fits(at + 1, width, 1)) return false;
            out = Value(static_cast<std::int64_t>(bigEndian(bytes_ + at + 1, width)));
            return true;
        }
        case 0x2:
            if (marker == 0x22 && fits(at + 1, 4, 1)) {
                out = Value(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bigEndian(bytes_ + at + 1, 4)))));
                return true;
            }
            if (marker == 0x23 && fits(at + 1, 8, 1)) {
                out = Value(std::bit_cast<double>(bigEndian(bytes_ + at + 1, 8)));
                return true;
            }
            return false;
        case 0x4: {
            std::uint64_t count = 0;
            if (!length(at, count) || !fits(at, count, 1)) return false;
            out = Value(Data(bytes_ + at, bytes_ + at + count));
            return true;
        }
        case 0x5:
        case 0x6: {
            std::string text;
            if (!readText(index, text)) return false;
            out = Value(std::move(text));
            return true;
        }
        case 0xA: {
            std::uint64_t count = 0;
            if (!length(at, count) || !fits(at, count, refSize_)) return false;
            Array items(static_cast<std::size_t>(count));
            for (std::uint64_t i = 0; i < count; ++i) {
                std::uint64_t child = 0;
                if (!ref(at, i, child) || !read(child, depth + 1, items[static_cast<std::size_t>(i)])) return false;
            }
            out = Value(std::move(items));
            return true;
        }
        case 0xD: {
            std::uint64_t count = 0;
            if (!length(at, count) || count > (std::uint64_t{1} << 62) || !fits(at, count * 2, refSize_)) return false;
            Dictionary entries;
            std::string key;
            for (std::uint64_t i = 0; i < count; ++i) {
                std::uint64_t keyRef = 0, valueRef = 0;
                if (!ref(at, i, keyRef) || !ref(at, count + i, valueRef) || !readText(keyRef, key)) return false;
                ++values_;
                const std::size_t before = entries.size();
                // Keys usually come sorted, so the hint makes each insertion constant time.
                const auto entry = entries.emplace_hint(entries.end(), std::move(key), Value());
                if (entries.size() == before) return false;  // a repeated key
                if (!read(valueRef, depth + 1, entry->second)) return false;
            }
            out = Value(std::move(entries));
            return true;
        }
        default:
            return false;
        }
    }

    const std::uint8_t* bytes_;
    bool sound_ = false;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t tableOffset_ = 0;
    std::size_t values_ = 0;
};

}  // namespace

std::optional<Value> readBinaryPropertyList(const Data& bytes) { return Reader(bytes).root(); }

bool isSafeBinaryPropertyList(const Data& data) {
    return isSafeBinaryPropertyList(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

bool isSafeBinaryPropertyList(std::string_view data) {
    if (data.size() < kHeader + kTrailer || std::memcmp(data.data(), "bplist00", kHeader) != 0) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    const std::size_t trailer = data.size() - kTrailer;
    const std::size_t offsetSize = bytes[trailer + 6];
    const std::uint64_t objectCount = bigEndian(bytes + trailer + 8, 8);
    const std::uint64_t tableOffset = bigEndian(bytes + trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || tableOffset > trailer || objectCount > (trailer - tableOffset) / offsetSize) {
        return false;
    }
    for (std::uint64_t i = 0; i < objectCount; ++i) {
        const std::uint64_t offset = bigEndian(bytes + tableOffset + i * offsetSize, offsetSize);
        if (offset < kHeader || offset >= tableOffset) return false;
        std::size_t at = static_cast<std::size_t>(offset);
        const unsigned marker = bytes[at] >> 4;
        if (marker != 0x5 && marker != 0x6) continue;  // only text objects can hide a NUL
        std::uint64_t length = bytes[at] & 0x0F;
        ++at;
        if (length == 0x0F) {
            if (at >= tableOffset || (bytes[at] >> 4) != 0x1) return false;
            const std::size_t size = std::size_t{1} << (bytes[at] & 0x0F);
            if (size > 8 || at + 1 + size > tableOffset) return false;
            length = bigEndian(bytes + at + 1, size);
            at += 1 + size;
        }
        const std::uint64_t unit = marker == 0x6 ? 2 : 1;
        if (length > (tableOffset - at) / unit) return false;
        if (unit == 1) {
            if (std::memchr(bytes + at, 0, static_cast<std::size_t>(length))) return false;
            continue;
        }
        for (std::uint64_t k = 0; k < length; ++k) {
            const std::size_t p = at + static_cast<std::size_t>(k * unit);
            if (bytes[p] == 0 && (unit == 1 || bytes[p + 1] == 0)) return false;
        }
    }
    return true;
}

}  // namespace platform::foundation
