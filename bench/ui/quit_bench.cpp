// The quit of the window program with seven photographs of 8192 x 8192 (PNG files of
// 200 MB; a saved state of 1.9 GB), on a desktop of its own (Xvfb): from Ctrl+Q to the
// end of the process, against copying the saved state to a new file and syncing it, in
// the same iteration (this machine's disk and load drift: each quit is paired with its
// copy, after a restore they take turns going first, each starts once the disk has
// written out what the step before left, and their ratio is a counter).
//
// After opening the files: the quit writes the files' bytes, read again, as Base64.
// After a restore: the pictures hold the bytes they were restored from, and the quit
// writes them as Base64 again. Keeping another process's pictures: a window with none of
// its own quits after another process (on another display, say) saved the photographs;
// the quit reads that state, checks each picture's text and writes the texts as they are,
// each in one piece of 270 MB.
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/accessibility_tree.hpp"
#include "support/desktop/x11_session.hpp"
#include "support/photo_like_png.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kBundleId = "com.norvane.glyphwright";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The processor time a process has used, in clock ticks.
long long ticksOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::atoll(field.c_str());
    }
    return ticks;
}

// Waits until the program shows a row for each of the photographs, as a screen reader
// finds them (read back from a state on a disk that is slow for a moment, the restore can
// sit idle, waiting), then until it has used no processor time for two seconds.
void waitUntilRestored(gwtest::x11::DesktopSession& session, pid_t pid, std::size_t photographs) {
    const gwtest::x11::AccessibilityBus accessibility(session.busAddress());
    gwtest::x11::waitUntil(
        [&] {
            std::set<std::string> rows;
            for (const auto& window : accessibility.windowsOf(pid)) {
                window.find([&](const gwtest::x11::AccessibleElement& e) {
                    if (e.name.rfind("Photo", 0) == 0 && e.name.size() == 6) rows.insert(e.name);
                    return false;
                });
            }
            return rows.size() == photographs || session.hasEnded(pid);
        },
        std::chrono::minutes(5));
    long long last = -1;
    int still = 0;
    while (!session.hasEnded(pid) && still < 8) {
        const auto now = ticksOf(pid);
        still = now == last ? still + 1 : 0;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

// What the step before left to the disk (a file written, a file released) is written
// out first, so that it is not counted to the next.
void settle() {
    ::sync();
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

// Copies `from` to a new file beside it and syncs it, as `cp` copies (copy_file_range,
// else read and write); the seconds it took. The state is read once first, untimed: the
// window program holds its pictures' bytes in memory, and a copy read from the disk would
// measure the disk's reading too.
double copyWithFsync(const fs::path& from) {
    std::vector<char> buffer(8 << 20);
    {
        std::ifstream warm(from, std::ios::binary);
        while (warm.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
        }
    }
    settle();
    const auto to = from.string() + ".copy";
    const auto start = Clock::now();
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (ssize_t n; in >= 0 && out >= 0 && (n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0)) != 0;) {
        if (n > 0) continue;
        for (ssize_t got; (got = ::read(in, buffer.data(), buffer.size())) > 0;) {
            if (::write(out, buffer.data(), static_cast<std::size_t>(got)) != got) break;
        }
        break;
    }
    if (out >= 0) ::fsync(out);
    const double seconds = secondsSince(start);
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    fs::remove(to);
    return seconds;
}

class Desktop {
public:
    Desktop() {
        if (!session_.ready() || !session_.startAccessibilityBus()) return;
        // Nothing holds a quit back: no prompt of the maker's other apps.
        const auto settings = session_.configHome() / kBundleId / (std::string(kBundleId) + ".plist");
        fs::create_directories(settings.parent_path());
        platform::foundation::UserDefaults(settings).setBool(true, "suppressAllPromptsToReview");
        for (int i = 1; i <= 7; ++i) {
            photographs_.push_back((session_.root() / ("Photo" + std::to_string(i) + ".png")).string());
            std::ofstream(photographs_.back(), std::ios::binary) << gwtest::photoLikePng(8192, i);
        }
    }

    bool ready() const { return session_.ready() && !photographs_.empty(); }
    fs::path savedState() const { return session_.dataHome() / kBundleId / "saved_glyphwright"; }

    // Starts the program (handing it `files`), waits until it is idle (and shows as many
    // photographs as `shown`), does `meanwhile`, quits it with Ctrl+Q: the seconds from the
    // key to the end of the process; negative when it failed.
    double quit(const std::vector<std::string>& files, std::size_t shown = 7,
                const std::function<void()>& meanwhile = {}) {
        const pid_t app = session_.launch(GW_DESKTOP_PATH, files);
        const auto window = session_.firstWindow(app);
        if (window.empty()) return -1;
        waitUntilRestored(session_, app, shown);
        if (meanwhile) meanwhile();
        settle();
        const auto start = Clock::now();
        if (!session_.typeKeys(window, "ctrl+q")) return -1;
        while (!session_.hasEnded(app)) {
            // Something holds the quit (an alert): no figure.
            if (secondsSince(start) > 300) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return secondsSince(start);
    }

    const std::vector<std::string>& photographs() const { return photographs_; }
    fs::path root() const { return session_.root(); }

private:
    gwtest::x11::DesktopSession session_;
    std::vector<std::string> photographs_;
};

Desktop& desktop() {
    static Desktop shared;
    return shared;
}

// What the window holds when it quits, and how it came to.
enum class Before { aRestore, openingTheFiles, anotherProcessSaved };

void runQuits(benchmark::State& state, Before before) {
    auto& d = desktop();
    if (!d.ready()) {
        state.SkipWithError("no X server for the window program");
        return;
    }
    const auto theirs = d.root() / "saved_by_another_process";
    const bool needsState = before == Before::aRestore || (before == Before::anotherProcessSaved && !fs::exists(theirs));
    if (needsState && !fs::exists(d.savedState()) && d.quit(d.photographs()) < 0) {
        state.SkipWithError("the window program did not start");
        return;
    }
    if (before == Before::anotherProcessSaved && !fs::exists(theirs)) fs::copy_file(d.savedState(), theirs);
    const char* what = before == Before::aRestore          ? "after a restore"
                       : before == Before::openingTheFiles ? "from the files"
                                                           : "keeping another process's pictures";
    double quits = 0, copies = 0;
    for (auto _ : state) {
        if (before != Before::aRestore) fs::remove(d.savedState());
        // In turn first and second: neither always follows the other's writing.
        const bool copyFirst = before == Before::aRestore && state.iterations() % 2 == 1;
        const double earlier = copyFirst ? copyWithFsync(d.savedState()) : 0;
        double quit = -1;
        if (before == Before::anotherProcessSaved) {
            // Saved while the window is open, with a rename as a save does.
            quit = d.quit({}, 0, [&] {
                const auto beside = d.savedState().string() + ".theirs";
                fs::copy_file(theirs, beside, fs::copy_options::overwrite_existing);
                fs::rename(beside, d.savedState());
            });
        } else {
            quit = d.quit(before == Before::openingTheFiles ? d.photographs() : std::vector<std::string>{});
        }
        if (quit < 0) {
            state.SkipWithError("the window program did not start or did not end");
            return;
        }
        const double copy = copyFirst ? earlier : copyWithFsync(d.savedState());
        std::fprintf(stderr, "%s: quit %.2f s, copy %.2f s\n", what, quit, copy);
        state.SetIterationTime(quit);
        quits += quit;
        copies += copy;
        state.counters["saved_state_MB"] = static_cast<double>(fs::file_size(d.savedState())) / 1e6;
    }
    state.counters["copy_s"] = benchmark::Counter(copies, benchmark::Counter::kAvgIterations);
    state.counters["quit_per_copy"] = copies > 0 ? quits / copies : 0;
}

void BM_QuitAfterARestore(benchmark::State& state) { runQuits(state, Before::aRestore); }
void BM_QuitAfterOpeningTheFiles(benchmark::State& state) { runQuits(state, Before::openingTheFiles); }
// The quit does more than write here (it reads the other state and checks each picture's
// text), so its ratio to the copy is not the writing's alone.
void BM_QuitKeepingAnotherProcesssPictures(benchmark::State& state) { runQuits(state, Before::anotherProcessSaved); }

BENCHMARK(BM_QuitAfterARestore)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuitAfterOpeningTheFiles)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuitKeepingAnotherProcesssPictures)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
