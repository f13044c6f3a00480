// The renderer helper is the guarantee behind the page scan: a page the scan lets
// through (here fed to the helper straight, as one built to get past it would be) is
// stopped by its drawing's own limits, named in the reason, within seconds and far below
// the machine's memory; the helper is started once and forks a process for each drawing,
// whose limits are its own; a drawing that crashes or is stopped fails alone and leaves
// no process or descriptor behind. Tests of one time limit give the other room enough
// that a loaded machine cannot meet it first.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/graphics/image.hpp"
#include "platform/graphics/interruption.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/renderer_budget.hpp"
#include "platform/graphics/resample.hpp"
#include "support/machine_pace.hpp"
#include "support/picture_samples.hpp"
#include "support/program_run.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using P = pg::PictureProblem;

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

// A process's children, as the kernel lists them for each of its threads.
std::vector<pid_t> childrenOf(const std::string& process) {
    std::vector<pid_t> out;
    if (DIR* dir = opendir(("/proc/" + process + "/task").c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream list("/proc/" + process + "/task/" + entry->d_name + "/children");
            for (pid_t pid; list >> pid;) out.push_back(pid);
        }
        closedir(dir);
    }
    return out;
}

// A line of /proc/<pid>/limits ("Max cpu time"): its soft limit, or its hard one, as printed.
std::string limitOf(pid_t pid, const std::string& name, bool hard = false) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind(name, 0) != 0) continue;
        std::istringstream fields(line.substr(26));
        std::string soft, hardLimit;
        fields >> soft >> hardLimit;
        return hard ? hardLimit : soft;
    }
    return {};
}

// The processes drawing for this one now: its helpers' children that have set a drawing's
// limits (the others wait, forked ahead, for a drawing).
std::vector<pid_t> drawingProcesses() {
    std::vector<pid_t> out;
    for (const int helper : pg::RenderClient::helperProcesses()) {
        for (const pid_t pid : childrenOf(std::to_string(helper))) {
            if (const auto limit = limitOf(pid, "Max cpu time"); !limit.empty() && limit != "unlimited") {
                out.push_back(pid);
            }
        }
    }
    return out;
}

// Waits (boundedly) until `count` drawing processes have set their limits, the last thing
// they do before they open the document.
std::vector<pid_t> awaitDrawingProcesses(size_t count) {
    for (int i = 0; i < 6000; ++i) {
        if (auto now = drawingProcesses(); now.size() >= count) return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return drawingProcesses();
}

// Whether every drawing process has ended, waited for boundedly: a drawing that answered
// whole is done for the program at once, its process ending a moment later.
bool drawingProcessesEnded() {
    for (int i = 0; i < 2000 && !drawingProcesses().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return drawingProcesses().empty();
}

// Processes a test stops (SIGSTOP): each is killed when the guard goes, passed or failed,
// through a pidfd taken as it is stopped, so that no other process of its number is.
class Stopped {
public:
    Stopped() = default;
    Stopped(const Stopped&) = delete;
    Stopped& operator=(const Stopped&) = delete;
    ~Stopped() {
        for (const int process : processes_) {
            syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
            close(process);
        }
    }
    void stop(pid_t pid) {
        const int process = int(syscall(SYS_pidfd_open, pid, 0));
        if (process < 0) return;
        std::lock_guard lock(mutex_);
        processes_.push_back(process);
        kill(pid, SIGSTOP);
    }

private:
    std::mutex mutex_;
    std::vector<int> processes_;
};

// The users' processor-time limit, with time in all far above it: a test of the former
// that a loaded machine cannot end at the latter.
struct ProcessorTimeOnly {
    explicit ProcessorTimeOnly(int cpuSeconds = pg::RenderTimeLimits{}.cpuSeconds) {
        pg::RenderClient::setTimeLimitsForTests(pg::RenderTimeLimits{cpuSeconds, 600});
    }
    ~ProcessorTimeOnly() { pg::RenderClient::setTimeLimitsForTests(std::nullopt); }
};

// What each descriptor a process holds leads to ("socket:[…]", a path).
std::map<int, std::string> descriptorsOf(pid_t pid) {
    std::map<int, std::string> out;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::error_code error;
            out[std::atoi(entry->d_name)] = std::filesystem::read_symlink(folder + "/" + entry->d_name, error).string();
        }
        closedir(dir);
    }
    return out;
}

// Those of them that are sockets, or what the program left open (/dev/null past the
// standard ones); and whether the document and pixels' memory files are among them.
std::multiset<std::string> notItsOwn(const std::map<int, std::string>& descriptors) {
    std::multiset<std::string> out;
    for (const auto& [fd, target] : descriptors) {
        if (target.rfind("socket:", 0) == 0) out.insert("socket");
        if (fd > 2 && target == "/dev/null") out.insert("the program's /dev/null");
        if (target.find("glyphwright-") != std::string::npos) out.insert(target.substr(target.find("glyphwright-")));
    }
    return out;
}

using gwtest::ended;

// Runs `test` of this executable in a process of its own with `environment` (as `user`, when
// given), and expects it to pass; one that skipped skips the caller too, with its reason.
void passesInAProcessOfItsOwn(const std::string& test,
                              std::vector<std::pair<std::string, std::string>> environment,
                              std::optional<std::pair<uid_t, gid_t>> user = std::nullopt) {
    gwtest::TempDir dir;
    gwtest::SelfLaunch launch{test, std::move(environment), dir / "output"};
    launch.user = user;
    const pid_t child = gwtest::spawnSelf(launch);
    ASSERT_GT(child, 0);
    const int status = gwtest::waitForChild(child, std::chrono::seconds(120));
    std::ifstream output(dir / "output");
    const std::string said((std::istreambuf_iterator<char>(output)), {});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    if (said.find("[  SKIPPED ] 1 test") != std::string::npos) GTEST_SKIP() << said;
    EXPECT_NE(said.find("[  PASSED  ] 1 test"), std::string::npos) << said;
}

// Whether this process may read what another process of its user holds (its descriptors,
// its mappings) in /proc: the helper and its drawings keep other processes of the user
// out, so only the superuser (who may trace any process) can.
bool readsOthersProcesses(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir != nullptr) closedir(dir);
    return dir != nullptr;
}
constexpr const char* kOnlyTheSuperuserReads =
    "not tried: only the superuser reads what the renderer's processes hold, as no other process of its user may";

// The resident memory of the drawing processes, added up.
uint64_t drawingsResidentBytes() {
    uint64_t bytes = 0;
    for (const pid_t pid : drawingProcesses()) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) bytes += uint64_t(std::stoull(line.substr(6))) << 10;
        }
    }
    return bytes;
}

pg::render::Request pixelsOf(int side, double scale) {
    pg::render::Request request;
    request.op = pg::render::Op::raster;
    request.width = request.height = side;
    request.matrix[0] = request.matrix[3] = scale;
    return request;
}

// An SVG document's drawing at its own `side` px size.
pg::render::Request svgPixelsOf(int side) {
    auto request = pixelsOf(side, 1);
    request.viewportWidth = request.viewportHeight = side;
    return request;
}

// Whether the page of `pdf` comes out at `side` px; the reason is a failure when it does not.
bool drawsWhole(const samples::Bytes& pdf, int side = 64) {
    pg::RenderClient client(pdf);
    pg::RenderFailure failure;
    if (client.pixels(pixelsOf(side, 1), &failure)) return true;
    ADD_FAILURE() << failure.why;
    return false;
}

// The limits users meet, each named with its figure: raised, the page would run on past
// them (its tint transform runs for an hour) or be drawn whole.
TEST(RenderHelper, APagePastTheScanIsStoppedByTheHelpersLimitsNamedInTheReason) {
    gwtest::Pace pace;
    const auto start = std::chrono::steady_clock::now();
    Stopped stopped;
    struct Case {
        const char* name;
        samples::Bytes pdf;
        pg::render::Request request;
        bool processorTimeOnly;
        bool stopped;  // from outside: it uses no processor time, and ends at the time in all
        P problem;
        std::string reason;
    };
    // Each of the tint-transformed image's million pixels runs its 60000 operators.
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    const Case cases[] = {
        // Poppler allocates the 100000 x 100000 page its JBIG2 data declares.
        {"memory", samples::jbig2ImagePdf(100000, 100000), pixelsOf(100, 1), false, false, P::pastMemoryLimit,
         "640 MiB"},
        {"processor time", slow, pixelsOf(64, 0.0625), true, false, P::pastProcessorTimeLimit,
         "processor time limit of 5 seconds"},
        {"time in all", slow, pixelsOf(64, 0.0625), false, true, P::pastTimeLimit, "time limit of 10 seconds in all"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<ProcessorTimeOnly> limits;
        if (c.processorTimeOnly) limits.emplace();
        pg::RenderClient client(c.pdf);
        pg::RenderFailure failure;
        std::thread stopper([&] {
            if (!c.stopped) return;
            for (const pid_t pid : awaitDrawingProcesses(1)) stopped.stop(pid);
        });
        EXPECT_FALSE(client.pixels(c.request, &failure));
        stopper.join();
        EXPECT_EQ(failure.problem, c.problem) << failure.why;
        EXPECT_NE(failure.why.find(c.reason), std::string::npos) << failure.why;
    }
    // The limits, not the machine, stopped them: the drawings far below the memory a
    // conversion may use.
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 1 << 20) << "KiB";
    // A generous bound, which only a hang would pass, as busy as the machine is now.
    EXPECT_LT(std::chrono::steady_clock::now() - start, pace.bound(std::chrono::seconds(100)));
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
}

// A page whose scan says it costs much at any size is drawn whole at a few fixed sizes,
// each size made from the whole drawing its own size picks: an icon set of it costs a
// drawing or two, not one for each size, and each size comes out the same whatever
// order the sizes are drawn in. A size whose whole drawing would pass the whole-drawing
// pixel limit (a 4096 px square) is drawn at its own size.
TEST(RenderHelper, APageCostlyAtAnySizeIsMadeFromWholeDrawingsTheSameInAnyOrder) {
    // The 4096 px picture is decoded twice at every drawing, whatever its size: 2^25 pixels,
    // past the 2^24 that make a page costly at any size, and a second or so of processor
    // time under load, far from the limit.
    const auto pdf = samples::repeatedImagePdf(4096, 2);
    const std::vector<int> sides = {256, 240, 200, 180, 160, 120, 100, 87, 80, 64, 58, 40};
    std::map<int, std::vector<uint8_t>> first;
    for (const bool ascending : {false, true}) {
        SCOPED_TRACE(ascending ? "smallest first" : "largest first");
        auto image = pg::Image::fromData(pdf);
        ASSERT_TRUE(image);
        auto order = sides;
        if (ascending) std::reverse(order.begin(), order.end());
        const int before = pg::RenderClient::drawingsAsked();
        for (const int side : order) {
            pg::DrawingProblems problems;
            const auto drawn = image->renderBitmap(side, side);
            ASSERT_TRUE(drawn) << side << ": " << problems.text();
            std::vector<uint8_t> bytes;
            for (int y = 0; y < side; ++y) bytes.insert(bytes.end(), drawn->data() + y * drawn->stride(), drawn->data() + y * drawn->stride() + side * 4);
            if (!first.count(side)) first[side] = bytes;
            else EXPECT_EQ(bytes, first[side]) << side << " px differs from the other order's";
        }
        // Every size from the one 256 px whole drawing.
        EXPECT_EQ(pg::RenderClient::drawingsAsked() - before, 1);
    }
    // The largest one is the whole drawing, made smaller: the 40 px one is it resampled.
    const auto& largest = first[256];
    int stride = 0;
    const auto smaller = pg::resampleArgb32(pg::PixelView{largest.data(), 256, 256, 256 * 4}, 40, 40, &stride);
    int most = 0;
    for (int i = 0; i < 40 * 40 * 4; ++i) most = std::max(most, std::abs(int(first[40][size_t(i)]) - int(smaller[size_t(i)])));
    EXPECT_LE(most, 1);

    // Past the whole-drawing limit the page is drawn at its size: a 16384 px whole
    // drawing of it would not fit the helper's memory.
    auto image = pg::Image::fromData(pdf);
    ASSERT_TRUE(image);
    pg::DrawingProblems problems;
    EXPECT_TRUE(image->renderBitmap(4100, 4100)) << problems.text();
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
}

// A page a limit stopped is drawn no more: a drawing of it whose process was stopped from
// outside (it could only end at the limit of time in all) ends with the processor-time
// limit another drawing met, and a later one fails with it at once, starting no process.
// A drawing made ahead that meets a limit fails alone: the page's drawings go on.
// A page that only needs the largest memory limit still comes out whole in every drawing.
TEST(RenderHelper, APageALimitStoppedEndsItsOtherDrawingsWithThatLimitsReason) {
    {
        const ProcessorTimeOnly limits(1);
        const auto slow = samples::tintTransformPdf("image", 60000, 1024);
        pg::RenderClient client(slow);
        const auto request = pixelsOf(64, 0.0625);

        pg::RenderFailure ahead;
        EXPECT_FALSE(client.pixels(request, &ahead, true));
        EXPECT_EQ(ahead.problem, P::pastProcessorTimeLimit) << ahead.why;
        {
            // Not stopped by the drawing ahead: this one starts a process of its own.
            const int before = pg::RenderClient::helpersStarted();
            pg::InterruptionScope stopped([&] { return pg::RenderClient::helpersStarted() > before; });
            pg::RenderFailure failure;
            EXPECT_FALSE(client.pixels(request, &failure));
            EXPECT_EQ(failure.problem, P::incompleteRender) << failure.why;
            EXPECT_GT(pg::RenderClient::helpersStarted(), before);
        }

        gwtest::Pace pace;
        Stopped stopped;
        pg::RenderFailure stalled, running, later;
        std::chrono::steady_clock::time_point stalledEnded;
        std::thread first([&] {
            EXPECT_FALSE(client.pixels(request, &stalled));
            stalledEnded = std::chrono::steady_clock::now();
        });
        const auto drawing = awaitDrawingProcesses(1);
        ASSERT_EQ(drawing.size(), 1u);
        stopped.stop(drawing.front());
        EXPECT_FALSE(client.pixels(request, &running));
        const auto runningEnded = std::chrono::steady_clock::now();
        first.join();
        // Ended with the other drawing, not at its own limit of time in all (600 seconds), as
        // busy as the machine is now.
        EXPECT_LT(stalledEnded - runningEnded, pace.bound(std::chrono::seconds(30)));
        EXPECT_EQ(running.problem, P::pastProcessorTimeLimit) << running.why;
        EXPECT_NE(running.why.find("processor time limit of 1 seconds"), std::string::npos) << running.why;
        EXPECT_EQ(stalled.problem, running.problem) << stalled.why;
        EXPECT_EQ(stalled.why, running.why);
        const int started = pg::RenderClient::helpersStarted();
        EXPECT_FALSE(client.pixels(request, &later));
        EXPECT_EQ(later.why, running.why);
        EXPECT_EQ(pg::RenderClient::helpersStarted(), started) << "a stopped page started a drawing";
    }
    {
        // Drawn again alone once at the largest limit, and beside the others after that.
        const auto plain = samples::pdf(64, 64);
        pg::RenderClient client(plain);
        auto large = pixelsOf(4096, 64);
        large.addressSpace = pg::RendererBudget::kBaseBytes;
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&] {
                pg::RenderFailure failure;
                EXPECT_TRUE(client.pixels(large, &failure)) << failure.why;
            });
        }
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(pg::RendererBudget::held(), 0u);
}

// One helper for the run forks a process for each drawing, which has its own limits set
// before it opens the document: the address space asked for it and the processor time
// of one drawing. One past its processor time is stopped; its siblings, drawn at once by
// the same helper, are not.
TEST(RenderHelper, EachDrawingHasAProcessOfItsOwnWithItsOwnLimits) {
    const ProcessorTimeOnly limits(2);
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    const auto plain = samples::pdf(64, 64);
    ASSERT_TRUE(drawsWhole(plain));
    const int helper = pg::RenderClient::helperProcess(pg::render::Kind::pdf);
    ASSERT_GT(helper, 0);
    // The process found drawing below is the slow page's, not that one's on its way out.
    ASSERT_TRUE(drawingProcessesEnded());

    pg::RenderClient client(slow);
    auto request = pixelsOf(64, 0.0625);
    request.addressSpace = pg::RendererBudget::kLargestLimit / 2;
    pg::RenderFailure stopped;
    std::thread drawing([&] { EXPECT_FALSE(client.pixels(request, &stopped)); });
    const auto processes = awaitDrawingProcesses(1);
    ASSERT_EQ(processes.size(), 1u);
    // The kernel's limits of that process, not the helper's.
    EXPECT_EQ(limitOf(processes.front(), "Max cpu time"), "2");
    EXPECT_EQ(limitOf(helper, "Max cpu time"), "unlimited");
    const uint64_t space = std::stoull(limitOf(processes.front(), "Max address space"));
    EXPECT_GE(space, request.addressSpace);
    EXPECT_LT(space, pg::RendererBudget::kLargestLimit);
    // Its siblings come out meanwhile.
    std::vector<std::thread> siblings;
    std::atomic<int> drawn{0};
    for (int i = 0; i < 3; ++i) {
        siblings.emplace_back([&] { drawn += drawsWhole(plain); });
    }
    for (auto& sibling : siblings) sibling.join();
    drawing.join();
    EXPECT_EQ(drawn, 3);
    EXPECT_EQ(stopped.problem, P::pastProcessorTimeLimit) << stopped.why;
    EXPECT_EQ(pg::RenderClient::helperProcess(pg::render::Kind::pdf), helper) << "the helper was started again";

    // An SVG document's drawing is limited as a PDF page's is, its libraries' mappings
    // within it: at most 640 MiB, and hard.
    const auto crossing = samples::crossingFillsSvg(3000, 10);
    ASSERT_TRUE(drawingProcessesEnded());
    pg::RenderClient svg(crossing, pg::render::Kind::svg);
    std::thread svgDrawing([&] {
        pg::RenderFailure failure;
        svg.pixels(svgPixelsOf(100), &failure);
    });
    const auto svgProcesses = awaitDrawingProcesses(1);
    ASSERT_EQ(svgProcesses.size(), 1u);
    const std::string svgSpace = limitOf(svgProcesses.front(), "Max address space", true);
    EXPECT_EQ(limitOf(svgProcesses.front(), "Max address space"), svgSpace);
    EXPECT_LE(std::stoull(svgSpace), uint64_t{640} << 20);
    svgDrawing.join();
    EXPECT_TRUE(drawingProcessesEnded());
}

TEST(RenderHelper, ACrashedOrStoppedDrawingFailsAloneAndLeavesNothingBehind) {
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    const auto pdf = samples::pdf(64, 64);
    // The helper runs for the rest of the process, with what it holds.
    ASSERT_TRUE(drawsWhole(samples::pdf(8, 8)));
    const int descriptors = openDescriptors();
    {
        pg::RenderClient client(slow);
        // A drawing that crashes.
        std::atomic<bool> done{false};
        std::thread killer([&] {
            while (!done) {
                for (const pid_t pid : drawingProcesses()) kill(pid, SIGSEGV);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        pg::RenderFailure failure;
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        done = true;
        killer.join();
        EXPECT_EQ(failure.problem, P::incompleteRender) << failure.why;
        EXPECT_NE(failure.why.find("crashed"), std::string::npos) << failure.why;

        // A drawing whose conversion is stopped meanwhile ends at once (within seconds, as
        // busy as the machine is now).
        gwtest::Pace pace;
        const auto start = std::chrono::steady_clock::now();
        pg::InterruptionScope stopped([&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); });
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        EXPECT_LT(std::chrono::steady_clock::now() - start, pace.bound(std::chrono::seconds(4)));
        EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    }
    // The crash cost nothing else: the next drawing comes out.
    EXPECT_TRUE(drawsWhole(pdf));
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    EXPECT_TRUE(drawingProcessesEnded());
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(RenderHelper, DrawingsAtOnceStayWithinTheBudgetAndAPageLargerThanItsLimitIsDrawnAgainAlone) {
    using Budget = pg::RendererBudget;
    {
        // Limits that do not fit beside those held wait; a drawing to be drawn alone
        // waits for none to be held and keeps the others waiting; a stopped wait ends.
        auto first = Budget::admit(Budget::kBytes / 2);
        auto second = Budget::admit(Budget::kBytes / 4);
        EXPECT_EQ(Budget::held(), first.limit() + second.limit());
        std::atomic<bool> aloneDrawn{false}, laterAdmitted{false};
        std::thread alone([&] {
            const auto grant = Budget::alone();
            EXPECT_EQ(grant.limit(), Budget::kLargestLimit);
            aloneDrawn = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_FALSE(laterAdmitted);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::thread later([&] {
            const auto grant = Budget::admit(Budget::kBaseBytes);
            laterAdmitted = true;
            EXPECT_TRUE(aloneDrawn);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(aloneDrawn);
        EXPECT_FALSE(laterAdmitted);
        {
            pg::InterruptionScope stopped([] { return true; });
            EXPECT_FALSE(Budget::admit(Budget::kBaseBytes));
        }
        { [[maybe_unused]] auto gone = std::move(first); }
        { [[maybe_unused]] auto gone = std::move(second); }
        alone.join();
        later.join();
        EXPECT_EQ(Budget::held(), 0u);
    }
    {
        // The drawings under way hold 768 MiB at most: beside 500 MiB, 260 more fit and 300
        // do not (asked not to wait, the drawing gets no grant).
        const auto held = Budget::admit(uint64_t{500} << 20);
        EXPECT_TRUE(Budget::admit(uint64_t{260} << 20, [] { return true; }));
        EXPECT_FALSE(Budget::admit(uint64_t{300} << 20, [] { return true; }));
    }

    // Pages drawn at once whose helpers each hold some 250 MiB (an 8192 x 8192 image
    // drawn into a 1024 px icon): without the budget six held 1.3 to 1.5 GiB. Four ask,
    // two fit.
    const auto heavy = samples::repeatedImagePdf(8192, 1);
    pg::render::Request request = pixelsOf(1024, 10.24);
    request.addressSpace = Budget::limitFor(double(uint64_t{260} << 20));
    std::atomic<bool> drawing{true};
    std::atomic<uint64_t> mostResident{0};
    std::thread watcher([&] {
        while (drawing) {
            mostResident = std::max<uint64_t>(mostResident, drawingsResidentBytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::thread> drawers;
    for (int i = 0; i < 4; ++i) {
        drawers.emplace_back([&] {
            pg::RenderClient client(heavy);
            pg::RenderFailure failure;
            // Drawn; or, on a machine too busy to decode the picture within the processor
            // time limit, stopped there, having held its memory as long.
            EXPECT_TRUE(client.pixels(request, &failure) || failure.problem == P::pastProcessorTimeLimit)
                << failure.why;
        });
    }
    for (auto& drawer : drawers) drawer.join();
    drawing = false;
    watcher.join();
    EXPECT_GT(mostResident, uint64_t{200} << 20) << "the drawings were not seen";
    EXPECT_LE(mostResident, uint64_t{768} << 20);

    // A limit too small for the page stops the drawing; it is drawn again at the
    // largest limit and comes out whole.
    const auto plain = samples::pdf(64, 64);
    pg::RenderClient client(plain);
    pg::render::Request large = pixelsOf(4096, 64);
    large.addressSpace = Budget::kBaseBytes;
    pg::RenderFailure failure;
    const auto pixels = client.pixels(large, &failure);
    ASSERT_TRUE(pixels) << failure.why;
    EXPECT_EQ(pixels->width(), 4096);
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
}

TEST(RenderHelper, AHelperThatCannotStartOrEndedWhileIdleNeitherHangsNorFailsTheNextDrawing) {
    const auto pdf = samples::pdf(64, 64);
    bool descriptorsSeen = false;
    {
        // The helper and each drawing keep to their own descriptors, whatever the
        // program left open: one socket each, and the drawing's files.
        const int leaked = open("/dev/null", O_RDONLY);
        const ProcessorTimeOnly limits(1);
        const auto slow = samples::tintTransformPdf("image", 60000, 1024);
        pg::RenderClient client(slow);
        pg::RenderFailure failure;
        // Started for a drawing on a thread that ends with it (a picture read in the
        // background), it serves the drawings after it.
        std::map<int, std::string> drawingDescriptors;
        std::thread([&] {
            std::thread watch([&] {
                const auto processes = awaitDrawingProcesses(1);
                if (!processes.empty()) drawingDescriptors = descriptorsOf(processes.front());
            });
            EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
            watch.join();
        }).join();
        close(leaked);
        const int helper = pg::RenderClient::helperProcess(pg::render::Kind::pdf);
        descriptorsSeen = readsOthersProcesses(helper);
        if (descriptorsSeen) {
            // Its answer's socket, and the document and pixels.
            EXPECT_EQ(notItsOwn(drawingDescriptors), (std::multiset<std::string>{"socket", "glyphwright-document (deleted)",
                                                                                 "glyphwright-pixels (deleted)"}));
            const std::string helperSocket = descriptorsOf(helper)[3];
            EXPECT_TRUE(std::ranges::none_of(drawingDescriptors, [&](const auto& d) { return d.second == helperSocket; }))
                << "the drawing holds the helper's socket";
            // Its socket, one to each process it forked ahead and the status sockets of its drawings.
            for (const auto& held : notItsOwn(descriptorsOf(helper))) EXPECT_EQ(held, "socket");
        }
        EXPECT_TRUE(drawsWhole(pdf));
        EXPECT_EQ(pg::RenderClient::helperProcess(pg::render::Kind::pdf), helper);

        // One ended meanwhile (the system's out-of-memory killer, a user's kill) is
        // started again for the next drawing.
        kill(helper, SIGKILL);
        while (!ended(helper)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(drawsWhole(pdf));
        EXPECT_NE(pg::RenderClient::helperProcess(pg::render::Kind::pdf), helper);
    }
    {
        // Out of descriptors (a large batch, a program near its limit), no drawing can
        // start: it fails with the reason at once. (Last, with the pool's threads made: a
        // sanitizer cannot check objects made without a descriptor.)
        pg::RenderClient client(pdf);
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit few{64, saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
        // The drawing runs on a thread of its own, so that a hang is seen, made before
        // the descriptors run out and ended after they are back.
        std::atomic<bool> go{false}, answered{false}, ok{true}, restored{false};
        pg::RenderFailure failure;
        std::thread drawing([&] {
            while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            double crop[4];
            ok = client.open(0, nullptr, crop, &failure);
            answered = true;
            while (!restored) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        std::vector<int> fillers;
        fillers.reserve(64);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
        // One left: a drawing's socket pair takes two.
        if (!fillers.empty()) {
            close(fillers.back());
            fillers.pop_back();
        }
        go = true;
        const auto start = std::chrono::steady_clock::now();
        while (!answered && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (const int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        restored = true;
        if (!answered) drawing.detach();  // hung on the pool's lock for good
        ASSERT_TRUE(answered) << "the drawing hung";
        drawing.join();
        EXPECT_FALSE(ok);
        EXPECT_EQ(failure.problem, P::tooManyOpenFiles) << failure.why;
        EXPECT_NE(failure.why.find("cannot start the renderer"), std::string::npos) << failure.why;
        EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    }
    EXPECT_TRUE(drawingProcessesEnded());
    if (!descriptorsSeen) GTEST_SKIP() << kOnlyTheSuperuserReads << " (the descriptors of the helper and a drawing)";
}

// A drawing whose helper is lost is asked again of the helper started in its place; lost
// again, it fails naming the renderer, never the page: killed (the system's out-of-memory
// killer, a user), or stopped until it has not answered for the time in all. The drawing
// failed as "not drawn completely", or at the time limit with the helper left stopped.
TEST(RenderHelper, ADrawingWhoseHelperIsLostTwiceFailsNamingTheRenderer) {
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    const struct {
        int signal;
        std::string reason;
    } cases[] = {{SIGKILL, "the renderer was ended by signal 9"}, {SIGSTOP, "the renderer stopped answering"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        pg::RenderClient::setTimeLimitsForTests(pg::RenderTimeLimits{5, 2});
        pg::RenderClient client(slow);
        Stopped stopped;
        // Each helper is lost once it has the drawing.
        std::atomic<bool> done{false};
        std::set<int> lost;
        std::thread loser([&] {
            while (!done && lost.size() < 2) {
                const int helper = pg::RenderClient::helperProcess(pg::render::Kind::pdf);
                const auto drawings = childrenOf(std::to_string(helper));
                if (helper > 0 && !lost.count(helper) && std::ranges::any_of(drawings, [](pid_t pid) {
                        return limitOf(pid, "Max cpu time") != "unlimited";
                    })) {
                    if (c.signal == SIGSTOP) stopped.stop(helper);
                    else kill(helper, c.signal);
                    lost.insert(helper);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        pg::RenderFailure failure;
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        done = true;
        loser.join();
        pg::RenderClient::setTimeLimitsForTests(std::nullopt);
        EXPECT_EQ(lost.size(), 2u);
        EXPECT_EQ(failure.problem, P::rendererUnavailable) << failure.why;
        EXPECT_EQ(failure.why, c.reason);
        for (const int helper : lost) EXPECT_TRUE(ended(helper)) << "a lost helper was left";
        EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
        EXPECT_TRUE(drawsWhole(samples::pdf(64, 64)));
    }
}

// Run by the test below in a process of its own: a drawing of a slow page goes on until
// the process is killed; the helper's pid and the drawing's are written to the file the
// variable names.
TEST(RenderHelperChildProcess, DrawsUntilKilled) {
    const char* pidFile = std::getenv("GW_RENDER_HELPER_CHILD");
    if (pidFile == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    pg::RenderClient client(slow);
    std::thread drawing([&] {
        pg::RenderFailure failure;
        client.pixels(pixelsOf(64, 0.0625), &failure);
    });
    const auto processes = awaitDrawingProcesses(1);
    // Well into the page.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::ofstream(std::string(pidFile) + ".tmp") << pg::RenderClient::helperProcess(pg::render::Kind::pdf) << " "
                                                 << (processes.empty() ? 0 : processes.front()) << "\n";
    std::filesystem::rename(std::string(pidFile) + ".tmp", pidFile);
    drawing.join();
}

// Run by the tests below in a process of its own, whose helpers load the stand-in for a
// taken-over renderer: a PDF page, and SVG documents with and without text, drawn as
// users' are.
TEST(RenderHelperChildProcess, DrawsWithATakenOverRenderer) {
    if (std::getenv("GW_TAKEN_OVER_REPORT") == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    // Only the helpers started from now on load it: this process is running already.
    setenv("LD_PRELOAD", GW_TAKEN_OVER_RENDERER, 1);
    EXPECT_TRUE(drawsWhole(samples::pdf(64, 64)));
    const auto text = samples::bytesOf(samples::svgText(
        "width=\"64\" height=\"64\"", "<text x=\"4\" y=\"40\" font-size=\"32\">Ag</text>"));
    for (const auto& svg : {samples::svg(64, 64), text}) {
        pg::RenderClient client(svg, pg::render::Kind::svg, false);
        pg::RenderFailure failure;
        EXPECT_TRUE(client.pixels(svgPixelsOf(64), &failure)) << failure.why;
    }
}

// What the stand-in found in each drawing, one line a drawing: each field's numbers by its name.
using TakenOverFields = std::map<std::string, std::vector<long>>;

std::vector<TakenOverFields> takenOverReport(const std::filesystem::path& report) {
    std::vector<TakenOverFields> out;
    std::ifstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        TakenOverFields found;
        std::string name;
        for (std::string field; fields >> field;) {
            if (std::isalpha(static_cast<unsigned char>(field[0]))) name = field;
            else found[name].push_back(std::stol(field));
        }
        out.push_back(std::move(found));
    }
    return out;
}

// The three drawings of RenderHelperChildProcess.DrawsWithATakenOverRenderer, as the stand-in
// reported them.
std::vector<TakenOverFields> drawnWhileTakenOver(const gwtest::TempDir& dir) {
    passesInAProcessOfItsOwn("RenderHelperChildProcess.DrawsWithATakenOverRenderer",
                             {{"GW_TAKEN_OVER_REPORT", (dir / "report").string()}});
    auto drawings = takenOverReport(dir / "report");
    EXPECT_EQ(drawings.size(), 3u) << "not every drawing mapped its document";
    return drawings;
}

// Code running inside a drawing (a renderer a hostile document took over, stood in for by a
// library preloaded into the helpers) finds the drawing's limits set and hard as it maps the
// document, cannot lift them, and starts no process that could outlive the drawing: fork,
// vfork, clone, clone3 and posix_spawn all fail, while threads still start, and the drawings
// come out. It lifted its processor time limit and left a process running after the
// program, every time.
TEST(RenderHelper, ADrawingCannotLiftItsLimitsOrStartAProcess) {
    gwtest::TempDir dir;
    for (auto& found : drawnWhileTakenOver(dir)) {
        // What it made is ended first, whatever else is found.
        for (const char* call : {"fork", "vfork", "clone", "clone3", "spawn"}) {
            EXPECT_EQ(found[call].size(), 1u) << call;
            for (const long made : found[call]) {
                EXPECT_LT(made, 0) << call << " made a process";
                if (made <= 0) continue;
                EXPECT_TRUE(ended(pid_t(made))) << call << " left a process running";
                kill(pid_t(made), SIGKILL);
            }
        }
        const long seconds = pg::RenderTimeLimits{}.cpuSeconds;
        EXPECT_EQ(found["cpu"], (std::vector<long>{seconds, seconds}));
        found["space"].resize(2);
        EXPECT_GT(found["space"][0], 0);
        EXPECT_LE(found["space"][0], long(pg::RendererBudget::kLargestLimit));
        EXPECT_EQ(found["space"][1], found["space"][0]);
        EXPECT_EQ(found["nnp"], std::vector<long>{1});
        // Its calls filtered (mode 2).
        EXPECT_EQ(found["seccomp"], std::vector<long>{2});
        EXPECT_EQ(found["lift"], (std::vector<long>{EPERM, EPERM}));
        EXPECT_EQ(found["cpu-after"], std::vector<long>{seconds});
        EXPECT_EQ(found["thread"], std::vector<long>{0});
    }
}

// Nor can it reach its helper or the program: it can neither trace them, take their
// descriptors or read their memory, nor signal anything but itself, undo its death signal,
// make itself traceable, open a socket, create or write a file, run a program, set up a ring
// of requests for the kernel, leave its session or make a namespace; it reads files and
// reads its limits. It traced its helper, took the helper's socket to the program and
// answered other pictures' requests, killed its helper after clearing its death signal, and
// could write any of the user's files.
TEST(RenderHelper, ADrawingReachesNothingButItsOwnAnswer) {
    gwtest::TempDir dir;
    for (auto& found : drawnWhileTakenOver(dir)) {
        // Each call's error (0: allowed), in the order the stand-in tries them.
        const std::pair<const char*, std::vector<long>> calls[] = {
            // Its own processor time limit set to what it is, its helper's, and its own with
            // the new limits at an address whose low half, then high half, is zero.
            {"prlimit-set", {EPERM, EPERM, EPERM, EPERM}},
            {"prlimit-read", {0}},
            // Its helper, then the program.
            {"ptrace", {EPERM, EPERM}},
            {"pidfd", {EPERM, EPERM, EPERM, EPERM}},
            {"vm", {EPERM}},
            // Its helper, its process group, itself.
            {"kill", {EPERM, EPERM, 0}},
            {"tgkill", {EPERM}},
            // Its death signal, its being traceable, its name.
            {"prctl", {EPERM, EPERM, 0}},
            {"socket", {EPERM}},
            // A file made for writing, one made read-only, the report opened for writing.
            {"create", {EPERM, EPERM, EPERM}},
            {"read", {0}},
            {"exec", {EPERM}},
            {"uring", {EPERM}},
            {"setsid", {EPERM}},
            {"unshare", {EPERM}},
            {"setown", {EPERM}},
        };
        for (const auto& [call, expected] : calls) EXPECT_EQ(found[call], expected) << call;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "report.created"));
}

// Calls numbered for another architecture than the drawing's (x32's numbers, a 32-bit
// program's interrupt), which a filter reading the native numbers would let by, are
// refused. Where the processor faults on the 32-bit interrupt before the kernel sees a
// call, that half is not tried.
TEST(RenderHelper, ADrawingsCallsNumberedForAnotherArchitectureAreRefused) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "only x86-64 numbers calls of another architecture";
#endif
    gwtest::TempDir dir;
    bool i386Tried = false;
    for (auto& found : drawnWhileTakenOver(dir)) {
        EXPECT_EQ(found["x32"], std::vector<long>{-EPERM});
        if (found["i386"] == std::vector<long>{-1000}) continue;
        i386Tried = true;
        EXPECT_EQ(found["i386"], std::vector<long>{-EPERM});
    }
    if (!i386Tried) GTEST_SKIP() << "this machine runs no 32-bit calls: only x32's numbers were tried";
}

// Run by the test below in a process of its own, as a user with no capability over other
// processes: once its PDF helper has drawn, a process of its own forked from it tries to
// trace the helper and this process, and to take a descriptor of each, and tells the
// errors on a pipe.
TEST(RenderHelperChildProcess, IsProbedByAProcessOfItsUser) {
    if (std::getenv("GW_RENDER_PROBED_CHILD") == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    ASSERT_TRUE(drawsWhole(samples::pdf(32, 32)));
    const pid_t helper = pg::RenderClient::helperProcess(pg::render::Kind::pdf);
    ASSERT_GT(helper, 0);
    const pid_t program = getpid();
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    const pid_t prober = fork();
    if (prober == 0) {
        // Nothing but system calls between fork and _exit.
        long errors[4];
        int at = 0;
        for (const pid_t target : {helper, program}) {
            errors[at++] = syscall(SYS_ptrace, PTRACE_SEIZE, target, 0, 0) == 0 ? 0 : errno;
            const long process = syscall(SYS_pidfd_open, target, 0);
            errors[at++] = syscall(SYS_pidfd_getfd, process, target == helper ? 3 : 0, 0) >= 0 ? 0 : errno;
        }
        [[maybe_unused]] const ssize_t written = write(pipe[1], errors, sizeof errors);
        _exit(0);
    }
    close(pipe[1]);
    long errors[4] = {-1, -1, -1, -1};
    const ssize_t n = read(pipe[0], errors, sizeof errors);
    close(pipe[0]);
    gwtest::waitForChild(prober, std::chrono::seconds(30));
    ASSERT_EQ(n, ssize_t(sizeof errors));
    // The helper traced, its socket to this process taken; this process traced, its input taken.
    EXPECT_EQ(std::vector<long>(errors, errors + 4), (std::vector<long>{EPERM, EPERM, EPERM, EPERM}));
}

// The helper and the program, once it draws, are out of reach of other processes of their
// user (a drawing's among them, should it get past its filter): neither can be traced or
// have its descriptors taken by one without the capability to trace any process. Both
// could, and a taken-over drawing took the helper's socket to the program that way. (The
// superuser can trace any process: the probe runs as a user of its own.)
TEST(RenderHelper, TheHelperAndTheProgramAreOutOfReachOfTheirUsersOtherProcesses) {
    std::optional<std::pair<uid_t, gid_t>> user;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv, to probe as a user of its own";
        user = std::pair{uid_t(3000000000u + uint32_t(getpid())), gid_t(3000000000u + uint32_t(getpid()))};
    }
    passesInAProcessOfItsOwn("RenderHelperChildProcess.IsProbedByAProcessOfItsUser", {{"GW_RENDER_PROBED_CHILD", "1"}}, user);
}

// Run by the test below in a process of its own, whose helpers' kill() does nothing (the
// stand-in for a taken-over renderer, preloaded into them): a drawing stopped from outside
// goes on saying through its helper that it runs, and its helper cannot end it at its time
// in all of 2 seconds.
TEST(RenderHelperChildProcess, DrawsBesideAHelperThatCannotEndIt) {
    if (std::getenv("GW_TAKEN_OVER_HELPER") == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    setenv("LD_PRELOAD", GW_TAKEN_OVER_RENDERER, 1);
    pg::RenderClient::setTimeLimitsForTests(pg::RenderTimeLimits{5, 2});
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    pg::RenderClient client(slow);
    Stopped stopped;
    std::thread stopper([&] {
        for (const pid_t pid : awaitDrawingProcesses(1)) stopped.stop(pid);
    });
    gwtest::Pace pace;
    const auto start = std::chrono::steady_clock::now();
    pg::RenderFailure failure;
    EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
    stopper.join();
    EXPECT_EQ(failure.problem, P::pastTimeLimit) << failure.why;
    EXPECT_NE(failure.why.find("time limit of 2 seconds in all"), std::string::npos) << failure.why;
    // The limit and the program's grace past it, as busy as the machine is now.
    EXPECT_LT(std::chrono::steady_clock::now() - start, pace.bound(std::chrono::seconds(10)));
    EXPECT_TRUE(drawingProcessesEnded());
}

// The program keeps each drawing's limits itself, from the process its helper said draws:
// a helper that says its drawing runs but does not end it at its limit (here, one whose
// kill() was taken away) costs one wait past the limit, not the run. The program waited
// for good.
TEST(RenderHelper, AHelperThatDoesNotEndADrawingAtItsLimitCostsOneWait) {
    passesInAProcessOfItsOwn("RenderHelperChildProcess.DrawsBesideAHelperThatCannotEndIt", {{"GW_TAKEN_OVER_HELPER", "mute"}});
}

// The threads of this process now.
int threadsNow() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Run by the test below in a process of its own, as a user of its own, under a limit of
// processes (which counts threads) with room for this process's threads (a sanitizer's
// among them), those drawing and the helper, and for "room" for as many drawings as are
// drawn at once and one more. PDF pages (whose helper and drawings make no threads) are
// drawn from as many threads as draw at once, made before the limit is counted.
TEST(RenderHelperChildProcess, DrawsUnderALowProcessLimit) {
    const char* room = std::getenv("GW_RENDER_PROCESS_LIMIT_CHILD");
    if (room == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    const bool drawingsFit = std::string(room) == "room";
    cpu_set_t processors;
    CPU_ZERO(&processors);
    sched_getaffinity(0, sizeof processors, &processors);
    const int atOnce = pg::render::drawingsAtOnce(CPU_COUNT(&processors));
    std::mutex mutex;
    std::vector<pg::RenderFailure> failures;
    std::vector<std::thread> drawers;
    // The pages are made here: cairo, making them, keeps time zone state that the C library
    // guards with locks a thread sanitizer does not see.
    std::vector<std::vector<samples::Bytes>> pages{size_t(atOnce)};
    for (int i = 0; i < atOnce; ++i) {
        for (int j = 0; j < 4; ++j) pages[size_t(i)].push_back(samples::pdf(32 + i, 32 + j));
    }
    // The drawing threads wait for the limit; each is kept until all are done: one that
    // ended would leave its place.
    std::latch limited(1), done(atOnce);
    drawers.reserve(size_t(atOnce));
    for (int i = 0; i < atOnce; ++i) {
        drawers.emplace_back([&, i] {
            limited.wait();
            const struct Kept {
                std::latch& done;
                ~Kept() { done.arrive_and_wait(); }
            } kept{done};
            for (const auto& page : pages[size_t(i)]) {
                pg::RenderClient pdf(page);
                pg::RenderFailure failure;
                if (pdf.pixels(pixelsOf(32, 1), &failure)) continue;
                std::lock_guard lock(mutex);
                failures.push_back(failure);
            }
        });
    }
    // With the thread helpers are started on, and the helper.
    const rlim_t limit = rlim_t(threadsNow() + 1 + 1 + (drawingsFit ? atOnce + 1 : 0));
    const rlimit processes{limit, limit};
    const bool set = setrlimit(RLIMIT_NPROC, &processes) == 0;
    limited.count_down();
    for (auto& drawer : drawers) drawer.join();
    ASSERT_TRUE(set) << "no limit of processes could be set";
    if (drawingsFit) {
        for (const auto& failure : failures) ADD_FAILURE() << failure.why;
        return;
    }
    // No drawing can start: each fails naming the limit, not the page.
    EXPECT_EQ(failures.size(), size_t(atOnce * 4));
    const std::string named = "the limit of " + std::to_string(limit) + " processes of the user is reached";
    for (const auto& failure : failures) {
        EXPECT_EQ(failure.problem, P::rendererUnavailable) << failure.why;
        EXPECT_NE(failure.why.find(named), std::string::npos) << failure.why;
    }
}

// Under a low limit of processes (an ordinary user's `ulimit -u`, which counts the
// program's threads too) a drawing that finds no room for its process is asked again as
// others end, and one that cannot start at all fails naming the limit, not the page. It
// failed as "would take more memory or work than is allowed". (The superuser passes over
// the limit: the launches run as a user of their own, whose processes are only theirs.)
TEST(RenderHelper, ALowProcessLimitCostsNoDrawingAndIsNamed) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs the superuser, to run as a user no other process runs as";
    }
    const uid_t user = uid_t(3000000000u + uint32_t(getpid()));
    for (const std::string room : {"room", "helpers"}) {
        SCOPED_TRACE(room);
        passesInAProcessOfItsOwn("RenderHelperChildProcess.DrawsUnderALowProcessLimit",
                                 {{"GW_RENDER_PROCESS_LIMIT_CHILD", room}}, std::pair{user, gid_t(user)});
    }
}

// Run by the test below in a process of its own, whose SVG helper nothing else has used.
TEST(RenderHelperChildProcess, SetsFontsUpOnlyForText) {
    if (std::getenv("GW_RENDER_FONTS_CHILD") == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    // Whether the helper has mapped a file whose path holds `what` (as it should, where its
    // mappings cannot be read).
    bool seen = true;
    auto mapped = [&](const std::string& what, bool should) {
        const int helper = pg::RenderClient::helperProcess(pg::render::Kind::svg);
        seen = seen && readsOthersProcesses(helper);
        if (!seen) return should;
        std::ifstream maps("/proc/" + std::to_string(helper) + "/maps");
        for (std::string line; std::getline(maps, line);) {
            if (line.find(what) != std::string::npos) return true;
        }
        return false;
    };
    // The configuration's caches (".../fontconfig/<hash>-le64.cache-8") or a font's file.
    auto fontsMapped = [&](bool should) { return mapped(".cache-", should) || mapped("/fonts/", should); };
    auto draw = [](const samples::Bytes& svg, bool laysOutText) {
        pg::RenderClient client(svg, pg::render::Kind::svg, laysOutText);
        pg::RenderFailure failure;
        const auto pixels = client.pixels(svgPixelsOf(64), &failure);
        EXPECT_TRUE(pixels) << failure.why;
        return pixels ? std::vector<uint8_t>(pixels->data(), pixels->data() + 64 * 64 * 4) : std::vector<uint8_t>{};
    };
    const auto shapes = samples::svg(64, 64);
    const auto text = samples::bytesOf(samples::svgText(
        "width=\"64\" height=\"64\"", "<text x=\"4\" y=\"40\" font-size=\"32\">Ag</text>"));
    draw(shapes, false);
    EXPECT_FALSE(mapped("poppler", false)) << "an SVG helper loaded poppler";
    EXPECT_FALSE(fontsMapped(false)) << "the fonts were set up for a document without text";
    // Not told of its text, the drawing's own process sets the fonts up; told, the helper
    // does, once, for every drawing after it: the same pixels either way.
    const auto alone = draw(text, false);
    EXPECT_FALSE(fontsMapped(false));
    const auto shared = draw(text, true);
    EXPECT_TRUE(fontsMapped(true)) << "the helper did not set the fonts up";
    EXPECT_EQ(alone, shared);
    EXPECT_NE(std::count(alone.begin(), alone.end(), 0), std::ptrdiff_t(alone.size())) << "no text was drawn";
    EXPECT_EQ(draw(text, true), shared);
    if (!seen) GTEST_SKIP() << kOnlyTheSuperuserReads << " (the helper's mappings); the drawings were compared";
}

// An SVG helper holds no more than librsvg needs: poppler is a PDF helper's, and the
// fonts' configuration (some ten milliseconds to read) is read only for a document that
// lays out text, by the helper itself, so that each drawing's process has it.
TEST(RenderHelper, AnSvgHelperLoadsNoPopplerAndSetsFontsUpOnlyForText) {
    passesInAProcessOfItsOwn("RenderHelperChildProcess.SetsFontsUpOnlyForText", {{"GW_RENDER_FONTS_CHILD", "1"}});
}

TEST(RenderHelper, AHelperEndsWithTheProgramThatStartedItEvenWhileItDraws) {
    gwtest::TempDir dir;
    gwtest::SelfLaunch launch{"RenderHelperChildProcess.DrawsUntilKilled",
                              {{"GW_RENDER_HELPER_CHILD", (dir / "helper").string()}},
                              dir / "output"};
    const pid_t child = gwtest::spawnSelf(launch);
    ASSERT_GT(child, 0);
    pid_t helper = 0, drawing = 0;
    for (int i = 0; i < 3000 && drawing <= 0; ++i) {
        std::ifstream(dir / "helper") >> helper >> drawing;
        if (drawing <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    gwtest::Pace pace;
    kill(child, SIGKILL);
    gwtest::waitForChild(child, std::chrono::seconds(10));
    ASSERT_GT(drawing, 0) << "the program started no drawing";
    // Left to itself the drawing would go on for its five seconds of processor time: it
    // ends within moments (3 seconds, as busy as the machine is now).
    const auto killed = std::chrono::steady_clock::now();
    const auto bound = pace.bound(std::chrono::seconds(3));
    while ((!ended(helper) || !ended(drawing)) && std::chrono::steady_clock::now() - killed < bound + std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, bound);
    for (const pid_t pid : {helper, drawing}) {
        if (!ended(pid)) kill(pid, SIGKILL);
    }
}

// A page a document does not have is refused by its number as users count pages, the
// largest number a request holds too; the number overflowed to a negative one.
TEST(RenderHelper, APageTheDocumentDoesNotHaveIsRefusedByItsNumber) {
    pg::RenderClient client(samples::pdf(32, 32));
    for (const int page : {1, std::numeric_limits<int32_t>::max()}) {
        SCOPED_TRACE(page);
        int pages = 0;
        double crop[4] = {};
        pg::RenderFailure failure;
        EXPECT_FALSE(client.open(page, &pages, crop, &failure));
        EXPECT_NE(failure.why.find("cannot open page " + std::to_string(int64_t{page} + 1)), std::string::npos)
            << failure.why;
    }
    EXPECT_TRUE(drawsWhole(samples::pdf(32, 32)));
}

// The processes a helper forks ahead are ended once the program asks for nothing, so that
// none is left for the program to wait for as it exits; a drawing asked after that is
// drawn as before.
TEST(RenderHelper, AnIdleHelperEndsTheProcessesItForkedAhead) {
    const auto pdf = samples::pdf(32, 32);
    ASSERT_TRUE(drawsWhole(pdf, 32));
    const std::string helper = std::to_string(pg::RenderClient::helperProcess(pg::render::Kind::pdf));
    for (int i = 0; i < 2000 && !childrenOf(helper).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(childrenOf(helper).empty()) << "processes forked ahead outlived the drawings";
    EXPECT_TRUE(drawsWhole(pdf, 32));
}

TEST(RenderHelper, ManyDocumentsDrawnFromManyThreadsShareTheHelpersAndAStoppedRunEndsThemAll) {
    // The helper runs for the rest of the process, with what it holds.
    ASSERT_TRUE(drawsWhole(samples::pdf(8, 8)));
    const int descriptors = openDescriptors();
    // A batch: more documents than helpers, each drawn a few times on a thread of its own.
    std::vector<samples::Bytes> pdfs;
    for (int i = 0; i < 12; ++i) pdfs.push_back(samples::pdf(32 + i, 32));
    std::atomic<int> drawn{0};
    std::vector<std::thread> threads;
    for (const auto& pdf : pdfs) {
        threads.emplace_back([&] {
            pg::RenderClient client(pdf);
            for (int i = 0; i < 3; ++i) {
                pg::RenderFailure failure;
                if (client.pixels(pixelsOf(32, 1), &failure)) ++drawn;
                else ADD_FAILURE() << failure.why;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(drawn, 36);
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);

    // The same batch of slow pages stopped at quit: drawings under way, and those
    // waiting for a helper or for room in the budget, all end within moments.
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    gwtest::Pace pace;
    const auto start = std::chrono::steady_clock::now();
    threads.clear();
    for (int i = 0; i < 12; ++i) {
        threads.emplace_back([&] {
            pg::InterruptionScope stopped(
                [&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300); });
            pg::RenderClient client(slow);
            pg::render::Request request = pixelsOf(64, 0.0625);
            request.addressSpace = pg::RendererBudget::kLargestLimit / 2;
            pg::RenderFailure failure;
            EXPECT_FALSE(client.pixels(request, &failure));
        });
    }
    for (auto& thread : threads) thread.join();
    // Within moments, as busy as the machine is now.
    EXPECT_LT(std::chrono::steady_clock::now() - start, pace.bound(std::chrono::seconds(4)));
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    EXPECT_TRUE(drawingProcesses().empty());
    EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
