// Stands in, preloaded into the drawing helper, for a renderer a hostile document has taken
// over. In each drawing's process, as the drawing maps its document, it notes the limits it
// finds and tries what such code would: lift its processor time and address space limits,
// and start a process that outlives the drawing, by every call that makes one. It starts a
// thread too, as the libraries may. What came of each is appended, one line a drawing, to
// the file GW_TAKEN_OVER_REPORT names:
//   cpu <soft> <hard> space <soft> <hard> nnp <0|1> lift <errno> <errno> cpu-after <soft>
//   thread <errno> fork <pid|-errno> vfork <…> clone <…> clone3 <…> spawn <…>
// (a limit of "unlimited" as -1; a pid for a process that was made, and lives on if it can).
#include <fcntl.h>
#include <linux/sched.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

long number(rlim_t limit) { return limit == RLIM_INFINITY ? -1 : long(limit); }

// In a process just made: leaves the drawing's descriptors and its session, and lives on
// for a minute, past the drawing and the program.
[[noreturn]] void liveOn() {
    ::setsid();
    ::close_range(0, ~0U, 0);
    for (int i = 0; i < 600; ++i) ::usleep(100000);
    ::_exit(0);
}

// What a call that makes a process answered: the process, or the error.
long made(long pid) { return pid < 0 ? -long(errno) : pid; }

void* nothing(void*) { return nullptr; }

void takeOver() {
    const char* report = std::getenv("GW_TAKEN_OVER_REPORT");
    if (report == nullptr) return;
    rlimit cpu{}, space{};
    ::getrlimit(RLIMIT_CPU, &cpu);
    ::getrlimit(RLIMIT_AS, &space);
    const int noNewPrivileges = ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    const int liftCpu = ::setrlimit(RLIMIT_CPU, &unlimited) == 0 ? 0 : errno;
    const int liftSpace = ::setrlimit(RLIMIT_AS, &unlimited) == 0 ? 0 : errno;
    rlimit cpuAfter{};
    ::getrlimit(RLIMIT_CPU, &cpuAfter);
    pthread_t thread;
    int threadError = ::pthread_create(&thread, nullptr, nothing, nullptr);
    if (threadError == 0) threadError = ::pthread_join(thread, nullptr);

    const pid_t forked = ::fork();
    if (forked == 0) liveOn();
    const long byFork = made(forked);
    const pid_t vforked = ::vfork();
    if (vforked == 0) ::_exit(0);
    const long byVfork = made(vforked);
    const long cloned = ::syscall(SYS_clone, long(SIGCHLD), 0L, 0L, 0L, 0L);
    if (cloned == 0) liveOn();
    const long byClone = made(cloned);
    clone_args arguments{};
    arguments.exit_signal = SIGCHLD;
    const long cloned3 = ::syscall(SYS_clone3, &arguments, sizeof arguments);
    if (cloned3 == 0) liveOn();
    const long byClone3 = made(cloned3);
    pid_t spawned = -1;
    char sleep[] = "sleep", minute[] = "60";
    char* argv[] = {sleep, minute, nullptr};
    const int spawnError = ::posix_spawn(&spawned, "/bin/sleep", nullptr, nullptr, argv, environ);
    const long bySpawn = spawnError == 0 ? long(spawned) : -long(spawnError);

    char line[512];
    const int length = std::snprintf(
        line, sizeof line,
        "cpu %ld %ld space %ld %ld nnp %d lift %d %d cpu-after %ld thread %d fork %ld vfork %ld clone %ld "
        "clone3 %ld spawn %ld\n",
        number(cpu.rlim_cur), number(cpu.rlim_max), number(space.rlim_cur), number(space.rlim_max), noNewPrivileges,
        liftCpu, liftSpace, number(cpuAfter.rlim_cur), threadError, byFork, byVfork, byClone, byClone3, bySpawn);
    const int fd = ::open(report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, line, size_t(length));
        ::close(fd);
    }
}

// Whether `fd` is the document a drawing was handed.
bool isTheDocument(int fd) {
    char path[64], target[256] = {};
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::readlink(path, target, sizeof target - 1) > 0 && std::strstr(target, "glyphwright-document") != nullptr;
}

bool gTakenOver = false;

}  // namespace

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (fd >= 0 && !gTakenOver && isTheDocument(fd)) {
        gTakenOver = true;
        takeOver();
    }
    return reinterpret_cast<void*>(::syscall(SYS_mmap, address, length, protection, flags, fd, offset));
}
