// The characters a name or a path must not show raw are exactly Unicode's format characters
// (Cf) and its line and paragraph separators (Zl, Zp), held code point by code point against
// the character database of Debian's unicode-data package, so an entry lost or gained fails.
#include "platform/foundation/utf8.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

TEST(FormatCharacters, AreExactlyUnicodesFormatCharactersAndSeparators) {
    std::ifstream in("/usr/share/unicode/UnicodeData.txt");
    ASSERT_TRUE(in) << "UnicodeData.txt is missing: scripts/install-deps installs it (unicode-data)";
    std::vector<bool> expected(0x110000);
    std::uint32_t first = 0;
    for (std::string line; std::getline(in, line);) {
        // code;name;category;… where a large block is two lines, "<…, First>" and "<…, Last>".
        const auto nameAt = line.find(';') + 1, categoryAt = line.find(';', nameAt) + 1;
        const auto code = static_cast<std::uint32_t>(std::stoul(line.substr(0, nameAt - 1), nullptr, 16));
        const std::string name = line.substr(nameAt, categoryAt - nameAt - 1), category = line.substr(categoryAt, 2);
        if (name.ends_with(", First>")) {
            first = code;
            continue;
        }
        if (!name.ends_with(", Last>")) first = code;
        for (auto c = first; c <= code; ++c) expected[c] = category == "Cf" || category == "Zl" || category == "Zp";
    }
    std::vector<std::string> wrong;
    std::uint32_t count = 0;
    for (std::uint32_t c = 0; c < expected.size(); ++c) {
        count += expected[c];
        if (expected[c] != platform::foundation::isFormatCharacter(c)) {
            wrong.push_back(fmt::format("U+{:04X} ({})", c, expected[c] ? "missing" : "neither Cf, Zl nor Zp"));
        }
    }
    EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
    // The file was read whole: Unicode 15 has 170 format characters and two separators.
    EXPECT_EQ(count, 172u);
}
