// PDF pages and SVG documents that pass the pre-scans but run into the renderer helper's
// limits, converted by the built command line into an icon set (some twenty drawings of
// the document): the picture fails once, at about one page's limit, with status 1 and a
// reason naming the limit; one that stays just under the limits costs about one drawing.
#include "app/shell/catalog_run_support.hpp"
#include "platform/graphics/render_protocol.hpp"
#include "support/picture_samples.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <sstream>

namespace {

namespace samples = gwtest::samples;
namespace render = platform::graphics::render;
using RenderLimits = gwtest::CatalogRuns;

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
    const std::vector<Case> cases = {
        {"blended.pdf", samples::blendedFillsPdf(5000), "", false,
         {"time limit of " + std::to_string(render::kWallSeconds) + " seconds in all",
          "processor time limit of " + std::to_string(render::kCpuSeconds) + " seconds"}},
        {"states.pdf", samples::manyOperatorsPdf("q ", 4), "", false, {memory}},
        {"stopped.pdf", samples::filledPathPdf(150000, 20), "5,2", true, {"time limit of 2 seconds in all"}},
        {"dashed.svg", samples::dashedLineSvg(2000, 0.25), "", false, {memory}},
        {"crossing.svg", samples::crossingFillsSvg(3000, 10), "1,3", false,
         {"processor time limit of 1 seconds", "time limit of 3 seconds in all"}},
        {"dashed.pdf", samples::dashedLinePdf(400, 0.005), "", false, {memory}},
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
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                ownPeak = std::max<uint64_t>(ownPeak, peakBytes(program));
                const auto drawings = drawingsOf(program);
                mostAtOnce = std::max(mostAtOnce, drawings.size());
                for (const pid_t pid : drawings) {
                    const bool seen = helpers.count(pid);
                    helpers[pid] = std::max(helpers[pid], processorSeconds(pid));
                    if (!seen && c.stopHelpers) kill(pid, SIGSTOP);
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

using gwtest::ended;

// A helper that stops answering (stopped with its processes, as `pkill -STOP` stops them)
// or is killed while a batch is drawn costs the batch one wait for its answer: it is ended,
// another takes its place and the drawings it had are asked again there, so that every
// picture converts. The batch held on for minutes with each picture failing at the time
// limit, or passed over the pictures in flight as not drawn completely.
TEST_F(RenderLimits, AHelperStoppedOrKilledDuringABatchCostsOneWaitAndEveryPictureConverts) {
    constexpr int kPictures = 64;
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
            for (const pid_t drawing : renderersUnder(helper)) kill(drawing, SIGSTOP);
        }
        if (helper > 0) kill(helper, signal);
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
        if (!ended(helper)) kill(helper, SIGKILL);
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
// processor that other work keeps busy: the time in all counts what a drawing ran, slept
// or was stopped, not its wait for the processor. Both failed at the time limit in all
// whenever the processors they ran on were busy; here, on one processor beside five
// processes that never sleep, with four seconds in all.
TEST_F(RenderLimits, ADocumentConvertsOnAProcessorThatOtherWorkKeepsBusy) {
    struct Case {
        std::string name;
        samples::Bytes bytes;
        std::string assetType;
    };
    const std::vector<Case> cases = {
        // A second or so of processor time, as its image set's page is drawn.
        {"crossing.svg", samples::crossingFillsSvg(1500, 10), "asset"},
        // The picture decoded at each drawing: a second or so for the largest.
        {"heavy.pdf", samples::heavyPagePdf(2000, 8, 1), "iOSIcon"},
    };
    const BusyProcessor busy(5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        place(work_ / c.name, c.bytes);
        setenv("GW_RENDER_TEST_SECONDS", "5,4", 1);
        const auto run = glyphwright({"-inputPath", c.name, "-outputPath", c.name + ".out", "-assetType", c.assetType},
                                     c.name);
        unsetenv("GW_RENDER_TEST_SECONDS");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("limit"), std::string::npos) << run.err;
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

// The same document and command give the same status and the same files on every run,
// however long each drawing takes: the drawing made ahead of a 1024 px line of wide dashes
// (some four seconds of processor time; its PDF, which the image set needs, a tenth of
// that) meets the processor time limit and costs only itself, and a document costly at
// any size (20,000 rings) has its sizes made the same way every time. Such documents
// converted in 2 to 5 of 8 runs, with one of two messages, or gave 4 different sets in 4
// runs.
TEST_F(RenderLimits, TheSameDocumentAndCommandGiveTheSameFilesOnEveryRun) {
    struct Case {
        std::string name;
        samples::Bytes bytes;
        std::string assetType;
        std::string seconds;  // the time limits, "<processor>,<in all>"; empty: those users meet
    };
    const std::vector<Case> cases = {
        {"line.svg", samples::dashedLineSvg(600, 0.25, 1024, 16), "asset", "1,10"},
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
    EXPECT_NE(run.err.find("memory limit of 640 MiB"), std::string::npos) << run.err;
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

}  // namespace
