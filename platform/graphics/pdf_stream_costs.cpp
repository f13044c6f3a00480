#include "platform/graphics/pdf_stream_costs.hpp"

#include <algorithm>
#include <cmath>

namespace platform::graphics {

namespace {

// `count` bits (at most 32) from `bit` on, the first the most significant; zeros past
// the end.
uint64_t bitsAt(std::string_view data, size_t bit, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i, ++bit) {
        const size_t byte = bit / 8;
        const int set = byte < data.size() ? (uint8_t(data[byte]) >> (7 - bit % 8)) & 1 : 0;
        value = value << 1 | uint64_t(set);
    }
    return value;
}

uint64_t be32(std::string_view data, size_t at) { return at + 4 <= data.size() ? bitsAt(data, at * 8, 32) : 0; }

}  // namespace

MeshMeasure::MeshMeasure(const MeshLayout& layout) : layout_(layout) {
    layout_.flagBits = std::clamp(layout_.flagBits, 0, 32);
    layout_.coordinateBits = std::clamp(layout_.coordinateBits, 1, 32);
    layout_.componentBits = std::clamp(layout_.componentBits, 1, 32);
    layout_.components = std::clamp(layout_.components, 1, 32);
    layout_.verticesPerRow = std::max(layout_.verticesPerRow, 2);
}

size_t MeshMeasure::recordBytes(std::string_view data) const {
    const size_t colour = size_t(layout_.components) * size_t(layout_.componentBits);
    const size_t coordinates = 2 * size_t(layout_.coordinateBits);
    size_t bits = 0;
    if (layout_.type == 4 || layout_.type == 5) {
        bits = (layout_.type == 4 ? size_t(layout_.flagBits) : 0) + coordinates + colour;
    } else {
        if (data.size() * 8 < size_t(layout_.flagBits)) return 0;
        const bool fresh = bitsAt(data, 0, layout_.flagBits) == 0;
        const size_t points = (layout_.type == 6 ? 12 : 16) - (fresh ? 0 : 4);
        bits = size_t(layout_.flagBits) + points * coordinates + (fresh ? 4 : 2) * colour;
    }
    return std::max<size_t>(1, (bits + 7) / 8);
}

MeshMeasure::Point MeshMeasure::point(uint64_t x, uint64_t y) const {
    const double most = std::ldexp(1.0, layout_.coordinateBits) - 1;
    return Point{layout_.xMin + double(x) / most * (layout_.xMax - layout_.xMin),
                 layout_.yMin + double(y) / most * (layout_.yMax - layout_.yMin)};
}

void MeshMeasure::addBox(const Point* points, int count) {
    double left = points[0].x, right = left, bottom = points[0].y, top = bottom;
    for (int i = 1; i < count; ++i) {
        left = std::min(left, points[i].x);
        right = std::max(right, points[i].x);
        bottom = std::min(bottom, points[i].y);
        top = std::max(top, points[i].y);
    }
    elements_ += 1;
    if (std::isfinite(right - left) && std::isfinite(top - bottom)) area_ += (right - left) * (top - bottom);
}

void MeshMeasure::record(std::string_view data) {
    const int c = layout_.coordinateBits;
    if (layout_.type == 4 || layout_.type == 5) {
        const size_t at = layout_.type == 4 ? size_t(layout_.flagBits) : 0;
        const Point p = point(bitsAt(data, at, c), bitsAt(data, at + size_t(c), c));
        vertices_ += 1;
        if (layout_.type == 5) {
            // Each vertex past the first row and column closes a quad of two triangles.
            const size_t column = inRow_++;
            row_.push_back(p);
            if (column > 0 && previousRow_.size() > column) {
                const Point quad[4] = {previousRow_[column - 1], previousRow_[column], row_[column - 1], p};
                addBox(quad, 4);
                elements_ += 1;
            }
            if (inRow_ == size_t(layout_.verticesPerRow)) {
                previousRow_.swap(row_);
                row_.clear();
                inRow_ = 0;
            }
            return;
        }
        // A vertex flagged 0 starts a triangle of it and the next two, whose flags are
        // not read; any other makes one with the last two.
        if (inRow_ > 0) {
            if (++inRow_ == 3) {
                const Point triangle[3] = {last_[0], last_[1], p};
                addBox(triangle, 3);
                inRow_ = 0;
            }
        } else if (elements_ == 0 || bitsAt(data, 0, layout_.flagBits) == 0) {
            inRow_ = 1;
        } else {
            const Point triangle[3] = {last_[0], last_[1], p};
            addBox(triangle, 3);
        }
        last_[0] = last_[1];
        last_[1] = p;
        return;
    }
    const bool fresh = bitsAt(data, 0, layout_.flagBits) == 0;
    const int count = (layout_.type == 6 ? 12 : 16) - (fresh ? 0 : 4);
    Point points[16];
    size_t bit = size_t(layout_.flagBits);
    for (int i = 0; i < count; ++i, bit += 2 * size_t(c)) points[i] = point(bitsAt(data, bit, c), bitsAt(data, bit + c, c));
    vertices_ += count;
    addBox(points, count);
}

void MeshMeasure::feed(std::string_view data) {
    carry_.append(data);
    size_t at = 0;
    while (at < carry_.size()) {
        const std::string_view rest = std::string_view(carry_).substr(at);
        const size_t bytes = recordBytes(rest);
        if (bytes == 0 || bytes > rest.size()) break;
        record(rest.substr(0, bytes));
        at += bytes;
    }
    carry_.erase(0, at);
}

namespace {

// The bytes of retention bits after a long-form count of referred-to segments: one bit
// for the segment and one for each it refers to, as the standard packs them; poppler
// reads one byte more when that count is 7 less than a multiple of 8.
enum class RetentionRule { standard, poppler };

uint64_t retentionBytes(uint64_t referred, RetentionRule rule) {
    return rule == RetentionRule::standard ? (referred + 1 + 7) / 8 : (referred + 9) / 8;
}

// Walks the segments as `rule` reads them; whether a long form was met that the other
// rule reads differently.
bool walkJbig2(std::string_view globals, std::string_view data, RetentionRule rule, Jbig2Bitmaps& out) {
    auto note = [&](uint64_t width, uint64_t height) {
        out.widest = std::max(out.widest, width);
        out.tallest = std::max(out.tallest, height);
        const double pixels = double(width) * double(height);
        if (pixels > out.pixels) {
            out.pixels = pixels;
            out.width = width;
            out.height = height;
        }
    };
    bool readTwoWays = false;
    for (const std::string_view segments : {globals, data}) {
        // The page whose height is left open grows with what is drawn into it.
        uint64_t pageWidth = 0, pageHeight = 0;
        bool openHeight = false;
        size_t at = 0;
        while (at + 11 <= segments.size()) {
            const uint64_t number = be32(segments, at);
            const uint8_t flags = uint8_t(segments[at + 4]);
            const int type = flags & 0x3F;
            at += 5;
            uint64_t referred = uint8_t(segments[at]) >> 5;
            if (referred == 7) {
                referred = be32(segments, at) & 0x1FFFFFFF;
                readTwoWays = readTwoWays || retentionBytes(referred, RetentionRule::standard) !=
                                                 retentionBytes(referred, RetentionRule::poppler);
                at += 4 + retentionBytes(referred, rule);
            } else {
                at += 1;
            }
            const uint64_t numberBytes = number <= 256 ? 1 : number <= 65536 ? 2 : 4;
            if (referred > segments.size()) break;
            at += referred * numberBytes + ((flags & 0x40) != 0 ? 4 : 1);
            if (at + 4 > segments.size()) break;
            const uint64_t length = be32(segments, at);
            at += 4;
            const std::string_view body = segments.substr(std::min(at, segments.size()));
            if (type == 48 && body.size() >= 19) {
                pageWidth = be32(body, 0);
                pageHeight = be32(body, 4);
                openHeight = pageHeight == 0xFFFFFFFF;
                // Striped, its first stripe's height to begin with.
                if (openHeight) pageHeight = bitsAt(body, 17 * 8, 16) & 0x7FFF;
                note(pageWidth, pageHeight);
            } else if (type == 50 && body.size() >= 4 && openHeight) {
                pageHeight = std::max(pageHeight, be32(body, 0) + 1);
                note(pageWidth, pageHeight);
            } else if (type == 16 && body.size() >= 7) {
                const uint64_t cellWidth = uint8_t(body[1]), cellHeight = uint8_t(body[2]);
                note((be32(body, 3) + 1) * cellWidth, cellHeight);
            } else if (((type >= 4 && type <= 7) || (type >= 20 && type <= 23) || (type >= 36 && type <= 43)) &&
                       type % 4 != 1 && body.size() >= 16) {
                const uint64_t width = be32(body, 0), height = be32(body, 4), y = be32(body, 12);
                note(width, height);
                if (openHeight && y + height > pageHeight) {
                    pageHeight = y + height;
                    note(pageWidth, pageHeight);
                }
            }
            // A length left open (an immediate generic region) runs to the end.
            if (length == 0xFFFFFFFF) break;
            at += length;
        }
    }
    return readTwoWays;
}

}  // namespace

Jbig2Bitmaps jbig2Bitmaps(std::string_view globals, std::string_view data) {
    Jbig2Bitmaps out;
    // Data written to read one way by the standard and another by the decoder is
    // measured both ways.
    if (walkJbig2(globals, data, RetentionRule::standard, out)) walkJbig2(globals, data, RetentionRule::poppler, out);
    return out;
}

double calculatorTokens(std::string_view program) {
    double tokens = 0;
    bool inToken = false;
    for (const char c : program) {
        const bool white = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
        if (c == '{' || c == '}') {
            tokens += 1;
            inToken = false;
        } else if (white) {
            inToken = false;
        } else if (!inToken) {
            tokens += 1;
            inToken = true;
        }
    }
    return tokens;
}

}  // namespace platform::graphics
