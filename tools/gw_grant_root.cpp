// Developer tool: grants FOLDER as the command line's root folder, through the same
// controller the preferences switch uses, for machines without a display and for tests.
#include "app/shell/command_line_enabled_controller.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/utf8.hpp"

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// A path or a reason as the terminal may show it.
std::string shown(std::string_view text) { return platform::foundation::escapedForDisplay(text); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gw-grant-root FOLDER\n");
        return 2;
    }
    // Settings past the user's limit on file sizes fail to be saved, with their reason,
    // rather than ending the tool by the kernel's signal.
    std::signal(SIGXFSZ, SIG_IGN);
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder = fs::absolute(argv[1], error);
    if (error || !fs::is_directory(folder, error)) {
        std::fprintf(stderr, "gw-grant-root: %s is not a folder\n", shown(argv[1]).c_str());
        return 2;
    }
    gw::CommandLineEnabledController controller;
    // Settings that could not be read were moved aside on the way in: the grant made
    // now starts them afresh, and the user should know where the old ones went.
    if (const auto aside = platform::foundation::UserDefaults::standard().setAsideStore()) {
        std::fprintf(stderr, "gw-grant-root: the settings file %s could not be read (%s); ", shown(aside->original.string()).c_str(),
                     shown(aside->reason).c_str());
        if (aside->movedTo.empty()) {
            std::fprintf(stderr, "it could not be moved aside, so it is left as it is and nothing is saved over it: "
                                 "move it away or remove it, then grant again\n");
        } else {
            std::fprintf(stderr, "it was moved to %s\n", shown(aside->movedTo.string()).c_str());
        }
    }
    controller.setErrorPresenter([](const std::exception& failure) {
        std::fprintf(stderr, "gw-grant-root: %s\n", shown(failure.what()).c_str());
    });
    const auto url = platform::foundation::URL::fileURL(folder, true);
    if (!controller.saveRootBookmark(url)) return 1;
    std::printf("gw-grant-root: the command line may now be used; root folder %s\n", shown(url.path()).c_str());
    return 0;
}
