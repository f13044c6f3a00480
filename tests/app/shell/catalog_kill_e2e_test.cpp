// Runs killed at random moments while they replace the image sets of a catalog: after
// each kill every image set is its old content or its complete new content, or its old
// content waits under a hidden name for the next run to put it back, or, killed on its
// way to the Trash, lies beside it under its "replaced" name: whole, or what an earlier
// killed run had written of the new one; once a run has finished nothing hidden is left.
#include "app/engine/writing_boundary.hpp"
#include "app/shell/catalog_run_support.hpp"
#include "app/shell/command_line_controller.hpp"
#include "app/shell/killed_run_support.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "support/machine_pace.hpp"
#include "support/self_launch.hpp"

#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
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
    // Under the sanitizers, where each run costs several times as much, a third of the
    // moments, still spread over a whole run (what they look for there is a memory fault
    // on the way, not the rare moment).
    const int kills = gwtest::buildSlowdown() > 1.0 ? 8 : 24;
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
    for (int kill = 0; kill < kills; ++kill) {
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

    // The moments are spread over a whole run's length, as long as it took when it was measured:
    // a machine that got busier since may have let every kill land before the run began to write.
    // Then it is killed as its first item in flight appears, so that some kill lands mid-way.
    for (int kill = 0; interrupted == 0 && kill < 8 && !HasFailure(); ++kill) {
        SCOPED_TRACE("killed once writing, " + std::to_string(kill));
        const auto pid = start(GW_GLYPHWRIGHT_PATH, batchInto("new", "out/Assets.xcassets"), "killed");
        const auto writing = [&] {
            std::error_code changing;
            for (fs::directory_iterator entry(catalog, changing), end; !changing && entry != end; entry.increment(changing)) {
                if (entry->path().filename().string().front() == '.') return true;
            }
            return false;
        };
        while (!writing() && !gwtest::ended(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, SIGKILL);
        finish(pid, "killed");
        expectOldOrCompleteNew(catalog, old, fresh);
        if (!gwtest::hiddenEntries(catalog).empty()) ++interrupted;
    }
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
TEST(KilledCommandLineRunChildProcess, KilledAsTheNewSetTakesItsName) {
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
    const gwtest::SelfLaunch launch{"KilledCommandLineRunChildProcess.KilledAsTheNewSetTakesItsName",
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
// arguments in GW_KILLED_RUN_ARGUMENTS (one a line), killed (SIGKILL) at the first step after
// one whose path's name begins with GW_KILLED_RUN_AFTER, or with GW_KILLED_RUN_AT, at the
// first step whose path's name begins with that. With GW_SAVED_DURING_RUN naming a
// file, the run is not killed: at that step the file is saved anew in place with
// GW_SAVED_TEXT (of its size), its time of modification kept, as a save in the same second
// on exFAT leaves it. GW_RUN_LINKS_REFUSED copies files as exFAT has it, and
// GW_RUN_ATTRIBUTES_REFUSED keeps marks in files as a file system without extended attributes has it.
TEST(KilledCommandLineRunChildProcess, KilledAfterAStep) {
    const char* work = std::getenv("GW_KILLED_RUN_WORK");
    const char* after = std::getenv("GW_KILLED_RUN_AFTER");
    const char* given = std::getenv("GW_KILLED_RUN_ARGUMENTS");
    const char* saved = std::getenv("GW_SAVED_DURING_RUN");
    const char* at = std::getenv("GW_KILLED_RUN_AT");
    if (work == nullptr || after == nullptr || given == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    ASSERT_EQ(::chdir(work), 0);
    if (std::getenv("GW_RUN_LINKS_REFUSED")) platform::foundation::files::setLinksRefusedForTesting(true);
    if (std::getenv("GW_RUN_ATTRIBUTES_REFUSED")) platform::foundation::files::setExtendedAttributesRefusedForTesting(true);
    bool seen = false;
    gw::WritingBoundary::setStepHookForTesting([&](const fs::path& path) {
        if (at != nullptr) {
            if (path.filename().string().rfind(at, 0) == 0) ::raise(SIGKILL);
            return;
        }
        const bool matches = path.filename().string().rfind(after, 0) == 0;
        if (saved != nullptr) {
            if (!matches || seen) return;
            seen = true;
            struct stat before {};
            const int fd = ::open(saved, O_WRONLY | O_CLOEXEC);
            const std::string text = std::getenv("GW_SAVED_TEXT");
            if (fd < 0 || ::fstat(fd, &before) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
                std::_Exit(90);
            }
            const struct timespec times[2] = {before.st_atim, before.st_mtim};
            ::futimens(fd, times);
            ::close(fd);
            return;
        }
        if (seen) ::raise(SIGKILL);
        seen = matches;
    });
    std::vector<std::string> arguments{"glyphwright"};
    std::istringstream lines(given);
    for (std::string line; std::getline(lines, line);) arguments.push_back(line);
    gw::CommandLineController::make(arguments)->run();
    ADD_FAILURE() << "the run neither ended nor was killed";
}

// The command line's run in a process of its own (see KilledAfterAStep), with the settings
// of the test's scratch folder; its status as waitpid gives it.
int runWithAStep(const fs::path& work, const fs::path& xdg, const std::vector<std::string>& arguments,
                 const std::string& after, std::vector<std::pair<std::string, std::string>> more, const fs::path& out) {
    std::string lines;
    for (const auto& argument : arguments) lines += argument + "\n";
    more.insert(more.end(), {{"GW_KILLED_RUN_WORK", work.string()},
                             {"GW_KILLED_RUN_AFTER", after},
                             {"GW_KILLED_RUN_ARGUMENTS", lines},
                             {"XDG_CONFIG_HOME", (xdg / "XDG_CONFIG_HOME").string()},
                             {"XDG_DATA_HOME", (xdg / "XDG_DATA_HOME").string()},
                             {"XDG_CACHE_HOME", (xdg / "XDG_CACHE_HOME").string()}});
    const pid_t child = gwtest::spawnSelf({"KilledCommandLineRunChildProcess.KilledAfterAStep", std::move(more), out});
    if (child <= 0) return -1;
    return gwtest::waitForChild(child, std::chrono::seconds(240));
}

// A run killed between making a staging folder and marking it leaves the folder empty,
// known only by the announcement on the catalog. The next run, killed as it resolves that
// folder, leaves it known still: the run after that keeps it in the Trash and says so, and
// nothing stays hidden in the catalog.
TEST_F(CatalogRuns, AStagingFolderAKilledRunLeftUnmarkedStaysKnownWhenItsRecoveryIsKilled) {
    namespace files = platform::foundation::files;
    gwtest::writeFile(work_ / "logo.png", gwtest::solidPNG(48, 48, {20, 90, 200, 255}));
    const std::vector<std::string> replacing{"-inputPath", "logo.png", "-outputPath", "out", "-assetType", "asset",
                                             "-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"};
    ASSERT_EQ(glyphwright(replacing).status, 0);
    const auto catalog = work_ / "out/Assets.xcassets";
    const std::string staging = ".logo.imageset.writing-" + std::to_string(gwtest::kGoneProcess) + "-3";
    fs::create_directory(catalog / staging);
    {
        files::UniqueFd folder(::open(catalog.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder);
        const gw::InFlightMark mark{gwtest::endedRun(), gw::InFlightKind::writing, {}, "logo.imageset"};
        if (!files::announce(folder.get(), gw::kInFlightMarkName, std::to_string(gwtest::kGoneProcess) + "-0",
                             staging + "\n" + mark.text())) {
            GTEST_SKIP() << "the test folder's file system keeps no extended attributes";
        }
    }

    const int status = runWithAStep(work_, dir_ / "xdg", replacing, "", {{"GW_KILLED_RUN_AT", staging}}, dir_ / "killed.out");
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << gwtest::readFile(dir_ / "killed.out");
    ASSERT_TRUE(fs::is_directory(catalog / staging)) << "killed after the folder was resolved";

    const auto last = glyphwright(replacing);
    EXPECT_EQ(last.status, 0) << last.out << last.err;
    EXPECT_EQ(gwtest::hiddenEntries(work_ / "out"), std::vector<std::string>{}) << last.out << last.err;
    const auto said = last.out + last.err;
    const auto told = said.find("an interrupted run left in flight for ");
    EXPECT_TRUE(told != std::string::npos && said.find("logo.imageset", told) < said.find('\n', told))
        << "the leftover went unsaid:\n" << said;
}

// Runs in a work folder on a file system of the test's own.
class CatalogsElsewhere : public CatalogRuns {
protected:
    // The catalog out/Assets.xcassets of a picture, replaced whole.
    const std::vector<std::string> replacingTheCatalog_{"-inputPath", "art.png", "-outputPath", "out", "-assetType",
                                                        "asset", "-assetCatalogExistsAction", "overwrite"};
    // Grants `work`, with the picture art.png in it; the options of runs in it.
    gwtest::ProgramOptions grantIn(const fs::path& work, const std::string& tag) {
        gwtest::writeFile(work / "art.png", gwtest::solidPNG(48, 48, {20, 200, 90, 255}));
        return grantedOptions(work, tag);
    }
    // Grants `work` and makes the catalog there; the options of runs in it.
    gwtest::ProgramOptions grantAndMakeCatalogIn(const fs::path& work, const std::string& tag) {
        const auto options = grantIn(work, tag);
        const std::vector<std::string> make(replacingTheCatalog_.begin(), replacingTheCatalog_.end() - 2);
        EXPECT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, make, options).status, 0);
        return options;
    }
    // A ramfs of the test's own at dir_/ramfs; where the test may not mount one, its why() says so.
    std::unique_ptr<gwtest::ScratchDisk> mountRamfs() const {
        return std::make_unique<gwtest::ScratchDisk>(dir_ / "ramfs", "ramfs", "mode=0755");
    }
    // An ext4 disk of the test's own, made (by mkfs.ext4 with `made`) in `image` and mounted at
    // `place`: empty, or why the test may not have one.
    static std::string mountExt4(std::unique_ptr<gwtest::ScratchMount>& disk, const fs::path& place,
                                 const fs::path& image,
                                 const std::vector<std::string>& made = {"-q", "-F", "-E", "nodiscard"}) {
        std::string why = gwtest::ownMountNamespace();
        if (why.empty()) why = gwtest::makeImage(image, std::uintmax_t{64} << 20, "/sbin/mkfs.ext4", made);
        if (why.empty()) disk = std::make_unique<gwtest::ScratchMount>(place, image, "ext4");
        return why.empty() && !disk->mounted() ? disk->why() : why;
    }
};

// What a file of `text` below `folder` is, when there is one.
std::optional<fs::path> fileHolding(const fs::path& folder, const std::string& text) {
    if (!fs::is_directory(folder)) return std::nullopt;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.file_size() == text.size() && gwtest::readFile(entry.path()) == text) {
            return entry.path();
        }
    }
    return std::nullopt;
}

// A run killed once it set the catalog aside to replace it, on a disk of the test's own, and
// what became of the disk before the next run into the granted folder: that run puts the
// catalog back with what the user kept in it (then replaces it: kept in the Trash or beside,
// as it says), and nothing stays hidden but the user's own file at a mark's name.
//  - ramfs keeps no extended attributes: a folder's mark is a file in it, and the user keeps
//    a file of that name in the catalog.
//  - exFAT numbers folders afresh at each mount: after a remount the granted folder can no
//    longer be told by its numbers, and the run says so truly (no "replaced") and how to
//    grant it again; granted again, the next run puts back the catalog whose mark names the
//    numbers it had before.
//  - ext4 attached again under another device number (a USB disk in another port; here the
//    same image on a second loop device) keeps its folders' inodes and moments of birth, or,
//    made without moments of birth, its own identity.
enum class KilledOn { ramfs, exfatRemounted, ext4Attached, ext4UnbornAttached };

class AKilledRunsCatalogComesBack : public CatalogsElsewhere, public ::testing::WithParamInterface<KilledOn> {};

TEST_P(AKilledRunsCatalogComesBack, WithWhatTheUserKeptOnItsDisk) {
    const KilledOn on = GetParam();
    std::unique_ptr<gwtest::ScratchDisk> ramfs;
    std::optional<gwtest::ExfatDisk> exfat;
    std::unique_ptr<gwtest::ScratchMount> ext4;
    fs::path place;
    std::string why;  // empty, or why the disk is not mounted
    std::map<std::string, std::string> kept;  // the user's files in the catalog but notes.txt, by name
    switch (on) {
    case KilledOn::ramfs:
        ramfs = mountRamfs();
        place = dir_ / "ramfs";
        if (!ramfs->mounted()) why = ramfs->why();
        kept[".glyphwright.in-flight"] = "mine: a file of the mark's name";
        break;
    case KilledOn::exfatRemounted:
        place = dir_ / "exfat";
        exfat.emplace(place);
        if (!exfat->mounted()) why = exfat->why();
        break;
    case KilledOn::ext4Attached:
        place = dir_ / "ext4";
        why = mountExt4(ext4, place, dir_ / "ext4.img");
        break;
    case KilledOn::ext4UnbornAttached:
        place = dir_ / "ext4-unborn";
        why = mountExt4(ext4, place, dir_ / "ext4-unborn.img", {"-q", "-F", "-I", "128", "-E", "nodiscard"});
        break;
    }
    if (!why.empty()) GTEST_SKIP() << "not tried: " << why;
    const auto work = place / "work";
    // Made after the work folder and looked up first after the remount, these take the
    // numbers the work folder and what is in it had.
    std::vector<fs::path> first;
    if (exfat) {
        fs::create_directories(work);
        for (int n = 0; n < 12; ++n) first.push_back(place / ("other-" + std::to_string(n)));
        for (const auto& folder : first) fs::create_directories(folder);
    }
    const auto options = grantAndMakeCatalogIn(work, "disk");
    kept["notes.txt"] = "mine: notes in the catalog on " + place.filename().string();
    for (const auto& [name, text] : kept) gwtest::writeFile(work / "out/Assets.xcassets" / name, text);
    const auto killed = dir_ / "killed.out";
    const int status = runWithAStep(work, dir_ / "xdg", replacingTheCatalog_, ".Assets.xcassets.replaced-", {}, killed);
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << gwtest::readFile(killed);
    ASSERT_FALSE(fs::exists(work / "out/Assets.xcassets/notes.txt")) << "killed before the catalog was set aside";

    if (ext4) {
        struct stat before {}, after {};
        ASSERT_EQ(::stat(work.c_str(), &before), 0);
        ASSERT_TRUE(ext4->attachAgain(place.string() + ".img", "ext4")) << ext4->why();
        ASSERT_EQ(::stat(work.c_str(), &after), 0);
        ASSERT_NE(after.st_dev, before.st_dev) << "attached again under the same number";
        ASSERT_EQ(after.st_ino, before.st_ino);
    }
    if (exfat) {
        std::vector<fs::path> hidden;
        for (const auto& entry : fs::directory_iterator(work / "out")) {
            if (entry.path().filename().string().front() == '.') hidden.push_back(entry.path());
        }
        ASSERT_EQ(hidden.size(), 1u);
        struct stat before[2] {}, after[2] {};
        ASSERT_EQ(::stat(work.c_str(), &before[0]), 0);
        ASSERT_EQ(::stat(hidden[0].c_str(), &before[1]), 0);
        exfat->remount();
        ASSERT_TRUE(exfat->mounted()) << exfat->why();
        for (const auto& folder : first) ASSERT_TRUE(fs::is_directory(folder));
        ASSERT_EQ(::stat(work.c_str(), &after[0]), 0);
        ASSERT_EQ(::stat(hidden[0].c_str(), &after[1]), 0);
        if (after[0].st_ino == before[0].st_ino || after[1].st_ino == before[1].st_ino) {
            GTEST_SKIP() << "not tried: the remount gave the folders their numbers again";
        }
        const auto refused = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, replacingTheCatalog_, options);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("could not be recognised"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("gw-grant-root " + work.string()), std::string::npos) << refused.err;
        EXPECT_EQ(refused.err.find("was replaced"), std::string::npos) << refused.err;
        ASSERT_EQ(run(GW_GRANT_ROOT_PATH, {work.string()}).status, 0);
    }

    const auto next = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, replacingTheCatalog_, options);
    const auto said = next.out + next.err;
    EXPECT_EQ(next.status, 0) << said;
    EXPECT_EQ(next.err.find("was replaced"), std::string::npos) << next.err;
    for (const auto& hidden : gwtest::hiddenEntries(work / "out")) {
        EXPECT_TRUE(kept.count(fs::path(hidden).filename().string())) << "left hidden: " << hidden << "\n" << said;
    }
    for (const auto& [name, text] : kept) {
        std::optional<fs::path> found;
        for (const auto& folder : {place, dir_ / "xdg"}) {
            if (!found) found = fileHolding(folder, text);
        }
        ASSERT_TRUE(found) << "the user's " << name << " was lost\n" << said;
        EXPECT_NE(said.find(found->parent_path().string()), std::string::npos) << *found << " unsaid:\n" << said;
    }
}

std::string killedOnName(const ::testing::TestParamInfo<KilledOn>& info) {
    static const char* const names[] = {"OnRamfs", "AfterAnExfatRemount", "OnExt4UnderAnotherNumber",
                                        "OnExt4WithoutBirthsUnderAnotherNumber"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(CatalogsElsewhere, AKilledRunsCatalogComesBack,
                         ::testing::Values(KilledOn::ramfs, KilledOn::exfatRemounted, KilledOn::ext4Attached,
                                           KilledOn::ext4UnbornAttached),
                         killedOnName);

// On a file system without extended attributes (ramfs) a folder's mark is a file in it. The
// old content of a group folder a run rewrote, holding something the new content does not (a
// FIFO, which no copy carries), is kept once the rest of it went: a run killed as it takes
// that folder to its visible name leaves it marked, and the next run resolves it, keeping the
// FIFO: it puts that folder back, and the new content that made way for it goes beside with
// what the killed run had set aside in it put back there, nothing hidden.
TEST_F(CatalogsElsewhere, AKilledRunsKeptGroupFolderStaysMarkedOnRamfs) {
    const auto disk = mountRamfs();
    if (!disk->mounted()) GTEST_SKIP() << "not tried: " << disk->why();
    const auto work = dir_ / "ramfs/work";
    const auto options = grantIn(work, "ramfs");
    const std::vector<std::string> shelf{"-inputPath", "art.png", "-outputPath", "out", "-assetType", "tvOSTopShelf"};
    ASSERT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, shelf, options).status, 0);
    const std::string group = "App Icon & Top Shelf Image";
    const auto catalog = work / "out/Assets.xcassets";
    ASSERT_EQ(::mkfifo((catalog / (group + ".brandassets") / "pipe").c_str(), 0600), 0);
    auto append = shelf;
    append.insert(append.end(), {"-assetCatalogExistsAction", "append"});

    const int status = runWithAStep(work, dir_ / "xdg", append, "", {{"GW_KILLED_RUN_AT", group + " (replaced"}}, dir_ / "killed.out");
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << gwtest::readFile(dir_ / "killed.out");
    const auto hidden = gwtest::hiddenEntries(catalog);
    const auto staged = std::find_if(hidden.begin(), hidden.end(), [&](const fs::path& entry) {
        return entry.parent_path() == catalog && entry.filename().string().rfind("." + group + ".brandassets.writing-", 0) == 0;
    });
    ASSERT_NE(staged, hidden.end()) << "killed elsewhere than as the old content was kept";

    const auto next = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, append, options);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_FALSE(fs::exists(*staged)) << next.out << next.err;
    EXPECT_EQ(gwtest::hiddenEntries(work / "out"), std::vector<std::string>{}) << next.out << next.err;
    bool pipe = false;
    for (const auto& entry : fs::recursive_directory_iterator(work / "out")) pipe = pipe || entry.path().filename() == "pipe";
    EXPECT_TRUE(pipe) << next.out << next.err;
}

// Where files are copied rather than linked (exFAT, and here also a file system that links,
// told to copy), a user's file in a group folder that a run rewrites, saved anew at its size
// in the same second while the run has a copy of it, is kept with its new bytes (beside, or
// in the Trash with the old folder, as the run says), three runs out of three (one under the
// sanitizers, where each run costs several times as much).
TEST_F(CatalogRuns, ASaveOfTheSameSizeInTheSameSecondDuringAnAppendIsKept) {
    const int rounds = gwtest::buildSlowdown() > 1.0 ? 1 : 3;
    struct Place {
        const char* name;
        fs::path work;
        std::unique_ptr<gwtest::ExfatDisk> disk;
    };
    std::vector<Place> places;
    places.push_back({"files copied", work_, nullptr});
    places.push_back({"exFAT", dir_ / "exfat/work", std::make_unique<gwtest::ExfatDisk>(dir_ / "exfat")});
    const auto group = fs::path("out/Assets.xcassets/App Icon & Top Shelf Image.brandassets");
    const auto trash = dir_ / "xdg/XDG_DATA_HOME/Trash/files";
    std::string notTried;
    for (auto& place : places) {
        SCOPED_TRACE(place.name);
        if (place.disk && !place.disk->mounted()) {
            notTried += std::string(notTried.empty() ? "" : "; ") + place.name + " not tried: " + place.disk->why();
            continue;
        }
        const auto& work = place.work;
        gwtest::writeFile(work / "art.png", gwtest::solidPNG(64, 64, {30, 90, 200, 255}));
        const auto options = grantedOptions(work, "save");
        const std::vector<std::string> shelf{"-inputPath", "art.png", "-outputPath", "out", "-assetType", "tvOSTopShelf"};
        ASSERT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, shelf, options).status, 0);
        auto append = shelf;
        append.insert(append.end(), {"-assetCatalogExistsAction", "append"});
        for (int round = 1; round <= rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            const auto notes = work / group / "notes.txt";
            const std::string before = "round " + std::to_string(round) + ": the old notes of " + place.name;
            const std::string saved = "round " + std::to_string(round) + ": the NEW notes of " + place.name;
            gwtest::writeFile(notes, before);
            std::vector<std::pair<std::string, std::string>> save{{"GW_SAVED_DURING_RUN", notes.string()},
                                                                  {"GW_SAVED_TEXT", saved}};
            if (!place.disk) save.push_back({"GW_RUN_LINKS_REFUSED", "1"});
            const auto out = dir_ / ("saved-" + std::to_string(round) + ".out");
            const int status = runWithAStep(work, dir_ / "xdg", append, group.filename().string(), save, out);
            ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << gwtest::readFile(out);
            std::optional<fs::path> found;
            for (const auto& folder : {work, trash}) {
                if (!fs::is_directory(folder)) continue;
                for (const auto& entry : fs::recursive_directory_iterator(folder)) {
                    if (entry.is_regular_file() && entry.file_size() < 4096 && gwtest::readFile(entry.path()) == saved) {
                        found = entry.path();
                    }
                }
            }
            ASSERT_TRUE(found) << "the save was lost:\n" << gwtest::readFile(out);
            if (*found != notes) {
                const auto kept = found->parent_path().string();
                EXPECT_NE(gwtest::readFile(out).find(kept), std::string::npos) << kept << " unsaid:\n" << gwtest::readFile(out);
            }
        }
    }
    if (!notTried.empty()) GTEST_SKIP() << notTried;
}

// A folder at the granted path that has the granted folder's numbers but is another is not
// taken for it, and nothing is written in it; the run says truly why. After an exFAT remount a
// folder made again may be given the numbers the granted one had: it could not be recognised,
// and the run says how to grant it again. Another disk's folder may have the granted folder's
// inode (each disk's first folder) but another moment of birth: the granted one was replaced.
class AFolderWithTheGrantedNumbersIsNotTheGrantedOne : public CatalogsElsewhere,
                                                       public ::testing::WithParamInterface<bool> {};

TEST_P(AFolderWithTheGrantedNumbersIsNotTheGrantedOne, OnARemountedOrAnotherDisk) {
    const bool remounted = GetParam();
    std::optional<gwtest::ExfatDisk> exfat;
    std::unique_ptr<gwtest::ScratchMount> ext4;
    const auto other = dir_ / "other.img";
    const fs::path place = dir_ / (remounted ? "exfat" : "ext4");
    std::string why;
    if (remounted) {
        exfat.emplace(place);
        if (!exfat->mounted()) why = exfat->why();
    } else {
        why = mountExt4(ext4, place, dir_ / "ext4.img");
        if (why.empty()) why = gwtest::makeImage(other, std::uintmax_t{64} << 20, "/sbin/mkfs.ext4", {"-q", "-F", "-E", "nodiscard"});
    }
    if (!why.empty()) GTEST_SKIP() << "not tried: " << why;
    const auto work = place / "work";
    const auto options = grantIn(work, "refused");
    struct stat granted {}, made {};
    ASSERT_EQ(::stat(work.c_str(), &granted), 0);
    if (remounted) {
        fs::remove_all(work);
        exfat->remount();
        ASSERT_TRUE(exfat->mounted()) << exfat->why();
    } else {
        ASSERT_TRUE(ext4->attachAgain(other, "ext4")) << ext4->why();
    }
    fs::create_directories(work);
    ASSERT_EQ(::stat(work.c_str(), &made), 0);
    // Besides the inode, after a remount the device number too.
    if (made.st_ino != granted.st_ino || (remounted && made.st_dev != granted.st_dev)) {
        GTEST_SKIP() << "not tried: the folder made again got other numbers";
    }
    gwtest::writeFile(work / "art.png", gwtest::solidPNG(48, 48, {20, 200, 90, 255}));
    const auto refused = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, replacingTheCatalog_, options);
    EXPECT_EQ(refused.status, 1);
    const std::vector<std::string> said =
        remounted ? std::vector<std::string>{"could not be recognised", "gw-grant-root " + work.string()}
                  : std::vector<std::string>{"was replaced"};
    for (const auto& words : said) EXPECT_NE(refused.err.find(words), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(work / "out"));
}

INSTANTIATE_TEST_SUITE_P(CatalogsElsewhere, AFolderWithTheGrantedNumbersIsNotTheGrantedOne, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AfterAnExfatRemount" : "OnAnotherExt4Disk");
                         });

// An overlay (a container's file system) copies a folder of its lower layer up when a run
// first writes in it, which gives the folder a later moment of birth at the same inode; and
// mounted again after another file system took its number (a container started again), it
// shows its folders under another device number. A folder of the lower layer, granted,
// converts run after run through both.
TEST_F(CatalogsElsewhere, AGrantedFolderOfAnOverlaysLowerLayerConvertsRunAfterRun) {
    const auto lower = dir_ / "lower", upper = dir_ / "upper", scratch = dir_ / "overlay-work", merged = dir_ / "merged";
    for (const auto& folder : {lower / "work", upper, scratch}) fs::create_directories(folder);
    gwtest::writeFile(lower / "work/art.png", gwtest::solidPNG(48, 48, {20, 200, 90, 255}));
    const std::string layers = "lowerdir=" + lower.string() + ",upperdir=" + upper.string() + ",workdir=" + scratch.string();
    auto overlay = std::make_unique<gwtest::ScratchMount>(merged, "overlay", layers.c_str());
    if (!overlay->mounted()) GTEST_SKIP() << "not tried: " << overlay->why();
    const auto work = merged / "work";
    const auto options = grantedOptions(work, "overlay");
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("run " + std::to_string(round));
        const auto converted = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, replacingTheCatalog_, options);
        EXPECT_EQ(converted.status, 0) << converted.out << converted.err;
        EXPECT_TRUE(fs::exists(work / "out/Assets.xcassets/art.imageset/Contents.json")) << converted.err;
    }
    struct stat before {};
    ASSERT_EQ(::stat(work.c_str(), &before), 0);
    overlay.reset();
    // What takes the overlay's number meanwhile. Mounts of other tests free and take numbers
    // too: small file systems are mounted until one has taken it.
    std::vector<std::unique_ptr<gwtest::ScratchMount>> taken;
    for (int i = 0; i < 16; ++i) {
        const auto at = dir_ / ("taken-" + std::to_string(i));
        taken.push_back(std::make_unique<gwtest::ScratchMount>(at, "tmpfs", "size=1m"));
        struct stat holder {};
        if (taken.back()->mounted() && ::stat(at.c_str(), &holder) == 0 && holder.st_dev == before.st_dev) break;
    }
    overlay = std::make_unique<gwtest::ScratchMount>(merged, "overlay", layers.c_str());
    ASSERT_TRUE(overlay->mounted()) << overlay->why();
    struct stat after {};
    ASSERT_EQ(::stat(work.c_str(), &after), 0);
    EXPECT_NE(after.st_dev, before.st_dev) << "mounted again under the same number";
    const auto again = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, replacingTheCatalog_, options);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
}

// exFAT keeps no extended attributes: a folder's mark is a file in it, which a user may copy
// into a set, from a folder a killed run set aside for that set's name. Numbers given within
// one mount still tell the set from the folder the mark was made for: the next run into the
// catalog leaves the copied file where it is.
TEST_F(CatalogsElsewhere, AMarkFileCopiedIntoASetOnExfatStays) {
    if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "not tried: strace is not installed";
    gwtest::ExfatDisk disk(dir_ / "exfat");
    if (!disk.mounted()) GTEST_SKIP() << "not tried: " << disk.why();
    const auto work = dir_ / "exfat/work";
    const auto options = grantIn(work, "exfat");
    const std::vector<std::string> art{"-inputPath", "art.png", "-outputPath", "out", "-assetType", "asset",
                                       "-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"};
    ASSERT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, art, options).status, 0);
    // The program killed at its n-th rename, until it has set the set aside.
    const auto catalog = work / "out/Assets.xcassets";
    const auto setAside = [&]() -> std::optional<fs::path> {
        for (const auto& entry : fs::directory_iterator(catalog)) {
            if (entry.path().filename().string().rfind(".art.imageset.replaced-", 0) == 0) return entry.path();
        }
        return std::nullopt;
    };
    std::vector<std::string> killed{"-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2", "-e", ""};
    killed.push_back(GW_GLYPHWRIGHT_PATH);
    killed.insert(killed.end(), art.begin(), art.end());
    for (int rename = 1; rename <= 6 && !setAside(); ++rename) {
        killed[6] = "inject=rename,renameat,renameat2:signal=SIGKILL:when=" + std::to_string(rename);
        const auto run = gwtest::runProgram("/usr/bin/strace", killed, options);
        if (run.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "not tried: strace may not trace here: " << run.err;
    }
    const auto left = setAside();
    ASSERT_TRUE(left) << "no kill left the set aside";
    const auto mark = gwtest::readFile(*left / ".glyphwright.in-flight");
    // Put back, then replaced: the set at the name is another folder.
    ASSERT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, art, options).status, 0);
    const auto copied = catalog / "art.imageset/.glyphwright.in-flight";
    gwtest::writeFile(copied, mark);
    gwtest::writeFile(work / "logo.png", gwtest::solidPNG(48, 48, {200, 20, 90, 255}));

    const auto next = gwtest::runProgram(GW_GLYPHWRIGHT_PATH,
                                         {"-inputPath", "logo.png", "-outputPath", "out", "-assetType", "asset",
                                          "-assetCatalogExistsAction", "append"},
                                         options);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    ASSERT_TRUE(fs::exists(copied)) << next.out << next.err;
    EXPECT_EQ(gwtest::readFile(copied), mark);
}

// A folder whose mark cannot be set (on a file system without extended attributes, every name
// its mark file may take is a file of the user's) is neither set aside nor copied to be written
// into: what writes it fails, naming the names that are taken, and the folder stays as it was.
// A set of a batch, replaced, fails alone: the batch's other sets convert. Where the superuser
// may, on ramfs; everywhere, with marks kept in files as such a file system keeps them.
TEST_F(CatalogsElsewhere, AFolderThatCannotBeMarkedFailsAloneNamingTheTakenMarkNames) {
    struct Place {
        const char* name;
        fs::path work;
        std::vector<std::pair<std::string, std::string>> refused;
    };
    const auto ramfs = mountRamfs();
    std::vector<Place> places{{"marks kept in files", work_, {{"GW_RUN_ATTRIBUTES_REFUSED", "1"}}}};
    if (ramfs->mounted()) places.push_back({"ramfs", dir_ / "ramfs/work", {}});
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string folder;
        std::vector<std::string> others;
    };
    const std::vector<std::string> group{"-inputPath", "pics/a.png", "-outputPath", "out", "-assetType", "tvOSTopShelf",
                                         "-assetCatalogExistsAction", "append"};
    const Case cases[] = {
        {"a set of a batch, replaced",
         {"-inputPath", "pics", "-outputPath", "out", "-assetType", "asset", "-collectionType", "batch",
          "-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"},
         "b.imageset",
         {"a.imageset", "c.imageset"}},
        {"a group folder, written into", group, "App Icon & Top Shelf Image.brandassets", {}},
    };
    int number = 0;
    for (const auto& place : places) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(place.name) + ", " + c.name);
            const auto work = place.work / std::to_string(number++);
            for (const std::string name : {"a", "b", "c"}) {
                gwtest::writeFile(work / "pics" / (name + ".png"),
                                  gwtest::solidPNG(48, 48, {90, static_cast<unsigned char>(name[0]), 20, 255}));
            }
            const auto options = grantedOptions(work, "refused");
            ASSERT_EQ(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, c.arguments, options).status, 0);
            const auto catalog = work / "out/Assets.xcassets";
            const auto folder = catalog / c.folder;
            for (const auto& file : platform::foundation::files::markFileNames(gw::kInFlightMarkName)) {
                gwtest::writeFile(folder / file, "mine: " + file);
            }
            gwtest::writeFile(folder / "notes.txt", "mine: notes");
            const auto before = gwtest::snapshot(folder);
            std::map<std::string, gwtest::FolderSnapshot> others;
            for (const auto& other : c.others) others[other] = gwtest::snapshot(catalog / other);
            for (const std::string name : {"a", "c"}) {
                gwtest::writeFile(work / "pics" / (name + ".png"),
                                  gwtest::solidPNG(48, 48, {200, 20, static_cast<unsigned char>(name[0]), 255}));
            }

            // The program itself where the file system refuses the marks, else the command line's
            // run in a process of the test's, told to refuse them.
            std::string said;
            if (place.refused.empty()) {
                const auto run = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, c.arguments, options);
                said = run.out + run.err;
                EXPECT_EQ(run.status, 1) << said;
            } else {
                const auto out = dir_ / ("refused-" + std::to_string(number) + ".out");
                const int status = runWithAStep(work, dir_ / "xdg", c.arguments, "(no such step)", place.refused, out);
                said = gwtest::readFile(out);
                ASSERT_TRUE(status != -1 && WIFEXITED(status)) << said;
                EXPECT_EQ(WEXITSTATUS(status), 1) << said;
            }
            const auto failed = said.find("Catalog creation failed");
            ASSERT_NE(failed, std::string::npos) << said;
            const auto line = said.substr(failed, said.find('\n', failed) - failed);
            EXPECT_NE(line.find(folder.string()), std::string::npos) << line;
            EXPECT_NE(line.find(".glyphwright.in-flight and .glyphwright.in-flight-2 to -8"), std::string::npos) << line;
            EXPECT_EQ(line.find("File exists"), std::string::npos) << line;
            EXPECT_EQ(gwtest::snapshot(folder), before);
            for (const auto& [other, old] : others) {
                EXPECT_NE(gwtest::snapshot(catalog / other), old) << other << " was not converted\n" << said;
            }
            // Nothing hidden but the user's own files of the mark's names.
            EXPECT_EQ(gwtest::hiddenEntries(catalog).size(),
                      platform::foundation::files::markFileNames(gw::kInFlightMarkName).size()) << said;
        }
    }
    if (!ramfs->mounted()) GTEST_SKIP() << "ramfs not tried: " << ramfs->why();
}

// A run held up by the file size limit (`ulimit -f`) fails, saying "File too large", and
// puts back the catalog it had set aside: the kernel's signal for it would end the run there,
// unsaid, with the catalog hidden.
TEST_F(CatalogRuns, ARunPastTheFileSizeLimitFailsSayingSoAndPutsTheCatalogBack) {
    gwtest::writeFile(work_ / "art.png", gwtest::solidPNG(256, 256, {0, 0, 0, 255}, true));
    const std::vector<std::string> replacing{"-inputPath", "art.png", "-outputPath", "out", "-assetType", "asset",
                                             "-assetCatalogExistsAction", "overwrite"};
    ASSERT_EQ(glyphwright(replacing).status, 0);
    gwtest::writeFile(work_ / "out/Assets.xcassets/notes.txt", "mine: notes");
    const auto before = gwtest::snapshot(work_ / "out");
    pid_t pid = -1;
    {
        // The child takes the limit this process has as it starts; the signal is left as it is.
        struct rlimit was {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
        struct rlimit limited = was;
        limited.rlim_cur = 4096;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        pid = start(GW_GLYPHWRIGHT_PATH, replacing, "limited");
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &was), 0);
    }
    const auto limited = finish(pid, "limited");
    EXPECT_TRUE(limited.exited) << "ended by a signal";
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.err.find("File too large"), std::string::npos) << limited.err;
    EXPECT_EQ(gwtest::snapshot(work_ / "out"), before);
    EXPECT_EQ(gwtest::hiddenEntries(work_ / "out"), std::vector<std::string>{});
}

// A run into a folder another run is writing into waits for it, and says so once, naming the
// other run: one stopped with Ctrl+Z would hold it for good.
TEST_F(CatalogRuns, ARunWaitingForAnotherRunsLockSaysSoOnceNamingIt) {
    gwtest::writeFile(work_ / "art.png", gwtest::solidPNG(48, 48, {20, 90, 200, 255}));
    const std::vector<std::string> into{"-inputPath", "art.png", "-outputPath", "out", "-assetType", "asset"};
    ASSERT_EQ(glyphwright(into).status, 0);
    // The other run: a process that holds the folder's lock, stopped.
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int folder = ::open((work_ / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0 || ::flock(folder, LOCK_EX) != 0) ::_exit(1);
        ::raise(SIGSTOP);
        ::_exit(0);
    }
    const std::unique_ptr<const pid_t, void (*)(const pid_t*)> ended(&holder, [](const pid_t* process) {
        ::kill(*process, SIGKILL);
        ::waitpid(*process, nullptr, 0);
    });
    int state = 0;
    ASSERT_EQ(::waitpid(holder, &state, WUNTRACED), holder);
    ASSERT_TRUE(WIFSTOPPED(state));

    const pid_t waiting = start(GW_GLYPHWRIGHT_PATH, into, "waiting");
    const auto said = dir_.path() / "waiting.err";
    // Waits for the line, not for a time: the run says it before it waits.
    const auto saidALine = [&] { return fs::exists(said) && gwtest::readFile(said).find('\n') != std::string::npos; };
    // A run that never says it waits would wait for good: a bound only such a hang meets.
    const auto hung = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!saidALine() && !gwtest::ended(waiting) && std::chrono::steady_clock::now() < hung) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(holder, SIGKILL);
    const auto run = finish(waiting, "waiting");
    EXPECT_EQ(run.status, 0) << run.err;
    const auto line = run.err.substr(0, run.err.find('\n'));
    EXPECT_NE(line.find("Waiting"), std::string::npos) << run.err;
    EXPECT_NE(line.find((work_ / "out").string()), std::string::npos) << line;
    EXPECT_NE(line.find("process " + std::to_string(holder)), std::string::npos) << line;
    EXPECT_NE(line.find("stopped"), std::string::npos) << line;
    EXPECT_EQ(run.err.find("Waiting", line.size()), std::string::npos) << "said more than once:\n" << run.err;
}

// gw-grant-root (or the window's quit, which saves through the same writer) killed after it
// made the temporary file of the settings and before it marked it leaves nothing that the next
// start cannot tell: no temporary file of the settings is left once the next grant is made.
TEST_F(CatalogRuns, AGrantKilledBeforeItsTemporaryIsMarkedLeavesNoTemporaryBehind) {
    if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "not tried: strace is not installed";
    const auto temporaries = [&] {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(dir_ / "xdg")) {
            if (entry.path().filename().string().find(".unfinished-") != std::string::npos) found.push_back(entry.path());
        }
        return found;
    };
    // Killed at its first extended attribute call: the temporary file's mark.
    const auto killed = run("/usr/bin/strace", {"-f", "-o", "/dev/null", "-e", "trace=fsetxattr", "-e",
                                                "inject=fsetxattr:signal=SIGKILL:when=1", GW_GRANT_ROOT_PATH, work_.string()},
                            "killed");
    if (killed.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "not tried: strace may not trace here: " << killed.err;
    EXPECT_FALSE(killed.exited && killed.status == 0) << "not killed: " << killed.out << killed.err;

    const auto granted = run(GW_GRANT_ROOT_PATH, {work_.string()}, "granted");
    EXPECT_EQ(granted.status, 0) << granted.err;
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
