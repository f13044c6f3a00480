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

}  // namespace
