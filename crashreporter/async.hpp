#pragma once
// The crash path's toolbox: result codes, byte orders, overflow-safe address arithmetic,
// reads of task memory, primitives that call nothing, signal names and a buffered file with
// a byte limit. Everything here is async-signal-safe except the set-up helpers at the end.
#include <cstddef>
#include <cstdint>

#include "platform/darwin/mach.hpp"

namespace lvcrash {

using lvcrash_error_t = std::uint32_t;
using task_t = platform::darwin::port_t;
using thread_t = platform::darwin::port_t;
using lvcrash_vm_address_t = std::uint64_t;
using lvcrash_vm_off_t = std::int64_t;
using lvcrash_vm_size_t = std::uint64_t;

inline constexpr lvcrash_error_t LVCRASH_ERROR_NONE = 0;
inline constexpr lvcrash_error_t LVCRASH_ERROR_UNKNOWN = 1;
inline constexpr lvcrash_error_t LVCRASH_ERROR_OUTPUT = 2;
inline constexpr lvcrash_error_t LVCRASH_ERROR_NO_MEMORY = 3;
inline constexpr lvcrash_error_t LVCRASH_ERROR_NOT_SUPPORTED = 4;
inline constexpr lvcrash_error_t LVCRASH_ERROR_INVALID_ARGUMENT = 5;
inline constexpr lvcrash_error_t LVCRASH_ERROR_INTERNAL = 6;
inline constexpr lvcrash_error_t LVCRASH_ERROR_ACCESS_DENIED = 7;
inline constexpr lvcrash_error_t LVCRASH_ERROR_NOT_FOUND = 8;
inline constexpr lvcrash_error_t LVCRASH_ERROR_INVALID_DATA = 9;

const char* lvcrash_async_strerror(lvcrash_error_t error);

// Conversions from a target's byte order to the host's: 16-, 32- and 64-bit, in that order.
struct RDlvcrash_async_byteorder {
    std::uint16_t (*swap16)(std::uint16_t);
    std::uint32_t (*swap32)(std::uint32_t);
    std::uint64_t (*swap64)(std::uint64_t);
};
// The host's own order (identity) and the reversed one (byte swaps).
const RDlvcrash_async_byteorder* lvcrash_async_byteorder_direct();
const RDlvcrash_async_byteorder* lvcrash_async_byteorder_swapped();
// Little- and big-endian tables, whichever of the two matches the host.
const RDlvcrash_async_byteorder* lvcrash_async_byteorder_little_endian();
const RDlvcrash_async_byteorder* lvcrash_async_byteorder_big_endian();

bool lvcrash_async_address_apply_offset(lvcrash_vm_address_t base, lvcrash_vm_off_t offset,
                                        lvcrash_vm_address_t* result);

thread_t lvcrash_async_mach_thread_self();

lvcrash_error_t lvcrash_async_task_memcpy(task_t task, lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                          void* dest, lvcrash_vm_size_t length);
lvcrash_error_t lvcrash_async_task_read_uint16(task_t task, const RDlvcrash_async_byteorder* byteorder,
                                               lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                               std::uint16_t* result);
lvcrash_error_t lvcrash_async_task_read_uint32(task_t task, const RDlvcrash_async_byteorder* byteorder,
                                               lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                               std::uint32_t* result);
lvcrash_error_t lvcrash_async_task_read_uint64(task_t task, const RDlvcrash_async_byteorder* byteorder,
                                               lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                               std::uint64_t* result);

int lvcrash_async_strcmp(const char* s1, const char* s2);
int lvcrash_async_strncmp(const char* s1, const char* s2, std::size_t n);
std::size_t lvcrash_async_strlen(const char* s);
void* lvcrash_async_memcpy(void* dest, const void* source, std::size_t n);
void* lvcrash_async_memset(void* dest, std::uint8_t value, std::size_t n);

long lvcrash_async_writen(int fd, const void* data, std::size_t length);

inline constexpr std::size_t LVCRASH_ASYNC_FILE_BUFLEN = 256;
inline constexpr std::uint64_t LVCRASH_ASYNC_REPORT_LIMIT = 262144;

struct lvcrash_async_file_t {
    int fd;
    std::uint64_t limit_bytes;  // 0: no limit
    std::uint64_t total_bytes;
    std::size_t buflen;
    char buffer[LVCRASH_ASYNC_FILE_BUFLEN];
};

void lvcrash_async_file_init(lvcrash_async_file_t* file, int fd, std::uint64_t limit_bytes);
bool lvcrash_async_file_write(lvcrash_async_file_t* file, const void* data, std::size_t length);
bool lvcrash_async_file_flush(lvcrash_async_file_t* file);
bool lvcrash_async_file_close(lvcrash_async_file_t* file);

// Names of the host's signals and signal codes; nullptr when there is none.
const char* lvcrash_async_signal_signame(int signal);
const char* lvcrash_async_signal_sigcode(int signal, int code);

// Set-up time only: these allocate.
char* lvcrash_sysctl_string(const char* name);  // free() the result
bool lvcrash_sysctl_int(const char* name, std::int32_t* result);
std::size_t lvcrash_utf8_valid_prefix_length(const char* bytes, std::size_t length);

}  // namespace lvcrash
