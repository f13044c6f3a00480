#include "support/desktop/desktop_recorder.hpp"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace gwtest::desktop {

DesktopRecorder::DesktopRecorder() : script_(dir_ / "recorder"), log_(dir_ / "invocations.log") {
    // One line per invocation, arguments separated by a unit separator; the line is
    // written whole with one printf so a reader never sees half of it.
    writeFile(script_, "#!/bin/sh\n"
                       "line=''\n"
                       "for a in \"$@\"; do line=\"$line$a$(printf '\\037')\"; done\n"
                       "printf '%s\\n' \"$line\" >> '" + log_.string() + "'\n");
    ::chmod(script_.c_str(), 0755);
}

std::vector<std::vector<std::string>> DesktopRecorder::invocations() const {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // a line still being written
        std::vector<std::string> args;
        std::size_t start = 0;
        for (std::size_t end; (end = line.find('\037', start)) != std::string::npos; start = end + 1) {
            args.push_back(line.substr(start, end - start));
        }
        out.push_back(std::move(args));
    }
    return out;
}

bool DesktopRecorder::waitForInvocations(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (invocations().size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

ScopedPlainDesktop::ScopedPlainDesktop(const DesktopRecorder& recorder) : recorder_(recorder) {
    const auto set = [this](const char* name, const std::optional<std::string>& value) {
        env_.push_back(std::make_unique<ScopedEnv>(name, value));
    };
    for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
                             "MATE_DESKTOP_SESSION_ID", "DISPLAY", "WAYLAND_DISPLAY"}) {
        set(name, std::nullopt);
    }
    std::filesystem::create_directories(dir_ / "data" / "applications");
    std::filesystem::create_directories(dir_ / "config");
    std::filesystem::create_directories(dir_ / "system-data");
    std::filesystem::create_directories(dir_ / "system-config");
    set("XDG_DATA_HOME", (dir_ / "data").string());
    set("XDG_CONFIG_HOME", (dir_ / "config").string());
    set("XDG_DATA_DIRS", (dir_ / "system-data").string());
    set("XDG_CONFIG_DIRS", (dir_ / "system-config").string());
    set("BROWSER", recorder.scriptPath().string());
}

ScopedPlainDesktop::~ScopedPlainDesktop() {
    while (!env_.empty()) env_.pop_back();
}

void ScopedPlainDesktop::useRecorderAsMailHandler() {
    writeFile(dir_ / "data" / "applications" / "gw-recorder.desktop",
              "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + recorder_.scriptPath().string() +
                  " %u\nMimeType=x-scheme-handler/mailto;\n");
    writeFile(dir_ / "config" / "mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=gw-recorder.desktop\n");
    env_.push_back(std::make_unique<ScopedEnv>("DISPLAY", ":gw-no-display"));
    env_.push_back(std::make_unique<ScopedEnv>("BROWSER", std::nullopt));
}

}  // namespace gwtest::desktop
