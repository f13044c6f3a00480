// The window application's entry: `glyphwright` hands over to this program when it is
// given no option. It refuses plainly when there is no display (the toolkit would abort),
// then runs the application delegate's life cycle around the main window.
#include "app/foundation/localized_string.hpp"
#include "app/ui/desktop_application.hpp"
#include "platform/appkit/qt/life_cycle.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all: a log-out that comes during start-up still ends in order.
    platform::appkit::qt::LifeCycle::installSignalHandlers();
    // A launch that went before reading its answer, or a saved state past the file size
    // limit, is a failed write to be told, never the end of the window and its pictures.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (!hasDisplay()) {
        const std::string message = gw::LocalizedString::text("desktop.launch.no-display", "glyphwright");
        std::fprintf(stderr, "%s\n", message.c_str());
        return 2;
    }
    return gw::ui::runDesktopApplication(argc, argv);
}
