// PDF pages that pass the pre-scan but run into the renderer helper's limits, through the
// built command line as an icon set (some twenty drawings of the page): the picture fails
// once, at about one page's limit, with status 1 and a reason naming the limit, and the
// page is not drawn again for each size. Built twice: with the limits lowered to seconds
// for every stage, and with GW_REAL_RENDER_LIMITS (label slow) at the limits users meet.
#include "platform/graphics/render_protocol.hpp"
#include "support/picture_samples.hpp"
#include "support/program_run.hpp"
#include "support/render_helper_processes.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace samples = gwtest::samples;
namespace render = platform::graphics::render;

// Each build's cases have names of their own, so that each keeps its labels.
#ifdef GW_REAL_RENDER_LIMITS
#define GW_RENDER_LIMITS RealRenderLimits
constexpr int kCpuSeconds = render::kCpuSeconds, kWallSeconds = render::kWallSeconds;
#else
#define GW_RENDER_LIMITS RenderLimits
constexpr int kCpuSeconds = 1, kWallSeconds = 2;
#endif

// Watches the helpers a running program starts, and when asked to stops (SIGSTOP) every
// one of them once a second has started, as a user or a hung system would: the first,
// which opens the document, is left to open it.
class HelperWatch {
public:
    HelperWatch(pid_t program, bool stopping)
        : thread_([this, program, stopping] {
              pid_t first = 0;
              while (!done_) {
                  for (const pid_t pid : gwtest::childrenOf(program)) {
                      if (seen_.contains(pid) || !gwtest::runsTheRenderHelper(pid)) continue;
                      seen_.insert(pid);
                      if (first == 0) {
                          first = pid;
                      } else if (stopping) {
                          if (seen_.size() == 2) kill(first, SIGSTOP);
                          kill(pid, SIGSTOP);
                      }
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    // The helpers seen, once the program has ended.
    size_t finish() {
        done_ = true;
        thread_.join();
        return seen_.size();
    }
    ~HelperWatch() {
        if (!done_) finish();
    }

private:
    std::atomic<bool> done_{false};
    std::set<pid_t> seen_;
    std::thread thread_;
};

class GW_RENDER_LIMITS : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = dir_ / "work";
        fs::create_directories(work_);
        fs::create_directories(dir_ / "xdg");
        const gwtest::ProgramRun grant = gwtest::runProgram(GW_GRANT_ROOT_PATH, {work_.string()}, options());
        ASSERT_EQ(grant.status, 0) << grant.err;
    }

    gwtest::ProgramOptions options(int cpuSeconds = kCpuSeconds) const {
        gwtest::ProgramOptions options;
        options.workingDirectory = work_;
        options.xdgRoot = dir_ / "xdg";
        options.outFile = dir_ / "stdout.txt";
        options.errFile = dir_ / "stderr.txt";
        options.environment = {"GW_RENDER_TEST_SECONDS=" + std::to_string(cpuSeconds) + "," +
                               std::to_string(kWallSeconds)};
        // Only a hang: the time a run takes is checked below, against the limits.
        options.deadline = std::chrono::seconds(300);
        return options;
    }

    struct IconSetRun {
        gwtest::ProgramRun run;
        std::chrono::duration<double> took{};
        size_t helpers = 0;
    };

    // Converts the page into an icon set, the helpers watched (and stopped once the
    // document is open, when asked).
    IconSetRun iconSet(const std::string& name, const samples::Bytes& pdf, bool stopHelpers, int cpuSeconds) const {
        const fs::path input = work_ / (name + ".pdf");
        gwtest::writeFile(input, std::string(pdf.begin(), pdf.end()));
        const auto opts = options(cpuSeconds);
        IconSetRun result;
        const auto start = std::chrono::steady_clock::now();
        const pid_t program = gwtest::startProgram(
            GW_GLYPHWRIGHT_PATH,
            {"-inputPath", input.string(), "-outputPath", (work_ / name).string(), "-assetType", "iOSIcon"}, opts);
        HelperWatch watch(program, stopHelpers);
        result.run = gwtest::finishProgram(program, opts);
        result.took = std::chrono::steady_clock::now() - start;
        result.helpers = watch.finish();
        return result;
    }

    gwtest::TempDir dir_;
    fs::path work_;
};

// The first page fills a long path twenty times (all processor time, every size takes
// longer than the limits); the second pushes two million graphics states (past any memory
// limit in a moment); for the third every helper is stopped once the document is open;
// the fourth is drawn at small sizes, with the renderer's report, and runs long at large
// ones. Each costs about one limit, not one for each of the set's sizes, and its reason
// names the limit. The stopped helpers draw the long path under the processor-time limit
// users meet: a page that quick helpers could finish before they are stopped would leave
// the outcome to a loaded machine's scheduler, and one a running helper draws past the
// time in all ends as a stopped one must.
TEST_F(GW_RENDER_LIMITS, AnIconSetOfAPagePastTheLimitsFailsOnceNamingTheLimit) {
    struct Case {
        std::string name;
        samples::Bytes pdf;
        bool stopHelpers;
        std::vector<std::string> reasons;  // one of them names the limit
        int cpuSeconds = kCpuSeconds;
    };
    const std::string inAll = "time limit of " + std::to_string(kWallSeconds) + " seconds in all";
    const std::string processor = "processor time limit of " + std::to_string(kCpuSeconds) + " seconds";
    const std::vector<Case> cases = {
        {"path", samples::filledPathPdf(150000, 20), false, {inAll, processor}},
        {"states", samples::manyOperatorsPdf("q ", 4), false,
         {"memory limit of " + std::to_string(render::kAddressSpaceBytes >> 20) + " MiB"}},
        {"stopped", samples::filledPathPdf(150000, 20), true, {inAll}, render::kCpuSeconds},
        // Its small sizes fail first, as not drawn completely: the picture still fails
        // with the limit its large ones met, whatever order the sizes end in.
        {"blended", samples::blendedFillsPdf(5000), false, {inAll, processor}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = iconSet(c.name, c.pdf, c.stopHelpers, c.cpuSeconds);
        EXPECT_TRUE(result.run.exited) << result.run.err;
        EXPECT_EQ(result.run.status, 1) << result.run.err;
        EXPECT_NE(result.run.err.find("Catalog creation failed"), std::string::npos) << result.run.err;
        bool named = false;
        for (const auto& reason : c.reasons) named = named || result.run.err.find(reason) != std::string::npos;
        EXPECT_TRUE(named) << result.run.err;
        EXPECT_EQ(result.run.err.find("could not be drawn completely"), std::string::npos) << result.run.err;
        // At most one helper a processor (eight at most) draws the page before its first
        // limit, and one draws it again alone after the memory limit; then none is started
        // for it. Drawn size by size, the page took one or two for each size (some forty).
        EXPECT_LE(result.helpers, 9u);
        // About one limit: well under 30 s with the limits users meet, on a loaded
        // two-core machine too.
        EXPECT_LT(result.took, std::chrono::seconds(2 * kWallSeconds + 8));
    }
}

}  // namespace
