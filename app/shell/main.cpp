// Process entry: a one-shot command-line conversion when any argument is given, the
// desktop application otherwise. The choice is made from the arguments alone, before
// anything of a window toolkit is loaded, so command-line mode runs without a display
// and never pays for loading the toolkit: the window is a program of its own beside this
// one, which takes over the process.
#include "app/foundation/localized_string.hpp"
#include "app/shell/command_line_controller.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

std::filesystem::path desktopProgramPath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return self.parent_path() / "glyphwright-desktop";
}

int runDesktopApplication(int argc, char** argv) {
    const auto program = desktopProgramPath();
    if (!program.empty()) {
        std::vector<char*> arguments(argv, argv + argc);
        std::string programText = program.string();
        if (arguments.empty()) arguments.push_back(programText.data());
        else arguments[0] = programText.data();
        arguments.push_back(nullptr);
        ::execv(programText.c_str(), arguments.data());
    }
    const int error = errno;
    const std::string message =
        gw::LocalizedString::text("desktop.launch.missing-program", program.empty() ? "glyphwright-desktop" : program.string());
    std::fprintf(stderr, "%s (%s)\n", message.c_str(), std::strerror(error));
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Every message, that of a run without descriptors to spare included, needs the texts.
    try {
        gw::LocalizedString::load();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::vector<std::string> arguments(argv, argv + argc);
    auto controller = gw::CommandLineController::make(arguments);
    if (controller->shouldRun()) {
        // A file that would pass the user's limit on file sizes (`ulimit -f`) fails to be
        // written, with its reason, and the run puts back what it set aside: the signal the
        // kernel sends instead would end the run there, unsaid, with the user's catalog hidden.
        std::signal(SIGXFSZ, SIG_IGN);
        controller->run();
        return 0;
    }
    return runDesktopApplication(argc, argv);
}
