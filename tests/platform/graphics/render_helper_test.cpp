// The renderer helper is the guarantee behind the page scan: a page the scan lets
// through (here fed to the helper straight, as one built to get past it would be) is
// stopped by the helper's own limits, named in the reason, within seconds and far below
// the machine's memory; a helper that crashes or is stopped fails its drawing and leaves
// no process or descriptor behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/graphics/interruption.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/renderer_budget.hpp"
#include "support/picture_samples.hpp"

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

// The process's children, as the kernel lists them for each of its threads.
std::vector<pid_t> children() {
    std::vector<pid_t> out;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            std::ifstream list(std::string("/proc/self/task/") + entry->d_name + "/children");
            for (pid_t pid; list >> pid;) out.push_back(pid);
        }
        closedir(dir);
    }
    return out;
}

// The resident memory of the process's children, added up.
uint64_t childrenResidentBytes() {
    uint64_t bytes = 0;
    for (const pid_t pid : children()) {
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

TEST(RenderHelper, APagePastTheScanIsStoppedByTheHelpersLimitsNamedInTheReason) {
    const auto start = std::chrono::steady_clock::now();
    {
        // Poppler allocates the 100000 x 100000 page its JBIG2 data declares.
        const auto pdf = samples::jbig2ImagePdf(100000, 100000);
        pg::RenderClient client(pdf);
        pg::RenderFailure failure;
        EXPECT_FALSE(client.pixels(pixelsOf(100, 1), &failure));
        EXPECT_EQ(failure.problem, P::pastMemoryLimit) << failure.why;
        EXPECT_NE(failure.why.find(std::to_string(pg::render::kAddressSpaceBytes >> 20) + " MiB"), std::string::npos)
            << failure.why;
    }
    {
        // Each of the image's million pixels runs the 60000 operators of its tint transform.
        const auto pdf = samples::tintTransformPdf("image", 60000, 1024);
        pg::RenderClient client(pdf);
        pg::RenderFailure failure;
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        EXPECT_EQ(failure.problem, P::pastTimeLimit) << failure.why;
        EXPECT_NE(failure.why.find("seconds"), std::string::npos) << failure.why;
    }
    // The limits, not the machine, stopped them: well within the time a conversion may
    // take, and the helpers far below the memory one may use.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 1 << 20) << "KiB";
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
}

TEST(RenderHelper, ACrashedOrStoppedHelperFailsItsDrawingAndLeavesNothingBehind) {
    const int descriptors = openDescriptors();
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    {
        pg::RenderClient client(slow);
        // A helper that crashes while it draws.
        std::atomic<bool> done{false};
        std::thread killer([&] {
            while (!done) {
                for (const pid_t pid : children()) kill(pid, SIGSEGV);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        pg::RenderFailure failure;
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        done = true;
        killer.join();
        EXPECT_EQ(failure.problem, P::incompleteRender) << failure.why;
        EXPECT_NE(failure.why.find("crashed"), std::string::npos) << failure.why;

        // A drawing whose conversion is stopped meanwhile ends at once.
        const auto start = std::chrono::steady_clock::now();
        pg::InterruptionScope stopped([&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); });
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
        EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    }
    {
        // A document's idle helpers end with it.
        const auto pdf = samples::pdf(64, 64);
        pg::RenderClient client(pdf);
        pg::RenderFailure failure;
        auto pixels = client.pixels(pixelsOf(64, 1), &failure);
        ASSERT_TRUE(pixels) << failure.why;
        EXPECT_EQ(pg::RenderClient::helpersAlive(), 1);
    }
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    EXPECT_TRUE(children().empty());
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

    // Pages drawn at once whose helpers each hold some 250 MiB (an 8192 x 8192 image
    // drawn into a 1024 px icon): without the budget six held 1.3 to 1.5 GiB.
    const auto heavy = samples::repeatedImagePdf(8192, 1);
    pg::render::Request request = pixelsOf(1024, 10.24);
    request.addressSpace = Budget::limitFor(double(uint64_t{260} << 20));
    std::atomic<bool> drawing{true};
    std::atomic<uint64_t> mostResident{0};
    std::thread watcher([&] {
        while (drawing) {
            mostResident = std::max<uint64_t>(mostResident, childrenResidentBytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::thread> drawers;
    for (int i = 0; i < 6; ++i) {
        drawers.emplace_back([&] {
            pg::RenderClient client(heavy);
            pg::RenderFailure failure;
            EXPECT_TRUE(client.pixels(request, &failure)) << failure.why;
        });
    }
    for (auto& drawer : drawers) drawer.join();
    drawing = false;
    watcher.join();
    EXPECT_GT(mostResident, uint64_t{200} << 20) << "the drawings were not seen";
    EXPECT_LE(mostResident, Budget::kBytes);

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
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 1);
}

}  // namespace
