// The window program's entry through the built executables: `glyphwright` without an
// option hands the process over to `glyphwright-desktop` beside it, which refuses
// plainly without a display, and ends in order on SIGTERM and SIGINT, saving its state
// (and saying why when that comes before its window appeared).
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Child {
    pid_t pid = -1;
    fs::path errFile;
};

class DesktopEntry : public ::testing::Test {
protected:
    gwtest::TempDir dir_;

    std::vector<std::string> environment(const std::optional<std::string>& platform) const {
        std::vector<std::string> env;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const auto name = text.substr(0, text.find('='));
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" || name == "HOME" ||
                name.rfind("XDG_", 0) == 0)
                continue;
            env.push_back(text);
        }
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "HOME"}) {
            const auto folder = dir_.path() / "xdg" / name;
            fs::create_directories(folder);
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
            env.push_back(std::string(name) + "=" + folder.string());
        }
        env.push_back(std::string("GW_RESOURCES_DIR=") + GW_SOURCE_DIR + "/resources");
        if (platform) env.push_back("QT_QPA_PLATFORM=" + *platform);
        return env;
    }

    Child start(const std::string& program, const std::optional<std::string>& platform,
                const std::vector<std::string>& arguments = {}) const {
        Child child;
        child.errFile = dir_.path() / "stderr.txt";
        std::vector<std::string> args{program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        auto env = environment(platform);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        child.pid = ::fork();
        if (child.pid == 0) {
            const int err = ::open(child.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = ::open("/dev/null", O_RDWR);
            if (err < 0 || null < 0) ::_exit(126);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err, 2);
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        return child;
    }

    // The exit status; -1 when it ended otherwise (then the test fails).
    static int wait(const Child& child) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (::waitpid(child.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child.pid, SIGKILL);
                ::waitpid(child.pid, &status, 0);
                ADD_FAILURE() << "the window program did not end";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Whether the process runs the window program and catches `signal` (its handlers are
    // installed first thing, so from then on the signal ends it in order).
    static bool catches(pid_t pid, int signal) {
        std::error_code error;
        const auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        if (error || exe.filename() != "glyphwright-desktop") return false;
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0) {
                const auto mask = std::stoull(line.substr(7), nullptr, 16);
                return (mask >> (signal - 1)) & 1;
            }
        }
        return false;
    }
};

TEST_F(DesktopEntry, WithoutADisplayOrTheWindowProgramItRefusesWithOneMessageAndStatusTwo) {
    // A copy of the command without the window program beside it.
    const auto lone = dir_.path() / "lone" / "glyphwright";
    fs::create_directories(lone.parent_path());
    fs::copy_file(GW_GLYPHWRIGHT_PATH, lone);
    struct Case {
        const char* name;
        std::string program;
        std::optional<std::string> platform;
        const char* message;
        // The command hands over only a start without arguments; the window program
        // itself takes the files a file manager gives it.
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"no display", GW_GLYPHWRIGHT_PATH, std::nullopt, "there is no display to open the window on", {}},
        {"no display, window program started directly", GW_DESKTOP_PATH, std::nullopt,
         "there is no display to open the window on", {"picture.png"}},
        {"window program missing", lone.string(), "offscreen", "glyphwright-desktop is missing", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto child = start(c.program, c.platform, c.arguments);
        EXPECT_EQ(wait(child), 2);
        const auto err = read(child.errFile);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("qt.qpa"), std::string::npos) << err;
    }
}

TEST_F(DesktopEntry, TerminationSignalsEndTheWindowProgramInOrderAndItsStateIsSaved) {
    const auto saved = dir_.path() / "xdg/XDG_DATA_HOME/com.norvane.glyphwright/saved_glyphwright";
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        fs::remove(saved);
        const auto child = start(GW_GLYPHWRIGHT_PATH, "offscreen");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!catches(child.pid, signal) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(child.pid, signal);
        EXPECT_EQ(wait(child), 0) << read(child.errFile);
        // It came before the window could appear: the program says so, and why.
        const std::string why = std::string("ended before its window appeared: it was asked to end (") +
                                (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")";
        EXPECT_NE(read(child.errFile).find(why), std::string::npos) << read(child.errFile);
        ASSERT_TRUE(fs::exists(saved));
        const auto state = read(saved);
        EXPECT_NE(state.find("\"imageInputs\":[]"), std::string::npos) << state;
    }
}

}  // namespace
