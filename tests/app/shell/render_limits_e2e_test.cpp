// PDF pages and SVG documents that pass the pre-scans but run into the renderer helper's
// limits, converted by the built command line into an icon set (some twenty drawings of
// the document): the picture fails once, at about one page's limit, with status 1 and a
// reason naming the limit; one that stays just under the limits costs about one drawing.
#include "app/shell/catalog_run_support.hpp"
#include "platform/graphics/render_protocol.hpp"
#include "support/machine_pace.hpp"
#include "support/picture_samples.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

namespace {

namespace samples = gwtest::samples;
namespace render = platform::graphics::render;
using gwtest::ended;

// The processes of a run that outlive it: this process takes in the orphans of what it
// starts (as a child subreaper) while the guard lives, and kills and reaps whatever of
// them is left when it goes, passed or failed.
class Orphans {
public:
    Orphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~Orphans() {
        for (const pid_t pid : children()) kill(pid, SIGKILL);
        for (const pid_t pid : children()) waitpid(pid, nullptr, 0);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    Orphans(const Orphans&) = delete;
    Orphans& operator=(const Orphans&) = delete;

    // Those still running once the run's processes have had `grace` to end.
    std::vector<pid_t> running(std::chrono::milliseconds grace) const {
        const auto deadline = std::chrono::steady_clock::now() + grace;
        std::vector<pid_t> alive;
        do {
            alive.clear();
            for (const pid_t pid : children()) {
                if (!ended(pid)) alive.push_back(pid);
            }
            if (!alive.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (!alive.empty() && std::chrono::steady_clock::now() < deadline);
        return alive;
    }

private:
    static std::vector<pid_t> children() {
        std::vector<pid_t> out;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
            std::ifstream list(task.path() / "children");
            for (pid_t pid; list >> pid;) out.push_back(pid);
        }
        return out;
    }
};

// Runs of the built command line whose drawings may be stopped (SIGSTOP) by the test: what
// it stopped, and whatever of its runs outlived them, is ended when the test ends, passed
// or failed.
class RenderLimits : public gwtest::CatalogRuns {
protected:
    void SetUp() override {
        orphans_.emplace();
        CatalogRuns::SetUp();
    }
    void TearDown() override {
        for (const int process : stopped_) {
            ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
            ::close(process);
        }
        orphans_.reset();
        CatalogRuns::TearDown();
    }

    // Stops `pid`, held by a pidfd until the test ends, so that no other process of its
    // number is ended then.
    void stop(pid_t pid) {
        const int process = int(::syscall(SYS_pidfd_open, pid, 0));
        if (process < 0) return;
        std::lock_guard lock(stoppedMutex_);
        stopped_.push_back(process);
        ::kill(pid, SIGSTOP);
    }

    std::optional<Orphans> orphans_;
    std::mutex stoppedMutex_;
    std::vector<int> stopped_;
};

// Writes a sample picture.
void place(const std::filesystem::path& path, const samples::Bytes& bytes) {
    gwtest::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Fields of /proc/<pid>/status ("VmHWM:", in kB) and /proc/<pid>/stat (after the name).
uint64_t peakBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return uint64_t(std::stoull(line.substr(6))) << 10;
    }
    return 0;
}
double processorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line, field;
    std::getline(stat, line);
    std::istringstream fields(line.substr(std::min(line.size(), line.rfind(')') + 2)));
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) ticks += i >= 14 ? std::stod(field) : 0;  // utime, stime
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// The children of `process` that run the renderer helper (the kernel keeps 15 bytes of its
// name).
std::vector<pid_t> renderersUnder(pid_t process) {
    std::vector<pid_t> out;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t pid; list >> pid;) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            if (std::string name; std::getline(comm, name) && name == "glyphwright-ren") out.push_back(pid);
        }
    }
    return out;
}

// The processes drawing for `program` now: its helpers' children that have set a
// drawing's processor time limit (the others wait, forked ahead, for a drawing).
std::vector<pid_t> drawingsOf(pid_t program) {
    std::vector<pid_t> out;
    for (const pid_t helper : renderersUnder(program)) {
        for (const pid_t drawing : renderersUnder(helper)) {
            std::ifstream limits("/proc/" + std::to_string(drawing) + "/limits");
            for (std::string line; std::getline(limits, line);) {
                // Its soft limit, beside a hard one of "unlimited".
                if (line.rfind("Max cpu time", 0) == 0 && line.substr(26, 9) != "unlimited") out.push_back(drawing);
            }
        }
    }
    return out;
}

// The blended page's small sizes end at once as not drawn completely, long before its large
// ones meet a limit users meet: the picture still fails with that limit. The stopped helpers
// draw a page none finishes before it is stopped, whatever a loaded machine's scheduler does.
// The SVG documents were drawn in the program (2.4 GiB for the dashed line's icon set), the
// dashed page crashed its helpers at the memory limit and was told as "not drawn
// completely", and the heavy page's icon set drew the page twenty times, one after another.
TEST_F(RenderLimits, AnIconSetOfAPagePastTheLimitsFailsOnceNamingTheLimit) {
    struct Case {
        std::string name;
        samples::Bytes bytes;
        std::string seconds;  // the time limits, "<processor>,<in all>"; empty: those users meet
        bool stopHelpers;
        std::vector<std::string> reasons;  // one of them is given; none: converted, or stopped at a limit
    };
    const std::string memory = "memory limit of " + std::to_string(render::kAddressSpaceBytes >> 20) + " MiB";
    const std::string processorTime = "processor time limit of " + std::to_string(render::kCpuSeconds) + " seconds";
    // Pages that take memory a little at a time meet the memory limit, or, where the machine
    // gives them memory slowly (a loaded one: page faults cost processor time too), the
    // processor time limit first.
    const std::vector<std::string> memoryTaken = {memory, processorTime};
    const std::vector<Case> cases = {
        {"blended.pdf", samples::blendedFillsPdf(5000), "", false,
         {"time limit of " + std::to_string(render::kWallSeconds) + " seconds in all", processorTime}},
        {"states.pdf", samples::manyOperatorsPdf("q ", 4), "", false, memoryTaken},
        {"stopped.pdf", samples::filledPathPdf(150000, 20), "5,2", true, {"time limit of 2 seconds in all"}},
        {"dashed.svg", samples::dashedLineSvg(2000, 0.25), "", false, memoryTaken},
        {"crossing.svg", samples::crossingFillsSvg(3000, 10), "1,3", false,
         {"processor time limit of 1 seconds", "time limit of 3 seconds in all"}},
        {"dashed.pdf", samples::dashedLinePdf(400, 0.005), "", false, memoryTaken},
        // Each drawing decodes the picture twice: a second or so of the two allowed, at any size.
        {"heavy.pdf", samples::heavyPagePdf(2000, 8, 2), "2,10", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        place(work_ / c.name, c.bytes);
        ASSERT_LT(c.bytes.size(), size_t{1} << 20);
        if (!c.seconds.empty()) setenv("GW_RENDER_TEST_SECONDS", c.seconds.c_str(), 1);
        const pid_t program = start(
            GW_GLYPHWRIGHT_PATH, {"-inputPath", c.name, "-outputPath", c.name + ".out", "-assetType", "iOSIcon"}, c.name);
        unsetenv("GW_RENDER_TEST_SECONDS");
        // Each drawing stopped (SIGSTOP) as soon as it is seen, the document's opening too when
        // it is seen.
        std::map<pid_t, double> helpers;  // the drawings, with the processor time each has taken
        std::atomic<bool> done{false};
        std::atomic<uint64_t> ownPeak{0};
        size_t mostAtOnce = 0;
        std::thread watch([&] {
            while (!done) {
                // Each look reads a few files of /proc for every thread of the program and of
                // its helpers: every 2 ms, it cost a fifth of the test's processor time. The
                // drawings run for a tenth of a second and more, the stopped ones too.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ownPeak = std::max<uint64_t>(ownPeak, peakBytes(program));
                const auto drawings = drawingsOf(program);
                mostAtOnce = std::max(mostAtOnce, drawings.size());
                for (const pid_t pid : drawings) {
                    const bool seen = helpers.count(pid);
                    helpers[pid] = std::max(helpers[pid], processorSeconds(pid));
                    if (!seen && c.stopHelpers) stop(pid);
                }
            }
        });
        const auto run = finish(program, c.name);
        done = true;
        watch.join();
        if (c.reasons.empty()) {
            // Converted, or stopped at a limit on a slow machine: about one drawing's
            // processor time a limit at most, not a drawing for each size.
            const bool stopped = run.err.find("processor time limit of 2 seconds") != std::string::npos ||
                                 run.err.find("time limit of 10 seconds in all") != std::string::npos;
            EXPECT_TRUE(run.status == 0 || stopped) << run.err;
            double inAll = 0;
            for (const auto& [helper, seconds] : helpers) inAll += seconds;
            EXPECT_LT(inAll, 4 * 2.0) << helpers.size() << " helpers";
        } else {
            EXPECT_EQ(run.status, 1) << run.err;
            // A PDF fails while it is drawn (or, every drawing stopped, read); an SVG, while it is
            // read or drawn.
            EXPECT_TRUE(run.err.find("Catalog creation failed") != std::string::npos ||
                        ((c.name.ends_with(".svg") || c.stopHelpers) &&
                         run.err.find("Unable to open images at") != std::string::npos))
                << run.err;
            EXPECT_TRUE(std::ranges::any_of(c.reasons, [&](const auto& r) { return run.err.find(r) != std::string::npos; }))
                << run.err;
        }
        EXPECT_EQ(run.err.find("could not be drawn completely"), std::string::npos) << run.err;
        EXPECT_TRUE(!c.stopHelpers || !helpers.empty()) << "no drawing was stopped";
        // One drawing a processor (eight at most) at once.
        EXPECT_LE(mostAtOnce, 8u);
        // The helpers hold the drawings; the program holds the pictures it writes.
        EXPECT_LT(ownPeak, uint64_t{400} << 20);
        // About one limit, not one for each size, on a loaded two-core machine too, however
        // long the drawings waited for processors: as many stopped drawings as run at once
        // (and the document's opening), each at its time in all, or the drawings' processor
        // time, as much as those at once take at their limit (and the one drawn again alone).
        if (c.stopHelpers) {
            EXPECT_LE(helpers.size(), mostAtOnce + 2);
        } else {
            const int cpu = c.seconds.empty() ? render::kCpuSeconds : std::stoi(c.seconds);
            double inAll = 0;
            for (const auto& [helper, seconds] : helpers) inAll += seconds;
            EXPECT_LT(inAll, double((mostAtOnce + 1) * cpu) + 1) << helpers.size() << " drawings";
        }
    }
}


// Every file below `folder`, by its path there, with its bytes.
std::map<std::string, std::string> filesBelow(const std::filesystem::path& folder) {
    std::map<std::string, std::string> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        out[std::filesystem::relative(entry.path(), folder).string()] =
            std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return out;
}

// A helper that stops answering (stopped with its processes, as `pkill -STOP` stops them)
// or is killed while a batch is drawn costs the batch one wait for its answer: it is ended,
// another takes its place and the drawings it had are asked again there, so that every
// picture converts. The batch held on for minutes with each picture failing at the time
// limit, or passed over the pictures in flight as not drawn completely.
TEST_F(RenderLimits, AHelperStoppedOrKilledDuringABatchCostsOneWaitAndEveryPictureConverts) {
    // Four times the most drawings a helper runs at once (eight): whatever it held when it
    // was stopped or killed, most pictures are asked after that.
    constexpr int kPictures = 32;
    std::filesystem::create_directories(work_ / "batch");
    for (int i = 0; i < kPictures; ++i) {
        place(work_ / "batch" / ("pic" + std::to_string(i) + ".svg"), samples::crossingFillsSvg(600, 4));
    }
    for (const int signal : {SIGSTOP, SIGKILL}) {
        const std::string out = signal == SIGSTOP ? "stopped" : "killed";
        SCOPED_TRACE(out);
        // Two seconds to answer, so that the old wait shows in a batch's time.
        setenv("GW_RENDER_TEST_SECONDS", "5,2", 1);
        const pid_t program = start(GW_GLYPHWRIGHT_PATH,
                                    {"-inputPath", "batch", "-outputPath", out, "-assetType", "asset",
                                     "-collectionType", "batch"},
                                    out);
        unsetenv("GW_RENDER_TEST_SECONDS");
        // Once the helper draws (it forks processes for the drawings asked), it is stopped
        // with them, or killed alone: its drawings end with it.
        pid_t helper = 0;
        for (int i = 0; i < 30000 && helper == 0 && !ended(program); ++i) {
            for (const pid_t candidate : renderersUnder(program)) {
                if (!renderersUnder(candidate).empty()) helper = candidate;
            }
            if (helper == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (helper > 0 && signal == SIGSTOP) {
            for (const pid_t drawing : renderersUnder(helper)) stop(drawing);
        }
        if (helper > 0 && signal == SIGSTOP) stop(helper);
        if (helper > 0 && signal == SIGKILL) kill(helper, SIGKILL);
        const auto run = finish(program, out);
        ASSERT_GT(helper, 0) << "the batch drew nothing\n" << run.err;
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("Skipped"), std::string::npos) << run.err;
        int sets = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(work_ / out / "Assets.xcassets", error)) {
            sets += entry.path().extension() == ".imageset";
        }
        EXPECT_EQ(sets, kPictures) << run.err;
        EXPECT_TRUE(ended(helper)) << "the stopped helper outlived the run";
    }
}

// Processes that keep one processor busy while they live: the test and what it starts run
// on that processor alone, beside them.
class BusyProcessor {
public:
    explicit BusyProcessor(int spinners) {
        sched_getaffinity(0, sizeof saved_, &saved_);
        int first = 0;
        while (first < CPU_SETSIZE && !CPU_ISSET(first, &saved_)) ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        sched_setaffinity(0, sizeof one, &one);
        for (int i = 0; i < spinners; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                while (true) asm volatile("");
            }
            if (pid > 0) spinners_.push_back(pid);
        }
    }
    ~BusyProcessor() {
        for (const pid_t pid : spinners_) kill(pid, SIGKILL);
        for (const pid_t pid : spinners_) waitpid(pid, nullptr, 0);
        sched_setaffinity(0, sizeof saved_, &saved_);
    }
    BusyProcessor(const BusyProcessor&) = delete;
    BusyProcessor& operator=(const BusyProcessor&) = delete;

private:
    cpu_set_t saved_{};
    std::vector<pid_t> spinners_;
};

// A document whose drawings take well under the processor time limit converts on a
// processor that other work keeps busy: a drawing is ended on the clock only for time it
// made no progress, never for its wait for the processor. Both failed at the time limit in
// all whenever the processors they ran on were busy; here, on one processor beside five
// processes that never sleep, with two seconds in all, which their drawings' processor
// time at a sixth of a processor passes. (Each drawing takes a tenth of the processor time
// limit idle, and under a third of it on a machine loaded past its processors, where
// processor time itself grows: the limit is not what this test is about.)
TEST_F(RenderLimits, ADocumentConvertsOnAProcessorThatOtherWorkKeepsBusy) {
    struct Case {
        std::string name;
        samples::Bytes bytes;
        std::string assetType;
    };
    const std::vector<Case> cases = {
        // Half a second or so of processor time, as its image set's page is drawn.
        {"crossing.svg", samples::crossingFillsSvg(1000, 10), "asset"},
        // A 4096 px picture decoded twice at each of its one or two whole drawings.
        {"heavy.pdf", samples::repeatedImagePdf(4096, 2), "iOSIcon"},
    };
    const BusyProcessor busy(5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        place(work_ / c.name, c.bytes);
        setenv("GW_RENDER_TEST_SECONDS", "5,2", 1);
        const auto run = glyphwright({"-inputPath", c.name, "-outputPath", c.name + ".out", "-assetType", c.assetType},
                                     c.name);
        unsetenv("GW_RENDER_TEST_SECONDS");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("limit"), std::string::npos) << run.err;
    }
}

// The same document and command give the same status and the same files on every run,
// however long each drawing takes: a 1024 px line of wide dashes, whose image set needs its
// PDF and has pixels drawn ahead, and a document costly at any size (20,000 rings), whose
// sizes are made the same way every time. Such documents converted in 2 to 5 of 8 runs,
// with one of two messages, or gave 4 different sets in 4 runs. (The line's drawings take
// a tenth of the processor time limit idle and under a third on a machine loaded past its
// processors, where processor time itself grows: every run converts.)
TEST_F(RenderLimits, TheSameDocumentAndCommandGiveTheSameFilesOnEveryRun) {
    struct Case {
        std::string name;
        samples::Bytes bytes;
        std::string assetType;
        std::string seconds;  // the time limits, "<processor>,<in all>"; empty: those users meet
    };
    const std::vector<Case> cases = {
        {"line.svg", samples::dashedLineSvg(150, 0.25, 1024, 16), "asset", ""},
        {"rings.svg", samples::thinCirclesSvg(20000), "iOSIcon", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        place(work_ / c.name, c.bytes);
        std::optional<std::map<std::string, std::string>> first;
        for (int i = 0; i < 4; ++i) {
            const std::string out = c.name + std::to_string(i);
            if (!c.seconds.empty()) setenv("GW_RENDER_TEST_SECONDS", c.seconds.c_str(), 1);
            const auto run = glyphwright({"-inputPath", c.name, "-outputPath", out, "-assetType", c.assetType}, out);
            unsetenv("GW_RENDER_TEST_SECONDS");
            EXPECT_EQ(run.status, 0) << run.err;
            const auto files = filesBelow(work_ / out);
            EXPECT_GT(files.size(), 1u);
            if (!first) first = files;
            else EXPECT_TRUE(files == *first) << "run " << i << " wrote other files than the first";
        }
    }
}

// A renderer that cannot be started fails the drawing with that reason, naming it; the
// picture was blamed ("The file could not be read").
TEST_F(RenderLimits, ARendererThatCannotBeStartedFailsTheDrawingNamingIt) {
    const auto bin = work_ / "bin";
    std::filesystem::create_directories(bin);
    std::filesystem::copy_file(GW_GLYPHWRIGHT_PATH, bin / "glyphwright");
    const auto helper = bin / "glyphwright-render";
    const auto built = std::filesystem::path(GW_GLYPHWRIGHT_PATH).parent_path() / "glyphwright-render";
    place(work_ / "icon.svg", samples::svg(64, 64));
    place(work_ / "page.pdf", samples::pdf(64, 64));
    struct Case {
        std::string name;
        std::function<void()> makeRenderer;  // what stands where the renderer should be
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"missing", [] {}, "the renderer glyphwright-render is missing: there is none at " + helper.string()},
        {"a folder", [&] { std::filesystem::create_directory(helper); },
         "the renderer " + helper.string() + " is a folder, not a program"},
        {"not executable",
         [&] {
             std::filesystem::copy_file(built, helper);
             std::filesystem::permissions(helper, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
         },
         "the renderer " + helper.string() + " cannot be run: Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(helper);
        c.makeRenderer();
        for (const std::string input : {"icon.svg", "page.pdf"}) {
            const auto run = this->run((bin / "glyphwright").string(),
                                       {"-inputPath", input, "-outputPath", "out", "-assetType", "iOSIcon"}, c.name);
            EXPECT_NE(run.status, 0) << run.err;
            EXPECT_NE(run.err.find("The picture could not be drawn: " + c.reason + "."), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("could not be read"), std::string::npos) << run.err;
        }
    }
    // Beside the program, it is the one run.
    std::filesystem::remove_all(helper);
    std::filesystem::copy_file(built, helper);
    const auto run = this->run((bin / "glyphwright").string(),
                               {"-inputPath", "icon.svg", "-outputPath", "out", "-assetType", "iOSIcon"}, "beside");
    EXPECT_EQ(run.status, 0) << run.err;
}

// In a batch every picture that fails is named with its reason; each failed as
// "Catalog creation failed. Error …" with the reason alone.
TEST_F(RenderLimits, ABatchNamesEachPictureThatFailsWithItsReason) {
    std::filesystem::create_directories(work_ / "batch");
    place(work_ / "batch/good.svg", samples::svg(64, 64));
    const auto states = samples::manyOperatorsPdf("q ", 4);
    for (const char* name : {"deep.pdf", "deeper.pdf"}) place(work_ / "batch" / name, states);
    const auto run = glyphwright(
        {"-inputPath", "batch", "-outputPath", "out", "-assetType", "asset", "-collectionType", "batch"}, "batch");
    for (const char* name : {"deep.pdf", "deeper.pdf"}) {
        EXPECT_NE(run.err.find("Catalog creation failed. Error The picture " + (work_ / "batch" / name).string() +
                               " could not be converted: "),
                  std::string::npos)
            << run.err;
    }
    // The limit the page meets (memory, or on a machine that gives memory slowly processor
    // time) is named.
    EXPECT_TRUE(run.err.find("memory limit of 640 MiB") != std::string::npos ||
                run.err.find("processor time limit of 5 seconds") != std::string::npos)
        << run.err;
    EXPECT_TRUE(std::filesystem::exists(work_ / "out/Assets.xcassets/good.imageset")) << run.err;
}

// No document of under 1 MB takes the program past 1 GiB: cross-reference sections listing
// sixty million objects, free or in use, are refused naming the limit. The pre-scan held
// 3.7 GB, and the page converted after 7 s.
TEST_F(RenderLimits, ADocumentOfUnderAMegabyteNeverTakesTheProgramPastAGibibyte) {
    for (const bool inUse : {false, true}) {
        SCOPED_TRACE(inUse ? "in use" : "free");
        const auto pdf = samples::crossReferenceFloodPdf(6, 10000000, inUse);
        ASSERT_LT(pdf.size(), size_t{1} << 20);
        place(work_ / "flood.pdf", pdf);
        const auto run = glyphwright({"-inputPath", "flood.pdf", "-outputPath", "out", "-assetType", "iOSIcon"});
        EXPECT_NE(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("cross-references list more objects than the limit of 2097152"), std::string::npos)
            << run.err;
        EXPECT_LT(run.maxResidentKiB, 1L << 20);
    }
}

// Runs of the command line whose renderer stands in for one a hostile document took over:
// every drawing loads the stand-in (tests/platform/graphics/taken_over_renderer.cpp) in
// `mode`, which reports to a file of the run's.
class TakenOverRenderer : public RenderLimits {
protected:
    // A copy of the command line, beside a renderer that is the built one started with the
    // stand-in preloaded.
    std::filesystem::path program(const std::string& mode) {
        const auto bin = work_ / ("bin-" + mode);
        std::filesystem::create_directories(bin);
        std::filesystem::copy_file(GW_GLYPHWRIGHT_PATH, bin / "glyphwright",
                                   std::filesystem::copy_options::overwrite_existing);
        const auto built = std::filesystem::path(GW_GLYPHWRIGHT_PATH).parent_path() / "glyphwright-render";
        gwtest::writeFile(bin / "glyphwright-render",
                          "#!/bin/sh\nGW_TAKEN_OVER_MODE=" + mode + " GW_TAKEN_OVER_REPORT=" + report(mode).string() +
                              " LD_PRELOAD=" GW_TAKEN_OVER_RENDERER " exec " + built.string() + " \"$@\"\n");
        std::filesystem::permissions(bin / "glyphwright-render", std::filesystem::perms::owner_all);
        return bin / "glyphwright";
    }

    std::filesystem::path report(const std::string& mode) const { return dir_.path() / ("taken-over-" + mode); }

    // The report's lines, and the processes that wrote them ("pid <pid>").
    std::string reported(const std::string& mode) const { return gwtest::readFile(report(mode)); }
    std::vector<pid_t> reportingProcesses(const std::string& mode) const {
        std::vector<pid_t> out;
        std::istringstream lines(reported(mode));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("pid ", 0) == 0) out.push_back(pid_t(std::stol(line.substr(4))));
        }
        return out;
    }
};

// An SVG document of one colour of its own, `index` of a batch.
samples::Bytes colouredSvg(int index) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", 20 + 9 * index, 200 - 7 * index, 90 + 5 * index);
    return samples::bytesOf(samples::svgText("width=\"64\" height=\"64\"",
                                             std::string("<rect width=\"64\" height=\"64\" fill=\"") + colour +
                                                 "\"/><circle cx=\"32\" cy=\"32\" r=\"12\" fill=\"white\"/>"));
}

// A drawing taken over by its document cannot take the helper's socket to the program: it
// answers no other picture's request, and a batch in which every drawing tries writes the
// same files as without it. Taken, the socket's requests were answered with the hostile
// page: other pictures' files held it, with status 0.
TEST_F(TakenOverRenderer, NoOtherPicturesRequestIsAnsweredByADrawingTakenOver) {
    constexpr int kPictures = 24;
    std::filesystem::create_directories(work_ / "batch");
    for (int i = 0; i < kPictures; ++i) place(work_ / "batch" / ("pic" + std::to_string(i) + ".svg"), colouredSvg(i));
    const auto batch = [](const std::string& out) {
        return std::vector<std::string>{"-inputPath", "batch", "-outputPath", out, "-assetType", "asset",
                                        "-collectionType", "batch"};
    };
    const auto clean = glyphwright(batch("clean"), "clean");
    ASSERT_EQ(clean.status, 0) << clean.err;
    const auto hostile = run(program("hijack").string(), batch("hostile"), "hostile");
    EXPECT_EQ(hostile.status, 0) << hostile.err;
    const auto expected = filesBelow(work_ / "clean");
    const auto found = filesBelow(work_ / "hostile");
    EXPECT_EQ(expected.size(), found.size());
    for (const auto& [path, bytes] : expected) {
        EXPECT_TRUE(found.count(path) && found.at(path) == bytes) << path << " is not its picture's own";
    }
    const std::string said = reported("hijack");
    EXPECT_NE(said.find("hijack " + std::to_string(EPERM)), std::string::npos) << said;
    EXPECT_EQ(said.find("hijack 0"), std::string::npos) << "a drawing took the helper's socket\n" << said;
}

// A drawing that tries to outlive its helper (it clears its death signal, kills or stops its
// helper, leaves its session) and says on its socket that it still runs ends the run soon,
// each picture failing naming the renderer, and nothing of the run is left once it ends.
// The run held on for good (a stopped helper's drawings too), and the drawings outlived it.
// (Within 30 s, however busy the machine: scaled by how much of a processor this process
// gets now.)
TEST_F(TakenOverRenderer, ADrawingThatOutlivesItsHelperAndSaysItRunsEndsTheRunSoonAndLeavesNothing) {
    std::filesystem::create_directories(work_ / "batch");
    place(work_ / "batch" / "drawing.svg", samples::svg(64, 64));
    place(work_ / "batch" / "page.pdf", samples::pdf(64, 64));
    for (const std::string mode : {"forge-kill", "forge-stop"}) {
        SCOPED_TRACE(mode);
        gwtest::Pace pace;
        auto options = this->options(mode);
        // Long enough that a run held for good shows as one.
        options.deadline = std::chrono::seconds(120);
        const auto start = std::chrono::steady_clock::now();
        const auto run = gwtest::runProgram(
            program(mode).string(),
            {"-inputPath", "batch", "-outputPath", mode, "-assetType", "asset", "-collectionType", "batch"}, options);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(run.exited) << "the run was held\n" << run.err;
        EXPECT_LT(took, pace.bound(std::chrono::seconds(30)));
        EXPECT_NE(run.status, 0) << run.err;
        for (const char* name : {"drawing.svg: ", "page.pdf: "}) {
            const auto named = run.err.find((work_ / "batch" / name).string());
            EXPECT_NE(named, std::string::npos) << run.err;
            if (named != std::string::npos) {
                EXPECT_NE(run.err.find("the renderer", named), std::string::npos) << run.err;
            }
        }
        const auto left = orphans_->running(pace.bound(std::chrono::seconds(2)));
        EXPECT_TRUE(left.empty()) << left.size() << " processes of the run outlived it";
        const auto drawings = reportingProcesses(mode);
        EXPECT_FALSE(drawings.empty()) << "no drawing was taken over";
        for (const pid_t pid : drawings) EXPECT_TRUE(ended(pid)) << "drawing " << pid << " outlived the run";
        const std::string said = reported(mode);
        for (const std::string refused : {"pdeathsig ", "helper ", "setsid "}) {
            EXPECT_EQ(said.find(refused + "0"), std::string::npos) << said;
        }
    }
}

// What a drawing hands back is checked before the program uses it: the memory file of
// pixels cannot be shrunk under the program (it died of SIGBUS), and a PDF's length past
// the drawing's own memory fails its picture naming the renderer at the cost of nothing
// (the program allocated and zeroed the 1.5 GB it was told). The run goes on: a batch's
// other picture converts.
TEST_F(TakenOverRenderer, WhatADrawingHandsBackIsCheckedBeforeTheProgramUsesIt) {
    struct Case {
        std::string mode;
        std::string picture;
        samples::Bytes bytes;
        std::string assetType;
        bool batch;            // beside a bitmap, which converts whatever the drawing does
        std::string refused;   // the stand-in's report of what it tried
    };
    const std::string shrunk = "shrink " + std::to_string(EPERM);
    const std::vector<Case> cases = {
        {"shrink", "icon.svg", samples::svg(64, 64), "iOSIcon", false, shrunk},
        {"shrink", "page.pdf", samples::pdf(64, 64), "iOSIcon", false, shrunk},
        // An image set of an SVG document is its PDF page.
        {"length", "drawing.svg", samples::svg(64, 64), "asset", true, "length 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode + " " + c.picture + " " + c.assetType);
        const auto folder = c.mode + "-" + c.assetType + "-" + c.picture;
        std::filesystem::create_directories(work_ / folder);
        place(work_ / folder / c.picture, c.bytes);
        if (c.batch) gwtest::writeFile(work_ / folder / "good.png", gwtest::solidPNG(48, 48, {10, 200, 30, 255}));
        const auto arguments = [&](const std::string& out) {
            std::vector<std::string> words{"-inputPath", c.batch ? folder : folder + "/" + c.picture,
                                           "-outputPath", out, "-assetType", c.assetType};
            if (c.batch) words.insert(words.end(), {"-collectionType", "batch"});
            return words;
        };
        const auto clean = glyphwright(arguments(folder + ".clean"), folder + ".clean");
        ASSERT_EQ(clean.status, 0) << clean.err;
        std::filesystem::remove(report(c.mode));
        const auto run = this->run(program(c.mode).string(), arguments(folder + ".out"), folder);
        EXPECT_TRUE(run.exited) << run.err;
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << "\n" << run.err;
        EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << run.err;
        if (c.batch) {
            EXPECT_TRUE(std::filesystem::exists(work_ / (folder + ".out") / "Assets.xcassets/good.imageset")) << run.err;
        }
        EXPECT_LT(run.maxResidentKiB, clean.maxResidentKiB + (100 << 10)) << "KiB";
        EXPECT_NE(reported(c.mode).find(c.refused), std::string::npos) << reported(c.mode);
        // Shrinking refused, the picture converts; a forged length fails it naming the renderer.
        const auto named = run.err.find((work_ / folder / c.picture).string());
        if (c.mode == "shrink") {
            EXPECT_EQ(run.status, 0) << run.err;
        } else {
            EXPECT_NE(named, std::string::npos) << run.err;
            if (named != std::string::npos) {
                EXPECT_NE(run.err.find("the renderer answered", named), std::string::npos) << run.err;
            }
        }
    }
}

}  // namespace
