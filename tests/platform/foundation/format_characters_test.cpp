// The format-character table held against Unicode's own character database (Debian's
// unicode-data package), read here line by line: the characters a name or a path must not
// show raw are those of general category Cf, the line separator (Zl) and the paragraph
// separator (Zp). Every code point is compared, so an entry the table loses or gains fails.
#include "platform/foundation/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace pf = platform::foundation;

constexpr const char* kUnicodeData = "/usr/share/unicode/UnicodeData.txt";
constexpr std::uint32_t kCodePoints = 0x110000;

// Whether each code point is Cf, Zl or Zp. Large blocks are given by their first and last
// code points ("<…, First>", "<…, Last>"), with the category of the whole block.
std::vector<bool> formatCharactersFromUnicodeData(std::ifstream& in) {
    std::vector<bool> format(kCodePoints, false);
    std::uint32_t blockStart = 0;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ';');) fields.push_back(field);
        if (fields.size() < 3) continue;
        const auto code = static_cast<std::uint32_t>(std::stoul(fields[0], nullptr, 16));
        const bool wanted = fields[2] == "Cf" || fields[2] == "Zl" || fields[2] == "Zp";
        if (fields[1].ends_with(", First>")) {
            blockStart = code;
            continue;
        }
        const std::uint32_t first = fields[1].ends_with(", Last>") ? blockStart : code;
        for (std::uint32_t c = first; c <= code; ++c) format[c] = wanted;
    }
    return format;
}

std::string hex(std::uint32_t c) {
    std::ostringstream out;
    out << "U+" << std::hex << std::uppercase << c;
    return out.str();
}

TEST(FormatCharacters, AreExactlyUnicodesFormatCharactersAndSeparators) {
    std::ifstream in(kUnicodeData);
    ASSERT_TRUE(in) << kUnicodeData << " is missing: scripts/install-deps installs it (unicode-data)";
    const auto expected = formatCharactersFromUnicodeData(in);

    std::vector<std::string> lost, gained;
    std::uint32_t count = 0;
    for (std::uint32_t c = 0; c < kCodePoints; ++c) {
        const bool inTable = pf::isFormatCharacter(c);
        if (expected[c]) ++count;
        if (expected[c] && !inTable) lost.push_back(hex(c));
        if (!expected[c] && inTable) gained.push_back(hex(c));
    }
    EXPECT_TRUE(lost.empty()) << "not in the table: " << ::testing::PrintToString(lost);
    EXPECT_TRUE(gained.empty()) << "in the table, but neither Cf, Zl nor Zp: " << ::testing::PrintToString(gained);
    // The file was read whole: Unicode 15 has 170 format characters and two separators.
    EXPECT_EQ(count, 172u);
}

}  // namespace
