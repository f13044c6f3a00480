// Developer tool: grants FOLDER as the command line's root folder, through the same
// controller the preferences switch uses, for machines without a display and for tests.
#include "app/shell/command_line_enabled_controller.hpp"
#include "platform/foundation/url.hpp"

#include <cstdio>
#include <exception>
#include <filesystem>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gw-grant-root FOLDER\n");
        return 2;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder = fs::absolute(argv[1], error);
    if (error || !fs::is_directory(folder, error)) {
        std::fprintf(stderr, "gw-grant-root: %s is not a folder\n", argv[1]);
        return 2;
    }
    gw::CommandLineEnabledController controller;
    controller.setErrorPresenter([](const std::exception& failure) {
        std::fprintf(stderr, "gw-grant-root: %s\n", failure.what());
    });
    const auto url = platform::foundation::URL::fileURL(folder, true);
    if (!controller.saveRootBookmark(url)) return 1;
    std::printf("gw-grant-root: the command line may now be used; root folder %s\n", url.path().c_str());
    return 0;
}
