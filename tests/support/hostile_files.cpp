#include "support/hostile_files.hpp"

#include <cstdint>

namespace gwtest {

namespace {

void putBigEndian(std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

namespace {

// Object i is an array of `fanout` references to object i + 1 (to object 0 from the
// last, with `loop`); without `loop` the last is empty.
std::string chainedBinaryPlist(std::size_t depth, std::size_t fanout, bool loop) {
    std::string out = "bplist00";
    std::string offsets;
    for (std::size_t i = 0; i < depth; ++i) {
        putBigEndian(offsets, out.size(), 4);
        const bool last = i + 1 == depth;
        if (last && !loop) {
            out.push_back(static_cast<char>(0xA0));
            continue;
        }
        out.push_back(static_cast<char>(0xA0 | fanout));
        for (std::size_t k = 0; k < fanout; ++k) putBigEndian(out, last ? 0 : i + 1, 4);
    }
    const std::uint64_t tableOffset = out.size();
    out += offsets;
    out.append(6, '\0');
    out.push_back(4);  // offset size
    out.push_back(4);  // reference size
    putBigEndian(out, depth, 8);
    putBigEndian(out, 0, 8);
    putBigEndian(out, tableOffset, 8);
    return out;
}

}  // namespace

std::string nestedBinaryPlist(std::size_t depth, bool loop) { return chainedBinaryPlist(depth, 1, loop); }

std::string sharedBinaryPlist(std::size_t levels) { return chainedBinaryPlist(levels, 2, false); }

std::string binaryPlistOfTexts(const std::u16string& key, const std::u16string& value) {
    std::string out = "bplist00";
    std::string offsets;
    putBigEndian(offsets, out.size(), 1);
    out += "\xD1\x01\x02";  // a dictionary of one entry: key object 1, value object 2
    for (const auto* text : {&key, &value}) {
        putBigEndian(offsets, out.size(), 1);
        out.push_back(static_cast<char>(0x60 | text->size()));
        for (const char16_t unit : *text) putBigEndian(out, unit, 2);
    }
    const std::uint64_t tableOffset = out.size();
    out += offsets;
    out.append(6, '\0');
    out.push_back(1);  // offset size
    out.push_back(1);  // reference size
    putBigEndian(out, 3, 8);
    putBigEndian(out, 0, 8);
    putBigEndian(out, tableOffset, 8);
    return out;
}

std::string nestedXMLPlist(std::size_t depth) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (std::size_t i = 0; i < depth; ++i) out += "<array>";
    for (std::size_t i = 0; i < depth; ++i) out += "</array>";
    return out + "\n</plist>\n";
}

std::string nestedJSON(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace gwtest
