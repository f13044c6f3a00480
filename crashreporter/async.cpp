#include "crashreporter/async.hpp"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace lvcrash {
namespace {

const char* const error_messages[] = {
    "No error",
    "Unknown error",
    "Output file can not be opened (or written to)",
    "No memory available",
    "Operation not supported",
    "Invalid argument",
    "Internal error",
    "Access denied",
    "Not found",
    "The input data is in an unknown or invalid format.",
};

std::uint16_t same16(std::uint16_t v) { return v; }
std::uint32_t same32(std::uint32_t v) { return v; }
std::uint64_t same64(std::uint64_t v) { return v; }
std::uint16_t swap16(std::uint16_t v) { return __builtin_bswap16(v); }
std::uint32_t swap32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint64_t swap64(std::uint64_t v) { return __builtin_bswap64(v); }

const RDlvcrash_async_byteorder direct_order = {same16, same32, same64};
const RDlvcrash_async_byteorder swapped_order = {swap16, swap32, swap64};

struct signal_name {
    int signal;
    const char* name;
};

// The host's own numbers: Linux and Darwin disagree on most of them.
const signal_name signal_names[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"},   {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"},     {SIGIOT, "SIGIOT"},     {SIGBUS, "SIGBUS"},
    {SIGFPE, "SIGFPE"},       {SIGKILL, "SIGKILL"},     {SIGUSR1, "SIGUSR1"},   {SIGSEGV, "SIGSEGV"},
    {SIGUSR2, "SIGUSR2"},     {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"},   {SIGTERM, "SIGTERM"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
    {SIGCHLD, "SIGCHLD"},     {SIGCONT, "SIGCONT"},     {SIGSTOP, "SIGSTOP"},   {SIGTSTP, "SIGTSTP"},
    {SIGTTIN, "SIGTTIN"},     {SIGTTOU, "SIGTTOU"},     {SIGURG, "SIGURG"},     {SIGXCPU, "SIGXCPU"},
    {SIGXFSZ, "SIGXFSZ"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},   {SIGWINCH, "SIGWINCH"},
    {SIGIO, "SIGIO"},
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGEMT
    {SIGEMT, "SIGEMT"},
#endif
#ifdef SIGINFO
    {SIGINFO, "SIGINFO"},
#endif
    {SIGSYS, "SIGSYS"},
};

struct signal_code_name {
    int signal;
    int code;
    const char* name;
};

const signal_code_name signal_codes[] = {
    {SIGILL, 0, "ILL_NOOP"},          {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"}, {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"}, {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"}, {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"}, {SIGILL, ILL_COPROC, "ILL_COPROC"}, {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
    {SIGFPE, 0, "FPE_NOOP"},          {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"}, {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"}, {SIGFPE, FPE_FLTRES, "FPE_FLTRES"}, {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"}, {SIGFPE, FPE_INTDIV, "FPE_INTDIV"}, {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
    {SIGSEGV, 0, "SEGV_NOOP"},        {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"}, {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
    {SIGBUS, 0, "BUS_NOOP"},          {SIGBUS, BUS_ADRALN, "BUS_ADRALN"}, {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
    {SIGTRAP, 0, "#0"},               {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"}, {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
    {SIGABRT, 0, "#0"},
};

}  // namespace

const char* lvcrash_async_strerror(lvcrash_error_t error) {
    if (error >= sizeof error_messages / sizeof error_messages[0]) return "Unhandled error code";
    return error_messages[error];
}

const RDlvcrash_async_byteorder* lvcrash_async_byteorder_direct() { return &direct_order; }
const RDlvcrash_async_byteorder* lvcrash_async_byteorder_swapped() { return &swapped_order; }

const RDlvcrash_async_byteorder* lvcrash_async_byteorder_little_endian() {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return &direct_order;
#else
    return &swapped_order;
#endif
}

const RDlvcrash_async_byteorder* lvcrash_async_byteorder_big_endian() {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return &swapped_order;
#else
    return &direct_order;
#endif
}

bool lvcrash_async_address_apply_offset(lvcrash_vm_address_t base, lvcrash_vm_off_t offset,
                                        lvcrash_vm_address_t* result) {
    lvcrash_vm_address_t sum;
    if (offset >= 0) {
        const auto add = static_cast<lvcrash_vm_address_t>(offset);
        if (base + add < base) return false;
        sum = base + add;
    } else {
        // The magnitude of INT64_MIN is formed in unsigned arithmetic: negating it as a signed
        // value would overflow.
        const lvcrash_vm_address_t magnitude = 0 - static_cast<lvcrash_vm_address_t>(offset);
        if (magnitude > base) return false;
        sum = base - magnitude;
    }
    if (result) *result = sum;
    return true;
}

thread_t lvcrash_async_mach_thread_self() { return platform::darwin::thread_self(); }

lvcrash_error_t lvcrash_async_task_memcpy(task_t task, lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                          void* dest, lvcrash_vm_size_t length) {
    lvcrash_vm_address_t target;
    if (!lvcrash_async_address_apply_offset(address, offset, &target)) return LVCRASH_ERROR_NO_MEMORY;
    std::uint64_t copied = 0;
    switch (platform::darwin::task_read(task, target, length, dest, &copied)) {
    case platform::darwin::kern_success:
        return LVCRASH_ERROR_NONE;
    case platform::darwin::kern_invalid_address:
        return LVCRASH_ERROR_NOT_FOUND;
    case platform::darwin::kern_protection_failure:
        return LVCRASH_ERROR_ACCESS_DENIED;
    default:
        return LVCRASH_ERROR_UNKNOWN;
    }
}

lvcrash_error_t lvcrash_async_task_read_uint16(task_t task, const RDlvcrash_async_byteorder* byteorder,
                                               lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                               std::uint16_t* result) {
    const lvcrash_error_t err = lvcrash_async_task_memcpy(task, address, offset, result, sizeof *result);
    *result = byteorder->swap16(*result);
    return err;
}

lvcrash_error_t lvcrash_async_task_read_uint32(task_t task, const RDlvcrash_async_byteorder* byteorder,
                                               lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                               std::uint32_t* result) {
    const lvcrash_error_t err = lvcrash_async_task_memcpy(task, address, offset, result, sizeof *result);
    *result = byteorder->swap32(*result);
    return err;
}

lvcrash_error_t lvcrash_async_task_read_uint64(task_t task, const RDlvcrash_async_byteorder* byteorder,
                                               lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                               std::uint64_t* result) {
    const lvcrash_error_t err = lvcrash_async_task_memcpy(task, address, offset, result, sizeof *result);
    *result = byteorder->swap64(*result);
    return err;
}

int lvcrash_async_strcmp(const char* s1, const char* s2) {
    const auto* a = reinterpret_cast<const unsigned char*>(s1);
    const auto* b = reinterpret_cast<const unsigned char*>(s2);
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int lvcrash_async_strncmp(const char* s1, const char* s2, std::size_t n) {
    const auto* a = reinterpret_cast<const unsigned char*>(s1);
    const auto* b = reinterpret_cast<const unsigned char*>(s2);
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
        if (a[i] == 0) break;
    }
    return 0;
}

std::size_t lvcrash_async_strlen(const char* s) {
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

// volatile keeps the compiler from turning the loops back into library calls.
void* lvcrash_async_memcpy(void* dest, const void* source, std::size_t n) {
    auto* d = static_cast<volatile unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    return dest;
}

void* lvcrash_async_memset(void* dest, std::uint8_t value, std::size_t n) {
    auto* d = static_cast<volatile unsigned char*>(dest);
    for (std::size_t i = 0; i < n; ++i) d[i] = value;
    return dest;
}

long lvcrash_async_writen(int fd, const void* data, std::size_t length) {
    const auto* p = static_cast<const char*>(data);
    std::size_t left = length;
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return -1;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return static_cast<long>(length);
}

void lvcrash_async_file_init(lvcrash_async_file_t* file, int fd, std::uint64_t limit_bytes) {
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buflen = 0;
}

bool lvcrash_async_file_write(lvcrash_async_file_t* file, const void* data, std::size_t length) {
    if (file->limit_bytes != 0) {
        if (length > file->limit_bytes || file->total_bytes > file->limit_bytes - length) return false;
    }
    file->total_bytes += length;
    if (file->buflen + length > LVCRASH_ASYNC_FILE_BUFLEN) {
        if (file->buflen > 0 && lvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) return false;
        file->buflen = 0;
    }
    if (length > LVCRASH_ASYNC_FILE_BUFLEN) return lvcrash_async_writen(file->fd, data, length) >= 0;
    lvcrash_async_memcpy(file->buffer + file->buflen, data, length);
    file->buflen += length;
    return true;
}

bool lvcrash_async_file_flush(lvcrash_async_file_t* file) {
    if (file->buflen == 0) return true;
    if (lvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) return false;
    file->buflen = 0;
    return true;
}

bool lvcrash_async_file_close(lvcrash_async_file_t* file) {
    if (!lvcrash_async_file_flush(file)) return false;
    return close(file->fd) == 0;
}

const char* lvcrash_async_signal_signame(int signal) {
    for (const auto& row : signal_names)
        if (row.signal == signal) return row.name;
    return nullptr;
}

const char* lvcrash_async_signal_sigcode(int signal, int code) {
    for (const auto& row : signal_codes)
        if (row.signal == signal && row.code == code) return row.name;
    return nullptr;
}

}  // namespace lvcrash
