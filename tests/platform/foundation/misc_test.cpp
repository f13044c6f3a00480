#include "platform/foundation/clock.hpp"
#include "platform/foundation/date.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/string_format.hpp"
#include "platform/foundation/utf8.hpp"
#include "platform/foundation/uuid.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pf = platform::foundation;

TEST(Uuid, FreshIdentifiersAreVersion4AndRoundTrip) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        pf::UUID id;
        std::string s = id.uuidString();
        ASSERT_EQ(s.size(), 36u);
        EXPECT_EQ(s[14], '4');
        EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos);
        EXPECT_EQ(s, [&] { std::string u = s; for (auto& c : u) c = static_cast<char>(std::toupper(c)); return u; }());
        EXPECT_EQ(pf::UUID::fromString(s), id);
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(pf::UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->uuidString(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(pf::UUID::fromString("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(pf::UUID::fromString("G621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
}

TEST(Date, ReferenceDateArithmeticAndIsoText) {
    auto d = pf::Date::fromTimeIntervalSinceReferenceDate(0);
    EXPECT_EQ(d.timeIntervalSince1970(), 978307200.0);
    EXPECT_EQ(d.iso8601(), "2001-01-01T00:00:00.000Z");
    EXPECT_EQ(pf::Date::fromTimeIntervalSince1970(1.9996).iso8601(), "1970-01-01T00:00:02.000Z");
    EXPECT_EQ(d.addingTimeInterval(1.5).timeIntervalSince(d), 1.5);
    EXPECT_LT(d, d.addingTimeInterval(1));
}

TEST(Date, NowFollowsTheCurrentClock) {
    auto manual = std::make_shared<pf::ManualClock>(1000.0);
    pf::Clock::setCurrent(manual);
    EXPECT_EQ(pf::Date::now().timeIntervalSince1970(), 1000.0);
    manual->advanceSeconds(2.5);
    EXPECT_EQ(pf::Date::now().timeIntervalSince1970(), 1002.5);
    pf::Clock::setCurrent(nullptr);
    EXPECT_GT(pf::Date::now().timeIntervalSince1970(), 1'700'000'000.0);
}

TEST(StringFormat, ObjectIntegerRealAndPositionalPlaceholders) {
    using A = std::vector<pf::FormatArgument>;
    EXPECT_EQ(pf::formatString("[%@] %@: %@/%d %@", A{"DezIdedev", "file.cpp", "func", std::int64_t{12}, "msg"}),
              "[DezIdedev] file.cpp: func/12 msg");
    EXPECT_EQ(pf::formatString("%2$@ then %1$@", A{"a", "b"}), "b then a");
    EXPECT_EQ(pf::formatString("%ld pictures, %.0f x %.2f", A{std::int64_t{3}, 1024.4, 2.0}), "3 pictures, 1024 x 2.00");
    EXPECT_EQ(pf::formatString("%@ and %@", A{std::int64_t{5}, 1.5}), "5 and 1.5");
    EXPECT_EQ(pf::formatString("100%% %5d|%-4@|", A{std::int64_t{42}, "x"}), "100%    42|x   |");
}

TEST(StringFormat, MissingArgumentsAndUnknownPlaceholdersAreCopied) {
    using A = std::vector<pf::FormatArgument>;
    EXPECT_EQ(pf::formatString("%@ and %@", A{"one"}), "one and %@");
    EXPECT_EQ(pf::formatString("%3$@", A{"a"}), "%3$@");
    EXPECT_EQ(pf::formatString("50%", A{}), "50%");
    EXPECT_EQ(pf::formatString("%n %p", A{std::int64_t{1}, std::int64_t{2}}), "%n %p");
}

// What a terminal or a window would act on is escaped byte by byte; text of any script stays.
TEST(EscapedForDisplay, EscapesControlsAndBrokenBytesAndKeepsEveryOtherCharacter) {
    namespace pf = platform::foundation;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain/path name.png", "plain/path name.png"},
        {"\x1b]0;PWNED\x07\x1b[2J.png", "\\x1b]0;PWNED\\x07\\x1b[2J.png"},
        {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7f"},
        // C1 controls (CSI is U+009B), and the same byte alone, which is no UTF-8.
        {"c1\xc2\x9b" "2J", "c1\\xc2\\x9b2J"},
        {"lone\x9b" "2J", "lone\\x9b2J"},
        {"cut\xe2\x82", "cut\\xe2\\x82"},
        {"overlong\xc0\xaf", "overlong\\xc0\\xaf"},
        // U+00A0 follows the C1 range and is kept, as are accents, CJK and emoji.
        {"nbsp\xc2\xa0" "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x8e\xa8", "nbsp\xc2\xa0" "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x8e\xa8"},
        {"back\\x1b", "back\\x1b"},
        // Format characters would reorder or hide what follows them: a right-to-left
        // override, isolates, zero-width characters, the separators, the soft hyphen,
        // the Arabic letter mark, the byte order mark and the tags.
        {"invoice\u202efdp.exe", "invoice\\u{202e}fdp.exe"},
        {"\u2066a\u2069\u200bb\u200f\u2028\u2029\u00ad\u061c\ufeff", "\\u{2066}a\\u{2069}\\u{200b}b\\u{200f}\\u{2028}\\u{2029}\\u{ad}\\u{61c}\\u{feff}"},
        {"tag\U000e0001\U000e0041\U000e007f", "tag\\u{e0001}\\u{e0041}\\u{e007f}"},
        // Neighbours that are ordinary text stay.
        {"\u200a\u2010\u2030\u2070\ufefe", "\u200a\u2010\u2030\u2070\ufefe"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(pf::escapedForDisplay(text), shown) << shown;
        EXPECT_EQ(pf::escapedForDisplay(shown), shown) << "escaping twice changes nothing";
    }
}

TEST(Error, CarriesDomainCodeAndPrintedForm) {
    pf::Error e(pf::FoundationErrorCode::fileNotFound, "gone");
    EXPECT_EQ(e.domain(), pf::kFoundationErrorDomain);
    EXPECT_EQ(e.code(), 4);
    EXPECT_EQ(e.printedDescription(), "Error Domain=platform.foundation Code=4 \"gone\"");
    EXPECT_EQ(pf::Error::posix(ENOENT, "open x").localizedDescription(), "open x: No such file or directory");
}

TEST(FatalErrorDeathTest, LogsMessageAndFileThenAborts) {
    EXPECT_DEATH(pf::fatalError("Unknown assetManifests contents", "config_file.cpp"),
                 "Fatal error: Unknown assetManifests contents: file config_file.cpp");
    EXPECT_DEATH(pf::fatalError("broken invariant"), "Fatal error: broken invariant: file .*misc_test.cpp, line [0-9]+");
}
