#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/plist.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace pf = platform::foundation;
namespace fs = std::filesystem;

TEST(StringsFile, ReadsQuotedPairsCommentsAndEscapes) {
    auto table = pf::parseStringsFile(
        "\xEF\xBB\xBF/* header comment */\n"
        "\"plain\" = \"Plain text\";\n"
        "// line comment\n"
        "\"escaped\" = \"Say \\\"hi\\\"\\nnext line\\t\\\\ 100%%\";\n"
        "\"unicode\" = \"\\U00e9t\\U00E9\";\n"
        "bare.key = bareValue;\n"
        "\"twice\" = \"first\"; \"twice\" = \"second\";\n");
    EXPECT_EQ(table.at("plain"), "Plain text");
    EXPECT_EQ(table.at("escaped"), "Say \"hi\"\nnext line\t\\ 100%%");
    EXPECT_EQ(table.at("unicode"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(table.at("bare.key"), "bareValue");
    EXPECT_EQ(table.at("twice"), "second");
}

TEST(StringsFile, SyntaxErrorsNameTheLine) {
    for (const char* bad : {"\"a\" = \"b\"", "\"a\" \"b\";", "\"a\" = \"unterminated;", "/* open"}) {
        EXPECT_THROW(pf::parseStringsFile(bad), pf::Error) << bad;
    }
    try {
        pf::parseStringsFile("\"a\" = \"b\";\n\"c\" = ;");
        FAIL();
    } catch (const pf::Error& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
}

TEST(Bundle, LooksUpTextsInfoValuesAndResources) {
    gwtest::TempDir root;
    fs::create_directory(root / "en.lproj");
    gwtest::writeFile(root / "en.lproj" / "Localizable.strings", "\"greeting\" = \"Hello %@\";");
    gwtest::writeFile(root / "Other.strings", "\"k\" = \"other table\";");
    gwtest::writeFile(root / "glyphwright_config_v2.plist", "x");
    pf::Dictionary info{{"CFBundleIdentifier", pf::Value("com.example.app")}, {"CFBundleVersion", pf::Value("42")}};
    gwtest::writeFile(root / "Info.plist", pf::stringFromData(pf::plist::serialize(pf::Value(info))));

    pf::Bundle bundle(root.path());
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.app");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), pf::Value("42"));
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("missing").isNull());
    EXPECT_EQ(bundle.localizedString("greeting"), "Hello %@");
    EXPECT_EQ(bundle.localizedString("k", "", "Other"), "other table");
    EXPECT_EQ(bundle.localizedString("missing.key"), "missing.key");
    EXPECT_EQ(bundle.localizedString("missing.key", "fallback"), "fallback");
    EXPECT_EQ(bundle.pathForResource("glyphwright_config_v2", "plist"), root / "glyphwright_config_v2.plist");
    EXPECT_EQ(bundle.pathForResource("Localizable", "strings"), root / "en.lproj" / "Localizable.strings");
    EXPECT_FALSE(bundle.pathForResource("absent", "png"));
    EXPECT_FALSE(bundle.pathForResource("../outside", "plist"));
}

TEST(Bundle, WithoutInfoValuesFallsBackToApplicationIdentifier) {
    gwtest::TempDir root;
    pf::Bundle bundle(root.path());
    EXPECT_EQ(bundle.bundleIdentifier(), pf::kDefaultBundleIdentifier);
    EXPECT_EQ(bundle.localizedString("any"), "any");
}

TEST(Bundle, ProjectStringsTableParses) {
    fs::path table = fs::path(GW_SOURCE_DIR) / "resources" / "Localizable.strings";
    if (!fs::exists(table)) GTEST_SKIP() << "no strings table in this tree";
    pf::Bundle bundle(table.parent_path());
    EXPECT_NO_THROW(bundle.localizedString("platform.display-name.iOS"));
    EXPECT_NE(bundle.localizedString("platform.display-name.iOS"), "platform.display-name.iOS");
}

TEST(Bundle, MainBundleFollowsEnvironment) {
    gwtest::TempDir root;
    gwtest::writeFile(root / "Localizable.strings", "\"k\" = \"from env\";");
    gwtest::ScopedEnv env("GW_RESOURCES_DIR", root.path().string());
    pf::Bundle::setMain(nullptr);
    EXPECT_EQ(pf::Bundle::main().resourcesPath(), root.path());
    EXPECT_EQ(pf::Bundle::main().localizedString("k"), "from env");
    pf::Bundle::setMain(nullptr);
}
