// What a later run makes of the hidden names a killed run left in a catalog: folders set
// aside go back in place of whatever the killed run put there, everything else in flight
// goes, and names that only look alike stay.
#include "app/engine/interrupted_writing.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;
using gw::InFlightKind;
using gwtest::readFile;
using gwtest::writeFile;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

TEST(InterruptedWriting, HiddenNamesSayWhatTheyStandFor) {
    struct Case {
        std::string name;
        std::optional<std::string> original;
        InFlightKind kind = InFlightKind::discarded;
    };
    const std::vector<Case> cases{
        {".logo.imageset.replaced-12-0", "logo.imageset", InFlightKind::replaced},
        {".a.b-c.writing-1-22", "a.b-c", InFlightKind::writing},
        {".Assets.xcassets.discarded-4194304-7", "Assets.xcassets", InFlightKind::discarded},
        {"logo.imageset.replaced-12-0", std::nullopt},
        {".logo.imageset.replaced-12", std::nullopt},
        {".logo.imageset.replaced-x-0", std::nullopt},
        {".logo.imageset.moved-12-0", std::nullopt},
        {"..replaced-1-2", std::nullopt},
        {".hidden", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = gw::parseInFlightName(c.name);
        ASSERT_EQ(parsed.has_value(), c.original.has_value()) << c.name;
        if (!parsed) continue;
        EXPECT_EQ(parsed->original, *c.original) << c.name;
        EXPECT_EQ(parsed->kind, c.kind) << c.name;
    }
    // A fresh name of each kind reads back as what it was made for.
    const gwtest::TempDir dir;
    for (const auto kind : {InFlightKind::replaced, InFlightKind::writing, InFlightKind::discarded}) {
        const auto sibling = gw::inFlightSibling(dir / "pic.imageset", kind);
        EXPECT_EQ(sibling.parent_path(), dir.path());
        const auto parsed = gw::parseInFlightName(sibling.filename().string());
        ASSERT_TRUE(parsed) << sibling;
        EXPECT_EQ(parsed->original, "pic.imageset");
        EXPECT_EQ(parsed->kind, kind);
        EXPECT_LE(sibling.filename().string().size(), std::string("pic.imageset").size() + gw::kInFlightNameOverhead);
    }
}

TEST(InterruptedWriting, ALaterRunPutsBackWhatWasSetAsideAndRemovesWhatWasInFlight) {
    const gwtest::TempDir dir;
    const auto output = dir / "out";
    const auto catalog = output / "Assets.xcassets";
    // Replaced by a killed run that had already written a new one.
    writeFile(catalog / "a.imageset/Contents.json", "new a");
    writeFile(catalog / ".a.imageset.replaced-7-0/Contents.json", "old a");
    // Set aside, nothing written yet.
    writeFile(catalog / ".b.imageset.replaced-7-1/Contents.json", "old b");
    // Deeper down, in a group folder.
    writeFile(catalog / "group/.c.imageset.replaced-7-2/Contents.json", "old c");
    writeFile(catalog / "group/.d.imageset.writing-7-3/half.png", "half");
    // In flight, and a catalog's Contents.json being written.
    writeFile(catalog / ".e.imageset.writing-7-4/Contents.json", "half e");
    writeFile(catalog / ".f.imageset.discarded-7-5/Contents.json", "going f");
    writeFile(catalog / ".Contents.json.a1B2c3", "{");
    // The user's own hidden files stay.
    writeFile(catalog / ".keep", "mine");
    writeFile(catalog / ".notes.txt.a1B2c3", "mine too");

    gw::recoverInterruptedWriting(output);
    EXPECT_EQ(namesIn(catalog), (std::set<std::string>{".keep", ".notes.txt.a1B2c3", "a.imageset", "b.imageset", "group"}));
    EXPECT_EQ(readFile(catalog / "a.imageset/Contents.json"), "old a");
    EXPECT_EQ(readFile(catalog / "b.imageset/Contents.json"), "old b");
    EXPECT_EQ(namesIn(catalog / "group"), (std::set<std::string>{"c.imageset"}));
    EXPECT_EQ(readFile(catalog / "group/c.imageset/Contents.json"), "old c");
}

TEST(InterruptedWriting, AWholeCatalogSetAsideComesBackAndACatalogGivenAsTheOutputIsLookedInto) {
    const gwtest::TempDir dir;
    const auto output = dir / "out";
    writeFile(output / "Assets.xcassets/new.imageset/Contents.json", "new");
    writeFile(output / ".Assets.xcassets.replaced-9-0/old.imageset/Contents.json", "old");
    writeFile(output / ".Assets.xcassets.replaced-9-0/.x.imageset.writing-9-1/Contents.json", "half");
    // Not ours to touch: only catalogs are looked into.
    writeFile(output / ".other.replaced-9-2/file", "other");
    gw::recoverInterruptedWriting(output);
    EXPECT_EQ(namesIn(output), (std::set<std::string>{".other.replaced-9-2", "Assets.xcassets"}));
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"old.imageset"}));

    // The output chosen is the catalog itself.
    writeFile(output / "Assets.xcassets/.old.imageset.replaced-9-3/Contents.json", "older");
    gw::recoverInterruptedWriting(output / "Assets.xcassets");
    EXPECT_EQ(readFile(output / "Assets.xcassets/old.imageset/Contents.json"), "older");
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"old.imageset"}));
}

}  // namespace
