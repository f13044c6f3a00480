// An iOS icon from one 1024 x 1024 picture, made from the window (create clicked until
// the run's last folder result is handled) and by the command line (the whole process),
// into a fresh folder each time.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_operations.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/ui/desktop_application.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/log/system_log.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace pg = platform::graphics;
namespace pf = platform::foundation;

fs::path scratch;
fs::path picture;

void writePicture() {
    const int side = 1024;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            auto* p = &pixels[(static_cast<std::size_t>(y) * side + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / side);
            p[1] = static_cast<std::uint8_t>(y * 255 / side);
            p[2] = 0x80;
            p[3] = 0xFF;
        }
    }
    const auto image = pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), false)));
    const auto data = gw::pngData(*image);
    picture = scratch / "Icon.png";
    std::ofstream(picture, std::ios::binary).write(reinterpret_cast<const char*>(data->data()),
                                                   static_cast<std::streamsize>(data->size()));
}

int runProgram(const std::vector<std::string>& arguments) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        // The progress lines would mix with the benchmark's table.
        if (const int null = ::open("/dev/null", O_WRONLY); null >= 0) ::dup2(null, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_IOSIconFromTheWindow(benchmark::State& state) {
    auto app = gw::ui::DesktopApplication::make();
    app->window->show();
    app->engine->addImage(pf::URL::fileURL(picture));
    auto* create = app->mainViewController->createAssetCatalogButton();
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto out = scratch / ("window-" + std::to_string(run++));
        fs::create_directories(out);
        app->engine->setOutputDirectory(pf::URL::fileURL(out, true));
        QApplication::processEvents();
        state.ResumeTiming();
        create->click();
        while (!create->isEnabled()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    app->engine->waitUntilAllOperationsAreFinished();
}
BENCHMARK(BM_IOSIconFromTheWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_IOSIconFromTheCommandLine(benchmark::State& state) {
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto out = scratch / ("cli-" + std::to_string(run++));
        fs::create_directories(out);
        state.ResumeTiming();
        const int status = runProgram({GW_GLYPHWRIGHT_PATH, "-inputPath", picture.string(), "-outputPath", out.string(),
                                       "-assetType", "iOSIcon"});
        if (status != 0) {
            state.SkipWithError("the command line failed");
            break;
        }
    }
}
BENCHMARK(BM_IOSIconFromTheCommandLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("GW_RESOURCES_DIR", GW_SOURCE_DIR "/resources", 1);
    // No notification server or file manager to wait for.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    char made[] = "/tmp/gw-window-bench-XXXXXX";
    if (!::mkdtemp(made)) return 1;
    scratch = made;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        ::setenv(name, (scratch / name).c_str(), 1);
    }
    platform::log::setLoggingEnabled(false);
    if (runProgram({GW_GRANT_ROOT_PATH, "/"}) != 0) return 1;
    platform::appkit::qt::Application application(argc, argv);
    auto& defaults = pf::UserDefaults::standard();
    defaults.setBool(true, "suppressAllPromptsToReview");
    defaults.setBool(false, "OpenFinder");
    defaults.setBool(false, "ShowInstructions");
    writePicture();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(scratch);
    return 0;
}
