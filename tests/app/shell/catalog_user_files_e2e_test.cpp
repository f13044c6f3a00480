// What a user keeps in a catalog survives every run of the real program: every output type
// under every answer to an existing catalog and to an existing set, a group folder whose set
// is replaced, files named like what a run leaves in flight, sets whose pictures the user
// replaced by kinds the program does not read, and a leftover that belongs to another user.
// After each run every file of the user's is where it was, or beside it, or in the Trash with
// the info file that puts it back, and the run said where it went. As the superuser and as
// an ordinary user, and on a file system that keeps no extended attributes.
#include "app/shell/catalog_run_support.hpp"
#include "app/shell/killed_run_support.hpp"

#include <grp.h>
#include <pwd.h>

#include <chrono>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
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
            const auto path = folder / name;
            const auto contents = tag + ":" + path.lexically_relative(root.parent_path()).string();
            writeFile(path, contents);
            files[contents] = path;
        }
    }
    return files;
}

// What stands at the path once the names a kept folder takes are read as the name it had:
// "X (replaced <date> <time> 2).imageset" stands for "X.imageset".
fs::path asItWas(const fs::path& path) {
    static const std::regex replaced(R"(^(.*) \(replaced [^)]*\)(\.[^.]*)?$)");
    fs::path back;
    for (const auto& part : path) back /= std::regex_replace(part.string(), replaced, "$1$2");
    return back;
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    if (!fs::is_directory(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
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
        if (path == original) continue;
        if (path.string().rfind((trash / "files").string() + "/", 0) != 0) {
            EXPECT_EQ(asItWas(path), original) << "found at " << path;
            continue;
        }
        const auto relative = path.lexically_relative(trash / "files");
        const auto item = *relative.begin();
        const auto info = readFile(trash / "info" / (item.string() + ".trashinfo"));
        std::smatch match;
        ASSERT_TRUE(std::regex_search(info, match, std::regex("\nPath=([^\n]*)\n"))) << info;
        const fs::path stood = unescaped(match[1]);
        EXPECT_TRUE(fs::is_directory(stood.parent_path())) << "nowhere to put " << stood << " back";
        EXPECT_EQ(asItWas(stood / relative.lexically_relative(item)), original) << "found at " << path;
    }
    for (const auto& name : namesIn(trash / "files")) {
        if (trashedBefore.count(name)) continue;
        EXPECT_NE((run.out + run.err).find((trash / "files" / name).string()), std::string::npos)
            << name << " went to the Trash unsaid:\n"
            << run.out << run.err;
    }
}

// The fourteen output types, each with the pictures it is made from.
struct OutputType {
    std::string name;
    std::vector<std::string> input;
};
const std::vector<OutputType>& outputTypes() {
    static const std::vector<OutputType> types = [] {
        std::vector<OutputType> all;
        for (const std::string type : {"iOSIcon", "macOSIcon", "asset", "iOSSplash", "watchIcon", "complicationIcon",
                                       "iMessageIcon", "tvOSSplash", "tvOSTopShelf", "tvOSTopShelfWide",
                                       "tvOSGameCenterDashboard", "catalyst"}) {
            all.push_back({type, {"-inputPath", "art.png"}});
        }
        for (const std::string type : {"tvOSIcon", "tvOSLeaderboard"}) {
            all.push_back({type, {"-inputPath", "layers", "-collectionType", "variants"}});
        }
        return all;
    }();
    return types;
}

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
    std::vector<std::string> convert(const OutputType& type, const std::string& output,
                                     std::vector<std::string> answers = {}) const {
        std::vector<std::string> arguments = type.input;
        arguments.insert(arguments.end(), {"-outputPath", output, "-assetType", type.name});
        arguments.insert(arguments.end(), answers.begin(), answers.end());
        return arguments;
    }
};

// Under the sanitizers, where a run takes several times as long, only the catalog answer
// under which the set answers are asked at all: a catalog replaced whole or written anew
// takes the same steps whatever the set answer is.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const std::vector<std::string> kCatalogAnswers{"append"};
#else
const std::vector<std::string> kCatalogAnswers{"append", "overwrite", "increment"};
#endif

// Every output type, under every answer to an existing catalog and to an existing set, with
// a file and a hidden file of the user's in every folder of the catalog. Adding to an
// existing set needs the window, which asks what to do with it: the command line refuses
// it, before anything is written.
TEST_F(UserFilesInCatalogs, EveryFileAUserKeepsSurvivesEveryTypeAndEveryAnswer) {
    const auto began = std::chrono::steady_clock::now();
    int runs = 0;
    for (const auto& type : outputTypes()) {
        SCOPED_TRACE(type.name);
        const auto made = glyphwright(convert(type, "base-" + type.name));
        ASSERT_EQ(made.status, 0) << made.out << made.err;
        for (const auto& catalogAnswer : kCatalogAnswers) {
            for (const std::string assetAnswer : {"overwrite", "increment", "append"}) {
                const std::string tag = type.name + "-" + catalogAnswer + "-" + assetAnswer;
                SCOPED_TRACE(tag);
                const auto out = work_ / ("out-" + tag);
                fs::copy(work_ / ("base-" + type.name), out, fs::copy_options::recursive);
                const auto files = addUserFiles(out / "Assets.xcassets", tag);
                const auto trashedBefore = namesIn(trash() / "files");
                const auto run = glyphwright(convert(type, out.filename().string(),
                                                     {"-assetCatalogExistsAction", catalogAnswer,
                                                      "-assetExistsAction", assetAnswer}));
                ++runs;
                const bool asks = catalogAnswer == "append" && assetAnswer == "append";
                EXPECT_EQ(run.status, asks ? 1 : 0) << run.out << run.err;
                if (asks) {
                    EXPECT_NE(run.err.find("Unable to prompt user for action without the window"), std::string::npos)
                        << run.err;
                }
                expectKept(files, {out, trash() / "files"}, trash(), trashedBefore, run);
                for (const auto& hidden : gwtest::hiddenEntries(out)) {
                    EXPECT_EQ(fs::path(hidden).filename(), ".hidden") << "left in flight: " << hidden;
                }
                if (HasFailure()) return;
            }
        }
    }
    std::cout << runs << " runs over the user's files took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count()
              << " ms\n";
}

// The user a part of the test runs as: the superuser, or an ordinary user (nobody).
struct RunAs {
    std::string name;
    std::optional<std::pair<uid_t, gid_t>> id;
};

std::vector<RunAs> usersToRunAs() {
    if (::geteuid() != 0) return {{"this user", std::nullopt}};
    std::vector<RunAs> users{{"root", std::nullopt}};
    if (const passwd* nobody = ::getpwnam("nobody")) users.push_back({"nobody", std::pair{nobody->pw_uid, nobody->pw_gid}});
    return users;
}

// The three ways runs cost users their files, and a leftover of another user's run, as each
// user: appending over a tvOS type whose set sits in a group folder; the clean-up of killed
// runs meeting files only named like what a run leaves in flight, in the catalog and in
// another; a complication set whose pictures the user replaced by kinds the program does not
// read, under every answer.
TEST_F(UserFilesInCatalogs, TheWaysRunsLostUsersFilesKeepThemForEveryUser) {
    std::vector<std::pair<RunAs, bool>> places;
    for (const auto& user : usersToRunAs()) places.emplace_back(user, false);
    // A file system of its own that keeps no extended attributes and has no Trash.
    std::optional<gwtest::ScratchDisk> disk;
    if (::geteuid() == 0) {
        disk.emplace(dir_ / "ramfs", "ramfs", "mode=0755");
        if (disk->mounted()) places.emplace_back(RunAs{"root, without extended attributes", std::nullopt}, true);
    }
    // Every user reaches their own folder below this one.
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const auto& [user, attributeless] : places) {
        SCOPED_TRACE(user.name);
        const auto home = attributeless ? dir_ / "ramfs/home" : dir_ / ("as-" + user.name);
        const auto work = home / "work";
        fs::create_directories(work);
        fs::create_directories(home / "xdg");
        writePictures(work);
        if (user.id) {
            for (const auto& entry : fs::recursive_directory_iterator(home)) {
                ASSERT_EQ(::lchown(entry.path().c_str(), user.id->first, user.id->second), 0);
            }
            ASSERT_EQ(::lchown(home.c_str(), user.id->first, user.id->second), 0);
        }
        gwtest::ProgramOptions options;
        options.workingDirectory = work;
        options.xdgRoot = home / "xdg";
        options.outFile = dir_ / "as.out";
        options.errFile = dir_ / "as.err";
        options.user = user.id;
        const auto as = [&](const std::string& program, const std::vector<std::string>& arguments) {
            return gwtest::runProgram(program, arguments, options);
        };
        ASSERT_EQ(as(GW_GRANT_ROOT_PATH, {work.string()}).status, 0);
        // Without a Trash on its file system, what is kept stays beside.
        const auto userTrash = home / "xdg/XDG_DATA_HOME/Trash";
        const std::vector<fs::path> searched{work, userTrash / "files"};
        const auto type = [](const std::string& name) {
            return *std::find_if(outputTypes().begin(), outputTypes().end(), [&](const auto& t) { return t.name == name; });
        };

        // A set inside a group folder, replaced while the catalog is added to.
        {
            SCOPED_TRACE("tvOSTopShelf");
            ASSERT_EQ(as(GW_GLYPHWRIGHT_PATH, convert(type("tvOSTopShelf"), "shelf")).status, 0);
            const auto files = addUserFiles(work / "shelf/Assets.xcassets", "shelf-" + user.name);
            if (user.id) {
                for (const auto& [contents, path] : files) ::lchown(path.c_str(), user.id->first, user.id->second);
            }
            const auto before = namesIn(userTrash / "files");
            const auto run = as(GW_GLYPHWRIGHT_PATH, convert(type("tvOSTopShelf"), "shelf", {"-assetCatalogExistsAction", "append"}));
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_NE(run.out.find("Top Shelf Image.imageset was " + std::string(attributeless ? "kept beside" : "moved to the Trash")),
                      std::string::npos)
                << run.out;
            expectKept(files, searched, userTrash, before, run);
        }

        // Files named like what a run leaves in flight are the user's.
        {
            SCOPED_TRACE("look-alikes");
            ASSERT_EQ(as(GW_GLYPHWRIGHT_PATH, convert(type("iOSIcon"), "alike")).status, 0);
            const auto catalog = work / "alike/Assets.xcassets";
            const std::vector<fs::path> alike{catalog / ".Contents.json.orig01",
                                              catalog / ".Sketches.writing-2024-1/sketch.txt",
                                              catalog / "AppIcon.appiconset/.Icon-AppStore-1024.png.backup",
                                              catalog / ".AppIcon.appiconset.replaced-4194305-0/Contents.json",
                                              work / "alike/Other.xcassets/.Logo.png.backup"};
            for (const auto& file : alike) {
                writeFile(file, "mine: " + file.filename().string());
                if (user.id) {
                    for (auto p = file; p != work; p = p.parent_path()) ::lchown(p.c_str(), user.id->first, user.id->second);
                }
            }
            const auto run = as(GW_GLYPHWRIGHT_PATH, convert(type("iOSIcon"), "alike", {"-assetCatalogExistsAction", "append",
                                                                                       "-assetExistsAction", "increment"}));
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            for (const auto& file : alike) EXPECT_EQ(readFile(file), "mine: " + file.filename().string()) << file;
            EXPECT_EQ(run.err.find("interrupted"), std::string::npos) << run.err;
        }

        // A complication set whose pictures the user replaced, under every answer.
        for (const std::string answer : {"append", "overwrite", "increment"}) {
            SCOPED_TRACE("complicationIcon, " + answer);
            const auto output = "watch-" + answer;
            ASSERT_EQ(as(GW_GLYPHWRIGHT_PATH, convert(type("complicationIcon"), output)).status, 0);
            UserFiles files;
            int replaced = 0;
            for (const auto& entry : fs::recursive_directory_iterator(work / output)) {
                if (entry.path().extension() != ".png") continue;
                auto kept = entry.path();
                kept.replace_extension(++replaced % 2 ? ".webp" : ".heic");
                const auto contents = "picture:" + kept.string();
                files[contents] = kept;
                writeFile(kept, contents);
                fs::remove(entry.path());
            }
            ASSERT_GT(replaced, 0);
            for (const auto& [contents, path] : addUserFiles(work / output / "Assets.xcassets", output + user.name)) {
                files[contents] = path;
            }
            if (user.id) {
                for (const auto& entry : fs::recursive_directory_iterator(work / output)) {
                    ::lchown(entry.path().c_str(), user.id->first, user.id->second);
                }
            }
            const auto before = namesIn(userTrash / "files");
            const auto run = as(GW_GLYPHWRIGHT_PATH, convert(type("complicationIcon"), output,
                                                             {"-assetCatalogExistsAction", answer}));
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            expectKept(files, searched, userTrash, before, run);
        }

        // A leftover of another user's killed run, beside the user's catalog: not put back,
        // so every later run still works.
        {
            SCOPED_TRACE("another user's leftover");
            ASSERT_EQ(as(GW_GLYPHWRIGHT_PATH, convert(type("asset"), "theirs")).status, 0);
            const auto leftover = work / "theirs/.Assets.xcassets.replaced-4194305-9";
            writeFile(leftover / "Contents.json", "{}\n");
            fs::permissions(leftover, fs::perms::owner_all);
            gwtest::leaveAsAKilledRunWould(leftover, gw::InFlightKind::replaced, "Assets.xcassets");
            if (!user.id) {
                // As its owner, it would be this user's: the mark says another user's run made it.
                const auto text = [&] {
                    platform::foundation::files::UniqueFd fd(::open(leftover.c_str(), O_RDONLY | O_DIRECTORY));
                    return platform::foundation::files::readMark(fd.get(), true, gw::kInFlightMarkName).value_or("");
                }();
                auto mark = gw::InFlightMark::parse(text);
                ASSERT_TRUE(mark);
                mark->run.user += 1;
                platform::foundation::files::UniqueFd fd(::open(leftover.c_str(), O_RDONLY | O_DIRECTORY));
                platform::foundation::files::setMark(fd.get(), true, gw::kInFlightMarkName, mark->text(), nullptr);
            }
            for (int again = 0; again < 2; ++again) {
                const auto run = as(GW_GLYPHWRIGHT_PATH, convert(type("asset"), "theirs",
                                                                 {"-assetCatalogExistsAction", "append",
                                                                  "-assetExistsAction", "overwrite"}));
                EXPECT_EQ(run.status, 0) << run.out << run.err;
                EXPECT_EQ(run.err.find("interrupted"), std::string::npos) << run.err;
            }
            EXPECT_EQ(readFile(leftover / "Contents.json"), "{}\n");
            EXPECT_EQ(gwtest::snapshot(work / "theirs/Assets.xcassets").count("art.imageset/Contents.json"), 1u);
        }
    }
}

}  // namespace
