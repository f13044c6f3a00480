#include "platform/graphics/helper/drawing_filter.hpp"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace platform::graphics::render {

namespace {

// How a call's arguments are checked before it is allowed.
enum class Rule : uint8_t {
    any,
    // clone: a thread of the process, never a process (which would outlive the drawing
    // and its filter's reach).
    thread,
    // A signal: only to the drawing's own process (abort and raise send one).
    itself,
    // prlimit64: its own limits read, never set (a hard limit binds an ordinary user
    // already; this binds the superuser too).
    limitsRead,
    // open, openat: for reading, creating and truncating nothing. The flags are argument
    // `argument`.
    readOnly,
    // fcntl: the commands below. (Not F_SETOWN or F_SETSIG, which would aim signals at
    // another process, nor leases, notices or locks on the user's files.)
    descriptorCommand,
    // prctl: naming a thread. (Not its death signal, which ends it with its helper, nor
    // its being traceable.)
    threadName,
    // Answered as a call the kernel lacks, so that the C library falls back on one the
    // filter can read: clone3 and openat2 keep their flags in memory a filter cannot see.
    missing,
};

struct Call {
    long number;
    Rule rule = Rule::any;
    int argument = 0;
};

// Every call a drawing makes, measured with `strace -f` on the drawings of the project's
// corpus and tests (PDF pages with shapes, text in the standard and in embedded fonts,
// images (JPEG, JBIG2, JPEG 2000), shadings, patterns, forms and annotations; SVG documents
// with shapes, gradients, text (its fonts set up by the drawing itself too), embedded PNG
// and JPEG pictures, masks, clips, filters, and compressed), drawn into pixels and into PDF
// pages, with the calls of the ways a drawing fails (abort, a refused allocation, a fatal
// signal). The most frequent come first: the filter reads the list in order.
constexpr Call kCalls[] = {
    // Memory: the libraries' allocations, the document and the pixels mapped, threads' stacks.
    {SYS_futex},
    {SYS_mmap},
    {SYS_munmap},
    {SYS_brk},
    {SYS_mprotect},
    {SYS_madvise},
    {SYS_mremap},
    // Reading the descriptors it was handed, and the files the libraries read: fonts, the
    // fonts' configuration and caches, poppler's encodings, the image loaders' list.
    {SYS_read},
    {SYS_lseek},
    {SYS_close},
    {SYS_newfstatat},
    {SYS_statx},
    {SYS_fstatfs},
    {SYS_getdents64},
    {SYS_openat, Rule::readOnly, 2},
    {SYS_openat2, Rule::missing},
#ifdef SYS_access
    {SYS_access},
    {SYS_readlink},
#else
    {SYS_faccessat},
    {SYS_readlinkat},
#endif
    {SYS_fadvise64},
    {SYS_fcntl, Rule::descriptorCommand},
    // Writing: its answer on its socket, its standard error (the C library's last words
    // too), a PDF into its memory file.
    {SYS_sendto},
    {SYS_write},
    {SYS_writev},
    // Threads (librsvg draws effects on a pool of them), and their ends.
    {SYS_clone, Rule::thread},
    {SYS_clone3, Rule::missing},
    {SYS_set_robust_list},
    {SYS_rseq},
    {SYS_sched_yield},
    {SYS_sched_getaffinity},
    {SYS_prctl, Rule::threadName},
    {SYS_exit},
    {SYS_exit_group},
    // Signals: its handlers and masks, and a signal to itself.
    {SYS_rt_sigprocmask},
    {SYS_rt_sigaction},
    {SYS_rt_sigreturn},
    {SYS_tgkill, Rule::itself},
    {SYS_kill, Rule::itself},
    {SYS_getpid},
    {SYS_gettid},
    // Time (where the kernel's clock cannot be read without a call), sleep, what it used.
    {SYS_clock_gettime},
    {SYS_gettimeofday},
    {SYS_clock_nanosleep},
    {SYS_getrandom},
    {SYS_getrusage},
    {SYS_prlimit64, Rule::limitsRead},
};

constexpr std::initializer_list<uint32_t> kDescriptorCommands = {F_DUPFD, F_GETFD,          F_SETFD,
                                                                 F_GETFL, F_SETFL,          F_DUPFD_CLOEXEC,
                                                                 F_GET_SEALS};
constexpr std::initializer_list<uint32_t> kThreadNameOptions = {PR_SET_NAME, PR_GET_NAME};
// Open flags that write, create or truncate. (A file without a name is made only for writing.)
constexpr uint32_t kWritingFlags = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;

constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t kRefuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
constexpr uint32_t kMissing = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);

// The low half of argument `n` (the kernel reads an int or a pid from it alone), and the high one.
constexpr uint32_t low(int n) { return uint32_t(offsetof(seccomp_data, args) + 8 * n); }
constexpr uint32_t high(int n) { return uint32_t(offsetof(seccomp_data, args) + 8 * n + 4); }

// One call's checks, each a load of an argument's half or a comparison; what a comparison
// leads to: the next check, a check of the block by its index, or its end allowing or
// refusing the call.
class Block {
public:
    static constexpr int kNext = -1, kAllowed = -2, kRefused = -3;

    void load(uint32_t offset) { steps_.push_back({BPF_LD | BPF_W | BPF_ABS, offset, kNext, kNext}); }
    // Compares the loaded half with `value` (jumpIf: BPF_JEQ or BPF_JSET).
    void compare(uint16_t jumpIf, uint32_t value, int ifTrue, int ifFalse) {
        steps_.push_back({uint16_t(BPF_JMP | jumpIf | BPF_K), value, ifTrue, ifFalse});
    }
    int size() const { return int(steps_.size()); }

    // Its instructions, then the allowing and the refusing end.
    void appendTo(std::vector<sock_filter>& program) const {
        const int allowed = size(), refused = size() + 1;
        const auto offset = [&](int from, int to) {
            const int at = to == kNext ? from + 1 : to == kAllowed ? allowed : to == kRefused ? refused : to;
            return uint8_t(at - from - 1);
        };
        for (int i = 0; i < size(); ++i) {
            const Step& s = steps_[size_t(i)];
            program.push_back(BPF_JUMP(s.code, s.value, offset(i, s.ifTrue), offset(i, s.ifFalse)));
        }
        program.push_back(BPF_STMT(BPF_RET | BPF_K, kAllow));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, kRefuse));
    }

private:
    struct Step {
        uint16_t code;
        uint32_t value;
        int ifTrue, ifFalse;
    };
    std::vector<Step> steps_;
};

// Allowed when the loaded half is one of `values`.
void oneOf(Block& block, std::initializer_list<uint32_t> values) {
    int left = int(values.size());
    for (const uint32_t value : values) block.compare(BPF_JEQ, value, Block::kAllowed, --left == 0 ? Block::kRefused : Block::kNext);
}

Block checksOf(const Call& call, pid_t self) {
    Block block;
    switch (call.rule) {
        case Rule::thread:
            block.load(low(0));
            block.compare(BPF_JSET, CLONE_THREAD, Block::kAllowed, Block::kRefused);
            break;
        case Rule::itself:
            block.load(low(0));
            block.compare(BPF_JEQ, uint32_t(self), Block::kAllowed, Block::kRefused);
            break;
        case Rule::limitsRead:
            // Of itself (0 or its pid), with no new limits (a null pointer: both halves).
            block.load(low(0));
            block.compare(BPF_JEQ, 0, 3, Block::kNext);
            block.compare(BPF_JEQ, uint32_t(self), 3, Block::kRefused);
            block.load(low(2));
            block.compare(BPF_JEQ, 0, Block::kNext, Block::kRefused);
            block.load(high(2));
            block.compare(BPF_JEQ, 0, Block::kAllowed, Block::kRefused);
            break;
        case Rule::readOnly:
            block.load(low(call.argument));
            block.compare(BPF_JSET, kWritingFlags, Block::kRefused, Block::kAllowed);
            break;
        case Rule::descriptorCommand:
            block.load(low(1));
            oneOf(block, kDescriptorCommands);
            break;
        case Rule::threadName:
            block.load(low(0));
            oneOf(block, kThreadNameOptions);
            break;
        case Rule::any:
        case Rule::missing: break;
    }
    return block;
}

}  // namespace

bool confineDrawing(pid_t self) {
#if defined(__x86_64__)
    constexpr uint32_t kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t kArchitecture = AUDIT_ARCH_AARCH64;
#else
    errno = ENOSYS;
    return false;
#endif
    std::vector<sock_filter> program = {
        // Calls of another architecture (a 32-bit program's) are numbered otherwise: refused
        // whole. (x32's, within the native architecture, have a bit no native call has: none
        // is listed.)
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, kRefuse),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (const Call& call : kCalls) {
        // Each call: its number, then what it leads to, which a call of another number skips.
        // (The blocks leave the call's number loaded only until they load an argument: each
        // ends in a return.)
        const Block block = checksOf(call, self);
        const int length = block.size() == 0 ? 1 : block.size() + 2;
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(call.number), 0, uint8_t(length)));
        if (block.size() == 0) {
            program.push_back(BPF_STMT(BPF_RET | BPF_K, call.rule == Rule::missing ? kMissing : kAllow));
        } else {
            block.appendTo(program);
        }
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, kRefuse));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

}  // namespace platform::graphics::render
