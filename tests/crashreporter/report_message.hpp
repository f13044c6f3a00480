#pragma once
// A crash report message in memory, packed with the schema's generated packer: the same
// facts a writer on this host would record, with fixed values. Tests add their images and
// threads, change what they need, then pack or decode it. Elements live in deques, so
// pointers handed to the message stay put while more are added.
#include "crashreporter/lvcrash.pb-c.h"
#include "crashreporter/report.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace report_message {

struct FrameFacts {
    std::uint64_t pc;
    const char* symbol;  // none: an unsymbolicated frame
    std::uint64_t start;
};

using RegisterFacts = std::pair<const char*, std::uint64_t>;

// `count` x86-64 registers named in the writer's order (wrapping), the i-th holding 0x1000 * i.
inline std::vector<RegisterFacts> numberedRegisters(int count) {
    static const char* names[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi",
                                  "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
    std::vector<RegisterFacts> registers;
    for (int i = 0; i < count; ++i) registers.emplace_back(names[i % 17], 0x1000u * static_cast<unsigned>(i));
    return registers;
}

struct Message {
    Lvcrash__CrashReport report = LVCRASH__CRASH_REPORT__INIT;
    Lvcrash__CrashReport__SystemInfo system = LVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Lvcrash__CrashReport__ApplicationInfo app = LVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Lvcrash__CrashReport__MachineInfo machine = LVCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    Lvcrash__CrashReport__Processor cpu = LVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    Lvcrash__CrashReport__ProcessInfo process = LVCRASH__CRASH_REPORT__PROCESS_INFO__INIT;
    Lvcrash__CrashReport__ReportInfo info = LVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    Lvcrash__CrashReport__Signal signal = LVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Lvcrash__CrashReport__Signal__MachException mach = LVCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
    Lvcrash__CrashReport__Exception exception = LVCRASH__CRASH_REPORT__EXCEPTION__INIT;
    std::deque<Lvcrash__CrashReport__Thread> threads;
    std::vector<Lvcrash__CrashReport__Thread*> threadPtrs;
    std::deque<std::vector<Lvcrash__CrashReport__Thread__StackFrame>> frames;
    std::deque<std::vector<Lvcrash__CrashReport__Thread__StackFrame*>> framePtrs;
    std::deque<Lvcrash__CrashReport__Symbol> symbols;
    std::deque<std::vector<Lvcrash__CrashReport__Thread__RegisterValue>> registers;
    std::deque<std::vector<Lvcrash__CrashReport__Thread__RegisterValue*>> registerPtrs;
    std::deque<Lvcrash__CrashReport__BinaryImage> images;
    std::vector<Lvcrash__CrashReport__BinaryImage*> imagePtrs;
    std::deque<Lvcrash__CrashReport__Processor> imageCpus;  // each image's own copy of `cpu`
    std::vector<std::uint64_t> codes;
    std::uint8_t uuid[16] = {0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A, 0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F};
    std::uint8_t imageUuid[16] = {0x01, 0xAB, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

    // A Linux x86-64 process at `processPath` that died of SIGSEGV; no images or threads yet.
    explicit Message(const char* processPath) {
        info.user_requested = 0;
        info.has_uuid = 1;
        info.uuid = {16, uuid};
        system.has_operating_system = 1;
        system.operating_system = LVCRASH__CRASH_REPORT__OPERATING_SYSTEM__LINUX;
        system.os_version = const_cast<char*>("12.4");
        system.os_build = const_cast<char*>("6.1.0-18-amd64");
        system.architecture = LVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN;
        system.timestamp = 1796572800;
        cpu.has_encoding = 1;
        cpu.encoding = LVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
        cpu.type = 0x01000007;
        cpu.subtype = 3;
        machine.model = const_cast<char*>("Standard PC");
        machine.processor = &cpu;
        machine.processor_count = 4;
        machine.logical_processor_count = 8;
        app.identifier = const_cast<char*>("com.norvane.glyphwright");
        app.version = const_cast<char*>("42");
        app.marketing_version = const_cast<char*>("1.2");
        process.process_name = const_cast<char*>("glyphwright");
        process.process_id = 4242;
        process.process_path = const_cast<char*>(processPath);
        process.parent_process_name = const_cast<char*>("bash");
        process.parent_process_id = 1000;
        process.native = 1;
        process.has_start_time = 1;
        process.start_time = 1796572790;
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");
        signal.address = 0x10;
        relink();
    }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    void addImage(std::uint64_t base, std::uint64_t size, const char* name, bool withUuid) {
        Lvcrash__CrashReport__BinaryImage image = LVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
        image.base_address = base;
        image.size = size;
        image.name = const_cast<char*>(name);
        if (withUuid) {
            image.has_uuid = 1;
            image.uuid = {16, imageUuid};
        }
        image.code_type = &imageCpus.emplace_back(cpu);
        images.push_back(image);
        relink();
    }

    void addThread(bool crashed, const std::vector<FrameFacts>& wanted, const std::vector<RegisterFacts>& regs) {
        auto& list = frames.emplace_back();
        for (const auto& want : wanted) {
            Lvcrash__CrashReport__Thread__StackFrame frame = LVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
            frame.pc = want.pc;
            if (want.symbol) {
                Lvcrash__CrashReport__Symbol symbol = LVCRASH__CRASH_REPORT__SYMBOL__INIT;
                symbol.name = const_cast<char*>(want.symbol);
                symbol.start_address = want.start;
                frame.symbol = &symbols.emplace_back(symbol);
            }
            list.push_back(frame);
        }
        auto& ptrs = framePtrs.emplace_back();
        for (auto& frame : list) ptrs.push_back(&frame);
        auto& values = registers.emplace_back();
        for (const auto& [name, value] : regs) {
            Lvcrash__CrashReport__Thread__RegisterValue reg = LVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
            reg.name = const_cast<char*>(name);
            reg.value = value;
            values.push_back(reg);
        }
        auto& regPtrs = registerPtrs.emplace_back();
        for (auto& reg : values) regPtrs.push_back(&reg);
        Lvcrash__CrashReport__Thread thread = LVCRASH__CRASH_REPORT__THREAD__INIT;
        thread.thread_number = static_cast<std::uint32_t>(threads.size());
        thread.crashed = crashed;
        thread.n_frames = ptrs.size();
        thread.frames = ptrs.data();
        thread.n_registers = regPtrs.size();
        thread.registers = regPtrs.data();
        threads.push_back(thread);
        relink();
    }

    void relink() {
        report.system_info = &system;
        report.application_info = &app;
        report.machine_info = &machine;
        report.process_info = &process;
        report.report_info = &info;
        report.signal = &signal;
        threadPtrs.clear();
        for (auto& thread : threads) threadPtrs.push_back(&thread);
        report.n_threads = threadPtrs.size();
        report.threads = threadPtrs.data();
        imagePtrs.clear();
        for (auto& image : images) imagePtrs.push_back(&image);
        report.n_binary_images = imagePtrs.size();
        report.binary_images = imagePtrs.data();
    }

    // The file's bytes: the magic and version, then the packed message.
    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> out(8 + lvcrash__crash_report__get_packed_size(&report));
        std::memcpy(out.data(), "lvcrash\1", 8);
        lvcrash__crash_report__pack(&report, out.data() + 8);
        return out;
    }

    // Packed, then read back as a stored report is read.
    std::shared_ptr<const lvcrash::CrashReport> decoded() const {
        std::optional<platform::foundation::Error> error;
        auto report = lvcrash::CrashReport::decode(bytes(), &error);
        EXPECT_TRUE(report) << (error ? error->what() : "");
        return report;
    }
};

}  // namespace report_message
