// Runs killed at random moments while they replace the image sets of a catalog: after
// each kill every image set is its old content or its complete new content, or its old
// content waits under a hidden name for the next run to put it back, or, killed on its
// way to the Trash, lies beside it under its "replaced" name: whole, or what an earlier
// killed run had written of the new one; once a run has finished nothing hidden is left.
#include "app/engine/writing_boundary.hpp"
#include "app/shell/catalog_run_support.hpp"
#include "app/shell/command_line_controller.hpp"
#include "support/self_launch.hpp"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using gwtest::CatalogRuns;
using Catalog = std::map<std::string, gwtest::FolderSnapshot>;

// The catalog as a killed run left it, against the catalog before any run (`old`) and
// as a whole run makes it (`fresh`). Earlier kills may have left some folders new.
void expectOldOrCompleteNew(const fs::path& catalog, const Catalog& old, const Catalog& fresh) {
    static const std::regex inFlight(R"(^\.(.+)\.(replaced|writing|discarded)-\d+-\d+$)");
    static const std::regex temporaryFile(R"(^\.Contents\.json\.[A-Za-z0-9]{6}$)");
    static const std::regex onItsWayToTheTrash(R"(^(.+) \(replaced [^)]+\)(\.imageset)$)");
    EXPECT_EQ(gwtest::hiddenEntries(catalog.parent_path()).size(), gwtest::hiddenEntries(catalog).size())
        << "the catalog itself was set aside";
    std::set<std::string> setAside;
    Catalog visible;
    for (const auto& entry : fs::directory_iterator(catalog)) {
        const auto name = entry.path().filename().string();
        std::smatch match;
        if (std::regex_match(name, match, onItsWayToTheTrash)) {
            const std::string set = std::string(match[1]) + std::string(match[2]);
            const auto files = gwtest::snapshot(entry.path());
            // What a killed run left in flight holds the new files it had written, each whole.
            const auto& complete = fresh.at(set);
            const bool partOfNew = std::all_of(files.begin(), files.end(), [&](const auto& file) {
                const auto found = complete.find(file.first);
                return found != complete.end() && found->second == file.second;
            });
            EXPECT_TRUE(files == old.at(set) || partOfNew) << name << " is neither whole nor a part of the new set";
            continue;
        }
        if (name.front() != '.') {
            if (entry.is_directory()) visible[name] = gwtest::snapshot(entry.path());
            continue;
        }
        if (std::regex_match(name, match, inFlight)) {
            if (match[2] != "replaced") continue;  // the next run removes it
            // What the killed run found (old, or new from a run killed earlier), set aside
            // whole; the next run puts it back in place of whatever stands there.
            setAside.insert(match[1]);
            const auto files = gwtest::snapshot(entry.path());
            EXPECT_TRUE(files == old.at(match[1]) || files == fresh.at(match[1])) << name << " is not whole";
        } else {
            EXPECT_TRUE(std::regex_match(name, temporaryFile)) << "unexpected " << name;
        }
    }
    std::set<std::string> names;
    for (const auto& [name, files] : old) names.insert(name);
    for (const auto& [name, files] : fresh) names.insert(name);
    for (const auto& [name, files] : visible) {
        EXPECT_TRUE(names.count(name)) << "unexpected folder " << name;
    }
    for (const auto& name : names) {
        if (setAside.count(name)) continue;
        const auto found = visible.find(name);
        const auto files = found == visible.end() ? gwtest::FolderSnapshot{} : found->second;
        const auto before = old.find(name);
        const bool isOld = before != old.end() ? files == before->second : found == visible.end();
        EXPECT_TRUE(isOld || files == fresh.at(name)) << name << " is neither its old nor its complete new content";
    }
}

TEST_F(CatalogRuns, EveryKillLeavesEachImageSetOldOrCompleteNewAndTheNextRunPutsBackWhatWasSetAside) {
    constexpr int kPictures = 40;
    constexpr int kKills = 24;
    makePictures("old", kPictures, 0);
    makePictures("new", kPictures, 150);
    ASSERT_EQ(glyphwright(batchInto("old", "out")).status, 0);
    const auto catalog = work_ / "out/Assets.xcassets";
    const Catalog old = gwtest::catalogSnapshot(catalog);
    ASSERT_EQ(old.size(), static_cast<std::size_t>(kPictures));

    // The catalog a whole run makes, and how long that run takes here.
    fs::copy(work_ / "out", work_ / "whole", fs::copy_options::recursive);
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(glyphwright(batchInto("new", "whole/Assets.xcassets")).status, 0);
    const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
    const Catalog fresh = gwtest::catalogSnapshot(work_ / "whole/Assets.xcassets");
    ASSERT_EQ(fresh.size(), static_cast<std::size_t>(kPictures));

    int interrupted = 0;
    std::mt19937 random(20261207);
    std::uniform_int_distribution<long long> moment(0, runTime.count());
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        const auto pid = start(GW_GLYPHWRIGHT_PATH, batchInto("new", "out/Assets.xcassets"), "killed");
        // The moment of the kill is the thing varied, not something waited for.
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(pid, SIGKILL);
        finish(pid, "killed");
        expectOldOrCompleteNew(catalog, old, fresh);
        if (!gwtest::hiddenEntries(catalog).empty()) ++interrupted;
        if (HasFailure()) break;
    }

    // The moments are spread over a whole run's length: some kills must land mid-way.
    EXPECT_GT(interrupted, 0);

    const auto last = glyphwright(batchInto("new", "out/Assets.xcassets"));
    EXPECT_EQ(last.status, 0) << last.out << last.err;
    // What a kill left on its way to the Trash stays, under its "replaced" name.
    auto folders = gwtest::catalogSnapshot(catalog);
    std::erase_if(folders, [](const auto& folder) { return folder.first.find(" (replaced ") != std::string::npos; });
    EXPECT_EQ(folders, fresh);
    EXPECT_EQ(gwtest::hiddenEntries(work_ / "out"), std::vector<std::string>{});
}

// The command line's run of a hidden picture into a catalog that has its set already.
const std::vector<std::string> kHiddenLogoIntoCatalog{"-inputPath", ".logo.png", "-outputPath", "out", "-assetType",
                                                       "asset", "-assetCatalogExistsAction", "append",
                                                       "-assetExistsAction", "overwrite"};

// Run by the test below in a process of its own: the command line's run, killed (SIGKILL) as
// it begins to take the mark off the new set, which has just taken its name.
TEST(KilledCommandLineRun, KilledAsTheNewSetTakesItsName) {
    const char* work = std::getenv("GW_KILLED_RUN_WORK");
    if (work == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    ASSERT_EQ(::chdir(work), 0);
    int steps = 0;
    // The steps at the set's name: the swap that gives it the new content, then the mark's removal.
    gw::WritingBoundary::setStepHookForTesting([&](const fs::path& path) {
        if (path.filename() == ".logo.imageset" && ++steps == 2) ::raise(SIGKILL);
    });
    std::vector<std::string> arguments{"glyphwright"};
    arguments.insert(arguments.end(), kHiddenLogoIntoCatalog.begin(), kHiddenLogoIntoCatalog.end());
    gw::CommandLineController::make(arguments)->run();
    ADD_FAILURE() << "the run was not killed";
}

// A hidden set (from a picture named ".logo.png") whose run was killed once its new content
// had taken the set's name, before that content's mark came off: what the user then adds to
// the set they see is not lost by the next run, which puts the old set back and keeps the
// other in the Trash, saying so.
TEST_F(CatalogRuns, ARunKilledAsAHiddenSetTookItsNameCostsNothingAddedToItLater) {
    gwtest::writeFile(work_ / ".logo.png", gwtest::solidPNG(48, 48, {200, 40, 90, 255}));
    ASSERT_EQ(glyphwright(kHiddenLogoIntoCatalog).status, 0);
    const auto set = work_ / "out/Assets.xcassets/.logo.imageset";
    ASSERT_TRUE(fs::is_directory(set));
    gwtest::writeFile(set / "before.txt", "added before the kill");

    const auto xdg = dir_ / "xdg";
    const gwtest::SelfLaunch launch{"KilledCommandLineRun.KilledAsTheNewSetTakesItsName",
                                    {{"GW_KILLED_RUN_WORK", work_.string()},
                                     {"XDG_CONFIG_HOME", (xdg / "XDG_CONFIG_HOME").string()},
                                     {"XDG_DATA_HOME", (xdg / "XDG_DATA_HOME").string()},
                                     {"XDG_CACHE_HOME", (xdg / "XDG_CACHE_HOME").string()}},
                                    dir_ / "killed.out"};
    const pid_t child = gwtest::spawnSelf(launch);
    ASSERT_GT(child, 0);
    const int status = gwtest::waitForChild(child, std::chrono::seconds(240));
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << gwtest::readFile(dir_ / "killed.out");
    // Killed at that moment: the new set stands at its name, marked for it.
    const auto mark = gw::WritingBoundary(work_).markOn(set);
    ASSERT_TRUE(mark && mark->original == ".logo.imageset");

    gwtest::writeFile(set / "after.txt", "added after the kill");
    gwtest::writeFile(set / "dark/logo.png", "a variant added after the kill");
    const auto run = glyphwright(kHiddenLogoIntoCatalog);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::map<std::string, fs::path> found;
    for (const auto& folder : {work_, xdg / "XDG_DATA_HOME/Trash/files"}) {
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file() && entry.file_size() < 100) found.emplace(gwtest::readFile(entry.path()), entry.path());
        }
    }
    for (const std::string text : {"added before the kill", "added after the kill", "a variant added after the kill"}) {
        const auto at = found.find(text);
        ASSERT_NE(at, found.end()) << "lost: " << text;
        const auto where = at->second.string();
        EXPECT_TRUE(where.rfind(set.string() + "/", 0) == 0 || (run.out + run.err).find(where.substr(0, where.find(".imageset") + 9)) != std::string::npos)
            << text << " went to " << where << " unsaid:\n" << run.out << run.err;
    }
}

// Run by the tests below in a process of their own: the command line's run with the
// arguments in GW_KILLED_RUN_ARGUMENTS (one a line), killed (SIGKILL) at the first step
// after one whose path's name begins with GW_KILLED_RUN_AFTER.
TEST(KilledCommandLineRun, KilledAfterAStep) {
    const char* work = std::getenv("GW_KILLED_RUN_WORK");
    const char* after = std::getenv("GW_KILLED_RUN_AFTER");
    const char* given = std::getenv("GW_KILLED_RUN_ARGUMENTS");
    if (work == nullptr || after == nullptr || given == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    ASSERT_EQ(::chdir(work), 0);
    bool seen = false;
    gw::WritingBoundary::setStepHookForTesting([&](const fs::path& path) {
        if (seen) ::raise(SIGKILL);
        seen = path.filename().string().rfind(after, 0) == 0;
    });
    std::vector<std::string> arguments{"glyphwright"};
    std::istringstream lines(given);
    for (std::string line; std::getline(lines, line);) arguments.push_back(line);
    gw::CommandLineController::make(arguments)->run();
    ADD_FAILURE() << "the run was not killed";
}

// On a file system without extended attributes (ramfs), a catalog holding a file of the
// user's at the name a folder's mark is kept under, whose run was killed once the catalog
// was set aside to be replaced: the next run puts the catalog back, with that file, and
// nothing stays hidden.
TEST_F(CatalogRuns, AKilledRunsCatalogComesBackOnRamfsDespiteAFileAtTheMarksName) {
    if (::geteuid() != 0) {
        std::printf("not tried: only the superuser mounts ramfs\n");
        return;
    }
    const gwtest::ScratchDisk disk(dir_ / "ramfs", "ramfs", "mode=0755");
    if (!disk.mounted()) {
        std::printf("not tried: ramfs could not be mounted\n");
        return;
    }
    const auto work = dir_ / "ramfs/work";
    gwtest::writeFile(work / "art.png", gwtest::solidPNG(48, 48, {20, 200, 90, 255}));
    ASSERT_EQ(run(GW_GRANT_ROOT_PATH, {work.string()}).status, 0);
    auto options = this->options("ramfs");
    options.workingDirectory = work;
    const std::vector<std::string> overwrite{"-inputPath", "art.png", "-outputPath", "out", "-assetType", "asset",
                                             "-assetCatalogExistsAction", "overwrite"};
    ASSERT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, {"-inputPath", "art.png", "-outputPath", "out", "-assetType", "asset"},
                                 options).status, 0);
    const auto catalog = work / "out/Assets.xcassets";
    gwtest::writeFile(catalog / ".glyphwright.in-flight", "mine: a file of the mark's name");
    gwtest::writeFile(catalog / "notes.txt", "mine: notes");

    std::string arguments;
    for (const auto& argument : overwrite) arguments += argument + "\n";
    const auto xdg = dir_ / "xdg";
    const gwtest::SelfLaunch launch{"KilledCommandLineRun.KilledAfterAStep",
                                    {{"GW_KILLED_RUN_WORK", work.string()},
                                     {"GW_KILLED_RUN_AFTER", ".Assets.xcassets.replaced-"},
                                     {"GW_KILLED_RUN_ARGUMENTS", arguments},
                                     {"XDG_CONFIG_HOME", (xdg / "XDG_CONFIG_HOME").string()},
                                     {"XDG_DATA_HOME", (xdg / "XDG_DATA_HOME").string()},
                                     {"XDG_CACHE_HOME", (xdg / "XDG_CACHE_HOME").string()}},
                                    dir_ / "killed.out"};
    const pid_t child = gwtest::spawnSelf(launch);
    ASSERT_GT(child, 0);
    const int status = gwtest::waitForChild(child, std::chrono::seconds(240));
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << gwtest::readFile(dir_ / "killed.out");
    ASSERT_FALSE(fs::exists(catalog / "notes.txt")) << "the run was killed before it set the catalog aside";

    const auto next = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, overwrite, options);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    for (const auto& hidden : gwtest::hiddenEntries(work / "out")) {
        EXPECT_EQ(fs::path(hidden).filename(), ".glyphwright.in-flight") << "left hidden: " << hidden;
    }
    // Put back, and replaced again by this run: kept beside (ramfs has no Trash), whole.
    std::set<std::string> kept;
    for (const auto& entry : fs::recursive_directory_iterator(work / "out")) {
        if (entry.is_regular_file()) kept.insert(gwtest::readFile(entry.path()));
    }
    EXPECT_TRUE(kept.count("mine: a file of the mark's name")) << next.out << next.err;
    EXPECT_TRUE(kept.count("mine: notes")) << next.out << next.err;
}

}  // namespace
