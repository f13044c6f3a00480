// The crash-time half of the report writer: no heap, no locks, no exceptions.
#include <ctime>

#include "crashreporter/frame_cursor.hpp"
#include "crashreporter/report_writer.hpp"
#include "platform/darwin/thread_control.hpp"

namespace lvcrash {

namespace darwin = platform::darwin;

namespace {

std::size_t put(lvcrash_async_file_t* file, const void* data, std::size_t length) {
    if (file) lvcrash_async_file_write(file, data, length);
    return length;
}

std::size_t put_varint(lvcrash_async_file_t* file, std::uint64_t value) {
    std::uint8_t bytes[10];
    std::size_t n = 0;
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        if (value) byte |= 0x80;
        bytes[n++] = byte;
    } while (value);
    return put(file, bytes, n);
}

std::size_t put_fixed(lvcrash_async_file_t* file, std::uint64_t value, std::size_t width) {
    std::uint8_t bytes[8];
    for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return put(file, bytes, width);
}

// Runs body once without a file to learn its length, then writes tag, length and body.
template <typename Body>
std::size_t pack_message(lvcrash_async_file_t* file, std::uint32_t field, Body&& body) {
    const auto length = static_cast<std::uint32_t>(body(static_cast<lvcrash_async_file_t*>(nullptr)));
    const std::size_t head = lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_MESSAGE, &length);
    if (file) body(file);
    return head + length;
}

std::size_t pack_u64(lvcrash_async_file_t* file, std::uint32_t field, std::uint64_t value) {
    return lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_UINT64, &value);
}
std::size_t pack_u32(lvcrash_async_file_t* file, std::uint32_t field, std::uint32_t value) {
    return lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_UINT32, &value);
}
std::size_t pack_enum(lvcrash_async_file_t* file, std::uint32_t field, std::uint32_t value) {
    return lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_ENUM, &value);
}
std::size_t pack_bool(lvcrash_async_file_t* file, std::uint32_t field, bool value) {
    return lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_BOOL, &value);
}
std::size_t pack_text(lvcrash_async_file_t* file, std::uint32_t field, const lvcrash_log_writer_text& text) {
    return lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_STRING, text.data ? text.data : "");
}
std::size_t pack_bytes(lvcrash_async_file_t* file, std::uint32_t field, const void* data, std::size_t length) {
    const lvcrash_protobuf_bytes bytes{length, data};
    return lvcrash_writer_pack(file, field, LVCRASH_PROTOBUF_TYPE_BYTES, &bytes);
}

// "#" and the decimal number, for signals and codes the tables don't name.
void format_number(char* out, int value) {
    char digits[12];
    std::size_t n = 0;
    std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    std::size_t at = 0;
    out[at++] = '#';
    if (value < 0) out[at++] = '-';
    while (n) out[at++] = digits[--n];
    out[at] = '\0';
}

struct symbol_result {
    bool found;
    lvcrash_vm_address_t start;
    char name[256];
};

void take_symbol(lvcrash_vm_address_t address, const char* name, void* ctx) {
    auto* result = static_cast<symbol_result*>(ctx);
    result->found = true;
    result->start = address;
    std::size_t i = 0;
    for (; name[i] != '\0' && i < sizeof result->name - 1; ++i) result->name[i] = name[i];
    result->name[i] = '\0';
}

struct write_context {
    lvcrash_log_writer_t* writer;
    lvcrash_async_image_list* image_list;
    lvcrash_async_objc_cache* objc_cache;
};

// One stack frame: the real pc, and the symbol found at the lookup pc.
std::size_t pack_frame(lvcrash_async_file_t* file, std::uint32_t field, write_context* ctx, std::uint64_t pc,
                       std::uint64_t lookup_pc) {
    symbol_result symbol;
    symbol.found = false;
    if (ctx->writer->symbolication_strategy != 0 && ctx->image_list != nullptr) {
        lvcrash_log_writer_symbol* cached =
            &ctx->writer->symbol_cache[(lookup_pc ^ (lookup_pc >> 9)) % LVCRASH_WRITER_SYMBOL_CACHE_SLOTS];
        if (cached->valid && cached->lookup_pc == lookup_pc) {
            symbol.found = cached->found;
            symbol.start = cached->start;
            lvcrash_async_memcpy(symbol.name, cached->name, sizeof symbol.name);
        } else {
            lvcrash_async_image_list_set_reading(ctx->image_list, true);
            if (lvcrash_async_image* image = lvcrash_frame_image_for_pc(ctx->image_list, lookup_pc))
                lvcrash_async_find_symbol(image, ctx->writer->symbolication_strategy, ctx->objc_cache, lookup_pc,
                                          take_symbol, &symbol);
            lvcrash_async_image_list_set_reading(ctx->image_list, false);
            cached->valid = true;
            cached->lookup_pc = lookup_pc;
            cached->found = symbol.found;
            cached->start = symbol.found ? symbol.start : 0;
            if (symbol.found) lvcrash_async_memcpy(cached->name, symbol.name, sizeof cached->name);
        }
    }
    return pack_message(file, field, [&](lvcrash_async_file_t* out) {
        std::size_t n = pack_u64(out, 3, pc);
        if (symbol.found) {
            n += pack_message(out, 6, [&](lvcrash_async_file_t* sym) {
                return lvcrash_writer_pack(sym, 1, LVCRASH_PROTOBUF_TYPE_STRING, symbol.name) +
                       pack_u64(sym, 2, symbol.start);
            });
        }
        return n;
    });
}

// Unwinds a thread into the writer's walk record (no frames when state is nullptr or the
// first step fails).
void walk_thread(write_context* ctx, const lvcrash_async_thread_state* state) {
    lvcrash_log_writer_walk* walk = &ctx->writer->walk;
    walk->count = 0;
    walk->has_first = false;
    if (state == nullptr) return;
    lvcrash_frame_cursor cursor;
    lvcrash_frame_cursor_init(&cursor, darwin::task_self(), state, ctx->image_list);
    if (lvcrash_frame_cursor_next(&cursor) == LVCRASH_FRAME_OK) {
        walk->has_first = true;
        lvcrash_async_thread_state_copy(&walk->first, &cursor.frame);
        for (;;) {
            const lvcrash_async_thread_state* previous = cursor.depth == 1 ? nullptr : &cursor.prev_frame;
            walk->pcs[walk->count] = lvcrash_async_thread_state_get_reg(&cursor.frame, LVCRASH_REG_IP);
            walk->lookup_pcs[walk->count] = lvcrash_frame_lookup_pc(&cursor.frame, previous);
            if (++walk->count == LVCRASH_WRITER_MAX_FRAMES) break;
            if (lvcrash_frame_cursor_next(&cursor) != LVCRASH_FRAME_OK) break;
        }
    }
    lvcrash_frame_cursor_free(&cursor);
}

// The thread last walked, as field 3.
std::size_t pack_thread(lvcrash_async_file_t* file, write_context* ctx, std::uint32_t number, bool crashed) {
    const lvcrash_log_writer_walk* walk = &ctx->writer->walk;
    return pack_message(file, 3, [&](lvcrash_async_file_t* out) {
        std::size_t n = pack_u32(out, 1, number);
        n += pack_bool(out, 3, crashed);
        if (crashed && walk->has_first) {
            const std::uint32_t count = lvcrash_async_thread_state_get_reg_count(&walk->first);
            for (std::uint32_t reg = 0; reg < count; ++reg) {
                const char* name = lvcrash_async_thread_state_get_reg_name(&walk->first, reg);
                const std::uint64_t value = lvcrash_async_thread_state_has_reg(&walk->first, reg)
                                                ? lvcrash_async_thread_state_get_reg(&walk->first, reg)
                                                : 0;
                n += pack_message(out, 4, [&](lvcrash_async_file_t* pair) {
                    return lvcrash_writer_pack(pair, 1, LVCRASH_PROTOBUF_TYPE_STRING, name ? name : "") +
                           pack_u64(pair, 2, value);
                });
            }
        }
        for (std::uint32_t i = 0; i < walk->count; ++i) n += pack_frame(out, 2, ctx, walk->pcs[i], walk->lookup_pcs[i]);
        return n;
    });
}

std::size_t pack_image(lvcrash_async_file_t* file, const lvcrash_async_image* image) {
    return pack_message(file, 4, [&](lvcrash_async_file_t* out) {
        std::size_t n = pack_u64(out, 2, lvcrash_async_image_text_size(image));
        n += pack_u64(out, 1, lvcrash_async_image_header_address(image));
        const char* name = lvcrash_async_image_name(image);
        n += lvcrash_writer_pack(out, 3, LVCRASH_PROTOBUF_TYPE_STRING, name ? name : "");
        std::uint8_t uuid[16];
        if (lvcrash_async_image_uuid(image, uuid)) n += pack_bytes(out, 4, uuid, sizeof uuid);
        n += pack_message(out, 5, [&](lvcrash_async_file_t* cpu) {
            return pack_enum(cpu, 1, LVCRASH_REPORT_TYPE_ENCODING_MACH) +
                   pack_u64(cpu, 2, lvcrash_async_image_cpu_type(image)) +
                   pack_u64(cpu, 3, lvcrash_async_image_cpu_subtype(image));
        });
        return n;
    });
}

std::size_t pack_signal(lvcrash_async_file_t* file, const lvcrash_log_writer_signal_info* signal) {
    return pack_message(file, 6, [&](lvcrash_async_file_t* out) {
        char name_buffer[16];
        char code_buffer[16];
        const char* name = lvcrash_async_signal_signame(signal->signo);
        if (name == nullptr) {
            format_number(name_buffer, signal->signo);
            name = name_buffer;
        }
        const char* code = lvcrash_async_signal_sigcode(signal->signo, signal->code);
        if (code == nullptr) {
            format_number(code_buffer, signal->code);
            code = code_buffer;
        }
        std::size_t n = lvcrash_writer_pack(out, 1, LVCRASH_PROTOBUF_TYPE_STRING, name);
        n += lvcrash_writer_pack(out, 2, LVCRASH_PROTOBUF_TYPE_STRING, code);
        n += pack_u64(out, 3, signal->address);
        if (signal->has_mach_exception) {
            n += pack_message(out, 4, [&](lvcrash_async_file_t* mach) {
                std::size_t m = pack_u64(mach, 1, signal->mach_type);
                for (std::size_t i = 0; i < signal->mach_code_count; ++i) m += pack_u64(mach, 2, signal->mach_codes[i]);
                return m;
            });
        }
        return n;
    });
}

std::size_t pack_exception(lvcrash_async_file_t* file, write_context* ctx) {
    const auto& exception = ctx->writer->uncaught_exception;
    return pack_message(file, 5, [&](lvcrash_async_file_t* out) {
        std::size_t n = pack_text(out, 1, exception.name) + pack_text(out, 2, exception.reason);
        for (std::size_t i = 0; i < exception.callstack_count && i < LVCRASH_WRITER_MAX_FRAMES; ++i) {
            const std::uint64_t pc = exception.callstack[i];
            n += pack_frame(out, 3, ctx, pc, pc == 0 ? 0 : pc - 1);
        }
        return n;
    });
}

bool fits(const lvcrash_async_file_t* file, std::size_t size, std::size_t reserve) {
    if (file->limit_bytes == 0) return true;
    return file->total_bytes + size + reserve <= file->limit_bytes;
}

}  // namespace

std::size_t lvcrash_writer_pack(lvcrash_async_file_t* file, std::uint32_t field_id, lvcrash_protobuf_type type,
                                const void* value) {
    std::uint32_t wire;
    switch (type) {
        case LVCRASH_PROTOBUF_TYPE_FIXED32:
        case LVCRASH_PROTOBUF_TYPE_SFIXED32:
        case LVCRASH_PROTOBUF_TYPE_FLOAT: wire = 5; break;
        case LVCRASH_PROTOBUF_TYPE_FIXED64:
        case LVCRASH_PROTOBUF_TYPE_SFIXED64:
        case LVCRASH_PROTOBUF_TYPE_DOUBLE: wire = 1; break;
        case LVCRASH_PROTOBUF_TYPE_STRING:
        case LVCRASH_PROTOBUF_TYPE_BYTES:
        case LVCRASH_PROTOBUF_TYPE_MESSAGE: wire = 2; break;
        default: wire = 0; break;
    }
    if (static_cast<std::uint32_t>(type) > LVCRASH_PROTOBUF_TYPE_SINT64) __builtin_trap();
    std::size_t n = put_varint(file, (static_cast<std::uint64_t>(field_id) << 3) | wire);
    switch (type) {
        case LVCRASH_PROTOBUF_TYPE_INT32: {
            const auto v = *static_cast<const std::int32_t*>(value);
            return n + put_varint(file, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
        }
        case LVCRASH_PROTOBUF_TYPE_SINT32: {
            const auto v = *static_cast<const std::int32_t*>(value);
            return n + put_varint(file, (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31));
        }
        case LVCRASH_PROTOBUF_TYPE_SINT64: {
            const auto v = *static_cast<const std::int64_t*>(value);
            return n + put_varint(file, (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
        }
        case LVCRASH_PROTOBUF_TYPE_UINT32:
        case LVCRASH_PROTOBUF_TYPE_ENUM: return n + put_varint(file, *static_cast<const std::uint32_t*>(value));
        case LVCRASH_PROTOBUF_TYPE_BOOL: return n + put_varint(file, *static_cast<const bool*>(value) ? 1 : 0);
        case LVCRASH_PROTOBUF_TYPE_INT64:
        case LVCRASH_PROTOBUF_TYPE_UINT64: return n + put_varint(file, *static_cast<const std::uint64_t*>(value));
        case LVCRASH_PROTOBUF_TYPE_FIXED32:
        case LVCRASH_PROTOBUF_TYPE_SFIXED32:
        case LVCRASH_PROTOBUF_TYPE_FLOAT: return n + put_fixed(file, *static_cast<const std::uint32_t*>(value), 4);
        case LVCRASH_PROTOBUF_TYPE_FIXED64:
        case LVCRASH_PROTOBUF_TYPE_SFIXED64:
        case LVCRASH_PROTOBUF_TYPE_DOUBLE: return n + put_fixed(file, *static_cast<const std::uint64_t*>(value), 8);
        case LVCRASH_PROTOBUF_TYPE_STRING: {
            const char* text = static_cast<const char*>(value);
            const std::size_t length = lvcrash_async_strlen(text);
            n += put_varint(file, length);
            return n + put(file, text, length);
        }
        case LVCRASH_PROTOBUF_TYPE_BYTES: {
            const auto* bytes = static_cast<const lvcrash_protobuf_bytes*>(value);
            n += put_varint(file, bytes->length);
            return n + put(file, bytes->data, bytes->length);
        }
        case LVCRASH_PROTOBUF_TYPE_MESSAGE: return n + put_varint(file, *static_cast<const std::uint32_t*>(value));
        default: return n;
    }
}

lvcrash_error_t lvcrash_log_writer_write(lvcrash_log_writer_t* writer, thread_t crashed_thread,
                                         lvcrash_async_image_list* image_list, lvcrash_async_file_t* file,
                                         const lvcrash_log_writer_signal_info* signal,
                                         const lvcrash_async_thread_state* current_state, bool leave_suspended) {
    const thread_t self = darwin::mach_thread_self();
    thread_t threads[LVCRASH_WRITER_MAX_THREADS];
    std::size_t thread_count = 0;
    if (darwin::task_threads(darwin::task_self(), threads, LVCRASH_WRITER_MAX_THREADS, &thread_count) !=
        darwin::kern_success) {
        // No thread list (/proc unreadable): the calling thread is still reported.
        threads[0] = self;
        thread_count = 1;
    }
    writer->suspended_count = darwin::thread_suspend_all(threads, thread_count, writer->suspended);

    for (auto& entry : writer->symbol_cache) entry.valid = false;
    lvcrash_async_objc_cache objc_cache;
    lvcrash_async_objc_cache_init(&objc_cache);
    write_context ctx{writer, image_list, &objc_cache};

    put(file, "lvcrash", 7);
    put(file, &LVCRASH_REPORT_FILE_VERSION, 1);

    pack_message(file, 9, [&](lvcrash_async_file_t* out) {
        return pack_bool(out, 1, writer->user_requested) + pack_bytes(out, 2, writer->report_uuid, 16);
    });
    pack_message(file, 1, [&](lvcrash_async_file_t* out) {
        std::time_t now = std::time(nullptr);
        if (now == static_cast<std::time_t>(-1)) now = 0;
        const auto timestamp = static_cast<std::int64_t>(now);
        return pack_enum(out, 1, LVCRASH_REPORT_OS_LINUX) + pack_text(out, 2, writer->system_info.version) +
               pack_text(out, 5, writer->system_info.build) +
               pack_enum(out, 3, LVCRASH_REPORT_ARCHITECTURE_UNKNOWN) +
               lvcrash_writer_pack(out, 4, LVCRASH_PROTOBUF_TYPE_INT64, &timestamp);
    });
    pack_message(file, 8, [&](lvcrash_async_file_t* out) {
        const auto& machine = writer->machine_info;
        std::size_t n = 0;
        if (machine.model.data) n += pack_text(out, 1, machine.model);
        n += pack_message(out, 2, [&](lvcrash_async_file_t* cpu) {
            return pack_enum(cpu, 1, LVCRASH_REPORT_TYPE_ENCODING_MACH) + pack_u64(cpu, 2, machine.cpu_type) +
                   pack_u64(cpu, 3, machine.cpu_subtype);
        });
        return n + pack_u32(out, 3, machine.processor_count) + pack_u32(out, 4, machine.logical_processor_count);
    });
    pack_message(file, 2, [&](lvcrash_async_file_t* out) {
        const auto& app = writer->application_info;
        return pack_text(out, 1, app.identifier) + pack_text(out, 2, app.version) +
               pack_text(out, 3, app.marketing_version);
    });
    pack_message(file, 7, [&](lvcrash_async_file_t* out) {
        const auto& process = writer->process_info;
        return pack_text(out, 1, process.process_name) + pack_u32(out, 2, process.process_id) +
               pack_text(out, 3, process.process_path) + pack_text(out, 4, process.parent_process_name) +
               pack_u32(out, 5, process.parent_process_id) + pack_bool(out, 6, process.native) +
               pack_u64(out, 7, process.start_time);
    });

    // The signal and the crashed thread are reserved before anything optional is written, so
    // that neither is ever crowded out. A thread's state is read once, walked for its size and
    // walked again to write it.
    const std::size_t signal_size = pack_signal(nullptr, signal);
    std::size_t crashed_reserve = 0;
    for (std::size_t i = 0; i < thread_count; ++i) {
        if (threads[i] != crashed_thread) continue;
        lvcrash_async_thread_state state;
        const lvcrash_async_thread_state* used = nullptr;
        if (threads[i] == self) used = current_state;
        else if (lvcrash_async_thread_state_mach_thread_init(&state, threads[i]) == LVCRASH_ERROR_NONE) used = &state;
        if (threads[i] == self && current_state == nullptr) break;
        walk_thread(&ctx, used);
        crashed_reserve = pack_thread(nullptr, &ctx, LVCRASH_WRITER_MAX_THREADS - 1, true);
        break;
    }
    std::size_t reserve = signal_size + crashed_reserve;

    std::uint32_t number = 0;
    for (std::size_t i = 0; i < thread_count; ++i) {
        const bool crashed = threads[i] == crashed_thread;
        lvcrash_async_thread_state state;
        const lvcrash_async_thread_state* used = nullptr;
        if (threads[i] == self) {
            if (current_state == nullptr) continue;
            used = current_state;
        } else if (lvcrash_async_thread_state_mach_thread_init(&state, threads[i]) == LVCRASH_ERROR_NONE) {
            used = &state;
        }
        if (crashed) reserve -= crashed_reserve;
        walk_thread(&ctx, used);
        const std::size_t size = pack_thread(nullptr, &ctx, number, crashed);
        if (fits(file, size, reserve)) {
            pack_thread(file, &ctx, number, crashed);
            ++number;
        }
    }

    if (image_list != nullptr) {
        lvcrash_async_image_list_set_reading(image_list, true);
        for (lvcrash_async_image* image = lvcrash_async_image_list_next(image_list, nullptr); image != nullptr;
             image = lvcrash_async_image_list_next(image_list, image)) {
            if (fits(file, pack_image(nullptr, image), reserve)) pack_image(file, image);
        }
        lvcrash_async_image_list_set_reading(image_list, false);
    }

    if (writer->uncaught_exception.has_exception && fits(file, pack_exception(nullptr, &ctx), reserve))
        pack_exception(file, &ctx);

    pack_signal(file, signal);

    if (writer->custom_data.data != nullptr &&
        fits(file, pack_bytes(nullptr, 10, writer->custom_data.data, writer->custom_data.length), 0))
        pack_bytes(file, 10, writer->custom_data.data, writer->custom_data.length);

    lvcrash_async_objc_cache_free(&objc_cache);
    if (!leave_suspended) lvcrash_log_writer_resume_threads(writer);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_log_writer_resume_threads(lvcrash_log_writer_t* writer) {
    for (std::size_t i = 0; i < writer->suspended_count; ++i) darwin::thread_resume(writer->suspended[i]);
    writer->suspended_count = 0;
}

lvcrash_error_t lvcrash_log_writer_close(lvcrash_log_writer_t*) { return LVCRASH_ERROR_NONE; }

}  // namespace lvcrash
