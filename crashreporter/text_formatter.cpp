#include "crashreporter/text_formatter.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/foundation/uuid.hpp"
#include "platform/log/system_log.hpp"

namespace lvcrash {

namespace {

const platform::log::SystemLog& reporterLog() {
    static const platform::log::SystemLog log("com.norvane.glyphwright", "LVCrashReporter");
    return log;
}

__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    const int n = std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, pattern);
    std::vsnprintf(out.data(), out.size(), pattern, args);
    va_end(args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

const std::string kMissing = "???";

std::string lastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos || trimmed.size() == 1) return trimmed;
    return trimmed.substr(slash + 1);
}

std::string operatingSystemName(std::int32_t os) {
    switch (os) {
        case 0:
        case 2: return "Mac OS X";
        case 1: return "iPhone OS";
        case 4: return "Apple tvOS";
        case kReportOperatingSystemLinux: return "Linux";
        default: return format("Unknown (%d)", os);
    }
}

struct CodeType {
    std::string name;
    bool lp64 = true;
};

bool knownCpuType(std::uint64_t type) {
    return type == 7 || type == 12 || type == 18 || type == 0x01000007 || type == 0x0100000C;
}

CodeType codeTypeFor(const std::optional<CrashReportProcessorInfo>& cpu) {
    if (!cpu || cpu->typeEncoding != kReportTypeEncodingMach) return {"Unknown", true};
    switch (cpu->type) {
        case 7: return {"X86", false};
        case 12: return {"ARM", false};
        case 18: return {"PPC", false};
        case 0x01000007: return {"X86-64", true};
        case 0x0100000C: return {"ARM-64", true};
        default: return {format("Unknown (%llu)", static_cast<unsigned long long>(cpu->type)), true};
    }
}

CodeType reportCodeType(const CrashReport& report) {
    for (const auto& image : report.images())
        if (image.codeType && image.codeType->typeEncoding == kReportTypeEncodingMach && knownCpuType(image.codeType->type))
            return codeTypeFor(image.codeType);
    return codeTypeFor(report.systemInfo().processorInfo);
}

std::string architectureName(const std::optional<CrashReportProcessorInfo>& cpu) {
    if (!cpu || cpu->typeEncoding != kReportTypeEncodingMach) return kMissing;
    const std::uint64_t subtype = cpu->subtype & 0xFFFFFF;
    switch (cpu->type) {
        case 7: return "i386";
        case 18: return "powerpc";
        case 0x01000007: return "x86_64";
        case 12:
            switch (subtype) {
                case 6: return "armv6";
                case 9: return "armv7";
                case 11: return "armv7s";
                default: return "arm-unknown";
            }
        case 0x0100000C:
            switch (subtype) {
                case 0: return "arm64";
                case 1: return "armv8";
                case 2: return "arm64e";
                default: return "arm64-unknown";
            }
        default: return kMissing;
    }
}

std::string dateDescription(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return buffer;
}

// Pads with blanks to width characters (UTF-8 characters, not bytes), like a %-Ns field.
std::string padRight(const std::string& text, std::size_t width) {
    std::size_t characters = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++characters;
    return characters >= width ? text : text + std::string(width - characters, ' ');
}

}  // namespace

std::string CrashReportTextFormatter::formatStackFrame(const CrashReportStackFrameInfo& frame, long frameIndex,
                                                       const CrashReport& report, bool lp64) {
    const std::uint64_t pc = frame.instructionPointer;
    std::string imageName = kMissing;
    std::uint64_t base = 0;
    if (const auto* image = report.imageForAddress(pc)) {
        imageName = lastPathComponent(image->imageName);
        base = image->imageBaseAddress;
    } else if (pc != 0) {
        reporterLog().info(format("[LVCrashReporter] Cannot find image for 0x%llx", static_cast<unsigned long long>(pc)));
    }
    std::string location;
    if (frame.symbolInfo) {
        std::string name = frame.symbolInfo->symbolName;
        const std::int32_t os = report.systemInfo().operatingSystem;
        if (os == 0 || os == 1 || os == 2 || os == 4) {
            if (name.size() >= 2 && name[0] == '_') name.erase(0, 1);
        } else if (os != kReportOperatingSystemLinux) {
            // Names on Linux carry no added underscore: they print as they are, silently.
            reporterLog().info("[LVCrashReporter] Symbol \"" + name + "\" prefix rules are unknown for this OS!");
        }
        location = name + format(" + %lld", static_cast<long long>(pc - frame.symbolInfo->startAddress));
    } else {
        location = format("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(pc - base));
    }
    return format("%-4ld", frameIndex) + padRight(imageName, 35) +
           format(" 0x%0*llx ", lp64 ? 16 : 8, static_cast<unsigned long long>(pc)) + location + "\n";
}

std::string CrashReportTextFormatter::stringValueForCrashReport(const CrashReport& report, CrashReportTextFormat) {
    std::string out;
    const CodeType codeType = reportCodeType(report);
    const bool lp64 = codeType.lp64;

    out += "Incident Identifier: " +
           (report.uuid() ? platform::foundation::UUID(*report.uuid()).uuidString() : kMissing) + "\n";
    const auto& machine = report.machineInfo();
    out += "Hardware Model:      " + (machine && machine->modelName ? *machine->modelName : kMissing) + "\n";

    const auto& process = report.processInfo();
    const auto& app = report.applicationInfo();
    std::string processName = kMissing, processID = kMissing, processPath = kMissing, parentName = kMissing,
                parentID = kMissing;
    if (process) {
        processName = process->processName.value_or(kMissing);
        processID = std::to_string(process->processID);
        processPath = process->processPath.value_or(kMissing);
        parentName = process->parentProcessName.value_or(kMissing);
        parentID = std::to_string(process->parentProcessID);
    }
    out += "Process:         " + processName + " [" + processID + "]\n";
    out += "Path:            " + processPath + "\n";
    out += "Identifier:      " + app.applicationIdentifier + "\n";
    if (app.applicationMarketingVersion)
        out += "Version:         " + *app.applicationMarketingVersion + " (" + app.applicationVersion + ")\n";
    else
        out += "Version:         " + app.applicationVersion + "\n";
    out += "Code Type:       " + codeType.name + "\n";
    out += "Parent Process:  " + parentName + " [" + parentID + "]\n";

    const auto& system = report.systemInfo();
    out += "\n";
    out += "Date/Time:       " + (system.timestamp ? dateDescription(*system.timestamp) : kMissing) + "\n";
    out += "OS Version:      " + operatingSystemName(system.operatingSystem) + " " + system.operatingSystemVersion +
           " (" + system.operatingSystemBuild.value_or(kMissing) + ")\n";
    out += "Report Version:  104\n";
    out += "\n";

    const auto& signal = report.signalInfo();
    out += "Exception Type:  " + signal.name + "\n";
    out += "Exception Codes: " + signal.code + format(" at 0x%llx", static_cast<unsigned long long>(signal.address)) + "\n";
    const CrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report.threads())
        if (thread.crashed) {
            crashed = &thread;
            break;
        }
    if (crashed) out += format("Crashed Thread:  %ld\n", static_cast<long>(crashed->threadNumber));
    out += "\n";

    if (const auto& exception = report.exceptionInfo()) {
        out += "Application Specific Information:\n";
        out += "*** Terminating app due to uncaught exception '" + exception->exceptionName + "', reason: '" +
               exception->exceptionReason + "'\n";
        out += "\n";
        if (exception->stackFrames && !exception->stackFrames->empty()) {
            out += "Last Exception Backtrace:\n";
            long index = 0;
            for (const auto& frame : *exception->stackFrames) out += formatStackFrame(frame, index++, report, lp64);
            out += "\n";
        }
    }

    for (const auto& thread : report.threads()) {
        out += thread.crashed ? format("Thread %ld Crashed:\n", static_cast<long>(thread.threadNumber))
                              : format("Thread %ld:\n", static_cast<long>(thread.threadNumber));
        long index = 0;
        for (const auto& frame : thread.stackFrames) out += formatStackFrame(frame, index++, report, lp64);
        out += "\n";
    }

    if (crashed) {
        out += format("Thread %ld crashed with ", static_cast<long>(crashed->threadNumber)) + codeType.name +
               " Thread State:\n";
        bool armNames = false;
        if (machine && machine->processorInfo && machine->processorInfo->typeEncoding == kReportTypeEncodingMach)
            armNames = (machine->processorInfo->type & 0xFFFFFF) == 12;
        std::size_t column = 0;
        for (const auto& reg : crashed->registers) {
            const std::string name = armNames && reg.registerName == "r12" ? "ip" : reg.registerName;
            out += lp64 ? format("%6s: 0x%016llx ", name.c_str(), static_cast<unsigned long long>(reg.registerValue))
                        : format("%6s: 0x%08llx ", name.c_str(), static_cast<unsigned long long>(reg.registerValue));
            if (++column == 4) {
                out += "\n";
                column = 0;
            }
        }
        if (column != 0) out += "\n";
        out += "\n";
    }

    out += "Binary Images:\n";
    std::vector<const CrashReportBinaryImageInfo*> images;
    for (const auto& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(), [](const auto* a, const auto* b) {
        return a->imageBaseAddress < b->imageBaseAddress;
    });
    const std::string processPathForMark = process && process->processPath ? *process->processPath : std::string();
    const CrashReportBinaryImageInfo* previous = nullptr;
    for (const auto* image : images) {
        if (previous && previous->imageBaseAddress == image->imageBaseAddress) continue;
        previous = image;
        const std::uint64_t size = image->imageSize == 0 ? 1 : image->imageSize;
        const auto base = static_cast<unsigned long long>(image->imageBaseAddress);
        const auto end = static_cast<unsigned long long>(image->imageBaseAddress + size - 1);
        const bool isProcess = process && process->processPath && image->imageName == processPathForMark;
        out += (lp64 ? format("%#18llx - %#18llx ", base, end) : format("%#10llx - %#10llx ", base, end)) +
               (isProcess ? "+" : " ") + lastPathComponent(image->imageName) + " " + architectureName(image->codeType) +
               "  <" + image->imageUUID.value_or(kMissing) + "> " + image->imageName + "\n";
    }
    return out;
}

std::vector<std::uint8_t> CrashReportTextFormatter::formatReport(const CrashReport& report) const {
    const std::string text = stringValueForCrashReport(report, textFormat_);
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    if (stringEncoding_ == CrashReportStringEncoding::utf8) {
        out.assign(text.begin(), text.end());
        return out;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(c);
        } else if ((c & 0xC0) != 0x80) {
            out.push_back('?');  // one mark per character, not per byte
        }
    }
    return out;
}

}  // namespace lvcrash
