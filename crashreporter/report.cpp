#include "crashreporter/report.hpp"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "crashreporter/async.hpp"
#include "crashreporter/lvcrash.pb-c.h"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/string_format.hpp"
#include "platform/log/system_log.hpp"

namespace lvcrash {

namespace {

using platform::foundation::Error;

const platform::log::SystemLog& reporterLog() {
    static const platform::log::SystemLog log("com.norvane.glyphwright", "LVCrashReporter");
    return log;
}

std::string localized(const std::string& key) {
    return platform::foundation::Bundle::main().localizedString(key);
}

// Thrown inside the decoder only; turned into the out-parameter error at its boundary.
struct DecodeFailure {
    std::string description;
};

[[noreturn]] void fail(const char* key) { throw DecodeFailure{localized(key)}; }

// An enumeration field as the integer the file holds. protobuf-c stores whatever value it read,
// and loading one outside the enumeration through the enum type is undefined.
template <typename Enum>
std::int32_t enumValue(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(std::int32_t));
    std::int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

CrashReportProcessorInfo processorInfo(const Lvcrash__CrashReport__Processor& processor) {
    const std::int32_t encoding = enumValue(processor.encoding);
    if (encoding != static_cast<std::int32_t>(kReportTypeEncodingUnknown) &&
        encoding != static_cast<std::int32_t>(kReportTypeEncodingMach))
        fail("Crash report has an unknown processor type encoding");
    return {static_cast<std::uint32_t>(encoding), processor.type, processor.subtype};
}

// The encoded message read field by field without unpacking it, to count what unpacking would
// allocate. Only the shape is checked here; the unpacker checks the rest.
class Fields {
public:
    explicit Fields(std::span<const std::uint8_t> bytes) : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    // The next field: its number, its wire type and, for length-delimited fields, its bytes.
    // False at the end, or with *broken set when the bytes are no message.
    bool next(std::uint64_t* number, unsigned* wire, std::span<const std::uint8_t>* payload, bool* broken) {
        if (at_ == end_) return false;
        std::uint64_t key = 0;
        if (!varint(&key)) return *broken = true, false;
        *number = key >> 3;
        *wire = static_cast<unsigned>(key & 7);
        std::uint64_t length = 0;
        switch (*wire) {
            case 0: if (!varint(&length)) return *broken = true, false; return true;
            case 1: length = 8; break;
            case 5: length = 4; break;
            case 2: if (!varint(&length)) return *broken = true, false; break;
            default: return *broken = true, false;  // groups: none in this schema
        }
        if (length > static_cast<std::uint64_t>(end_ - at_)) return *broken = true, false;
        *payload = {at_, static_cast<std::size_t>(length)};
        at_ += length;
        return true;
    }

    bool varint(std::uint64_t* value) {
        *value = 0;
        for (unsigned shift = 0; shift < 64 && at_ != end_; shift += 7) {
            const std::uint8_t byte = *at_++;
            *value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) return true;
        }
        return false;
    }

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

// What unpacking a report would make, counted on its encoded bytes by the schema's descriptors.
struct Tally {
    std::size_t threads = 0;
    std::size_t images = 0;
    std::size_t frames = 0;
    std::size_t unknownFields = 0;
    const char* exceeded = nullptr;  // the message key of the first limit passed
    bool broken = false;
};

// The repeated fields of one message seen so far, by field number (the schema's are below 16).
// The unpacker merges a single message field that appears again into the one before, joining
// their repeated fields (copying the joined list at every copy). So a single message field keeps
// one count across all its copies: a section repeated many times would otherwise pass every
// limit copy by copy and unpack to many times a limit, at a cost growing with the square.
struct Repeats {
    std::size_t count[16] = {};
    std::unique_ptr<Repeats> merged[16];
};

void tallyMessage(const ProtobufCMessageDescriptor* descriptor, std::span<const std::uint8_t> bytes, Repeats* repeats,
                  Tally* tally);

// One field of a message of `descriptor`; false once a limit is passed or the bytes are broken.
bool tallyField(const ProtobufCMessageDescriptor* descriptor, std::uint64_t number, unsigned wire,
                std::span<const std::uint8_t> payload, Repeats* repeats, Tally* tally) {
    using Limits = CrashReportLimits;
    const ProtobufCFieldDescriptor* field =
        number <= UINT32_MAX ? protobuf_c_message_descriptor_get_field(descriptor, static_cast<unsigned>(number)) : nullptr;
    if (field == nullptr) {
        // Kept by the unpacker, each with a copy of its bytes.
        if (++tally->unknownFields > Limits::unknownFields) tally->exceeded = "Crash report includes too many unknown fields";
        return tally->exceeded == nullptr;
    }
    std::size_t values = 1;
    if (field->label == PROTOBUF_C_LABEL_REPEATED && wire == 2 && field->type != PROTOBUF_C_TYPE_MESSAGE &&
        field->type != PROTOBUF_C_TYPE_STRING && field->type != PROTOBUF_C_TYPE_BYTES) {
        // A packed run of values.
        values = 0;
        Fields run(payload);
        std::uint64_t value = 0;
        while (run.varint(&value)) ++values;
    }
    const std::size_t seen = repeats->count[number % 16] += values;
    if (descriptor == &lvcrash__crash_report__descriptor) {
        if (number == 3 && ++tally->threads > Limits::threads) tally->exceeded = "Crash report includes too many threads";
        if (number == 4 && ++tally->images > Limits::images) tally->exceeded = "Crash report includes too many binary images";
        if (number == 10 && payload.size() > Limits::customDataBytes) tally->exceeded = "Crash report custom data is too large";
    } else if ((descriptor == &lvcrash__crash_report__thread__descriptor && number == 2) ||
               (descriptor == &lvcrash__crash_report__exception__descriptor && number == 3)) {
        if (seen > Limits::framesPerThread || ++tally->frames > Limits::frames)
            tally->exceeded = "Crash report includes too many stack frames";
    } else if (descriptor == &lvcrash__crash_report__thread__descriptor && number == 4) {
        if (seen > Limits::registersPerThread) tally->exceeded = "Crash report includes too many registers";
    } else if (descriptor == &lvcrash__crash_report__signal__mach_exception__descriptor && number == 2) {
        if (seen > Limits::machCodes) tally->exceeded = "Crash report includes too many Mach Exception codes";
    }
    if (tally->exceeded) return false;
    if (field->type == PROTOBUF_C_TYPE_MESSAGE && wire == 2) {
        const auto* inner = static_cast<const ProtobufCMessageDescriptor*>(field->descriptor);
        if (field->label == PROTOBUF_C_LABEL_REPEATED) {
            Repeats own;
            tallyMessage(inner, payload, &own, tally);
        } else {
            auto& merged = repeats->merged[number % 16];
            if (!merged) merged = std::make_unique<Repeats>();
            tallyMessage(inner, payload, merged.get(), tally);
        }
    }
    return tally->exceeded == nullptr && !tally->broken;
}

void tallyMessage(const ProtobufCMessageDescriptor* descriptor, std::span<const std::uint8_t> bytes, Repeats* repeats,
                  Tally* tally) {
    Fields fields(bytes);
    std::uint64_t number = 0;
    unsigned wire = 0;
    std::span<const std::uint8_t> payload;
    while (fields.next(&number, &wire, &payload, &tally->broken))
        if (!tallyField(descriptor, number, wire, payload, repeats, tally)) return;
}

// The message key of the first limit the encoded report goes past, or nullptr.
const char* limitExceeded(std::span<const std::uint8_t> body) {
    Tally tally;
    Repeats report;
    tallyMessage(&lvcrash__crash_report__descriptor, body, &report, &tally);
    if (tally.exceeded) return tally.exceeded;
    if (tally.broken) return "An unknown error occured decoding the crash report";
    return nullptr;
}

std::optional<std::string> text(const char* value) {
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace

Lvcrash__CrashReport* RDlvcrash__crash_report__unpack(std::span<const std::uint8_t> body) {
    return lvcrash__crash_report__unpack(nullptr, body.size(), body.data());
}

void RDlvcrash__crash_report__free_unpacked(Lvcrash__CrashReport* message) {
    if (message == nullptr) return;
    assert(message->base.descriptor == &lvcrash__crash_report__descriptor);
    lvcrash__crash_report__free_unpacked(message, nullptr);
}

std::shared_ptr<const CrashReport> CrashReport::decode(std::span<const std::uint8_t> data,
                                                       std::optional<Error>* error) {
    auto failWith = [&](const std::string& description) -> std::shared_ptr<const CrashReport> {
        if (error) *error = Error(kCrashReporterErrorDomain, kCrashReporterErrorCrashReportInvalid, description);
        return nullptr;
    };
    if (data.size() < 9) return failWith(localized("Could not decode truncated crash log"));
    auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
               static_cast<std::uint32_t>(data[at + 2]) << 16 | static_cast<std::uint32_t>(data[at + 3]) << 24;
    };
    auto expected = [](const char* four) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(four[0])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(four[1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(four[2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(four[3])) << 24;
    };
    if (word(0) != expected("lvcr") || word(3) != expected("rash"))
        return failWith(localized("Could not decode invalid crash log header"));
    if (data[7] != 1)
        return failWith(platform::foundation::formatString(
            localized("Could not decode unsupported crash report version: %d"), {static_cast<std::int64_t>(data[7])}));
    if (data.size() > kCrashReportMaxFileSize) return failWith(localized("Crash report is too large"));
    if (const char* exceeded = limitExceeded(data.subspan(8))) return failWith(localized(exceeded));
    Lvcrash__CrashReport* message = RDlvcrash__crash_report__unpack(data.subspan(8));
    if (message == nullptr) return failWith(localized("An unknown error occured decoding the crash report"));
    auto report = fromMessage(*message, error);
    RDlvcrash__crash_report__free_unpacked(message);
    return report;
}

std::shared_ptr<const CrashReport> CrashReport::fromMessage(const Lvcrash__CrashReport& message,
                                                            std::optional<Error>* error) {
    auto report = std::make_shared<CrashReport>();
    try {
        if (message.report_info && message.report_info->has_uuid) {
            if (message.report_info->uuid.len != 16) fail("Report UUID value is not a standard 16 bytes");
            std::array<std::uint8_t, 16> bytes{};
            std::memcpy(bytes.data(), message.report_info->uuid.data, 16);
            report->uuid_ = bytes;
        }
        if (const auto* machine = message.machine_info) {
            CrashReportMachineInfo info;
            info.modelName = text(machine->model);
            if (machine->processor) info.processorInfo = processorInfo(*machine->processor);
            info.processorCount = machine->processor_count;
            info.logicalProcessorCount = machine->logical_processor_count;
            report->machineInfo_ = info;
        }

        const auto* system = message.system_info;
        if (system == nullptr) fail("Crash report is missing System Information section");
        if (system->os_version == nullptr) fail("Crash report is missing System Information OS version field");
        CrashReportSystemInfo systemInfo;
        systemInfo.operatingSystem = enumValue(system->operating_system);
        if (systemInfo.operatingSystem < 0 || systemInfo.operatingSystem > kReportOperatingSystemLinux)
            fail("Crash report has an unknown operating system");
        systemInfo.operatingSystemVersion = system->os_version;
        systemInfo.operatingSystemBuild = text(system->os_build);
        systemInfo.architecture = enumValue(system->architecture);
        if (systemInfo.architecture < 0 || systemInfo.architecture > kReportArchitectureUnknown)
            fail("Crash report has an unknown architecture");
        if (system->timestamp != 0) systemInfo.timestamp = static_cast<std::time_t>(system->timestamp);
        if (report->machineInfo_) {
            systemInfo.processorInfo = report->machineInfo_->processorInfo;
        } else {
            static constexpr std::uint64_t types[6][2] = {{7, 3},  {0x01000007, 3},  {12, 6},
                                                           {18, 0}, {0x01000012, 0}, {12, 9}};
            const std::int32_t architecture = systemInfo.architecture;
            if (architecture > 5) fail("Crash report has an unknown architecture");
            systemInfo.processorInfo =
                CrashReportProcessorInfo{kReportTypeEncodingMach, types[architecture][0], types[architecture][1]};
        }
        report->systemInfo_ = systemInfo;

        const auto* app = message.application_info;
        if (app == nullptr) fail("Crash report is missing Application Information section");
        if (app->identifier == nullptr) fail("Crash report is missing Application Information app identifier field");
        if (app->version == nullptr) fail("Crash report is missing Application Information app version field");
        report->applicationInfo_.applicationIdentifier = app->identifier;
        report->applicationInfo_.applicationVersion = app->version;
        // The writer states "no marketing version" as an empty text.
        if (app->marketing_version && app->marketing_version[0] != '\0')
            report->applicationInfo_.applicationMarketingVersion = app->marketing_version;

        if (const auto* process = message.process_info) {
            CrashReportProcessInfo info;
            info.processName = text(process->process_name);
            info.processID = process->process_id;
            info.processPath = text(process->process_path);
            if (process->has_start_time) info.processStartTime = static_cast<std::time_t>(process->start_time);
            info.parentProcessName = text(process->parent_process_name);
            info.parentProcessID = process->parent_process_id;
            info.native = process->native != 0;
            report->processInfo_ = info;
        }

        const auto* signal = message.signal;
        if (signal == nullptr) fail("Crash report is missing Signal Information section");
        if (signal->name == nullptr) fail("Crash report is missing signal name field");
        if (signal->code == nullptr) fail("Crash report is missing signal code field");
        report->signalInfo_ = {signal->name, signal->code, signal->address};
        if (const auto* mach = signal->mach_exception) {
            if (mach->n_codes >= 256) fail("Crash report includes too many Mach Exception codes");
            report->machExceptionInfo_ =
                CrashReportMachExceptionInfo{mach->type, std::vector<std::uint64_t>(mach->codes, mach->codes + mach->n_codes)};
        }

        // arm64e pointers carry an authentication code above the address bits.
        bool strip = false;
        if (report->machineInfo_ && report->machineInfo_->processorInfo) {
            const auto& cpu = *report->machineInfo_->processorInfo;
            strip = cpu.type == 0x0100000C && cpu.subtype == 2;
        }
        auto frame = [&](const Lvcrash__CrashReport__Thread__StackFrame& in) {
            CrashReportStackFrameInfo out;
            out.instructionPointer = strip ? (in.pc & 0xFFFFFFFFFULL) : in.pc;
            if (const auto* symbol = in.symbol) {
                out.symbolInfo = CrashReportSymbolInfo{symbol->name ? symbol->name : "", symbol->start_address,
                                                       symbol->has_end_address ? symbol->end_address : 0};
            }
            return out;
        };

        if (message.n_threads == 0) fail("Crash report is missing thread state information");
        for (std::size_t i = 0; i < message.n_threads; ++i) {
            const auto& thread = *message.threads[i];
            CrashReportThreadInfo info;
            for (std::size_t f = 0; f < thread.n_frames; ++f) info.stackFrames.push_back(frame(*thread.frames[f]));
            for (std::size_t r = 0; r < thread.n_registers; ++r) {
                const auto& reg = *thread.registers[r];
                if (reg.name == nullptr) fail("Missing register name in register value");
                info.registers.push_back({reg.name, reg.value});
            }
            info.threadNumber = thread.thread_number;
            info.crashed = thread.crashed != 0;
            report->threads_.push_back(std::move(info));
        }

        if (message.n_binary_images == 0) fail("Crash report is missing binary image information");
        for (std::size_t i = 0; i < message.n_binary_images; ++i) {
            const auto& image = *message.binary_images[i];
            if (image.name == nullptr) fail("Missing image name in image record");
            assert(image.uuid.len == 0 || image.uuid.data != nullptr);
            CrashReportBinaryImageInfo info;
            info.imageBaseAddress = image.base_address;
            info.imageSize = image.size;
            info.imageName = image.name;
            if (image.has_uuid) {
                static constexpr char digits[] = "0123456789abcdef";
                std::string hex;
                for (std::size_t b = 0; b < image.uuid.len; ++b) {
                    hex += digits[image.uuid.data[b] >> 4];
                    hex += digits[image.uuid.data[b] & 0xF];
                }
                info.hasImageUUID = true;
                info.imageUUID = hex;
            }
            if (image.code_type) info.codeType = processorInfo(*image.code_type);
            report->images_.push_back(std::move(info));
        }

        if (const auto* exception = message.exception) {
            if (exception->name == nullptr) fail("Crash report is missing exception name field");
            if (exception->reason == nullptr) fail("Crash report is missing exception reason field");
            CrashReportExceptionInfo info{exception->name, exception->reason, std::nullopt};
            if (exception->n_frames > 0) {
                info.stackFrames.emplace();
                for (std::size_t f = 0; f < exception->n_frames; ++f) info.stackFrames->push_back(frame(*exception->frames[f]));
            }
            report->exceptionInfo_ = std::move(info);
        }

        if (message.has_custom_data)
            report->customData_ =
                std::vector<std::uint8_t>(message.custom_data.data, message.custom_data.data + message.custom_data.len);
    } catch (const DecodeFailure& failure) {
        if (error) *error = Error(kCrashReporterErrorDomain, kCrashReporterErrorCrashReportInvalid, failure.description);
        return nullptr;
    }
    return report;
}

std::optional<std::vector<std::uint8_t>> readCrashReportFile(const std::string& path, int* err) {
    // A FIFO would block the open and the reads for good, a device may never end, and a link
    // leads out of the folder: only a regular file is read, decided on what was opened.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        *err = errno;
        return std::nullopt;
    }
    auto bytes = readCrashReportDescriptor(fd, err);
    close(fd);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> readCrashReportDescriptor(int fd, int* err, std::size_t limit) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *err = info.st_mode == 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    if (info.st_size > 0) bytes.reserve(std::min(static_cast<std::size_t>(info.st_size), limit));
    std::uint8_t chunk[65536];
    for (;;) {
        // One byte past the limit is enough to know the file is too long.
        const std::size_t left = limit - bytes.size();
        const std::size_t room = left < sizeof chunk ? left + 1 : sizeof chunk;
        const ssize_t got = pread(fd, chunk, room, static_cast<off_t>(bytes.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *err = errno;
            return std::nullopt;
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (bytes.size() > limit) {
            *err = EFBIG;
            return std::nullopt;
        }
    }
    return bytes;
}

const CrashReportBinaryImageInfo* CrashReport::imageForAddress(std::uint64_t address) const {
    for (const auto& image : images_)
        if (image.imageBaseAddress <= address && address - image.imageBaseAddress < image.imageSize) return &image;
    return nullptr;
}

std::optional<CrashHostInfo> CrashHostInfo::currentHostInfo() {
    char* release = lvcrash_sysctl_string("kern.osrelease");
    if (release == nullptr) {
        const int err = errno;
        reporterLog().info("[LVCrashReporter] Failed to fetch kern.osrelease value " + std::to_string(err) + ": " +
                           std::strerror(err));
        return std::nullopt;
    }
    CrashHostInfo info = fromRelease(release);
    std::free(release);
    return info;
}

CrashHostInfo CrashHostInfo::fromRelease(const std::string& release) {
    CrashHostInfo info;
    std::uint64_t* parts[] = {&info.version_.major, &info.version_.minor, &info.version_.revision};
    std::size_t at = 0;
    bool matched = true;
    for (std::size_t i = 0; i < 3; ++i) {
        if (i > 0) {
            if (at >= release.size() || release[at] != '.') {
                matched = false;
                break;
            }
            ++at;
        }
        const std::size_t start = at;
        std::uint64_t value = 0;
        while (at < release.size() && release[at] >= '0' && release[at] <= '9' && at - start < 18)
            value = value * 10 + static_cast<std::uint64_t>(release[at++] - '0');
        if (at == start) {
            matched = false;
            break;
        }
        *parts[i] = value;
    }
    if (!matched) reporterLog().info("[LVCrashReporter] Unexpected kern.osrelease string format: " + release);
    return info;
}

}  // namespace lvcrash
