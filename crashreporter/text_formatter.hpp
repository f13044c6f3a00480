#pragma once
// A decoded crash report as a human-readable crash log in the classic text layout.
#include <cstdint>
#include <string>
#include <vector>

#include "crashreporter/report.hpp"

namespace lvcrash {

enum class CrashReportTextFormat : int { iOS = 0 };
enum class CrashReportStringEncoding : int { utf8, ascii };

class CrashReportTextFormatter {
public:
    CrashReportTextFormatter(CrashReportTextFormat format, CrashReportStringEncoding encoding)
        : textFormat_(format), stringEncoding_(encoding) {}

    CrashReportTextFormat textFormat() const { return textFormat_; }
    CrashReportStringEncoding stringEncoding() const { return stringEncoding_; }

    // The text in the stored encoding; a character the encoding lacks becomes "?".
    std::vector<std::uint8_t> formatReport(const CrashReport& report) const;

    static std::string stringValueForCrashReport(const CrashReport& report, CrashReportTextFormat format);
    static std::string formatStackFrame(const CrashReportStackFrameInfo& frame, long frameIndex,
                                        const CrashReport& report, bool lp64);

private:
    CrashReportTextFormat textFormat_;
    CrashReportStringEncoding stringEncoding_;
};

}  // namespace lvcrash
