// PDF pages that pass the pre-scan but run into the renderer helper's limits, converted by
// the built command line into an icon set (some twenty drawings of the page): the picture
// fails once, at about one page's limit, with status 1 and a reason naming the limit.
#include "app/shell/catalog_run_support.hpp"
#include "platform/graphics/render_protocol.hpp"
#include "support/picture_samples.hpp"

#include <algorithm>
#include <atomic>
#include <set>

namespace {

namespace samples = gwtest::samples;
namespace render = platform::graphics::render;
using RenderLimits = gwtest::CatalogRuns;

// The children of `program` that run the renderer helper yet (the kernel keeps 15 bytes of
// its name): one stopped before then would hold up every start, which no user can do.
std::vector<pid_t> renderHelpersOf(pid_t program) {
    std::vector<pid_t> out;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(program) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t pid; list >> pid;) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            if (std::string name; std::getline(comm, name) && name == "glyphwright-ren") out.push_back(pid);
        }
    }
    return out;
}

// The blended page's small sizes end at once as not drawn completely, long before its large
// ones meet a limit users meet: the picture still fails with that limit. The stopped helpers
// draw a page none finishes before it is stopped, whatever a loaded machine's scheduler does.
TEST_F(RenderLimits, AnIconSetOfAPagePastTheLimitsFailsOnceNamingTheLimit) {
    struct Case {
        std::string name;
        samples::Bytes pdf;
        std::string seconds;  // the time limits, "<processor>,<in all>"; empty: those users meet
        bool stopHelpers;
        std::vector<std::string> reasons;  // one of them is given
    };
    const std::vector<Case> cases = {
        {"blended", samples::blendedFillsPdf(5000), "", false,
         {"time limit of " + std::to_string(render::kWallSeconds) + " seconds in all",
          "processor time limit of " + std::to_string(render::kCpuSeconds) + " seconds"}},
        {"states", samples::manyOperatorsPdf("q ", 4), "", false,
         {"memory limit of " + std::to_string(render::kAddressSpaceBytes >> 20) + " MiB"}},
        {"stopped", samples::filledPathPdf(150000, 20), "5,2", true, {"time limit of 2 seconds in all"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::writeFile(work_ / (c.name + ".pdf"), std::string(c.pdf.begin(), c.pdf.end()));
        if (!c.seconds.empty()) setenv("GW_RENDER_TEST_SECONDS", c.seconds.c_str(), 1);
        const auto began = std::chrono::steady_clock::now();
        const pid_t program = start(
            GW_GLYPHWRIGHT_PATH, {"-inputPath", c.name + ".pdf", "-outputPath", c.name, "-assetType", "iOSIcon"}, c.name);
        unsetenv("GW_RENDER_TEST_SECONDS");
        // Stopped (SIGSTOP) once a second has started: the first is left to open the document.
        std::set<pid_t> helpers;
        std::atomic<bool> done{false};
        std::thread watch([&] {
            for (pid_t first = 0; !done; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                for (const pid_t pid : renderHelpersOf(program)) {
                    if (!helpers.insert(pid).second) continue;
                    if (first == 0) {
                        first = pid;
                    } else if (c.stopHelpers) {
                        if (helpers.size() == 2) kill(first, SIGSTOP);
                        kill(pid, SIGSTOP);
                    }
                }
            }
        });
        const auto run = finish(program, c.name);
        const auto took = std::chrono::steady_clock::now() - began;
        done = true;
        watch.join();
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("Catalog creation failed"), std::string::npos) << run.err;
        EXPECT_TRUE(std::ranges::any_of(c.reasons, [&](const auto& r) { return run.err.find(r) != std::string::npos; }))
            << run.err;
        EXPECT_EQ(run.err.find("could not be drawn completely"), std::string::npos) << run.err;
        EXPECT_TRUE(!c.stopHelpers || helpers.size() >= 2) << "no helper was stopped";
        // One helper a processor (eight at most) until the first limit, and one drawing the
        // page alone after the memory limit; size by size it took some forty.
        EXPECT_LE(helpers.size(), 9u);
        // About one limit, on a loaded two-core machine too.
        EXPECT_LT(took, std::chrono::seconds(c.seconds.empty() ? 2 * render::kWallSeconds + 8 : 12));
    }
}

}  // namespace
