// The set-up half of the report writer: gathers the facts a report states and copies every
// text, so that the crash-time half needs no allocation.
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

#include "crashreporter/report_writer.hpp"
#include "platform/foundation/process_info.hpp"

namespace lvcrash {

namespace {

void set_text(lvcrash_log_writer_text* text, const char* value, std::size_t length) {
    std::free(text->data);
    text->data = nullptr;
    text->length = 0;
    if (value == nullptr) return;
    text->data = static_cast<char*>(std::malloc(length + 1));
    if (text->data == nullptr) return;
    std::memcpy(text->data, value, length);
    text->data[length] = '\0';
    text->length = length;
}

void set_text(lvcrash_log_writer_text* text, const char* value) {
    set_text(text, value, value ? std::strlen(value) : 0);
}

void set_text(lvcrash_log_writer_text* text, const std::optional<std::string>& value) {
    if (value) set_text(text, value->data(), value->size());
    else set_text(text, nullptr, 0);
}

void make_uuid(std::uint8_t uuid[16]) {
    std::size_t filled = 0;
    while (filled < 16) {
        const ssize_t got = getrandom(uuid + filled, 16 - filled, 0);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
    uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::uint32_t sysctl_u32(const char* name) {
    std::int32_t value = 0;
    if (!lvcrash_sysctl_int(name, &value)) return 0;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

lvcrash_error_t lvcrash_log_writer_init(lvcrash_log_writer_t* writer, const char* app_identifier,
                                        const char* app_version, const char* app_marketing_version,
                                        std::uint32_t symbolication_strategy, bool user_requested) {
    std::memset(static_cast<void*>(writer), 0, sizeof *writer);
    writer->symbolication_strategy = symbolication_strategy;
    writer->user_requested = user_requested;
    make_uuid(writer->report_uuid);
    set_text(&writer->application_info.identifier, app_identifier ? app_identifier : "");
    set_text(&writer->application_info.version, app_version ? app_version : "");
    set_text(&writer->application_info.marketing_version, app_marketing_version);

    const auto process = platform::foundation::ProcessInfo::current();
    if (!process) return LVCRASH_ERROR_INVALID_ARGUMENT;
    writer->process_info.process_id = static_cast<std::uint32_t>(process->processID);
    set_text(&writer->process_info.process_name, process->processName);
    writer->process_info.start_time = static_cast<std::uint64_t>(process->startTime.tv_sec);
    char path[4096];
    const ssize_t path_length = readlink("/proc/self/exe", path, sizeof path);
    if (path_length > 0 && static_cast<std::size_t>(path_length) < sizeof path)
        set_text(&writer->process_info.process_path, path, static_cast<std::size_t>(path_length));
    writer->process_info.parent_process_id = static_cast<std::uint32_t>(process->parentProcessID);
    if (const auto parent = platform::foundation::ProcessInfo::forProcess(process->parentProcessID))
        set_text(&writer->process_info.parent_process_name, parent->processName);

    if (char* model = lvcrash_sysctl_string("hw.model")) {
        set_text(&writer->machine_info.model, model);
        std::free(model);
    }
    writer->machine_info.cpu_type = sysctl_u32("hw.cputype");
    writer->machine_info.cpu_subtype = sysctl_u32("hw.cpusubtype");
    writer->machine_info.processor_count = sysctl_u32("hw.physicalcpu_max");
    writer->machine_info.logical_processor_count = sysctl_u32("hw.logicalcpu_max");
    // Every process here runs natively: there is no translated execution to detect.
    writer->process_info.native = true;

    if (char* build = lvcrash_sysctl_string("kern.osrelease")) {
        set_text(&writer->system_info.build, build);
        std::free(build);
    }
    std::string version = "0.0";
    if (const auto os = platform::foundation::operatingSystemVersion()) {
        version = std::to_string(os->major) + "." + std::to_string(os->minor);
        if (os->patch >= 1) version += "." + std::to_string(os->patch);
    }
    set_text(&writer->system_info.version, version.c_str());
    return LVCRASH_ERROR_NONE;
}

void RDlvcrash_log_writer_set_exception(lvcrash_log_writer_t* writer, const char* name, const char* reason,
                                        const std::uint64_t* return_addresses, std::size_t count) {
    assert(writer->uncaught_exception.has_exception == false);
    auto& exception = writer->uncaught_exception;
    exception.has_exception = true;
    set_text(&exception.name, name ? name : "");
    set_text(&exception.reason, reason ? reason : "");
    if (count > 0 && return_addresses != nullptr) {
        exception.callstack = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
        if (exception.callstack) {
            for (std::size_t i = 0; i < count; ++i) exception.callstack[i] = return_addresses[i];
            exception.callstack_count = count;
        }
    }
}

void lvcrash_log_writer_set_custom_data(lvcrash_log_writer_t* writer, const void* data, std::size_t length) {
    std::free(writer->custom_data.data);
    writer->custom_data.data = nullptr;
    writer->custom_data.length = 0;
    if (data == nullptr) return;
    writer->custom_data.data = static_cast<std::uint8_t*>(std::malloc(length == 0 ? 1 : length));
    if (writer->custom_data.data == nullptr) return;
    std::memcpy(writer->custom_data.data, data, length);
    writer->custom_data.length = length;
}

void lvcrash_log_writer_free(lvcrash_log_writer_t* writer) {
    lvcrash_log_writer_text* texts[] = {
        &writer->application_info.identifier,    &writer->application_info.version,
        &writer->application_info.marketing_version, &writer->system_info.version,
        &writer->system_info.build,              &writer->machine_info.model,
        &writer->process_info.process_name,      &writer->process_info.process_path,
        &writer->process_info.parent_process_name, &writer->uncaught_exception.name,
        &writer->uncaught_exception.reason};
    for (auto* text : texts) set_text(text, nullptr, 0);
    std::free(writer->uncaught_exception.callstack);
    writer->uncaught_exception.callstack = nullptr;
    writer->uncaught_exception.callstack_count = 0;
    writer->uncaught_exception.has_exception = false;
    lvcrash_log_writer_set_custom_data(writer, nullptr, 0);
}

}  // namespace lvcrash
