// Process entry: a one-shot command-line conversion when an option is given, the
// desktop application otherwise. The choice is made from the arguments alone, before
// anything of a window toolkit is loaded, so command-line mode runs without a display.
#include "app/shell/command_line_controller.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The desktop window is not part of this build; say so instead of failing obscurely.
int runDesktopApplication(const std::vector<std::string>& arguments) {
    const std::string program = arguments.empty() ? "glyphwright" : arguments.front();
    std::fprintf(stderr,
                 "%s: the desktop window is not available in this build.\n"
                 "Convert from the command line instead; '%s -help' shows how.\n",
                 program.c_str(), program.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    auto controller = gw::CommandLineController::make(arguments);
    if (controller->shouldRun()) {
        controller->run();
        return 0;
    }
    return runDesktopApplication(arguments);
}
