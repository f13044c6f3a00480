#include "platform/graphics/render_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// Moves a descriptor above the ones a helper is given, so that handing them over in
// any order cannot overwrite one with another.
int highDescriptor(int fd) {
    if (fd < 0 || fd > render::kSharedFd) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, render::kSharedFd + 1);
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

// Reaps `pid`, which is ending or has ended by itself: killed after `grace` if it has
// not, so that no caller waits on a helper that hangs on its way out. Its wait status.
int reap(pid_t pid, std::chrono::milliseconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return 0;
        if (done == 0 && std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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

struct RenderClient::Helper {
    pid_t pid = -1;
    int socket = -1;
    int printed = -1;  // its standard error
    render::Shared* shared = nullptr;  // the page it marks
    const RenderClient* owner = nullptr;
    bool busy = false;
};

namespace {

// Every helper of the process. Kept for the process's life: helpers may still be
// drawing on other threads while it exits, and are killed then.
class Helpers {
public:
    using Helper = RenderClient::Helper;

    static Helpers& shared() {
        static Helpers* helpers = [] {
            auto* made = new Helpers();
            std::atexit([] { shared().killAll(); });
            return made;
        }();
        return *helpers;
    }

    // A helper of `owner` no other thread is using, started when there is none; null
    // with the reason when none could be started, or when the thread's work was stopped
    // or `stopped` said so while every helper was busy (the reason is then the caller's).
    Helper* take(const RenderClient* owner, int documentFd, render::Kind kind, RenderFailure* failure,
                 const std::function<bool()>& stopped) {
        std::unique_lock lock(mutex_);
        while (true) {
            // One that ended while idle (killed by the system or a user) is not one.
            all_.remove_if([](Helper& h) {
                if (h.busy || h.pid <= 0 || ::waitpid(h.pid, nullptr, WNOHANG) != h.pid) return false;
                h.pid = -1;
                end(h);
                return true;
            });
            for (auto& helper : all_) {
                if (helper.owner == owner && !helper.busy) {
                    helper.busy = true;
                    return &helper;
                }
            }
            if (int(all_.size()) < capacity_) break;
            // An idle helper of another document gives its place.
            auto idle = std::find_if(all_.begin(), all_.end(), [](const Helper& h) { return !h.busy; });
            if (idle != all_.end()) {
                end(*idle);
                all_.erase(idle);
                break;
            }
            if (interruptionRequested() || stopped()) {
                failure->problem = PictureProblem::incompleteRender;
                failure->why = "the drawing was stopped before it began";
                return nullptr;
            }
            released_.wait_for(lock, std::chrono::milliseconds(50));
        }
        all_.push_back(Helper{});
        Helper* helper = &all_.back();
        helper->owner = owner;
        helper->busy = true;
        lock.unlock();
        bool started = false;
        Spawner::shared().run([&] { started = start(*helper, documentFd, kind, failure); });
        if (!started) {
            if (failure->why.empty()) failure->why = "cannot start the renderer";
            if (failure->problem == PictureProblem::none) failure->problem = PictureProblem::unreadable;
            remove(helper);
            return nullptr;
        }
        return helper;
    }

    void giveBack(Helper* helper) {
        {
            std::lock_guard lock(mutex_);
            helper->busy = false;
        }
        released_.notify_all();
    }

    // A helper that ended (already reaped) or must end.
    void remove(Helper* helper) {
        {
            std::lock_guard lock(mutex_);
            end(*helper);
            all_.remove_if([&](const Helper& h) { return &h == helper; });
        }
        released_.notify_all();
    }

    void endAllOf(const RenderClient* owner) {
        {
            std::lock_guard lock(mutex_);
            for (auto& helper : all_) {
                if (helper.owner == owner) end(helper);
            }
            all_.remove_if([&](const Helper& h) { return h.owner == owner; });
        }
        released_.notify_all();
    }

    int alive() {
        std::lock_guard lock(mutex_);
        return int(all_.size());
    }

    static int started() { return started_; }

private:
    Helpers() : capacity_(std::clamp(processors(), 2, 8)) {}

    static bool start(Helper& helper, int documentFd, render::Kind kind, RenderFailure* failure) {
        auto fail = [&](std::string why, int error = 0) {
            failure->problem = problemOfOpening(error);
            failure->why = std::move(why);
            return false;
        };
        const auto path = RenderClient::helperPath();
        if (!path) return fail("documents cannot be drawn here: the renderer glyphwright-render is missing");
        int pair[2], printed[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            const int error = errno;
            return fail(fmt::format("cannot start the renderer: {}", std::strerror(error)), error);
        }
        if (::pipe2(printed, O_CLOEXEC) != 0) {
            const int error = errno;
            ::close(pair[0]);
            ::close(pair[1]);
            return fail(fmt::format("cannot start the renderer: {}", std::strerror(error)), error);
        }
        const int theirSocket = highDescriptor(pair[1]), theirPrinted = highDescriptor(printed[1]);
        const int document = ::fcntl(documentFd, F_DUPFD_CLOEXEC, render::kSharedFd + 1);
        const int shared = highDescriptor(::memfd_create("glyphwright-render-shared", MFD_CLOEXEC));
        void* page = shared >= 0 && ::ftruncate(shared, sizeof(render::Shared)) == 0
                         ? ::mmap(nullptr, sizeof(render::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, shared, 0)
                         : MAP_FAILED;
        // A helper started without its document would call the document unreadable.
        if (theirSocket < 0 || theirPrinted < 0 || document < 0 || page == MAP_FAILED) {
            const int error = errno;
            for (const int fd : {pair[0], printed[0], theirSocket, theirPrinted, document, shared}) {
                if (fd >= 0) ::close(fd);
            }
            if (page != MAP_FAILED) ::munmap(page, sizeof(render::Shared));
            return fail(fmt::format("cannot start the renderer: {}", std::strerror(error)), error);
        }
        helper.shared = static_cast<render::Shared*>(page);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, theirPrinted, 2);
        posix_spawn_file_actions_adddup2(&actions, theirSocket, render::kSocketFd);
        posix_spawn_file_actions_adddup2(&actions, document, render::kDocumentFd);
        posix_spawn_file_actions_adddup2(&actions, shared, render::kSharedFd);
        // Signals the program ignores or blocks would stay so in the helper; a helper
        // past its processor time must end on SIGXCPU.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> environment;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "MALLOC_ARENA_MAX=", 17) != 0) environment.emplace_back(*entry);
        }
        // One allocation arena: each further one reserves 64 MiB of address space.
        environment.emplace_back("MALLOC_ARENA_MAX=1");
        std::vector<char*> envp;
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = *path;
        char name[] = "glyphwright-render";
        // The helper ends when the program does; it checks that the program that started
        // it is still its parent once it has asked for that.
        std::string parent = std::to_string(::getpid());
        std::string kindName = render::kindArgument(kind);
        char* argv[] = {name, parent.data(), kindName.data(), nullptr};
        const int spawned = ::posix_spawn(&helper.pid, program.c_str(), &actions, &attributes, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(theirSocket);
        ::close(theirPrinted);
        ::close(document);
        ::close(shared);
        if (spawned != 0) {
            helper.pid = -1;
            ::close(pair[0]);
            ::close(printed[0]);
            return fail(fmt::format("cannot start the renderer {}: {}", program, std::strerror(spawned)), spawned);
        }
        helper.socket = pair[0];
        helper.printed = printed[0];
        ++started_;
        ::fcntl(helper.printed, F_SETFL, O_NONBLOCK);
        return true;
    }

    // Kills and reaps a helper still running; closes what the program held of it.
    static void end(Helper& helper) {
        if (helper.pid > 0) {
            ::kill(helper.pid, SIGKILL);
            reap(helper.pid, std::chrono::milliseconds(0));
            helper.pid = -1;
        }
        if (helper.socket >= 0) ::close(helper.socket);
        if (helper.printed >= 0) ::close(helper.printed);
        helper.socket = helper.printed = -1;
        if (helper.shared != nullptr) ::munmap(helper.shared, sizeof(render::Shared));
        helper.shared = nullptr;
    }

    void killAll() {
        // At exit other threads may still be drawing, and hold the lock for moments: the
        // helpers are killed and reaped under it when it can be had, so that none
        // outlives the program even for a moment. Without it they die with the program
        // all the same (the helper asks for that as it starts).
        std::unique_lock lock(mutex_, std::defer_lock);
        for (int tries = 0; tries < 100 && !lock.try_lock(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!lock.owns_lock()) return;
        for (auto& helper : all_) {
            if (helper.pid > 0) ::kill(helper.pid, SIGKILL);
        }
        for (auto& helper : all_) {
            if (helper.pid > 0) reap(helper.pid, std::chrono::milliseconds(0));
            helper.pid = -1;
        }
    }

    std::mutex mutex_;
    std::condition_variable released_;
    std::list<Helper> all_;
    int capacity_;
    static inline std::atomic<int> started_{0};
};

}  // namespace

RenderedPixels::~RenderedPixels() {
    if (data_ != nullptr) ::munmap(data_, length_);
}

RenderClient::RenderClient(std::span<const uint8_t> bytes, render::Kind kind) : kind_(kind) {
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
    Helpers::shared().endAllOf(this);
    if (documentFd_ >= 0) ::close(documentFd_);
}

std::optional<std::string> RenderClient::helperPath() {
    static const std::optional<std::string> path = []() -> std::optional<std::string> {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        if (!error) {
            const auto beside = self.parent_path() / "glyphwright-render";
            if (::access(beside.c_str(), X_OK) == 0) return beside.string();
        }
#ifdef GW_RENDER_HELPER_BUILT
        if (::access(GW_RENDER_HELPER_BUILT, X_OK) == 0) return std::string(GW_RENDER_HELPER_BUILT);
#endif
        return std::nullopt;
    }();
    return path;
}

int RenderClient::helpersAlive() { return Helpers::shared().alive(); }

int RenderClient::helpersStarted() { return Helpers::started(); }

namespace {
std::atomic<int> gDrawingsAsked{0};
}  // namespace

int RenderClient::drawingsAsked() { return gDrawingsAsked.load(); }

RenderTimeLimits RenderClient::timeLimits() {
    RenderTimeLimits limits;
    // Tests lower the limits (never raise them) with GW_RENDER_TEST_SECONDS="<processor
    // seconds>,<seconds in all>", so that pages that run into them do so in a second or
    // two. Read at each drawing: a test sets it once it runs.
    if (const char* lowered = std::getenv("GW_RENDER_TEST_SECONDS")) {
        int cpu = 0, wall = 0;
        if (std::sscanf(lowered, "%d,%d", &cpu, &wall) == 2) {
            limits.cpuSeconds = std::clamp(cpu, 1, render::kCpuSeconds);
            limits.wallSeconds = std::clamp(wall, 1, render::kWallSeconds);
        }
    }
    return limits;
}

bool RenderClient::stoppedPage(int page, RenderFailure* failure) const {
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

bool RenderClient::call(render::Request request, int fd, render::Reply& reply, RenderFailure* failure,
                        DrawingCost* cost, const std::function<bool()>& unwanted) {
    if (stoppedPage(request.page, failure)) return false;
    // Opening a document reads its cross-references and objects: some of its size. The
    // helper maps the whole document beside whatever it draws.
    if (request.addressSpace == 0) request.addressSpace = RendererBudget::limitFor(double(documentBytes_) / 2, kind_);
    const uint64_t largest = RendererBudget::largestLimit(kind_);
    request.addressSpace =
        std::min<uint64_t>(request.addressSpace + ((documentBytes_ + 4095) & ~size_t{4095}), largest);
    request.cpuSeconds = timeLimits().cpuSeconds;
    const auto pageStopped = [&] { return stoppedPage(request.page) || (unwanted && unwanted()); };
    enum class Round { first, alone, largest };
    for (Round round = Round::first;;) {
        const uint64_t shared = render::mappedBeyond(kind_);
        const RendererBudget::Grant grant =
            round == Round::alone
                ? RendererBudget::alone(pageStopped, shared)
                : RendererBudget::admit(round == Round::largest ? largest : request.addressSpace, pageStopped, shared);
        // The page may have been stopped while this drawing waited.
        if (stoppedPage(request.page, failure)) return false;
        if (!grant && unwanted && unwanted()) {
            *failure = RenderFailure{};
            return false;
        }
        if (!grant) {
            failure->problem = PictureProblem::incompleteRender;
            failure->why = "the drawing was stopped before it began";
            return false;
        }
        request.addressSpace = grant.limit();
        reply = render::Reply{};
        const auto began = std::chrono::steady_clock::now();
        const bool drawn = attempt(request, fd, reply, failure);
        if (cost != nullptr) {
            cost->cpuSeconds += reply.cpuSeconds;
            cost->wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            cost->redrawnAtLargestLimit = round != Round::first;
        }
        if (drawn) return true;
        if (!isRendererLimit(failure->problem)) return false;
        if (round != Round::first || failure->problem != PictureProblem::pastMemoryLimit ||
            grant.limit() >= largest) {
            stopPage(request.page, failure);
            return false;
        }
        if (stoppedPage(request.page, failure)) return false;
        // A page past every limit is drawn again alone once, not once for each of its
        // drawings: the others wait behind that one, and are asked again at the largest
        // limit only if it came out whole.
        round = claimDrawingAlone(request.page) ? Round::alone : Round::largest;
        // What the stopped drawing left in the memory file is not the page.
        struct stat info{};
        if (fd >= 0 && (::fstat(fd, &info) != 0 || ::ftruncate(fd, 0) != 0 || ::ftruncate(fd, info.st_size) != 0 ||
                        ::lseek(fd, 0, SEEK_SET) != 0)) {
            return false;
        }
        *failure = RenderFailure{};
    }
}

bool RenderClient::attempt(const render::Request& request, int fd, render::Reply& reply, RenderFailure* failure,
                           bool freshHelper) {
    if (documentFd_ < 0) {
        failure->problem = setupProblem_;
        failure->why = setupError_;
        return false;
    }
    Helpers& helpers = Helpers::shared();
    const auto pageStopped = [&] { return stoppedPage(request.page); };
    Helper* helper = helpers.take(this, documentFd_, kind_, failure, pageStopped);
    if (helper == nullptr) {
        stoppedPage(request.page, failure);
        return false;
    }
    if (stoppedPage(request.page, failure)) {
        helpers.giveBack(helper);
        return false;
    }
    // What the document may hold of the helper's address space, its libraries' mappings apart.
    const uint64_t limit =
        (request.addressSpace != 0 ? request.addressSpace : RendererBudget::largestLimit(kind_)) -
        render::mappedBeyond(kind_);
    auto failWith = [&](PictureProblem problem, std::string why) {
        failure->problem = problem;
        failure->why = std::move(why);
        return false;
    };
    std::string printed;
    // Ends the helper and says why it ended: `stoppedBecause` when the program stopped it
    // (a helper killed here must not be taken for one that crashed), else what its exit
    // status tells.
    auto ended = [&](std::optional<RenderFailure> stoppedBecause = std::nullopt) {
        if (stoppedBecause) ::kill(helper->pid, SIGKILL);
        // A helper that closed its socket is on its way out.
        const int status = reap(helper->pid, std::chrono::seconds(2));
        keepPrinted(printed, helper->printed);
        const bool allocationRefused = helper->shared != nullptr && helper->shared->allocationRefused != 0;
        helper->pid = -1;
        helpers.remove(helper);
        if (stoppedBecause) return failWith(stoppedBecause->problem, std::move(stoppedBecause->why));
        // However it ended once an allocation was refused, the limit ended it.
        if ((WIFEXITED(status) && WEXITSTATUS(status) == int(render::Status::memoryLimit)) ||
            (allocationRefused && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))) {
            return failWith(PictureProblem::pastMemoryLimit,
                            fmt::format("drawing {} needed more than the renderer's {} MiB of memory", what(),
                                        limit >> 20));
        }
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) {
            return failWith(PictureProblem::pastProcessorTimeLimit,
                            fmt::format("drawing {} took more than the renderer's processor time limit of {} seconds",
                                        what(), request.cpuSeconds));
        }
        if (WIFSIGNALED(status)) {
            return failWith(PictureProblem::incompleteRender,
                            fmt::format("the renderer crashed drawing {} ({}){}", what(),
                                        strsignal(WTERMSIG(status)), firstLine(printed)));
        }
        return failWith(PictureProblem::incompleteRender,
                        fmt::format("the renderer ended while drawing {} (status {}){}", what(),
                                    WIFEXITED(status) ? WEXITSTATUS(status) : -1, firstLine(printed)));
    };

    iovec part{const_cast<render::Request*>(&request), sizeof request};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ssize_t sent;
    while ((sent = ::sendmsg(helper->socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (sent != ssize_t(sizeof request) && !freshHelper) {
        // It ended before it was asked (since it was last looked at): another is started.
        reap(helper->pid, std::chrono::milliseconds(0));
        helper->pid = -1;
        helpers.remove(helper);
        return attempt(request, fd, reply, failure, true);
    }
    if (sent != ssize_t(sizeof request)) return ended();
    if (request.op != render::Op::open) ++gDrawingsAsked;

    // Counted from the request on: a helper that is stopped or hangs costs this once.
    const int wallSeconds = timeLimits().wallSeconds;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wallSeconds);
    while (true) {
        // Short waits, so that a conversion stopped meanwhile does not wait for the page.
        pollfd watched[2] = {{helper->socket, POLLIN, 0}, {helper->printed, POLLIN, 0}};
        const int ready = ::poll(watched, 2, 50);
        if (ready < 0 && errno != EINTR) {
            return ended(RenderFailure{PictureProblem::incompleteRender, "the renderer could not be waited for"});
        }
        if (watched[1].revents & POLLIN) keepPrinted(printed, helper->printed);
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n;
            while ((n = ::recv(helper->socket, &reply, sizeof reply, 0)) < 0 && errno == EINTR) {
            }
            if (n != ssize_t(sizeof reply)) return ended();
            break;
        }
        if (interruptionRequested()) {
            return ended(RenderFailure{PictureProblem::incompleteRender, "the drawing was stopped before it ended"});
        }
        // Another drawing of the page met a limit: this one would meet it too.
        if (RenderFailure stop; stoppedPage(request.page, &stop)) return ended(std::move(stop));
        if (std::chrono::steady_clock::now() > deadline) {
            return ended(RenderFailure{
                PictureProblem::pastTimeLimit,
                fmt::format("drawing {} took more than the renderer's time limit of {} seconds in all", what(),
                            wallSeconds)});
        }
    }
    reply.text[sizeof reply.text - 1] = '\0';
    if (reply.status == render::Status::memoryLimit) return ended();
    helpers.giveBack(helper);
    switch (reply.status) {
        case render::Status::ok: return true;
        case render::Status::cannotOpen: return failWith(PictureProblem::damaged, reply.text);
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
                                                     DrawingCost* cost, const std::function<bool()>& unwanted) {
    const size_t length = size_t(request.width) * 4 * size_t(request.height);
    const int fd = ::memfd_create("glyphwright-pixels", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, off_t(length)) != 0) {
        failure->problem = fd < 0 && problemOfOpening(errno) == PictureProblem::tooManyOpenFiles
                               ? PictureProblem::tooManyOpenFiles
                               : PictureProblem::tooDemanding;
        failure->why = fmt::format("cannot make {} bytes of pixels for the renderer: {}", length, std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    render::Reply reply;
    const bool drawn = call(request, fd, reply, failure, cost, unwanted);
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
    const int fd = ::memfd_create("glyphwright-pdf", MFD_CLOEXEC);
    if (fd < 0) {
        failure->problem = problemOfOpening(errno);
        failure->why = fmt::format("cannot make a file for the renderer's PDF: {}", std::strerror(errno));
        return std::nullopt;
    }
    render::Reply reply;
    std::optional<std::vector<uint8_t>> out;
    if (call(request, fd, reply, failure)) {
        std::vector<uint8_t> bytes(reply.bytes);
        size_t read = 0;
        while (read < bytes.size()) {
            const ssize_t n = ::pread(fd, bytes.data() + read, bytes.size() - read, off_t(read));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            read += size_t(n);
        }
        if (read == bytes.size()) {
            out = std::move(bytes);
        } else {
            failure->problem = PictureProblem::incompleteRender;
            failure->why = "the renderer's PDF could not be read back";
        }
    }
    ::close(fd);
    return out;
}

}  // namespace platform::graphics
