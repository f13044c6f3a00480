#pragma once
// Damage done to an encoded crash report as a crafted or broken file would carry it: fields
// appended to the message, which protobuf's merge rules let add to or override what it holds.
#include <cstdint>
#include <vector>

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
    };
    return all;
}

}  // namespace hostile_reports
