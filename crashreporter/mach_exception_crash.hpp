#pragma once
// The process-wide storage the Mach-mode crash path reads: written only before capture is
// enabled, read without locks at crash time.
#include <csignal>
#include <ucontext.h>

#include "crashreporter/image_list.hpp"
#include "crashreporter/mach_exception_server.hpp"
#include "crashreporter/report_location.hpp"
#include "crashreporter/report_writer.hpp"

namespace lvcrash {

struct lvcrash_mach_crash_context {
    lvcrash_log_writer_t* writer;
    lvcrash_report_location report;
    lvcrash_async_image_list* image_list;
    lvcrash_mach_exception_port_set previous_ports;
    void* callback_context;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context);
};

lvcrash_mach_crash_context* lvcrash_mach_crash_context_shared();

}  // namespace lvcrash
