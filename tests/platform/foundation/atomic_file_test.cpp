#include "platform/foundation/atomic_file.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/scratch_mounts.hpp"
#include "support/file_size_limit.hpp"
#include "support/page_cache.hpp"
#include "support/program_run.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using Writer = pf::files::AtomicFileWriter;
using Route = Writer::Route;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Bytes in which each place differs from its neighbours, so that a piece written twice,
// skipped or put elsewhere shows.
std::string patterned(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Writes `bytes` in pieces of uneven sizes (some of a byte, some larger than any buffer a
// writer keeps).
void writeInPieces(Writer& writer, std::string_view bytes) {
    static constexpr std::size_t kPieces[] = {1, 4095, kMiB, 3 * kMiB + 7, 9 * kMiB + 513, 511};
    for (std::size_t i = 0; !bytes.empty(); ++i) {
        const std::size_t n = std::min(bytes.size(), kPieces[i % std::size(kPieces)]);
        writer.write(bytes.substr(0, n));
        bytes.remove_prefix(n);
    }
}

unsigned modeOf(const fs::path& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 ? facts.st_mode & 07777 : 0;
}

// The names in `folder` that a writer of `name` gives its temporary files.
std::vector<std::string> temporariesOf(const fs::path& folder, const std::string& name) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("." + name + ".", 0) == 0) found.push_back(entry.path().string());
    }
    return found;
}

// Where the files are written: the test's own folder, or a file system of its own, mounted
// where the test may mount one (as the superuser) and gone at the end: ramfs (which takes
// no direct writes), tmpfs, or ext4 of a few megabytes on a loop device.
struct Place {
    const char* name;
    const char* type;  // nullptr: the test's folder
    const char* options = "";
    std::size_t ext4Bytes = 0;
};

void PrintTo(const Place& place, std::ostream* out) { *out << place.name; }

class Mounted {
public:
    Mounted(const fs::path& where, const Place& place) {
        fs::create_directories(where);
        if (place.type == nullptr) return;
        if (place.ext4Bytes == 0) {
            mount_ = std::make_unique<gwtest::ScratchMount>(where, place.type, place.options);
        } else {
            const auto image = where.string() + ".img";
            why_ = gwtest::ownMountNamespace();
            if (why_.empty()) why_ = gwtest::makeImage(image, place.ext4Bytes, "/sbin/mkfs.ext4", {"-q", "-F", "-E", "nodiscard"});
            if (why_.empty()) mount_ = std::make_unique<gwtest::ScratchMount>(where, image, "ext4");
        }
        if (mount_ && !mount_->mounted()) why_ = mount_->why();
    }

    bool mounted() const { return why_.empty(); }
    const std::string& why() const { return why_; }

private:
    std::unique_ptr<gwtest::ScratchMount> mount_;
    std::string why_;
};

const char* routeName(Route route) { return route == Route::pastPageCache ? "past the page cache" : "through it"; }

// The file holds exactly the bytes written, however they were cut and wherever they went
// (a file system that writes past the page cache, one that refuses that, one that only
// seems to take it), by either route: sizes around the alignments that direct writes ask
// for and around the writer's buffers, up to more than all its buffers at once. An existing
// file keeps its mode, a new one gets the one asked for; nothing is left beside it. Past
// the page cache, where the file system writes so, the bytes do not fill memory.
//
// Each place is a test of its own: the bytes written come to hundreds of megabytes, which a
// machine busy with other writes takes long over.
class AtomicFileWriterPlaces : public ::testing::TestWithParam<Place> {};

TEST_P(AtomicFileWriterPlaces, EachRouteWritesTheBytesItIsGivenWhereverTheyGo) {
    const Place& where = GetParam();
    const std::size_t sizes[] = {0,           1,           511,         512,          4095,
                                 4096,        4097,        8 * kMiB - 1, 8 * kMiB,    8 * kMiB + 1,
                                 8 * kMiB + 4096 + 3,      40 * kMiB + 4097};
    const std::string source = patterned(40 * kMiB + 4097, 7);
    const auto page = static_cast<std::uintmax_t>(::sysconf(_SC_PAGESIZE));
    gwtest::TempDir dir;
    const auto folder = dir / "place";
    const Mounted mounted(folder, where);
    if (!mounted.mounted()) GTEST_SKIP() << where.name << " not tried: " << mounted.why();
    const bool pastCache = gwtest::writesPastPageCache(folder);
    for (const auto route : {Route::pageCache, Route::pastPageCache}) {
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            SCOPED_TRACE(std::string(routeName(route)) + ", " + std::to_string(sizes[i]) + " bytes");
            const auto path = folder / "state";
            // Half of the files are new, half replace one whose mode they keep.
            const bool existing = i % 2 == 0;
            fs::remove(path);
            if (existing) {
                gwtest::writeFile(path, "earlier");
                ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
            }
            const std::string_view bytes = std::string_view(source).substr(0, sizes[i]);
            {
                Writer writer(path, 0604, route);
                writeInPieces(writer, bytes);
                writer.commit();
            }
            if (route == Route::pastPageCache && pastCache) {
                // Only the end that takes no direct write went through the page cache.
                EXPECT_LE(gwtest::cachedBytes(path), page);
            }
            EXPECT_TRUE(gwtest::readFile(path) == bytes);
            EXPECT_EQ(modeOf(path), existing ? 0640u : 0604u);
            EXPECT_EQ(temporariesOf(folder, "state"), std::vector<std::string>{});
        }
    }
    fs::remove(folder / "state");
}

INSTANTIATE_TEST_SUITE_P(Places, AtomicFileWriterPlaces,
                         ::testing::Values(Place{"the test's folder", nullptr}, Place{"ramfs", "ramfs"},
                                           Place{"tmpfs", "tmpfs", "size=128m"}, Place{"ext4 of 96 MB", "ext4", "", 96 * kMiB}),
                         [](const auto& info) {
                             std::string name;
                             for (const char c : std::string(info.param.type ? info.param.type : "TestFolder")) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             }
                             return name;
                         });

// A write that fails part-way (a full disk, the file size limit) or at its rename (a
// folder, not empty, in the file's place) is told by the writer, and a writer let go
// unfinished writes nothing more: what was there stays whole, and no temporary file is
// left beside it, by either route.
TEST(AtomicFileWriterTest, AWriteThatFailsOrIsLetGoLeavesTheEarlierFileWholeAndNothingBeside) {
    struct Case {
        const char* name;
        Place place;
        std::size_t size;  // written
        int error;         // expected; 0: the writer is let go uncommitted
        rlim_t sizeLimit = RLIM_INFINITY;
        bool folderInPlace = false;  // no rename can put a file there
    };
    const Case cases[] = {
        {"a full ext4", {"ext4 of 16 MB", "ext4", "", 16 * kMiB}, 40 * kMiB + 3, ENOSPC},
        {"a full tmpfs", {"tmpfs of 4 MB", "tmpfs", "size=4m"}, 40 * kMiB + 3, ENOSPC},
        {"the file size limit part-way into a buffer", {"the test's folder", nullptr}, 40 * kMiB + 3, EFBIG,
         12 * kMiB + 100},
        {"let go part-way", {"the test's folder", nullptr}, 20 * kMiB + 3, 0},
        {"a failed rename", {"the test's folder", nullptr}, 2 * kMiB + 3, EISDIR, RLIM_INFINITY, true},
    };
    const std::string source = patterned(40 * kMiB + 3, 11);
    const std::string earlier = patterned(kMiB + 5, 3);
    gwtest::TempDir dir;
    std::string notTried;
    int n = 0;
    for (const auto& c : cases) {
        const auto folder = dir / ("case" + std::to_string(n++));
        const Mounted mounted(folder, c.place);
        if (!mounted.mounted()) {
            notTried += std::string(notTried.empty() ? "" : "; ") + c.name + " not tried: " + mounted.why();
            continue;
        }
        const auto path = folder / "state";
        if (c.folderInPlace) fs::create_directories(path / "inside");
        if (!c.folderInPlace) gwtest::writeFile(path, earlier);
        for (const auto route : {Route::pageCache, Route::pastPageCache}) {
            SCOPED_TRACE(std::string(c.name) + ", " + routeName(route));
            std::optional<int> failed;
            try {
                const gwtest::FileSizeLimit limit(c.sizeLimit);
                Writer writer(path, 0644, route);
                writeInPieces(writer, source.substr(0, c.size));
                if (c.error != 0) writer.commit();
            } catch (const pf::Error& error) {
                failed = error.code();
            }
            if (c.error != 0) {
                EXPECT_EQ(failed, c.error) << (failed ? std::strerror(*failed) : "no failure");
            } else {
                EXPECT_FALSE(failed);
            }
            EXPECT_TRUE(c.folderInPlace ? fs::is_directory(path / "inside") : gwtest::readFile(path) == earlier);
            EXPECT_EQ(temporariesOf(folder, "state"), std::vector<std::string>{});
        }
    }
    if (!notTried.empty()) GTEST_SKIP() << notTried;
}

// What another process does, as a launch of this test program: "write" writes and
// commits a file by each route; "hold" starts a write, says where its temporary file is,
// and finishes once a file named "go" is beside it.
constexpr const char* kAtomicChildVariable = "GW_ATOMIC_CHILD";
constexpr const char* kAtomicFolderVariable = "GW_ATOMIC_FOLDER";

TEST(AtomicFileWriterChildProcess, Writes) {
    const char* action = std::getenv(kAtomicChildVariable);
    if (!action) GTEST_SKIP() << "runs only as another process of the test";
    const fs::path folder = std::getenv(kAtomicFolderVariable);
    if (std::string(action) == "write") {
        for (const auto route : {Route::pageCache, Route::pastPageCache}) {
            Writer writer(folder / "state", 0644, route);
            writeInPieces(writer, patterned(3 * kMiB + 5, 7));
            writer.commit();
        }
        return;
    }
    Writer writer(folder / "state", 0644, Route::pastPageCache);
    writer.write("the first part, ");
    std::printf("holding: %s\n", writer.temporaryPath().c_str());
    std::fflush(stdout);
    while (!fs::exists(folder / "go")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    writer.write("and the rest");
    writer.commit();
}

// The bytes are on the disk before the file takes its place: the temporary file is synced
// before the rename, seen in the system calls of a writing process.
TEST(AtomicFileWriterTest, TheBytesAreSyncedBeforeTheRename) {
    gwtest::TempDir dir;
    if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    std::error_code error;
    const auto self = fs::read_symlink("/proc/self/exe", error);
    ASSERT_FALSE(error);
    const auto log = dir / "calls.txt";
    gwtest::ProgramOptions options;
    options.workingDirectory = dir.path();
    options.xdgRoot = dir / "xdg";
    options.outFile = options.errFile = dir / "out.txt";
    options.environment = {std::string(kAtomicChildVariable) + "=write",
                           std::string(kAtomicFolderVariable) + "=" + dir.path().string()};
    const auto run = gwtest::runProgram("/usr/bin/strace",
                                        {"-f", "-y", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,linkat", "-o",
                                         log.string(), self.string(), "--gtest_filter=AtomicFileWriterChildProcess.Writes"},
                                        options);
    if (run.status != 0 && gwtest::readFile(dir / "out.txt").find("ptrace") != std::string::npos) {
        GTEST_SKIP() << "strace may not trace here: " << gwtest::readFile(dir / "out.txt");
    }
    ASSERT_EQ(run.status, 0) << gwtest::readFile(dir / "out.txt");
    // Each rename of a temporary file into place comes after a sync of that file. A file made
    // without a name is synced by a descriptor named after no path: it has the name its link
    // through /proc gave it.
    std::istringstream calls(gwtest::readFile(log));
    std::set<std::string> synced;
    std::map<std::string, std::string> linkedAs;
    int renamed = 0;
    const std::string throughProc = "\"/proc/self/fd/";
    for (std::string line; std::getline(calls, line);) {
        const auto opening = line.find('<'), quote = line.find('"');
        if (line.find(" linkat(") != std::string::npos && line.find(throughProc) != std::string::npos &&
            line.find(") = 0") != std::string::npos) {
            const auto number = line.find(throughProc) + throughProc.size();
            const auto to = line.find('"', line.find('"', number) + 1) + 1;
            linkedAs[line.substr(number, line.find('"', number) - number)] = line.substr(to, line.find('"', to) - to);
        } else if ((line.find(" fsync(") != std::string::npos || line.find(" fdatasync(") != std::string::npos) &&
            opening != std::string::npos && line.find("= 0") != std::string::npos) {
            synced.insert(line.substr(opening + 1, line.find('>', opening) - opening - 1));
            const auto number = line.find('(') + 1;
            if (const auto linked = linkedAs.find(line.substr(number, opening - number)); linked != linkedAs.end()) {
                synced.insert(linked->second);
            }
        } else if (line.find("rename") != std::string::npos && quote != std::string::npos) {
            const auto temporary = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
            if (temporary.find("/.state.") == std::string::npos) continue;
            ++renamed;
            EXPECT_TRUE(synced.count(temporary)) << temporary << " was renamed into place unsynced";
        }
    }
    EXPECT_EQ(renamed, 2) << gwtest::readFile(log);
}

// A temporary file another process is still writing is no leftover: a sweep in this
// process leaves it, and that process's write ends in place. Only what a killed writer left
// goes: a file of the user's beside it stays, whatever its name looks like.
TEST(AtomicFileWriterTest, ASweepRemovesOnlyWhatKilledWritersLeftNotOneAtWorkNorTheUsersFiles) {
    gwtest::TempDir dir;
    const pid_t killed = ::fork();
    ASSERT_GE(killed, 0);
    if (killed == 0) {
        Writer writer(dir / "state");
        writer.write("left by a killed write");
        ::raise(SIGKILL);
    }
    const int ended = gwtest::waitForChild(killed, std::chrono::minutes(1));
    ASSERT_TRUE(ended != -1 && WIFSIGNALED(ended) && WTERMSIG(ended) == SIGKILL);
    const std::vector<std::string> users{".state.backup", ".state.Zz9Yy8", ".state.unfinished-abcdefABCDEF"};
    for (const auto& name : users) gwtest::writeFile(dir / name, "the user's " + name);

    const auto out = dir / "holder.txt";
    const pid_t holder = gwtest::spawnSelf({"AtomicFileWriterChildProcess.Writes",
                                            {{kAtomicChildVariable, "hold"}, {kAtomicFolderVariable, dir.path().string()}},
                                            out});
    ASSERT_GT(holder, 0);
    std::string held;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto text = gwtest::readFile(out);
        if (const auto at = text.find("holding: "); at != std::string::npos && text.find('\n', at) != std::string::npos) {
            held = text.substr(at + 9, text.find('\n', at) - at - 9);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto found = temporariesOf(dir.path(), "state");
    const int removed = Writer::removeStaleTemporaries(dir / "state");
    const auto left = temporariesOf(dir.path(), "state");
    gwtest::writeFile(dir / "go", "");
    const int status = gwtest::waitForChild(holder, std::chrono::minutes(2));
    ASSERT_FALSE(held.empty()) << gwtest::readFile(out);
    EXPECT_EQ(found.size(), users.size() + 2);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(left.size(), users.size() + 1);
    EXPECT_NE(std::find(left.begin(), left.end(), held), left.end());
    for (const auto& name : users) EXPECT_EQ(gwtest::readFile(dir / name), "the user's " + name);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << gwtest::readFile(out);
    EXPECT_EQ(gwtest::readFile(dir / "state"), "the first part, and the rest");
}

}  // namespace
