#include "platform/graphics/render_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "platform/graphics/interruption.hpp"
#include "platform/graphics/renderer_budget.hpp"

extern char** environ;

namespace platform::graphics {

namespace {

// Moves a descriptor above the one a helper is given, so that handing it over cannot
// overwrite it with another.
int highDescriptor(int fd) {
    if (fd < 0 || fd > render::kSocketFd) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, render::kSocketFd + 1);
    ::close(fd);
    return moved;
}

int processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return 1;
}

// What a helper printed, kept short: its first lines say what happened.
void keepPrinted(std::string& kept, int fd) {
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (kept.size() < 2048) kept.append(buffer, size_t(std::min<ssize_t>(n, ssize_t(2048 - kept.size()))));
    }
}

std::string firstLine(const std::string& printed) {
    const std::string line = printed.substr(0, printed.find('\n'));
    return line.empty() ? std::string() : fmt::format(" (it said \"{}\")", line.substr(0, 200));
}

// Empties the memory file `fd` (none: -1) of what a drawing left in it, keeping its size,
// for the next drawing into it: pixels, sealed at their size, are zeroed where they are.
bool emptied(int fd) {
    struct stat info{};
    if (fd < 0) return true;
    if (::fstat(fd, &info) != 0) return false;
    if ((::fcntl(fd, F_GET_SEALS) & F_SEAL_SHRINK) != 0) {
        return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, info.st_size) == 0;
    }
    return ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, info.st_size) == 0 && ::lseek(fd, 0, SEEK_SET) == 0;
}

// How often a drawing under way looks at how long its helper has been silent (a
// helper speaks every render::kProgressSeconds while it has a drawing).
constexpr double kLookSeconds = 0.5;

// Reaps `pid`, which is ending or has ended by itself: killed after `grace` if it has
// not, so that no caller waits on a helper that hangs on its way out. Its wait status.
int reap(pid_t pid, std::chrono::milliseconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    // Its end is waited for on a pidfd, so that the program's own end follows at once;
    // without one, in steps of a millisecond.
    const int process = int(::syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            if (process >= 0) ::close(process);
            return done == pid ? status : 0;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (done == 0 && left <= std::chrono::steady_clock::duration::zero()) break;
        if (pollfd ended{process, POLLIN, 0}; process >= 0) {
            ::poll(&ended, 1, int(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (process >= 0) ::close(process);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Starts helpers on a thread of its own that lives as long as the process: a helper is
// killed when the thread that started it ends (PR_SET_PDEATHSIG follows that thread,
// not the process), and a drawing thread may end while its helpers still serve others.
class Spawner {
public:
    static Spawner& shared() {
        // Never destroyed: its thread waits for work until the process ends.
        static auto* spawner = new Spawner();
        return *spawner;
    }

    // Runs `work` on the spawning thread and waits for it; on this thread when none
    // could be made. (Nothing shared is allocated for it: it runs when the process may
    // be out of descriptors, where a sanitizer cannot check such objects.)
    void run(const std::function<void()>& work) {
        if (!running_) {
            work();
            return;
        }
        Job job{&work};
        std::unique_lock lock(mutex_);
        queue_.push_back(&job);
        ready_.notify_all();
        done_.wait(lock, [&] { return job.done; });
    }

private:
    Spawner() {
        try {
            std::thread([this] { loop(); }).detach();
            running_ = true;
        } catch (const std::system_error&) {
        }
    }

    struct Job {
        const std::function<void()>* work;
        bool done = false;
    };

    void loop() {
        std::unique_lock lock(mutex_);
        while (true) {
            ready_.wait(lock, [this] { return !queue_.empty(); });
            Job* job = queue_.front();
            queue_.pop_front();
            lock.unlock();
            try {
                (*job->work)();
            } catch (...) {
                // Its caller finds nothing started.
            }
            lock.lock();
            job->done = true;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_, done_;
    std::deque<Job*> queue_;
    bool running_ = false;
};

}  // namespace

namespace {

// Why the helper at `path` cannot be run, naming it; empty when it can be.
std::string unusableHelper(const std::string& path) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) {
        const int error = errno;
        return error == ENOENT ? fmt::format("the renderer glyphwright-render is missing: there is none at {}", path)
                               : fmt::format("the renderer {} cannot be reached: {}", path, std::strerror(error));
    }
    if (S_ISDIR(info.st_mode)) return fmt::format("the renderer {} is a folder, not a program", path);
    if (!S_ISREG(info.st_mode)) return fmt::format("the renderer {} is not a program", path);
    if (::access(path.c_str(), X_OK) != 0) {
        return fmt::format("the renderer {} cannot be run: {}", path, std::strerror(errno));
    }
    return {};
}

// A helper as the program holds it: its process, a pidfd that is readable once it has
// ended, and its socket. Drawings under way hold it too, so that a helper ended and
// replaced meanwhile is still the one they ask about.
struct Helper {
    pid_t pid = -1;
    int socket = -1;
    int process = -1;
    // Why it was ended, once it was (reaped then): what the drawings it had in flight are
    // told. Guarded by the lock that starts and ends helpers.
    std::string endedBecause;
    bool ended = false;

    Helper() = default;
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper() {
        if (socket >= 0) ::close(socket);
        if (process >= 0) ::close(process);
    }

    // Whether its process has ended (a zombie not yet reaped), waiting `most` for its pidfd
    // to say so.
    bool gone(std::chrono::milliseconds most = std::chrono::milliseconds(0)) const {
        if (pollfd watched{process, POLLIN, 0}; process >= 0) ::poll(&watched, 1, int(most.count()));
        siginfo_t info{};
        return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
    }
};
using HelperPtr = std::shared_ptr<Helper>;

// Why no process (or thread) could be made for the renderer: the user's limit of
// processes, which the program's threads count against too, when there is one.
std::string noProcessReason() {
    rlimit processes{};
    if (::getrlimit(RLIMIT_NPROC, &processes) == 0 && processes.rlim_cur != RLIM_INFINITY) {
        return fmt::format("the limit of {} processes of the user is reached", processes.rlim_cur);
    }
    return "the system makes no more processes";
}

// How a helper ended, in the words a drawing it had in flight fails with.
std::string endOf(int status) {
    if (WIFSIGNALED(status)) return fmt::format("the renderer was ended by signal {}", WTERMSIG(status));
    return fmt::format("the renderer ended with status {}", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

// The process-wide helpers (one for each kind of document, started when first needed)
// and the places for drawings under way: at most one a processor.
class Helpers {
public:
    static Helpers& shared() {
        static Helpers* helpers = [] {
            auto* made = new Helpers();
            std::atexit([] { shared().killAll(); });
            return made;
        }();
        return *helpers;
    }

    // Waits for a place for a drawing; false when the thread's work was stopped or
    // `stopped` said so meanwhile.
    bool take(const std::function<bool()>& stopped) {
        std::unique_lock lock(mutex_);
        while (busy_ >= capacity_) {
            if (interruptionRequested() || (stopped && stopped())) return false;
            released_.wait_for(lock, std::chrono::milliseconds(50));
        }
        ++busy_;
        return true;
    }

    void giveBack() {
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        released_.notify_all();
    }

    // Waits until another drawing gives its place back, or `most`.
    void awaitRelease(std::chrono::milliseconds most) {
        std::unique_lock lock(mutex_);
        released_.wait_for(lock, most);
    }

    enum class Sent {
        yes,       // the helper has the drawing
        full,      // the helper has not yet taken what it was sent before: ask again
        no,        // no helper could be started or asked; `failure` says why
        roomless,  // no helper could be started for want of a process; `failure` says so
    };

    // Asks the helper of `kind` for a drawing's process (started, or started again once
    // when it has ended), never waiting for it to take the request; `asked` is the helper.
    Sent spawn(render::Kind kind, const render::Spawn& spawn, const int (&fds)[render::kSpawnFds],
               RenderFailure* failure, HelperPtr* asked) {
        std::lock_guard lock(spawnMutex_);
        HelperPtr& server = servers_[int(kind)];
        for (int round = 0; round < 2; ++round) {
            // One that ended while idle (the system's out-of-memory killer, a user) had
            // nothing in flight: it is reaped and another started.
            if (server && server->gone()) {
                endGroup(*server);
                end(kind, server, reap(server->pid, std::chrono::milliseconds(0)));
            }
            if (bool roomless = false; !server && !startServer(server, kind, failure, &roomless)) {
                return roomless ? Sent::roomless : Sent::no;
            }
            *asked = server;
            const int error = render::sendRecord(server->socket, &spawn, sizeof spawn, fds,
                                                 spawn.hasOutput ? render::kSpawnFds : render::kSpawnFds - 1);
            if (error == 0) {
                ++started_;
                return Sent::yes;
            }
            if (error == EAGAIN || error == ENOBUFS) return Sent::full;
            // It ended since it last served.
            endGroup(*server);
            end(kind, server, reap(server->pid, std::chrono::milliseconds(0)));
        }
        failure->problem = PictureProblem::rendererUnavailable;
        failure->why = fmt::format("the renderer {} ended as it started", RenderClient::helperPath());
        return Sent::no;
    }

    // Ends `helper`, which a drawing found gone (its socket closed) or not answering,
    // unless that was done already; why it ended, for the drawings it had in flight. A
    // process's descriptors close a moment before it has ended, so one whose socket closed
    // is given a moment; one still there then has only dropped the drawing, and stays: the
    // reason is empty.
    std::string lose(render::Kind kind, const HelperPtr& helper, bool answering) {
        std::lock_guard lock(spawnMutex_);
        if (helper->ended) return helper->endedBecause;
        if (helper->gone(std::chrono::milliseconds(answering ? 1000 : 0))) {
            endGroup(*helper);
            const int status = reap(helper->pid, std::chrono::milliseconds(0));
            // It may have said why before it ended.
            render::HelperNote note;
            const bool noted = ::recv(helper->socket, &note, sizeof note, MSG_DONTWAIT) == ssize_t(sizeof note);
            end(kind, helper, status,
                noted && note.threadError == EAGAIN
                    ? fmt::format("the renderer could not start a thread: {}", noProcessReason())
                    : std::string());
        } else if (!answering) {
            endGroup(*helper);
            reap(helper->pid, std::chrono::milliseconds(0));
            end(kind, helper, 0, "the renderer stopped answering");
        }
        return helper->endedBecause;
    }

    // Starts the helper of `kind` unless it runs, on a thread of its own.
    void prepare(render::Kind kind) {
        {
            std::lock_guard lock(spawnMutex_);
            if (servers_[int(kind)] || preparing_[int(kind)]) return;
            preparing_[int(kind)] = true;
        }
        try {
            std::thread([this, kind] {
                std::lock_guard lock(spawnMutex_);
                preparing_[int(kind)] = false;
                RenderFailure failure;
                // One that cannot start is told so by the drawing that needs it.
                bool roomless = false;
                if (!servers_[int(kind)]) startServer(servers_[int(kind)], kind, &failure, &roomless);
            }).detach();
        } catch (const std::system_error&) {
            std::lock_guard lock(spawnMutex_);
            preparing_[int(kind)] = false;
        }
    }

    int alive() {
        std::lock_guard lock(mutex_);
        return busy_;
    }

    std::vector<int> servers() {
        std::lock_guard lock(spawnMutex_);
        std::vector<int> out;
        for (const auto& server : servers_) {
            if (server) out.push_back(server->pid);
        }
        return out;
    }

    int server(render::Kind kind) {
        std::lock_guard lock(spawnMutex_);
        return servers_[int(kind)] ? int(servers_[int(kind)]->pid) : 0;
    }

    static int started() { return started_; }

private:
    Helpers() : capacity_(render::drawingsAtOnce(processors())) {}

    // Kills the helper and every process of its group (its drawings and the processes it
    // forked ahead), while it is not yet reaped: its pid names the group only until then.
    static void endGroup(const Helper& helper) {
        ::kill(-helper.pid, SIGKILL);
        ::kill(helper.pid, SIGKILL);
    }

    // Marks `helper`, reaped with `status`, as ended; the server of its kind no more.
    void end(render::Kind kind, const HelperPtr& helper, int status, std::string why = {}) {
        helper->ended = true;
        helper->endedBecause = why.empty() ? endOf(status) : std::move(why);
        if (servers_[int(kind)] == helper) servers_[int(kind)].reset();
    }

    // Starts the helper of `kind` into `server`; false with the reason when it cannot, and
    // `roomless` when that was for want of a process.
    bool startServer(HelperPtr& server, render::Kind kind, RenderFailure* failure, bool* roomless) {
        auto made = std::make_shared<Helper>();
        bool started = false;
        // On the spawning thread: a helper is killed when the thread that started it ends.
        Spawner::shared().run([&] { started = launch(*made, kind, failure, roomless); });
        if (!started && failure->why.empty()) {
            failure->problem = PictureProblem::rendererUnavailable;
            failure->why = "cannot start the renderer";
        }
        if (started) server = std::move(made);
        return started;
    }

    static bool launch(Helper& server, render::Kind kind, RenderFailure* failure, bool* roomless) {
        const std::string path = RenderClient::helperPath();
        auto fail = [&](PictureProblem problem, std::string why) {
            failure->problem = problem;
            failure->why = std::move(why);
            return false;
        };
        if (std::string why = unusableHelper(path); !why.empty()) {
            return fail(PictureProblem::rendererUnavailable, std::move(why));
        }
        // Once it draws documents, no other process of the user (a drawing's, should one get
        // past its filter) may trace the program or take its descriptors: its files, and its
        // sockets to its helpers, where the requests of every picture pass.
        ::prctl(PR_SET_DUMPABLE, 0);
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            const int error = errno;
            return fail(problemOfOpening(error) == PictureProblem::tooManyOpenFiles ? PictureProblem::tooManyOpenFiles
                                                                                    : PictureProblem::rendererUnavailable,
                        fmt::format("cannot start the renderer: {}", std::strerror(error)));
        }
        const int theirs = highDescriptor(pair[1]);
        if (theirs < 0) {
            const int error = errno;
            ::close(pair[0]);
            return fail(problemOfOpening(error), fmt::format("cannot start the renderer: {}", std::strerror(error)));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, theirs, render::kSocketFd);
        // Signals the program ignores or blocks would stay so in the helper; a drawing
        // past its processor time must end on SIGXCPU.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        // A group of its own, which its drawings cannot leave: the program ends it whole.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        std::vector<std::string> environment;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "MALLOC_ARENA_MAX=", 17) != 0) environment.emplace_back(*entry);
        }
        // One allocation arena: each further one reserves 64 MiB of address space.
        environment.emplace_back("MALLOC_ARENA_MAX=1");
        std::vector<char*> envp;
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        char name[] = "glyphwright-render";
        // The helper ends when the program does; it checks that the program that started
        // it is still its parent once it has asked for that.
        std::string parent = std::to_string(::getpid());
        std::string kindName = render::kindArgument(kind);
        char* argv[] = {name, parent.data(), kindName.data(), nullptr};
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(theirs);
        if (spawned != 0) {
            ::close(pair[0]);
            *roomless = spawned == EAGAIN;
            return fail(spawned == EMFILE || spawned == ENFILE ? PictureProblem::tooManyOpenFiles
                                                                : PictureProblem::rendererUnavailable,
                        fmt::format("cannot start the renderer {}: {}", path,
                                    spawned == EAGAIN ? noProcessReason() : std::strerror(spawned)));
        }
        server.pid = pid;
        server.socket = pair[0];
        server.process = int(::syscall(SYS_pidfd_open, pid, 0));
        return true;
    }

    void killAll() {
        // At exit other threads may still be drawing: each helper, told so by its socket's
        // end, ends its processes and reaps them before it ends, so that none outlives the
        // program even for a moment; one that does not at once is killed, and its processes
        // with it (each asks for that as it starts).
        // (A helper being started meanwhile is waited for a moment; one started after
        // this ends with the thread that started it.)
        std::unique_lock lock(spawnMutex_, std::defer_lock);
        for (int tries = 0; tries < 100 && !lock.try_lock(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (auto& server : servers_) {
            if (server) ::shutdown(server->socket, SHUT_RDWR);
        }
        for (auto& server : servers_) {
            if (!server) continue;
            // Whatever of its group is left then (a drawing that did not end with it) ends
            // with it.
            server->gone(std::chrono::milliseconds(200));
            endGroup(*server);
            reap(server->pid, std::chrono::milliseconds(0));
        }
    }

    std::mutex mutex_;
    std::condition_variable released_;
    int busy_ = 0;
    int capacity_;
    std::mutex spawnMutex_;
    HelperPtr servers_[2];
    bool preparing_[2] = {false, false};
    static inline std::atomic<int> started_{0};
};

}  // namespace

RenderedPixels::~RenderedPixels() {
    if (data_ != nullptr) ::munmap(data_, length_);
}

RenderClient::RenderClient(std::span<const uint8_t> bytes, render::Kind kind, bool laysOutText)
    : kind_(kind), laysOutText_(laysOutText) {
    documentFd_ = ::memfd_create("glyphwright-document", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (documentFd_ < 0) {
        setupProblem_ = problemOfOpening(errno);
        setupError_ = fmt::format("cannot hold the document for the renderer: {}", std::strerror(errno));
        return;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(documentFd_, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            setupError_ = fmt::format("cannot hold the document for the renderer: {}", std::strerror(errno));
            ::close(documentFd_);
            documentFd_ = -1;
            return;
        }
        written += size_t(n);
    }
    documentBytes_ = bytes.size();
    // The helpers read it; none may change it.
    ::fcntl(documentFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
}

RenderClient::~RenderClient() {
    if (documentFd_ >= 0) ::close(documentFd_);
}

std::string RenderClient::helperPath() {
    // Never destroyed: a helper may be starting on a thread of its own while the program exits.
    static const std::string* path = new std::string([]() -> std::string {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        const auto beside = (error ? std::filesystem::path("/proc/self/exe") : self).parent_path() / "glyphwright-render";
#ifdef GW_RENDER_HELPER_BUILT
        // The programs users run use only the helper beside them; the build's test and
        // benchmark programs have none beside them.
        const std::string name = self.filename().string();
        if (!error && name != "glyphwright" && name != "glyphwright-desktop" && ::access(beside.c_str(), X_OK) != 0) {
            return GW_RENDER_HELPER_BUILT;
        }
#endif
        return beside.string();
    }());
    return *path;
}

void RenderClient::prepare(render::Kind kind) { Helpers::shared().prepare(kind); }

std::optional<render::Kind> RenderClient::kindFor(std::string_view fileName) {
    auto endsWith = [&](std::string_view extension) {
        return fileName.size() >= extension.size() &&
               std::equal(extension.begin(), extension.end(), fileName.end() - extension.size(),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    };
    if (endsWith(".svg")) return render::Kind::svg;
    if (endsWith(".pdf")) return render::Kind::pdf;
    return std::nullopt;
}

void RenderClient::prepareFor(std::string_view fileName) {
    if (const auto kind = kindFor(fileName)) prepare(*kind);
}

int RenderClient::helpersAlive() { return Helpers::shared().alive(); }

int RenderClient::helpersStarted() { return Helpers::started(); }

std::vector<int> RenderClient::helperProcesses() { return Helpers::shared().servers(); }

int RenderClient::helperProcess(render::Kind kind) { return Helpers::shared().server(kind); }

namespace {
std::atomic<int> gDrawingsAsked{0};
std::mutex gTestLimitsMutex;
std::optional<RenderTimeLimits> gTestLimits;
}  // namespace

int RenderClient::drawingsAsked() { return gDrawingsAsked.load(); }

void RenderClient::setTimeLimitsForTests(std::optional<RenderTimeLimits> limits) {
    std::lock_guard lock(gTestLimitsMutex);
    gTestLimits = limits;
}

RenderTimeLimits RenderClient::timeLimits() {
    {
        std::lock_guard lock(gTestLimitsMutex);
        if (gTestLimits) return *gTestLimits;
    }
    RenderTimeLimits limits;
    // Tests of the real program lower the limits (never raise them) with
    // GW_RENDER_TEST_SECONDS="<processor seconds>,<seconds in all>", so that pages that run
    // into them do so in a second or two. Read at each drawing: a test sets it once it runs.
    if (const char* lowered = std::getenv("GW_RENDER_TEST_SECONDS")) {
        int cpu = 0, wall = 0;
        if (std::sscanf(lowered, "%d,%d", &cpu, &wall) == 2) {
            limits.cpuSeconds = std::clamp(cpu, 1, render::kCpuSeconds);
            limits.wallSeconds = std::clamp(wall, 1, render::kWallSeconds);
        }
    }
    return limits;
}

bool RenderClient::stoppedPage(int page, RenderFailure* failure, bool ahead) const {
    if (ahead) return false;
    std::lock_guard lock(pagesMutex_);
    const auto known = pages_.find(page);
    if (known == pages_.end() || !known->second.stopped) return false;
    if (failure != nullptr) *failure = *known->second.stopped;
    return true;
}

void RenderClient::stopPage(int page, RenderFailure* failure) {
    std::lock_guard lock(pagesMutex_);
    auto& stopped = pages_[page].stopped;
    // The first limit met is the page's reason, whatever the drawings ended at since.
    if (!stopped) stopped = *failure;
    *failure = *stopped;
}

bool RenderClient::claimDrawingAlone(int page) {
    std::lock_guard lock(pagesMutex_);
    return !std::exchange(pages_[page].drawnAlone, true);
}

bool RenderClient::call(render::Request request, int fd, render::Reply& reply, RenderFailure* failure, bool ahead) {
    if (stoppedPage(request.page, failure, ahead)) return false;
    // Opening a document reads its cross-references and objects: some of its size. The
    // drawing maps the whole document beside whatever it draws.
    if (request.addressSpace == 0) request.addressSpace = RendererBudget::limitFor(double(documentBytes_) / 2, kind_);
    const uint64_t largest = RendererBudget::largestLimit(kind_);
    request.addressSpace =
        std::min<uint64_t>(request.addressSpace + ((documentBytes_ + 4095) & ~size_t{4095}), largest);
    request.cpuSeconds = timeLimits().cpuSeconds;
    const auto pageStopped = [&] { return stoppedPage(request.page, nullptr, ahead); };
    enum class Round { first, alone, largest };
    for (Round round = Round::first;;) {
        const uint64_t shared = render::mappedBeyond(kind_);
        const RendererBudget::Grant grant =
            round == Round::alone
                ? RendererBudget::alone(pageStopped)
                : RendererBudget::admit(round == Round::largest ? largest : request.addressSpace, pageStopped, shared);
        // The page may have been stopped while this drawing waited.
        if (stoppedPage(request.page, failure, ahead)) return false;
        if (!grant) {
            failure->problem = PictureProblem::incompleteRender;
            failure->why = "the drawing was stopped before it began";
            return false;
        }
        request.addressSpace = grant.limit();
        reply = render::Reply{};
        if (attempt(request, fd, reply, failure, ahead)) return true;
        if (!isRendererLimit(failure->problem)) return false;
        if (round != Round::first || failure->problem != PictureProblem::pastMemoryLimit ||
            grant.limit() >= largest) {
            // A drawing made ahead costs itself only: the page's drawings go on as they
            // would have without it.
            if (!ahead) stopPage(request.page, failure);
            return false;
        }
        if (stoppedPage(request.page, failure, ahead)) return false;
        // A page past every limit is drawn again alone once, not once for each of its
        // drawings: the others wait behind that one, and are asked again at the largest
        // limit only if it came out whole. (A drawing ahead leaves that turn to them.)
        round = !ahead && claimDrawingAlone(request.page) ? Round::alone : Round::largest;
        // What the stopped drawing left in the memory file is not the page.
        if (!emptied(fd)) return false;
        *failure = RenderFailure{};
    }
}

namespace {

// One drawing's descriptors, closed with it.
struct DrawingPipes {
    int status = -1, theirStatus = -1;    // the helper's word about it
    int answer = -1, theirAnswer = -1;    // its answer, which only it writes
    int printed = -1, theirPrinted = -1;  // its standard error
    int process = -1;                     // a pidfd of its process, once the helper said which
    ~DrawingPipes() {
        for (const int fd : {status, theirStatus, answer, theirAnswer, printed, theirPrinted, process}) {
            if (fd >= 0) ::close(fd);
        }
    }
    // Closes the ends the helper was to take, should it never have taken them: held here,
    // they would keep the drawing's sockets from ending.
    void dropTheirs() {
        for (int* end : {&theirStatus, &theirAnswer, &theirPrinted}) {
            if (*end >= 0) ::close(std::exchange(*end, -1));
        }
    }
};

// A record of the helper's from a drawing's status socket, and the descriptor it came with
// (a pidfd, with Started), or -1. Its length: 0 once the helper has closed the socket, -1
// with nothing to read (or an error, errno set).
union StatusRecord {
    render::Started started;
    render::Progress progress;
    render::Ended ended;
};

ssize_t receiveStatus(int socket, StatusRecord& record, int* fd) {
    bool lost = false;
    return render::receiveRecord(socket, &record, sizeof record, fd, 1, MSG_DONTWAIT, &lost);
}

// The process a pidfd refers to, as the kernel tells it; 0 when it cannot.
pid_t processOf(int pidfd) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", pidfd);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[512] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    const char* at = n > 0 ? std::strstr(text, "\nPid:") : nullptr;
    return at != nullptr ? pid_t(std::atoi(at + 5)) : 0;
}

// The processor time the process `pid` has used, its ended threads' included, as its
// processor time limit counts it.
double processorSecondsOf(pid_t pid) {
    // A process's clock of its user and system time ("prof"), as the kernel numbers them.
    const clockid_t clock = clockid_t((~unsigned(pid)) << 3);
    timespec used{};
    if (::clock_gettime(clock, &used) != 0) return 0;
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

// Whether the process of `pidfd` has ended.
bool processEnded(int pidfd) {
    pollfd ended{pidfd, POLLIN, 0};
    return ::poll(&ended, 1, 0) > 0;
}

// How much later than its helper the program ends a drawing past a limit itself: the
// helper, which looks more often and started counting first, tells how it ended as long
// as it can.
constexpr double kOwnLimitGrace = 2.0;

std::string processorTimeReason(const char* what, int seconds) {
    return fmt::format("drawing {} took more than the renderer's processor time limit of {} seconds", what, seconds);
}

std::string timeInAllReason(const char* what, int seconds) {
    return fmt::format("drawing {} took more than the renderer's time limit of {} seconds in all", what, seconds);
}

// Why `reply` is an answer no drawing of `request` gives, under an address space of
// `space` bytes; empty when it may be one.
std::string impossibleAnswer(const render::Reply& reply, uint64_t space) {
    const auto finite = [](const double (&values)[4]) {
        return std::all_of(values, values + 4, [](double v) { return std::isfinite(v); });
    };
    if (reply.status < render::Status::ok || reply.status > render::Status::unconfined) {
        return fmt::format("a status of {}", int32_t(reply.status));
    }
    if (reply.pages < 0) return fmt::format("{} pages", reply.pages);
    if (!finite(reply.crop) || !finite(reply.viewBox) || !std::isfinite(reply.cpuSeconds)) return "sizes that are not numbers";
    // What a drawing writes fits the memory it may have.
    if (reply.bytes > space) return fmt::format("a PDF of {} bytes, more than its {} MiB of memory", reply.bytes, space >> 20);
    return {};
}

}  // namespace

bool RenderClient::attempt(const render::Request& request, int fd, render::Reply& reply, RenderFailure* failure,
                           bool ahead) {
    if (documentFd_ < 0) {
        failure->problem = setupProblem_;
        failure->why = setupError_;
        return false;
    }
    Helpers& helpers = Helpers::shared();
    if (!helpers.take([&] { return stoppedPage(request.page, nullptr, ahead); })) {
        if (!stoppedPage(request.page, failure, ahead)) {
            failure->problem = PictureProblem::incompleteRender;
            failure->why = "the drawing was stopped before it began";
        }
        return false;
    }
    struct Place {
        Helpers& helpers;
        ~Place() { helpers.giveBack(); }
    } place{helpers};
    // A drawing whose helper was lost meanwhile (killed, or no longer answering) is asked
    // once more, of the helper started in its place: the helper's end is not the page's.
    // One that found no room for its process or a thread (the user's limit of processes,
    // which the program's threads count against too) is asked again as other drawings end,
    // a few times.
    constexpr int kRoomTries = 8;
    int lost = 0, roomless = 0;
    while (true) {
        if (stoppedPage(request.page, failure, ahead)) return false;
        const Try outcome = tryOnce(request, fd, reply, failure, ahead);
        const bool again = (outcome == Try::rendererLost && lost++ == 0) ||
                           (outcome == Try::noProcess && roomless++ < kRoomTries && !interruptionRequested());
        if (!again || !emptied(fd)) return outcome == Try::drawn;
        if (outcome == Try::noProcess) helpers.awaitRelease(std::chrono::milliseconds(100));
        *failure = RenderFailure{};
        reply = render::Reply{};
    }
}

RenderClient::Try RenderClient::tryOnce(const render::Request& request, int fd, render::Reply& reply,
                                        RenderFailure* failure, bool ahead) {
    auto failWith = [&](PictureProblem problem, std::string why) {
        failure->problem = problem;
        failure->why = std::move(why);
        return Try::failed;
    };
    Helpers& helpers = Helpers::shared();
    DrawingPipes pipes;
    int told[2], answer[2], printed[2];
    const bool made = ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, told) == 0 &&
                      (pipes.status = told[0], pipes.theirStatus = told[1],
                       ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, answer) == 0) &&
                      (pipes.answer = answer[0], pipes.theirAnswer = answer[1], ::pipe2(printed, O_CLOEXEC) == 0);
    if (!made) {
        const int error = errno;
        return failWith(problemOfOpening(error), fmt::format("cannot start the renderer: {}", std::strerror(error)));
    }
    pipes.printed = printed[0];
    pipes.theirPrinted = printed[1];
    // Only the drawing writes its answer: the program never does.
    ::shutdown(pipes.answer, SHUT_WR);
    ::fcntl(pipes.printed, F_SETFL, O_NONBLOCK);
    const RenderTimeLimits limits = timeLimits();
    render::Spawn spawn;
    spawn.request = request;
    spawn.wallSeconds = limits.wallSeconds;
    spawn.hasOutput = fd >= 0;
    spawn.laysOutText = laysOutText_;
    const int fds[render::kSpawnFds] = {pipes.theirStatus, pipes.theirAnswer, documentFd_, pipes.theirPrinted, fd};

    // The helper has as long as users' drawings have in all to answer (whatever a test
    // gives its drawings: a helper started meanwhile sets up first), the time it waited
    // for a processor not counted: one that does not (stopped, or hung) is ended. It
    // speaks every second while it has the drawing.
    HelperPtr helper;
    std::optional<render::Headway> silent;
    double silentSince = 0;
    double lastLook = render::monotonicSeconds();
    bool heard = true;
    const auto stoppedAnswering = [&] {
        const double now = render::monotonicSeconds();
        if (now - lastLook < kLookSeconds) return false;
        lastLook = now;
        if (!silent) silent.emplace(helper->pid);
        silent->look();
        const double taken = silent->taken();
        if (std::exchange(heard, false)) silentSince = taken;
        return taken - silentSince >= render::kWallSeconds;
    };
    // Ends the drawing's process itself, when the helper said which: whatever its helper
    // does, it ends.
    const auto endDrawing = [&] {
        if (pipes.process >= 0) ::syscall(SYS_pidfd_send_signal, pipes.process, SIGKILL, nullptr, 0);
    };
    // Ends the helper that stopped answering or went: the drawing is asked again once
    // its process is gone too (it ends with its helper), so that nothing of it writes
    // into the memory file the next try draws into.
    const auto lost = [&](bool answering) {
        pipes.dropTheirs();
        std::string why = helpers.lose(kind_, helper, answering);
        if (why.empty()) return failWith(PictureProblem::incompleteRender,
                                         fmt::format("the renderer dropped the drawing of {}", what()));
        endDrawing();
        // The drawing's end of its answer's socket closes as its process ends.
        for (int i = 0; i < 200; ++i) {
            char byte;
            pollfd watched{pipes.answer, POLLIN, 0};
            if (::poll(&watched, 1, 10) > 0 && ::recv(pipes.answer, &byte, 1, MSG_DONTWAIT) == 0) break;
        }
        failWith(PictureProblem::rendererUnavailable, std::move(why));
        return Try::rendererLost;
    };
    while (true) {
        const auto sent = helpers.spawn(kind_, spawn, fds, failure, &helper);
        if (sent == Helpers::Sent::no) return Try::failed;
        if (sent == Helpers::Sent::roomless) return Try::noProcess;
        if (sent == Helpers::Sent::yes) break;
        if (interruptionRequested()) {
            return failWith(PictureProblem::incompleteRender, "the drawing was stopped before it began");
        }
        if (stoppedPage(request.page, failure, ahead)) return Try::failed;
        if (stoppedAnswering()) return lost(false);
        ::poll(nullptr, 0, 10);
    }
    pipes.dropTheirs();
    if (request.op != render::Op::open) ++gDrawingsAsked;

    // The drawing's address space.
    const uint64_t space = request.addressSpace != 0 ? request.addressSpace : RendererBudget::kLargestLimit;
    // The program's own count of the drawing's process, once the helper said which it is:
    // a helper stopped, lost or not ending it costs one wait, not the run.
    pid_t drawing = 0;
    std::optional<render::Headway> progress;
    double lastDrawingLook = 0;
    const auto pastOwnLimit = [&]() -> std::optional<RenderFailure> {
        const double now = render::monotonicSeconds();
        if (!progress || now - lastDrawingLook < kLookSeconds || processEnded(pipes.process)) return std::nullopt;
        lastDrawingLook = now;
        progress->look();
        if (processorSecondsOf(drawing) >= request.cpuSeconds + kOwnLimitGrace) {
            return RenderFailure{PictureProblem::pastProcessorTimeLimit, processorTimeReason(what(), request.cpuSeconds)};
        }
        // A drawing stopped together with its helper (a stopped process group, a suspended
        // session) makes no headway through no fault of its own: the helper is lost, not the
        // picture, and the drawing is asked again once the helper is found silent.
        if (progress->stalled() >= limits.wallSeconds + kOwnLimitGrace && !render::processStopped(helper->pid)) {
            return RenderFailure{PictureProblem::pastTimeLimit, timeInAllReason(what(), limits.wallSeconds)};
        }
        return std::nullopt;
    };
    // An answer no drawing gives: the document took the drawing over. It is ended, and the
    // picture fails naming the renderer.
    const auto impossible = [&](const std::string& how) {
        endDrawing();
        ::shutdown(pipes.status, SHUT_WR);
        return failWith(PictureProblem::rendererUnavailable,
                        fmt::format("the renderer answered drawing {} with {}", what(), how));
    };

    // What the drawing's process answered and how it ended; the helper says the latter
    // once it has reaped it.
    std::string said;
    bool answered = false;
    std::optional<render::Ended> ended;
    // What the program stopped the drawing for, when it did: told instead of how it ended.
    std::optional<RenderFailure> stoppedBecause;
    std::chrono::steady_clock::time_point givenUp{};
    // Its standard error is read until the drawing has closed it, its answer's socket
    // until it has answered or ended.
    bool printing = true, answering = true;
    while (!ended) {
        // Short waits, so that a conversion stopped meanwhile does not wait for the page.
        pollfd watched[3] = {{pipes.status, POLLIN, 0},
                             {answering ? pipes.answer : -1, POLLIN, 0},
                             {printing ? pipes.printed : -1, POLLIN, 0}};
        const int ready = ::poll(watched, 3, 50);
        if (ready < 0 && errno != EINTR) {
            return failWith(PictureProblem::incompleteRender, "the renderer could not be waited for");
        }
        if (watched[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            keepPrinted(said, pipes.printed);
            printing = (watched[2].revents & (POLLHUP | POLLERR)) == 0;
        }
        if (watched[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            // One record of a Reply's size, or none: a longer one is seen whole (MSG_TRUNC).
            ssize_t n;
            while ((n = ::recv(pipes.answer, &reply, sizeof reply, MSG_DONTWAIT | MSG_TRUNC)) < 0 && errno == EINTR) {
            }
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                answering = false;
            } else if (n > 0) {
                if (n != ssize_t(sizeof reply)) return impossible(fmt::format("a record of {} bytes", n));
                if (answered) return impossible("a second answer");
                reply.text[sizeof reply.text - 1] = '\0';
                if (std::string why = impossibleAnswer(reply, space); !why.empty()) return impossible(why);
                answered = true;
                // A drawing that answered whole has written all it draws: its process
                // only ends now, and the caller need not wait for that (the helper reaps it).
                if (reply.status == render::Status::ok && !stoppedBecause) return Try::drawn;
            }
        }
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            StatusRecord record{};
            int received = -1;
            const ssize_t n = receiveStatus(pipes.status, record, &received);
            if (n == ssize_t(sizeof(render::Started)) && received >= 0 && pipes.process < 0) {
                pipes.process = received;
                drawing = processOf(received);
                if (drawing > 0) progress.emplace(drawing, render::monotonicSeconds());
                heard = true;
            } else if (received >= 0) {
                ::close(received);
            }
            if (n == ssize_t(sizeof(render::Ended))) {
                ended = record.ended;
            } else if (n == ssize_t(sizeof(render::Progress)) || n == ssize_t(sizeof(render::Started))) {
                heard = true;
            } else if (n == 0 || (n < 0 && errno != EAGAIN)) {
                // The helper itself ended (killed by the system or a user), and the drawing
                // with it; a drawing that answered is told as it answered.
                if (stoppedBecause || answered) break;
                return lost(true);
            } else if (n > 0) {
                return lost(false);
            }
            continue;
        }
        if (givenUp != std::chrono::steady_clock::time_point{}) {
            // Asked to end it, the helper says when it has; one that does not is left.
            if (std::chrono::steady_clock::now() - givenUp > std::chrono::seconds(2)) break;
            continue;
        }
        std::optional<RenderFailure> stop;
        if (interruptionRequested()) {
            stop = RenderFailure{PictureProblem::incompleteRender, "the drawing was stopped before it ended"};
        } else if (RenderFailure other; stoppedPage(request.page, &other, ahead)) {
            // Another drawing of the page met a limit: this one would meet it too.
            stop = std::move(other);
        } else if (auto past = pastOwnLimit()) {
            // Its helper did not end it at its limit: the program does.
            endDrawing();
            stop = std::move(past);
        } else if (stoppedAnswering()) {
            if (answered) break;
            return lost(false);
        }
        if (stop) {
            stoppedBecause = std::move(stop);
            ::shutdown(pipes.status, SHUT_WR);
            givenUp = std::chrono::steady_clock::now();
        }
    }
    keepPrinted(said, pipes.printed);
    if (stoppedBecause) return failWith(stoppedBecause->problem, std::move(stoppedBecause->why));
    // The drawing answered, and its helper went before it told how the drawing ended.
    if (!ended && answered) ended = render::Ended{};
    if (!ended) {
        return failWith(PictureProblem::incompleteRender,
                        fmt::format("the renderer ended while drawing {}{}", what(), firstLine(said)));
    }
    if (ended->forkError == EAGAIN) {
        failWith(PictureProblem::rendererUnavailable,
                 fmt::format("the renderer could not start a drawing: {}", noProcessReason()));
        return Try::noProcess;
    }
    if (ended->forkError != 0) {
        return failWith(problemOfOpening(ended->forkError) == PictureProblem::tooManyOpenFiles
                            ? PictureProblem::tooManyOpenFiles
                            : PictureProblem::tooDemanding,
                        fmt::format("the renderer could not start a drawing: {}", std::strerror(ended->forkError)));
    }
    const int status = ended->waitStatus;
    const bool exitedWell = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // However it ended once an allocation was refused, the limit ended it.
    if ((answered && reply.status == render::Status::memoryLimit) ||
        (WIFEXITED(status) && WEXITSTATUS(status) == int(render::Status::memoryLimit)) ||
        (ended->allocationRefused != 0 && !exitedWell)) {
        return failWith(PictureProblem::pastMemoryLimit,
                        fmt::format("drawing {} needed more than the renderer's {} MiB of memory", what(), space >> 20));
    }
    // However it ended once a thread it asked for was refused, the limit of processes ended it.
    if (ended->threadRefused != 0) {
        failWith(PictureProblem::rendererUnavailable,
                 fmt::format("the renderer could not start a thread drawing {}: {}", what(), noProcessReason()));
        return Try::noProcess;
    }
    if (ended->pastProcessorTime != 0 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)) {
        return failWith(PictureProblem::pastProcessorTimeLimit, processorTimeReason(what(), request.cpuSeconds));
    }
    if (ended->pastWallClock != 0) {
        return failWith(PictureProblem::pastTimeLimit, timeInAllReason(what(), limits.wallSeconds));
    }
    // Killed by no limit and not by the helper: by the system's out-of-memory killer or a
    // user, as a helper is, not for the page's sake.
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && !answered) {
        failWith(PictureProblem::rendererUnavailable, endOf(status));
        return Try::rendererLost;
    }
    if (WIFSIGNALED(status)) {
        return failWith(PictureProblem::incompleteRender,
                        fmt::format("the renderer crashed drawing {} ({}){}", what(), strsignal(WTERMSIG(status)),
                                    firstLine(said)));
    }
    if (!answered || !exitedWell) {
        return failWith(PictureProblem::incompleteRender,
                        fmt::format("the renderer ended while drawing {} (status {}){}", what(),
                                    WIFEXITED(status) ? WEXITSTATUS(status) : -1, firstLine(said)));
    }
    switch (reply.status) {
        case render::Status::ok: return Try::drawn;
        case render::Status::cannotOpen: return failWith(PictureProblem::damaged, reply.text);
        case render::Status::unconfined: return failWith(PictureProblem::rendererUnavailable, reply.text);
        default: return failWith(PictureProblem::incompleteRender, reply.text);
    }
}

bool RenderClient::open(int page, int* pages, double crop[4], RenderFailure* failure, double viewBox[4],
                        uint64_t addressSpace) {
    render::Request request;
    request.op = render::Op::open;
    request.page = page;
    request.addressSpace = addressSpace;
    render::Reply reply;
    if (!call(request, -1, reply, failure)) {
        if (pages != nullptr) *pages = reply.pages;
        return false;
    }
    if (pages != nullptr) *pages = reply.pages;
    std::copy(reply.crop, reply.crop + 4, crop);
    if (viewBox != nullptr) std::copy(reply.viewBox, reply.viewBox + 4, viewBox);
    return true;
}

std::unique_ptr<RenderedPixels> RenderClient::pixels(const render::Request& request, RenderFailure* failure,
                                                     bool ahead) {
    const size_t length = size_t(request.width) * 4 * size_t(request.height);
    // Sealed at its size before any drawing has it: no drawing can shrink it under the
    // program's mapping (which would end the program with SIGBUS) or grow it.
    const int fd = ::memfd_create("glyphwright-pixels", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || ::ftruncate(fd, off_t(length)) != 0 || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0) {
        failure->problem = fd < 0 && problemOfOpening(errno) == PictureProblem::tooManyOpenFiles
                               ? PictureProblem::tooManyOpenFiles
                               : PictureProblem::tooDemanding;
        failure->why = fmt::format("cannot make {} bytes of pixels for the renderer: {}", length, std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    render::Reply reply;
    const bool drawn = call(request, fd, reply, failure, ahead);
    // Copied only where written to: the pixels stay the memory file's pages.
    void* mapped = drawn ? ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (!drawn) return nullptr;
    if (mapped == MAP_FAILED) {
        failure->problem = PictureProblem::tooDemanding;
        failure->why = fmt::format("cannot map the renderer's pixels: {}", std::strerror(errno));
        return nullptr;
    }
    return std::make_unique<RenderedPixels>(static_cast<uint8_t*>(mapped), length, request.width, request.height);
}

std::optional<std::vector<uint8_t>> RenderClient::pdf(const render::Request& request, RenderFailure* failure) {
    const int fd = ::memfd_create("glyphwright-pdf", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        failure->problem = problemOfOpening(errno);
        failure->why = fmt::format("cannot make a file for the renderer's PDF: {}", std::strerror(errno));
        return std::nullopt;
    }
    render::Reply reply;
    std::optional<std::vector<uint8_t>> out;
    if (call(request, fd, reply, failure)) {
        // The drawing's process may still run: the file is sealed at the length it has now,
        // and the answer's length (which the address space the drawing had bounds) must be
        // there. It is read in pieces, so that a length the file does not hold costs nothing.
        struct stat info{};
        const bool sealed = ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0 && ::fstat(fd, &info) == 0;
        std::vector<uint8_t> bytes;
        bool whole = sealed && reply.bytes <= uint64_t(info.st_size);
        while (whole && bytes.size() < reply.bytes) {
            const size_t at = bytes.size();
            bytes.resize(at + size_t(std::min<uint64_t>(reply.bytes - at, uint64_t{1} << 20)));
            const ssize_t n = ::pread(fd, bytes.data() + at, bytes.size() - at, off_t(at));
            if (n < 0 && errno == EINTR) {
                bytes.resize(at);
                continue;
            }
            whole = n == ssize_t(bytes.size() - at);
        }
        if (whole) {
            out = std::move(bytes);
        } else {
            failure->problem = PictureProblem::rendererUnavailable;
            failure->why = fmt::format("the renderer answered drawing {} with a PDF of {} bytes, which its file does not hold",
                                       what(), reply.bytes);
        }
    }
    ::close(fd);
    return out;
}

}  // namespace platform::graphics
