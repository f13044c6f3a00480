// What a user keeps in a catalog survives every run of the real program, under every output
// type and answer, and in the ways runs once lost it, as the superuser, as an ordinary user
// and on a file system without extended attributes: each file is where it was, or beside it,
// or in the Trash with the info that puts it back, and the run said where it went.
#include "app/shell/catalog_run_support.hpp"
#include "app/shell/killed_run_support.hpp"
#include "platform/foundation/url.hpp"

#include <pwd.h>

#include <functional>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using gwtest::namesIn;
using gwtest::readFile;
using gwtest::writeFile;

// The user's files, by their contents (each unique), with where they were put.
using UserFiles = std::map<std::string, fs::path>;

// A file and a hidden file of the user's in `root` and every folder below it.
UserFiles addUserFiles(const fs::path& root, const std::string& tag) {
    std::vector<fs::path> folders{root};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory() && !entry.is_symlink()) folders.push_back(entry.path());
    }
    UserFiles files;
    for (const auto& folder : folders) {
        for (const std::string name : {"notes.txt", ".hidden"}) {
            const auto contents = tag + ":" + (folder / name).lexically_relative(root.parent_path()).string();
            writeFile(folder / name, contents);
            files[contents] = folder / name;
        }
    }
    return files;
}

// The path with the names kept folders take read as the names they had:
// "X (replaced <date> <time> 2).imageset" stands for "X.imageset".
fs::path asItWas(const fs::path& path) {
    static const std::regex replaced(R"(^(.*) \(replaced [^)]*\)(\.[^.]*)?$)");
    fs::path back;
    for (const auto& part : path) back /= std::regex_replace(part.string(), replaced, "$1$2");
    return back;
}

// Each of the user's files is where it was, or, under a kept folder's name, beside it or in
// the Trash, whose info file leads back to where the kept folder stood. Every item the run
// put in the Trash (not in `trashedBefore`) is named in its output.
void expectKept(const UserFiles& files, const std::vector<fs::path>& searched, const fs::path& trash,
                const std::set<std::string>& trashedBefore, const gwtest::ProgramRun& run) {
    std::map<std::string, fs::path> found;
    for (const auto& root : searched) {
        if (!fs::is_directory(root)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file() && !entry.is_symlink() && entry.file_size() < 4096) {
                found.emplace(readFile(entry.path()), entry.path());
            }
        }
    }
    for (const auto& [contents, original] : files) {
        const auto at = found.find(contents);
        if (at == found.end()) {
            ADD_FAILURE() << original << " is lost";
            continue;
        }
        const auto& path = at->second;
        if (path.string().rfind((trash / "files").string() + "/", 0) != 0) {
            EXPECT_EQ(asItWas(path), original) << "found at " << path;
            continue;
        }
        const auto relative = path.lexically_relative(trash / "files");
        const auto item = *relative.begin();
        const auto info = readFile(trash / "info" / (item.string() + ".trashinfo"));
        std::smatch match;
        ASSERT_TRUE(std::regex_search(info, match, std::regex("\nPath=([^\n]*)\n"))) << info;
        const fs::path stood = platform::foundation::percentDecode(match[1].str());
        EXPECT_TRUE(fs::is_directory(stood.parent_path())) << "nowhere to put " << stood << " back";
        EXPECT_EQ(asItWas(stood / relative.lexically_relative(item)), original) << "found at " << path;
    }
    for (const auto& name : namesIn(trash / "files")) {
        EXPECT_TRUE(trashedBefore.count(name) || (run.out + run.err).find((trash / "files" / name).string()) != std::string::npos)
            << name << " went to the Trash unsaid:\n" << run.out << run.err;
    }
}

const std::vector<std::string> kOutputTypes{
    "iOSIcon",  "macOSIcon",    "asset",          "iOSSplash", "watchIcon", "complicationIcon",
    "iMessageIcon", "tvOSSplash", "tvOSTopShelf", "tvOSTopShelfWide", "tvOSGameCenterDashboard",
    "catalyst", "tvOSIcon",     "tvOSLeaderboard"};

class UserFilesInCatalogs : public gwtest::CatalogRuns {
protected:
    void SetUp() override {
        CatalogRuns::SetUp();
        writePictures(work_);
    }
    static void writePictures(const fs::path& folder) {
        writeFile(folder / "art.png", gwtest::solidPNG(64, 64, {30, 90, 200, 255}));
        writeFile(folder / "layers/back.png", gwtest::solidPNG(64, 64, {200, 90, 30, 255}));
        writeFile(folder / "layers/front.png", gwtest::solidPNG(64, 64, {30, 200, 90, 128}));
    }
    fs::path trash() const { return dir_ / "xdg/XDG_DATA_HOME/Trash"; }
    // The arguments that make `type` into `output`: the layered types from a folder of layers.
    static std::vector<std::string> convert(const std::string& type, const std::string& output,
                                            const std::vector<std::string>& answers = {}) {
        std::vector<std::string> arguments{"-inputPath", "art.png"};
        if (type == "tvOSIcon" || type == "tvOSLeaderboard") {
            arguments = {"-inputPath", "layers", "-collectionType", "variants"};
        }
        arguments.insert(arguments.end(), {"-outputPath", output, "-assetType", type});
        arguments.insert(arguments.end(), answers.begin(), answers.end());
        return arguments;
    }
};

// Under the sanitizers, where a run takes several times as long, only the catalog answer
// under which the set answers are asked at all.
#if defined(GW_ADDRESS_SANITIZER_BUILD) || defined(__SANITIZE_THREAD__)
const std::vector<std::string> kCatalogAnswers{"append"};
#else
const std::vector<std::string> kCatalogAnswers{"append", "overwrite", "increment"};
#endif

// Every output type (each a test of its own, so that a loaded machine's slowness adds up in
// none), under every answer to an existing catalog and to an existing set, with a file and a
// hidden file of the user's in every folder of the catalog. A catalog replaced whole or written
// anew holds no set yet, so the set answers are asked only when the catalog is added to. Adding
// to an existing set needs the window, which asks what to do with it: the command line refuses
// it, before anything is written.
class UserFilesInEveryType : public UserFilesInCatalogs, public ::testing::WithParamInterface<std::string> {};

TEST_P(UserFilesInEveryType, EveryFileAUserKeepsSurvivesEveryAnswer) {
    const auto& type = GetParam();
    const auto made = glyphwright(convert(type, "base-" + type));
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    for (const auto& catalogAnswer : kCatalogAnswers) {
        const auto assetAnswers = catalogAnswer == "append" ? std::vector<std::string>{"overwrite", "increment", "append"}
                                                            : std::vector<std::string>{"overwrite"};
        for (const auto& assetAnswer : assetAnswers) {
            const std::string tag = type + "-" + catalogAnswer + "-" + assetAnswer;
            SCOPED_TRACE(tag);
            const auto out = work_ / ("out-" + tag);
            fs::copy(work_ / ("base-" + type), out, fs::copy_options::recursive);
            const auto files = addUserFiles(out / "Assets.xcassets", tag);
            const auto trashedBefore = namesIn(trash() / "files");
            const auto run = glyphwright(convert(type, out.filename().string(),
                                                 {"-assetCatalogExistsAction", catalogAnswer, "-assetExistsAction",
                                                  assetAnswer}));
            const bool asks = catalogAnswer == "append" && assetAnswer == "append";
            EXPECT_EQ(run.status, asks ? 1 : 0) << run.out << run.err;
            EXPECT_EQ(asks, run.err.find("Unable to prompt user for action without the window") != std::string::npos)
                << run.err;
            expectKept(files, {out, trash() / "files"}, trash(), trashedBefore, run);
            for (const auto& hidden : gwtest::hiddenEntries(out)) {
                EXPECT_EQ(fs::path(hidden).filename(), ".hidden") << "left in flight: " << hidden;
            }
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OutputTypes, UserFilesInEveryType, ::testing::ValuesIn(kOutputTypes),
                         [](const auto& info) { return info.param; });

// The ways runs cost users their files, and a leftover of another user's run, as each user
// (the superuser, nobody, and the superuser on a file system that keeps no extended
// attributes and has no Trash, where what is kept stays beside): appending over a tvOS type
// whose set sits in a group folder; files only named like what a run leaves in flight, in
// the catalog, beside it and in another; a complication set whose pictures the user replaced
// by kinds the program does not read.
TEST_F(UserFilesInCatalogs, TheWaysRunsLostUsersFilesKeepThemForEveryUser) {
    struct Place {
        std::string name;
        std::optional<std::pair<uid_t, gid_t>> id;
        bool attributeless = false;
    };
    std::vector<Place> places{{::geteuid() == 0 ? "root" : "this user", std::nullopt}};
    std::optional<gwtest::ScratchDisk> disk;
    std::string notTried;
    if (::geteuid() == 0) {
        if (const passwd* nobody = ::getpwnam("nobody")) places.push_back({"nobody", std::pair{nobody->pw_uid, nobody->pw_gid}});
        disk.emplace(dir_ / "ramfs", "ramfs", "mode=0755");
        if (disk->mounted()) places.push_back({"root, without extended attributes", std::nullopt, true});
        else notTried = "without extended attributes not tried: " + disk->why();
    } else {
        notTried = "another user and a file system without extended attributes not tried: only the superuser may";
    }
    // Every user reaches their own folder below this one.
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const auto& user : places) {
        SCOPED_TRACE(user.name);
        const auto home = user.attributeless ? dir_ / "ramfs/home" : dir_ / ("as-" + user.name);
        const auto work = home / "work";
        // Without extended attributes, the data folder (and with it the home Trash) lies on
        // another file system, so that there is no Trash for what the run keeps there.
        const auto xdg = user.attributeless ? dir_ / "ramfs-xdg" : home / "xdg";
        fs::create_directories(xdg);
        writePictures(work);
        // Gives what lies at `top` and below to the user.
        const auto own = [&](const fs::path& top) {
            if (!user.id) return;
            ASSERT_EQ(::lchown(top.c_str(), user.id->first, user.id->second), 0);
            for (const auto& entry : fs::recursive_directory_iterator(top)) {
                ASSERT_EQ(::lchown(entry.path().c_str(), user.id->first, user.id->second), 0);
            }
        };
        own(home);
        auto options = this->options("as");
        options.workingDirectory = work;
        options.xdgRoot = xdg;
        options.user = user.id;
        const auto as = [&](const std::string& program, const std::vector<std::string>& arguments) {
            return gwtest::runProgram(program, arguments, options);
        };
        ASSERT_EQ(as(GW_GRANT_ROOT_PATH, {work.string()}).status, 0);
        const auto userTrash = xdg / "XDG_DATA_HOME/Trash";
        // Each type's catalog as a run of this user makes it, made once: a finished run leaves
        // nothing on it that a copy loses.
        const auto madeAs = [&](const std::string& type, const std::string& output) {
            const auto made = work / "made" / type;
            if (!fs::exists(made)) {
                const auto run = as(GW_GLYPHWRIGHT_PATH, convert(type, made.lexically_relative(work).string()));
                EXPECT_EQ(run.status, 0) << run.out << run.err;
            }
            fs::copy(made, work / output, fs::copy_options::recursive);
        };
        // Makes `output` of `type`, lets `change` add the user's files, and runs again with `answers`.
        const auto keeps = [&](const std::string& type, const std::string& output, const std::vector<std::string>& answers,
                               const std::function<UserFiles()>& change) {
            SCOPED_TRACE(output);
            madeAs(type, output);
            own(work / output);
            const auto files = change();
            own(work / output);
            const auto before = namesIn(userTrash / "files");
            const auto run = as(GW_GLYPHWRIGHT_PATH, convert(type, output, answers));
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_EQ(run.err.find("interrupted"), std::string::npos) << run.err;
            expectKept(files, {work, userTrash / "files"}, userTrash, before, run);
            return run;
        };

        // A set inside a group folder, replaced while the catalog is added to.
        const auto shelf = keeps("tvOSTopShelf", "shelf", {"-assetCatalogExistsAction", "append"},
                                 [&] { return addUserFiles(work / "shelf/Assets.xcassets", "shelf-" + user.name); });
        EXPECT_NE(shelf.out.find(std::string("Top Shelf Image.imageset was ") +
                                 (user.attributeless ? "kept beside" : "moved to the Trash")),
                  std::string::npos)
            << shelf.out;

        // Files named like what a run leaves in flight are the user's, whether their set is kept or replaced.
        for (const std::string answer : {"increment", "overwrite"}) {
            const auto output = "alike-" + answer;
            keeps("iOSIcon", output, {"-assetCatalogExistsAction", "append", "-assetExistsAction", answer}, [&] {
                const auto catalog = work / output / "Assets.xcassets";
                UserFiles files;
                for (const auto& file : {catalog / ".Contents.json.orig01", catalog / ".Sketches.writing-2024-1/sketch.txt",
                                         catalog / "AppIcon.appiconset/.Icon-AppStore-1024.png.backup",
                                         catalog / ".AppIcon.appiconset.replaced-4194305-0/Contents.json",
                                         work / output / ".Assets.xcassets.replaced-4194305-0/Contents.json",
                                         work / output / "Other.xcassets/.Logo.png.backup"}) {
                    files["mine: " + file.string()] = file;
                    writeFile(file, "mine: " + file.string());
                }
                return files;
            });
        }

        // A complication set whose pictures the user replaced, under every answer.
        for (const std::string answer : {"append", "overwrite", "increment"}) {
            const auto output = "watch-" + answer;
            keeps("complicationIcon", output, {"-assetCatalogExistsAction", answer}, [&] {
                UserFiles files;
                int replaced = 0;
                for (const auto& entry : fs::recursive_directory_iterator(work / output)) {
                    if (entry.path().extension() != ".png") continue;
                    auto kept = entry.path();
                    kept.replace_extension(++replaced % 2 ? ".webp" : ".heic");
                    files["picture:" + kept.string()] = kept;
                    writeFile(kept, "picture:" + kept.string());
                    fs::remove(entry.path());
                }
                EXPECT_GT(replaced, 0);
                files.merge(addUserFiles(work / output / "Assets.xcassets", output + user.name));
                return files;
            });
        }

        // A leftover of another user's killed run, beside the user's catalog: not put back,
        // so every later run still works.
        {
            SCOPED_TRACE("another user's leftover");
            ASSERT_EQ(as(GW_GLYPHWRIGHT_PATH, convert("asset", "theirs")).status, 0);
            const auto leftover = work / "theirs/.Assets.xcassets.replaced-4194305-9";
            writeFile(leftover / "Contents.json", "{}\n");
            fs::permissions(leftover, fs::perms::owner_all);
            // Made by the superuser: as nobody, another user's already.
            gwtest::leaveInFlight(leftover, gw::InFlightKind::replaced, "Assets.xcassets", gwtest::endedRun(gwtest::kGoneProcess, !user.id));
            for (int again = 0; again < 2; ++again) {
                const auto run = as(GW_GLYPHWRIGHT_PATH, convert("asset", "theirs", {"-assetCatalogExistsAction", "append",
                                                                                    "-assetExistsAction", "overwrite"}));
                EXPECT_EQ(run.status, 0) << run.out << run.err;
                EXPECT_EQ(run.err.find("interrupted"), std::string::npos) << run.err;
            }
            EXPECT_EQ(readFile(leftover / "Contents.json"), "{}\n");
            EXPECT_EQ(gwtest::snapshot(work / "theirs/Assets.xcassets").count("art.imageset/Contents.json"), 1u);
        }

        // Marks as killed runs leave them, or as anyone can plant them, cost no file, move no
        // folder and stop no run. The mark is of this user's run, which has ended.
        auto ended = gwtest::endedRun();
        if (user.id) ended.user = user.id->first;

        // A hidden set (from a picture named ".logo.png") left marked for its own name: killed
        // just after its new content took the name (or just after the old was marked to be
        // set aside), it was never set aside. A later run takes the mark off, nothing more.
        writeFile(work / ".logo.png", gwtest::solidPNG(64, 64, {90, 30, 200, 255}));
        if (user.id) {
            ASSERT_EQ(::lchown((work / ".logo.png").c_str(), user.id->first, user.id->second), 0);
        }
        for (const auto kind : {gw::InFlightKind::writing, gw::InFlightKind::replaced}) {
            const auto output = "hidden-" + std::string(gw::inFlightKindText(kind));
            SCOPED_TRACE(output);
            std::vector<std::string> logo{"-inputPath", ".logo.png", "-outputPath", output, "-assetType", "asset"};
            ASSERT_EQ(as(GW_GLYPHWRIGHT_PATH, logo).status, 0);
            const auto set = work / output / "Assets.xcassets/.logo.imageset";
            ASSERT_TRUE(fs::is_directory(set));
            const auto files = addUserFiles(set, output + user.name);
            own(work / output);
            gwtest::leaveInFlight(set, kind, ".logo.imageset", ended);
            const auto before = namesIn(userTrash / "files");
            logo.insert(logo.end(), {"-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"});
            const auto run = as(GW_GLYPHWRIGHT_PATH, logo);
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            expectKept(files, {work, userTrash / "files"}, userTrash, before, run);
        }

        // A mark whose name leads out of the folder it is found in, on a hidden folder a cloned
        // repository or an archive could carry into a catalog: ".." would take the folder that
        // holds the catalog, "." the catalog itself.
        for (const std::string name : {"..", "."}) {
            const auto output = std::string("dots") + (name == ".." ? "2" : "1");
            SCOPED_TRACE(output);
            keeps("iOSIcon", output, {"-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"}, [&] {
                const auto leftover = work / output / "Assets.xcassets/.AppIcon.appiconset.replaced-4194305-5";
                writeFile(leftover / "Contents.json", "{}\n");
                own(work / output);
                gwtest::leaveInFlight(leftover, gw::InFlightKind::replaced, name, ended);
                return addUserFiles(work / output, output + user.name);
            });
            // What is not replaced stays where it was.
            for (const auto& stays : {fs::path(output) / "notes.txt", fs::path(output) / "Assets.xcassets/notes.txt"}) {
                EXPECT_TRUE(fs::is_regular_file(work / stays)) << stays << " was moved";
            }
        }

        // A tvOS group folder that took its name as a run was killed keeps that run's mark; in a
        // copy made with cp -r the mark (a file where there are no extended attributes) is no
        // longer the copy's own. Adding to the copy leaves it as the copy's file, and so does a
        // file of the user's that merely has the mark's name.
        const auto group = fs::path("Assets.xcassets/App Icon & Top Shelf Image.brandassets");
        keeps("tvOSTopShelf", "shelf-copied", {"-assetCatalogExistsAction", "append"}, [&] {
            const auto original = work / "shelf-copied";
            gwtest::leaveInFlight(original / group, gw::InFlightKind::writing, group.filename().string(), ended);
            fs::rename(original, work / "shelf-killed");
            EXPECT_EQ(std::system(("cp -r '" + (work / "shelf-killed").string() + "' '" + original.string() + "'").c_str()), 0);
            return addUserFiles(original / "Assets.xcassets", "copied-" + user.name);
        });
        // A killed run's mark file copied by the user into a catalog and a set (it names the
        // folder it was copied from) is the user's file when a run replaces either.
        for (const auto& answers : {std::vector<std::string>{"-assetCatalogExistsAction", "overwrite"},
                                    std::vector<std::string>{"-assetCatalogExistsAction", "append", "-assetExistsAction",
                                                             "overwrite"}}) {
            const auto output = "mark-copied-" + answers[1];
            keeps("iOSIcon", output, answers, [&] {
                UserFiles files;
                for (const auto& folder : {work / output / "Assets.xcassets", work / output / "Assets.xcassets/AppIcon.appiconset"}) {
                    const gw::InFlightMark copied{ended, gw::InFlightKind::replaced, {1, 2}, output + folder.filename().string()};
                    files[copied.text()] = folder / ".glyphwright.in-flight";
                    writeFile(folder / ".glyphwright.in-flight", copied.text());
                }
                return files;
            });
        }
        keeps("tvOSTopShelf", "shelf-named", {"-assetCatalogExistsAction", "append"}, [&] {
            const auto named = work / "shelf-named" / group / ".glyphwright.in-flight";
            writeFile(named, "mine: a file of the mark's name");
            auto files = addUserFiles(work / "shelf-named/Assets.xcassets", "named-" + user.name);
            files["mine: a file of the mark's name"] = named;
            return files;
        });
    }
    if (!notTried.empty()) GTEST_SKIP() << notTried;
}

}  // namespace
