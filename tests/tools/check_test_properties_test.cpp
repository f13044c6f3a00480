// scripts/check-test-properties run on planted CTest build folders: what it must refuse (a test
// without a label, without a time limit, with a label the stages don't know, a widget test
// without its Qt platform, a folder with no test at all) and what it must pass.
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A CTestTestfile.cmake line registering `name` with the given properties (none: an empty text).
std::string test(const std::string& name, const std::string& properties) {
    std::string text = "add_test(" + name + " \"/bin/true\")\n";
    if (!properties.empty()) text += "set_tests_properties(" + name + " PROPERTIES " + properties + ")\n";
    return text;
}

TEST(CheckTestProperties, PlantedFaultsAreNamedAndACleanFolderPasses) {
    const std::string sound = test("sound", "LABELS \"unit\" TIMEOUT \"60\"") +
                              test("window", "LABELS \"gui\" TIMEOUT \"300\" ENVIRONMENT \"QT_QPA_PLATFORM=offscreen\"");
    struct Case {
        const char* name;
        std::string testfile;
        int status;
        std::vector<std::string> faults;  // each a line of its standard error
    };
    const std::vector<Case> cases = {
        {"clean", sound, 0, {}},
        {"no label, no time limit",
         sound + test("unlabelled", "TIMEOUT \"60\"") + test("untimed", "LABELS \"e2e\""),
         1, {"unlabelled: no label", "untimed: no time limit"}},
        {"neither", sound + test("bare", ""), 1, {"bare: no label", "bare: no time limit"}},
        {"a time limit of 0", sound + test("zero", "LABELS \"unit\" TIMEOUT \"0\""), 1, {"zero: no time limit"}},
        {"an unknown label", sound + test("odd", "LABELS \"unit;nightly\" TIMEOUT \"60\""), 1,
         {"odd: unknown labels ['nightly']"}},
        {"a widget test without its platform", sound + test("bare_window", "LABELS \"gui\" TIMEOUT \"60\""), 1,
         {"bare_window: a widget test without its Qt platform"}},
        {"no test at all", "", 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::TempDir dir;
        gwtest::writeFile(dir / "build/CTestTestfile.cmake", c.testfile);
        gwtest::ProgramOptions options;
        options.workingDirectory = dir.path();
        options.xdgRoot = dir / "xdg";
        options.outFile = dir / "out.txt";
        options.errFile = dir / "err.txt";
        const auto run = gwtest::runProgram(GW_SOURCE_DIR "/scripts/check-test-properties", {(dir / "build").string()}, options);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        for (const auto& fault : c.faults) EXPECT_NE(run.err.find(fault + "\n"), std::string::npos) << fault << "\n" << run.err;
        if (c.status == 0) {
            EXPECT_EQ(run.err, "");
        }
    }
}

}  // namespace
