#pragma once
// Damage done to an encoded crash report as a crafted or broken file would carry it: fields
// appended to the message, which protobuf's merge rules let add to or override what it holds.
#include <cstdint>
#include <vector>

#include "crashreporter/report.hpp"

namespace hostile_reports {

// One more length-delimited field `number` at the end of a message's bytes.
inline void appendField(std::vector<std::uint8_t>* bytes, std::uint64_t number, const std::vector<std::uint8_t>& payload) {
    auto varint = [&](std::uint64_t v) {
        do {
            bytes->push_back(static_cast<std::uint8_t>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
            v >>= 7;
        } while (v);
    };
    varint(number << 3 | 2);
    varint(payload.size());
    bytes->insert(bytes->end(), payload.begin(), payload.end());
}

struct Damage {
    const char* name;
    void (*apply)(std::vector<std::uint8_t>* report);
    const char* refusal;  // the decoder's text; nullptr: the file is too large to be read
};

// Each applied to a whole, genuine report file.
inline const std::vector<Damage>& damages() {
    static const std::vector<Damage> all = {
        {"7 MB", [](auto* b) { appendField(b, 10, std::vector<std::uint8_t>(7 << 20, 'x')); }, nullptr},
        {"100,000 frames in a thread",
         [](auto* b) {
             std::vector<std::uint8_t> thread{0x08, 0x63, 0x18, 0x00};  // number 99, not crashed
             for (int i = 0; i < 100000; ++i) appendField(&thread, 2, {0x18, 0x01});
             appendField(b, 3, thread);
         },
         "Crash report includes too many stack frames"},
        {"5,000 threads", [](auto* b) { for (int i = 0; i < 5000; ++i) appendField(b, 3, {0x08, 0x63, 0x18, 0x00}); },
         "Crash report includes too many threads"},
        {"30,000 images",
         [](auto* b) { for (int i = 0; i < 30000; ++i) appendField(b, 4, {0x08, 0x01, 0x10, 0x01, 0x1A, 0x01, 'l'}); },
         "Crash report includes too many binary images"},
        // A whole second system section (the unpacker merges it into the first) with an
        // enumeration of 0xFFFFFFFF, a ten-byte varint.
        {"operating system 0xFFFFFFFF",
         [](auto* b) {
             appendField(b, 1, {0x12, 0x01, '1', 0x18, 0x06, 0x20, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0x01});
         },
         "Crash report has an unknown operating system"},
        {"architecture 0xFFFFFFFF",
         [](auto* b) {
             appendField(b, 1, {0x12, 0x01, '1', 0x20, 0x01, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
         },
         "Crash report has an unknown architecture"},
        // A single section repeated: the unpacker merges every copy into one, so what each copy
        // holds adds up. 60,000 exception sections of one frame each, about 900 KB.
        {"exception repeated 60,000 times",
         [](auto* b) {
             std::vector<std::uint8_t> exception{0x0A, 0x02, 'E', 'x', 0x12, 0x01, 'r'};  // name, reason
             appendField(&exception, 3, {0x18, 0x80, 0x80, 0x01});                     // a frame, pc 0x4000
             for (int i = 0; i < 60000; ++i) appendField(b, 5, exception);
         },
         "Crash report includes too many stack frames"},
        // Signal sections of 17 Mach codes each, as many as a file of 1 MiB holds (about 31,700).
        {"signal repeated to 1 MiB",
         [](auto* b) {
             std::vector<std::uint8_t> mach{0x08, 0x01, 0x12, 17};  // type 1, 17 codes packed
             mach.insert(mach.end(), 17, 0x07);
             std::vector<std::uint8_t> signal{0x0A, 0x01, 'S', 0x12, 0x01, 'c', 0x18, 0x00};  // name, code, address
             appendField(&signal, 4, mach);
             const std::size_t each = signal.size() + 2;
             while (b->size() + each <= lvcrash::kCrashReportMaxFileSize) appendField(b, 6, signal);
         },
         "Crash report includes too many Mach Exception codes"},
    };
    return all;
}

}  // namespace hostile_reports
