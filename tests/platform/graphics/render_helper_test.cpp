// The renderer helper is the guarantee behind the page scan: a page the scan lets
// through (here fed to the helper straight, as one built to get past it would be) is
// stopped by the helper's own limits, named in the reason, within seconds and far below
// the machine's memory; a helper that crashes or is stopped fails its drawing and leaves
// no process or descriptor behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <thread>

#include "platform/graphics/image.hpp"
#include "platform/graphics/interruption.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/renderer_budget.hpp"
#include "platform/graphics/resample.hpp"
#include "support/picture_samples.hpp"
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

// The descriptors a process holds.
std::set<int> descriptorsOf(pid_t pid) {
    std::set<int> out;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') out.insert(std::atoi(entry->d_name));
        }
        closedir(dir);
    }
    return out;
}

// Whether a process has ended (gone, or a zombie nobody has reaped yet).
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' || line[close + 2] == 'X';
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
        // Which time limit ends it first depends on the machine's load (told apart below).
        const auto pdf = samples::tintTransformPdf("image", 60000, 1024);
        pg::RenderClient client(pdf);
        pg::RenderFailure failure;
        EXPECT_FALSE(client.pixels(pixelsOf(64, 0.0625), &failure));
        EXPECT_TRUE(failure.problem == P::pastProcessorTimeLimit || failure.problem == P::pastTimeLimit)
            << failure.why;
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

// A page each drawing of which takes a good share of the processor time limit is drawn
// whole once it has proved so, at the largest size asked, and its other sizes are that
// drawing made smaller: an icon set of it costs a few drawings, not one for each size.
TEST(RenderHelper, APageThatProvedExpensiveIsDrawnOnceWholeAndItsOtherSizesAreMadeFromThatDrawing) {
    setenv("GW_RENDER_TEST_SECONDS", "2,10", 1);
    {
        // The 8192 px picture is decoded twice at every drawing, whatever its size.
        auto image = pg::Image::fromData(samples::repeatedImagePdf(8192, 2));
        ASSERT_TRUE(image);
        std::vector<int> asked;
        std::vector<pg::BitmapPtr> drawn;
        for (const int side : {256, 240, 200, 180, 160, 120, 100, 87, 80, 64, 58, 40}) {
            const int before = pg::RenderClient::drawingsAsked();
            drawn.push_back(image->renderBitmap(side, side));
            ASSERT_TRUE(drawn.back()) << side;
            asked.push_back(pg::RenderClient::drawingsAsked() - before);
        }
        EXPECT_LT(std::accumulate(asked.begin(), asked.end(), 0), int(asked.size()) / 2);
        // The last sizes asked no helper: they are the largest drawing made smaller.
        EXPECT_EQ(std::accumulate(asked.end() - 3, asked.end(), 0), 0);
        const auto &largest = *drawn.front(), &small = *drawn.back();
        int stride = 0;
        const auto smaller = pg::resampleArgb32(
            pg::PixelView{largest.data(), largest.width(), largest.height(), largest.stride()}, 40, 40, &stride);
        int most = 0;
        for (int i = 0; i < 40 * 40 * 4; ++i) {
            const int y = i / 160, x = i % 160;
            most = std::max(most, std::abs(int(small.data()[y * small.stride() + x]) - int(smaller[y * stride + x])));
        }
        EXPECT_LE(most, 1);
    }
    unsetenv("GW_RENDER_TEST_SECONDS");
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
}

// A page a limit stopped is drawn no more: a drawing of it whose helper was stopped from
// outside (it could only end at the limit of time in all) ends with the processor-time
// limit another drawing met, and a later one fails with it at once, starting no helper.
// A page that only needs the largest memory limit still comes out whole in every drawing.
TEST(RenderHelper, APageALimitStoppedEndsItsOtherDrawingsWithThatLimitsReason) {
    setenv("GW_RENDER_TEST_SECONDS", "1,10", 1);
    {
        const auto slow = samples::tintTransformPdf("image", 60000, 1024);
        pg::RenderClient client(slow);
        const auto request = pixelsOf(64, 0.0625);
        pg::RenderFailure stalled, running, later;
        std::chrono::steady_clock::time_point stalledEnded;
        const int before = pg::RenderClient::helpersStarted();
        std::thread first([&] {
            EXPECT_FALSE(client.pixels(request, &stalled));
            stalledEnded = std::chrono::steady_clock::now();
        });
        // Counted once the helper runs its program: stopped before, it would hold up every start.
        for (int i = 0; i < 3000 && pg::RenderClient::helpersStarted() == before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto helpers = children();
        EXPECT_EQ(helpers.size(), 1u);
        if (helpers.size() == 1) kill(helpers.front(), SIGSTOP);
        EXPECT_FALSE(client.pixels(request, &running));
        const auto runningEnded = std::chrono::steady_clock::now();
        first.join();
        // Ended with the other drawing, not at its own limit of time in all.
        EXPECT_LT(stalledEnded - runningEnded, std::chrono::seconds(5));
        EXPECT_EQ(running.problem, P::pastProcessorTimeLimit) << running.why;
        EXPECT_NE(running.why.find("processor time limit of 1 seconds"), std::string::npos) << running.why;
        EXPECT_EQ(stalled.problem, running.problem) << stalled.why;
        EXPECT_EQ(stalled.why, running.why);
        const int started = pg::RenderClient::helpersStarted();
        EXPECT_FALSE(client.pixels(request, &later));
        EXPECT_EQ(later.why, running.why);
        EXPECT_EQ(pg::RenderClient::helpersStarted(), started) << "a stopped page started a helper";
    }
    unsetenv("GW_RENDER_TEST_SECONDS");
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

TEST(RenderHelper, AHelperThatCannotStartOrEndedWhileIdleNeitherHangsNorFailsTheNextDrawing) {
    const auto pdf = samples::pdf(64, 64);
    {
        // A helper keeps to its own descriptors, whatever the program left open.
        const int leaked = open("/dev/null", O_RDONLY);
        pg::RenderClient client(pdf);
        pg::RenderFailure failure;
        // Started for a drawing on a thread that ends with it (a picture read in the
        // background), it serves the drawings after it.
        std::thread([&] { EXPECT_TRUE(client.pixels(pixelsOf(64, 1), &failure)) << failure.why; }).join();
        close(leaked);
        ASSERT_EQ(children().size(), 1u);
        const pid_t helper = children().front();
        EXPECT_EQ(descriptorsOf(helper), (std::set<int>{0, 1, 2, 3, 4}));
        EXPECT_TRUE(client.pixels(pixelsOf(64, 1), &failure)) << failure.why;
        ASSERT_EQ(children().size(), 1u);
        EXPECT_EQ(children().front(), helper);

        // One ended meanwhile (the system's out-of-memory killer, a user's kill) is
        // started again for the next drawing.
        kill(helper, SIGKILL);
        while (!ended(helper)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(client.pixels(pixelsOf(64, 1), &failure)) << failure.why;
    }
    {
        // Out of descriptors (a large batch, a program near its limit), no helper can
        // start: the drawing fails with the reason at once. (Last, with the pool's
        // threads made: a sanitizer cannot check objects made without a descriptor.)
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
        // One left: a helper's socket pair takes two.
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
        EXPECT_NE(failure.why.find("cannot start the renderer"), std::string::npos) << failure.why;
        EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    }
    EXPECT_TRUE(children().empty());
}

// Run by the test below in a process of its own: a helper draws a slow page until the
// process is killed; its pid is written to the file the variable names.
TEST(RenderHelperChild, DrawsUntilKilled) {
    const char* pidFile = std::getenv("GW_RENDER_HELPER_CHILD");
    if (pidFile == nullptr) GTEST_SKIP() << "run by a test in a process of its own";
    const auto slow = samples::tintTransformPdf("image", 60000, 1024);
    pg::RenderClient client(slow);
    std::thread drawing([&] {
        pg::RenderFailure failure;
        client.pixels(pixelsOf(64, 0.0625), &failure);
    });
    while (children().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Well into the page.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::ofstream(std::string(pidFile) + ".tmp") << children().front() << "\n";
    std::filesystem::rename(std::string(pidFile) + ".tmp", pidFile);
    drawing.join();
}

TEST(RenderHelper, AHelperEndsWithTheProgramThatStartedItEvenWhileItDraws) {
    gwtest::TempDir dir;
    gwtest::SelfLaunch launch{"RenderHelperChild.DrawsUntilKilled",
                              {{"GW_RENDER_HELPER_CHILD", (dir / "helper").string()}},
                              dir / "output"};
    const pid_t child = gwtest::spawnSelf(launch);
    ASSERT_GT(child, 0);
    pid_t helper = 0;
    for (int i = 0; i < 3000 && helper <= 0; ++i) {
        std::ifstream(dir / "helper") >> helper;
        if (helper <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    gwtest::waitForChild(child, std::chrono::seconds(10));
    ASSERT_GT(helper, 0) << "the program started no helper";
    // Left to itself the helper would draw on for its five seconds of processor time.
    const auto killed = std::chrono::steady_clock::now();
    while (!ended(helper) && std::chrono::steady_clock::now() - killed < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(3));
    if (!ended(helper)) kill(helper, SIGKILL);
}

TEST(RenderHelper, ManyDocumentsDrawnFromManyThreadsShareTheHelpersAndAStoppedRunEndsThemAll) {
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
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
