#pragma once
// The crash report file: "lvcrash", a version byte, then the fields of one lvcrash.CrashReport
// message encoded by hand. Everything the report says about the process, the machine and the
// system is gathered when the writer is initialised, so that writing allocates nothing.
#include "crashreporter/async.hpp"
#include "crashreporter/image_list.hpp"
#include "crashreporter/symbolicate.hpp"
#include "crashreporter/thread_state.hpp"

namespace lvcrash {

inline constexpr std::uint8_t LVCRASH_REPORT_FILE_VERSION = 1;
inline constexpr std::uint32_t LVCRASH_WRITER_MAX_FRAMES = 512;
inline constexpr std::size_t LVCRASH_WRITER_MAX_THREADS = 1024;

// Values of the schema's enumerations the writer uses.
inline constexpr std::uint32_t LVCRASH_REPORT_OS_LINUX = 5;
inline constexpr std::uint32_t LVCRASH_REPORT_ARCHITECTURE_UNKNOWN = 6;
inline constexpr std::uint32_t LVCRASH_REPORT_TYPE_ENCODING_MACH = 1;

// Field types of the packer (the numbering of the Protocol Buffers descriptor types).
enum lvcrash_protobuf_type : std::uint32_t {
    LVCRASH_PROTOBUF_TYPE_DOUBLE = 1,
    LVCRASH_PROTOBUF_TYPE_FLOAT = 2,
    LVCRASH_PROTOBUF_TYPE_INT64 = 3,
    LVCRASH_PROTOBUF_TYPE_UINT64 = 4,
    LVCRASH_PROTOBUF_TYPE_INT32 = 5,
    LVCRASH_PROTOBUF_TYPE_FIXED64 = 6,
    LVCRASH_PROTOBUF_TYPE_FIXED32 = 7,
    LVCRASH_PROTOBUF_TYPE_BOOL = 8,
    LVCRASH_PROTOBUF_TYPE_STRING = 9,
    LVCRASH_PROTOBUF_TYPE_MESSAGE = 11,
    LVCRASH_PROTOBUF_TYPE_BYTES = 12,
    LVCRASH_PROTOBUF_TYPE_UINT32 = 13,
    LVCRASH_PROTOBUF_TYPE_ENUM = 14,
    LVCRASH_PROTOBUF_TYPE_SFIXED32 = 15,
    LVCRASH_PROTOBUF_TYPE_SFIXED64 = 16,
    LVCRASH_PROTOBUF_TYPE_SINT32 = 17,
    LVCRASH_PROTOBUF_TYPE_SINT64 = 18,
};

// A bytes value for the packer.
struct lvcrash_protobuf_bytes {
    std::size_t length;
    const void* data;
};

// A NUL-terminated heap copy (data is nullptr when absent).
struct lvcrash_log_writer_text {
    char* data;
    std::size_t length;
};

// Symbols found during one write, by lookup pc: every frame is encoded twice (once to learn
// its length) and recursion repeats the same pcs, so most lookups are answered here.
inline constexpr std::size_t LVCRASH_WRITER_SYMBOL_CACHE_SLOTS = 128;
struct lvcrash_log_writer_symbol {
    bool valid;
    bool found;
    std::uint64_t lookup_pc;
    std::uint64_t start;
    char name[256];
};

// One thread's walk, kept so that sizing and writing its field unwind the stack only once.
struct lvcrash_log_writer_walk {
    std::uint32_t count;
    bool has_first;
    lvcrash_async_thread_state first;  // the first frame's registers
    std::uint64_t pcs[LVCRASH_WRITER_MAX_FRAMES];
    std::uint64_t lookup_pcs[LVCRASH_WRITER_MAX_FRAMES];
};

// About 50 KiB (symbol cache, walk, suspended-thread list): keep it off small stacks.
struct lvcrash_log_writer_t {
    std::uint32_t symbolication_strategy;
    bool user_requested;
    std::uint8_t report_uuid[16];
    struct {
        lvcrash_log_writer_text identifier;
        lvcrash_log_writer_text version;
        lvcrash_log_writer_text marketing_version;
    } application_info;
    struct {
        lvcrash_log_writer_text version;
        lvcrash_log_writer_text build;
    } system_info;
    struct {
        lvcrash_log_writer_text model;
        std::uint32_t cpu_type;
        std::uint32_t cpu_subtype;
        std::uint32_t processor_count;
        std::uint32_t logical_processor_count;
    } machine_info;
    struct {
        lvcrash_log_writer_text process_name;
        std::uint32_t process_id;
        lvcrash_log_writer_text process_path;
        lvcrash_log_writer_text parent_process_name;
        std::uint32_t parent_process_id;
        bool native;
        std::uint64_t start_time;
    } process_info;
    struct {
        bool has_exception;
        lvcrash_log_writer_text name;
        lvcrash_log_writer_text reason;
        std::size_t callstack_count;
        std::uint64_t* callstack;
    } uncaught_exception;
    struct {
        std::size_t length;
        std::uint8_t* data;
    } custom_data;
    lvcrash_log_writer_symbol symbol_cache[LVCRASH_WRITER_SYMBOL_CACHE_SLOTS];
    lvcrash_log_writer_walk walk;
    // Threads a write left suspended (see lvcrash_log_writer_write).
    std::size_t suspended_count;
    thread_t suspended[LVCRASH_WRITER_MAX_THREADS];
};

struct lvcrash_log_writer_signal_info {
    int signo;
    int code;
    std::uint64_t address;
    bool has_mach_exception;
    std::uint64_t mach_type;
    const std::uint64_t* mach_codes;
    std::size_t mach_code_count;
};

// Set-up time (allocates, reads /proc and os-release).
lvcrash_error_t lvcrash_log_writer_init(lvcrash_log_writer_t* writer, const char* app_identifier,
                                        const char* app_version, const char* app_marketing_version,
                                        std::uint32_t symbolication_strategy, bool user_requested);
void RDlvcrash_log_writer_set_exception(lvcrash_log_writer_t* writer, const char* name, const char* reason,
                                        const std::uint64_t* return_addresses, std::size_t count);
void lvcrash_log_writer_set_custom_data(lvcrash_log_writer_t* writer, const void* data, std::size_t length);
void lvcrash_log_writer_free(lvcrash_log_writer_t* writer);

// Crash path. Writes the report of every thread of the task into file. The calling thread is
// described by current_state, and left out when that is nullptr; crashed_thread is marked
// crashed. The other threads are suspended for the write; with leave_suspended they stay so
// until lvcrash_log_writer_resume_threads, else they are resumed before returning.
// A field that would not fit whole in the file's limit is left out whole: the signal and the
// crashed thread are reserved first, so the report always decodes.
lvcrash_error_t lvcrash_log_writer_write(lvcrash_log_writer_t* writer, thread_t crashed_thread,
                                         lvcrash_async_image_list* image_list, lvcrash_async_file_t* file,
                                         const lvcrash_log_writer_signal_info* signal,
                                         const lvcrash_async_thread_state* current_state, bool leave_suspended);
void lvcrash_log_writer_resume_threads(lvcrash_log_writer_t* writer);
lvcrash_error_t lvcrash_log_writer_close(lvcrash_log_writer_t* writer);

// Bytes the field occupies; with file == nullptr nothing is written. value points at the
// field's value: an integer of the type's width, a C string, an lvcrash_protobuf_bytes, or
// for a message the 32-bit length of its body (which the caller writes).
std::size_t lvcrash_writer_pack(lvcrash_async_file_t* file, std::uint32_t field_id, lvcrash_protobuf_type type,
                                const void* value);

}  // namespace lvcrash
