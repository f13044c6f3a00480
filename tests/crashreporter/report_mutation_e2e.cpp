// 20,000 deterministic mutations of real reports of this process (bit flips, cuts, inflated
// length varints): each decodes and formats, or fails with the decoder's error; nothing else.
// Crafted damage is refused for no more work than reading the genuine report.
#include <random>

#include <gtest/gtest.h>

#include "crashreporter/hostile_reports.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/report_support.hpp"
#include "crashreporter/text_formatter.hpp"
#include "crashreporter/unwind_support.hpp"

using namespace lvcrash;

namespace {

// Positions of the length varints of length-delimited fields, two levels deep.
void length_positions(const std::vector<std::uint8_t>& bytes, std::size_t begin, std::size_t end, int depth,
                      std::vector<std::size_t>* out) {
    std::size_t at = begin;
    auto varint = [&](std::uint64_t* value) {
        *value = 0;
        for (int shift = 0; at < end && shift < 64; shift += 7) {
            const std::uint8_t b = bytes[at++];
            *value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    };
    while (at < end) {
        std::uint64_t tag = 0, value = 0;
        if (!varint(&tag)) return;
        switch (tag & 7) {
            case 0:
                if (!varint(&value)) return;
                break;
            case 1: at += 8; break;
            case 5: at += 4; break;
            case 2: {
                const std::size_t length_at = at;
                if (!varint(&value) || value > end - at) return;
                out->push_back(length_at);
                if (depth > 0) length_positions(bytes, at, at + value, depth - 1, out);
                at += value;
                break;
            }
            default: return;
        }
    }
}

TEST(ReportMutation, TwentyThousandMutationsDecodeOrFailCleanly) {
    unwind_support::FedList list;
    std::vector<std::vector<std::uint8_t>> originals;
    {
        report_support::ParkedThreads parked(2, 1, nullptr);
        report_support::WriteOptions options;
        options.strategy = 1;
        options.with_exception = true;
        options.with_custom_data = true;
        originals.push_back(report_support::write_report(list.get(), options));
        options.with_state = false;
        options.strategy = 0;
        originals.push_back(report_support::write_report(list.get(), options));
    }
    for (const auto& original : originals) ASSERT_NE(CrashReport::decode(original, nullptr), nullptr);

    std::mt19937_64 random(20261207);
    std::size_t decoded = 0, refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> bytes = originals[static_cast<std::size_t>(round) % originals.size()];
        switch (round % 3) {
            case 0: {  // a few bit flips anywhere, header included
                const int flips = 1 + static_cast<int>(random() % 4);
                for (int f = 0; f < flips; ++f) bytes[random() % bytes.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
                break;
            }
            case 1:  // a cut
                bytes.resize(random() % bytes.size());
                break;
            case 2: {  // one length grown, by a little or past the end
                std::vector<std::size_t> positions;
                length_positions(bytes, 8, bytes.size(), 2, &positions);
                ASSERT_FALSE(positions.empty());
                const std::size_t at = positions[random() % positions.size()];
                std::size_t end = at;
                while (end < bytes.size() && (bytes[end] & 0x80)) ++end;
                const std::uint64_t grown = (random() % 2) ? (random() % 16) + 1 : (1ull << (random() % 40));
                std::uint64_t value = 0;
                for (std::size_t k = end + 1; k-- > at;) value = (value << 7) | (bytes[k] & 0x7F);
                value += grown;
                std::vector<std::uint8_t> encoded;
                do {
                    std::uint8_t b = value & 0x7F;
                    value >>= 7;
                    if (value) b |= 0x80;
                    encoded.push_back(b);
                } while (value);
                bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(end + 1));
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), encoded.begin(), encoded.end());
                break;
            }
        }
        std::optional<platform::foundation::Error> error;
        const auto report = CrashReport::decode(bytes, &error);
        if (report) {
            ++decoded;
            const std::string text = CrashReportTextFormatter::stringValueForCrashReport(*report, CrashReportTextFormat::iOS);
            ASSERT_NE(text.find("Binary Images:"), std::string::npos);
        } else {
            ++refused;
            ASSERT_TRUE(error.has_value());
            ASSERT_EQ(error->code(), kCrashReporterErrorCrashReportInvalid);
        }
    }
    EXPECT_GT(decoded, 0u);
    EXPECT_GT(refused, 0u);
}

// Work counted as heap calls, which unpacking makes several of per field: a report whose
// sections hold more than a report can must be refused before it is unpacked, not after.
TEST(ReportMutation, CraftedReportsAreRefusedForNoMoreWorkThanAGenuineOne) {
    unwind_support::FedList list;
    std::vector<std::uint8_t> genuine;
    {
        report_support::ParkedThreads parked(2, 1, nullptr);
        report_support::WriteOptions options;
        options.with_exception = true;
        genuine = report_support::write_report(list.get(), options);
    }
    auto counted = [](const std::vector<std::uint8_t>& bytes, std::optional<platform::foundation::Error>* error) {
        report_support::heap_count_begin();
        const bool decoded = CrashReport::decode(bytes, error) != nullptr;
        return std::pair{decoded, report_support::heap_count_end()};
    };
    // The texts of refusals are loaded once, on the first.
    ASSERT_FALSE(CrashReport::decode(std::vector<std::uint8_t>{}, nullptr));
    const auto [genuineDecoded, genuineWork] = counted(genuine, nullptr);
    ASSERT_TRUE(genuineDecoded);
    for (const auto& damage : hostile_reports::damages()) {
        SCOPED_TRACE(damage.name);
        std::vector<std::uint8_t> bytes = genuine;
        damage.apply(&bytes);
        std::optional<platform::foundation::Error> error;
        const auto [decoded, work] = counted(bytes, &error);
        if (decoded || !error) {
            ADD_FAILURE() << "decoded";
            continue;
        }
        EXPECT_EQ(error->what(), std::string(damage.refusal ? damage.refusal : "Crash report is too large"));
        if (work >= 0) {  // none counted under sanitizers
            EXPECT_LE(work, genuineWork) << "heap calls";
        }
    }
}

}  // namespace
