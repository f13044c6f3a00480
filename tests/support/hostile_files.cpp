#include "support/hostile_files.hpp"

#include <cstdint>

namespace gwtest {

namespace {

void putBigEndian(std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string nestedBinaryPlist(std::size_t depth, bool loop) {
    // Object i is a one-element array referring to object i + 1, at offset 8 + 5 i.
    std::string out = "bplist00";
    std::string offsets;
    for (std::size_t i = 0; i < depth; ++i) {
        putBigEndian(offsets, out.size(), 4);
        const bool last = i + 1 == depth;
        if (last && !loop) {
            out.push_back(static_cast<char>(0xA0));
        } else {
            out.push_back(static_cast<char>(0xA1));
            putBigEndian(out, last ? 0 : i + 1, 4);
        }
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

std::string nestedXMLPlist(std::size_t depth) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (std::size_t i = 0; i < depth; ++i) out += "<array>";
    for (std::size_t i = 0; i < depth; ++i) out += "</array>";
    return out + "\n</plist>\n";
}

std::string nestedJSON(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace gwtest
