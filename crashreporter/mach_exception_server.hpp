#pragma once
// Crashes caught as Mach exceptions: a registration of an exception port (port, mask,
// behavior, flavor), a set of up to 14 of them in object and in plain form, the receiving
// server thread, the forwarding of an exception to the ports registered before ours and the
// mapping of an exception to its signal.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "crashreporter/reporter_error.hpp"
#include "platform/darwin/mach_exception.hpp"

namespace lvcrash {

using platform::darwin::port_t;
using lvcrash_kern_return_t = int;

inline constexpr std::size_t LVCRASH_EXC_TYPES_COUNT = platform::darwin::exc_types_count;

// Plain data, readable at crash time.
struct lvcrash_mach_exception_port_set {
    std::uint32_t count;
    std::uint32_t masks[LVCRASH_EXC_TYPES_COUNT];
    std::uint32_t ports[LVCRASH_EXC_TYPES_COUNT];
    std::int32_t behaviors[LVCRASH_EXC_TYPES_COUNT];
    std::int32_t flavors[LVCRASH_EXC_TYPES_COUNT];
};

// Called on the server thread for every exception request; its result is the reply's.
using lvcrash_mach_exception_server_callback = lvcrash_kern_return_t (*)(port_t task, port_t thread, int exception_type,
                                                                          const std::int64_t* codes,
                                                                          std::uint32_t code_count, void* context);

// Holds one user reference on the port's send right while it lives.
class RDLVCrashMachExceptionPort {
public:
    RDLVCrashMachExceptionPort(port_t server_port, std::uint32_t mask, std::int32_t behavior, std::int32_t flavor);
    RDLVCrashMachExceptionPort(const RDLVCrashMachExceptionPort& other);
    RDLVCrashMachExceptionPort& operator=(const RDLVCrashMachExceptionPort& other);
    ~RDLVCrashMachExceptionPort();

    port_t server_port() const { return server_port_; }
    std::uint32_t mask() const { return mask_; }
    std::int32_t behavior() const { return behavior_; }
    std::int32_t flavor() const { return flavor_; }

    class Set;
    static std::optional<Set> exceptionPortsForTask(port_t task, std::uint32_t mask, ReporterError* error);
    static std::optional<Set> exceptionPortsForThread(port_t thread, std::uint32_t mask, ReporterError* error);
    bool registerForTask(port_t task, std::optional<Set>* previous, ReporterError* error) const;
    bool registerForThread(port_t thread, std::optional<Set>* previous, ReporterError* error) const;

private:
    void retain() const;
    void release() const;
    port_t server_port_;
    std::uint32_t mask_;
    std::int32_t behavior_;
    std::int32_t flavor_;
};

// Up to 14 registrations, kept in step with their plain form. More is a programming error
// (raised as an internal-inconsistency exception of the platform).
class RDLVCrashMachExceptionPort::Set {
public:
    explicit Set(std::vector<RDLVCrashMachExceptionPort> set);
    // Takes over the user references the kernel call handed out for the entries' ports.
    explicit Set(const lvcrash_mach_exception_port_set& asyncSafeRepresentation);

    const std::vector<RDLVCrashMachExceptionPort>& set() const { return set_; }
    const lvcrash_mach_exception_port_set& asyncSafeRepresentation() const { return plain_; }
    auto begin() const { return set_.begin(); }
    auto end() const { return set_.end(); }

private:
    std::vector<RDLVCrashMachExceptionPort> set_;
    lvcrash_mach_exception_port_set plain_{};
};
using RDLVCrashMachExceptionPortSet = RDLVCrashMachExceptionPort::Set;

struct lvcrash_exception_server_context;

class RDLVCrashMachExceptionServer {
public:
    // nullptr with the error when any step of the set-up fails.
    static std::unique_ptr<RDLVCrashMachExceptionServer> create(lvcrash_mach_exception_server_callback callback,
                                                                void* context, ReporterError* error);
    ~RDLVCrashMachExceptionServer();
    RDLVCrashMachExceptionServer(const RDLVCrashMachExceptionServer&) = delete;
    RDLVCrashMachExceptionServer& operator=(const RDLVCrashMachExceptionServer&) = delete;

    // A registration for the server port with behavior EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES.
    std::optional<RDLVCrashMachExceptionPort> exceptionPortWithMask(std::uint32_t mask, ReporterError* error);
    port_t copySendRightForServer(ReporterError* error);
    // The receiving thread's port.
    port_t serverThread();

private:
    explicit RDLVCrashMachExceptionServer(lvcrash_exception_server_context* context) : context_(context) {}
    lvcrash_exception_server_context* context_;
};

// Crash path. Offers the exception to the first previous port whose mask covers it;
// KERN_FAILURE when there is none or its behavior is unknown, else the receiver's answer.
lvcrash_kern_return_t lvcrash_forward_exception(port_t task, port_t thread, int exception_type,
                                                const std::int64_t* codes, std::uint32_t code_count,
                                                const lvcrash_mach_exception_port_set* previous);

// Crash path. The signal an exception becomes (this host's numbers); false when there are
// fewer than two codes or the type is not one of the six that map.
bool lvcrash_mach_exception_map_to_signal(int exception_type, const std::int64_t* codes, std::uint32_t code_count,
                                          int* signo, int* si_code, std::uint64_t* address);

}  // namespace lvcrash
