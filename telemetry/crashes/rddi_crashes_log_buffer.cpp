#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"

#include "crashreporter/report_location.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

namespace rddi {

namespace {

// Owned bytes kept NUL-terminated, so a path can go to open() as it is.
struct Buffer {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;

    static Buffer of(std::string_view text) {
        Buffer buffer;
        if (text.empty()) return buffer;
        buffer.bytes = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(buffer.bytes.get(), text.data(), text.size());
        buffer.bytes[text.size()] = '\0';
        buffer.size = text.size();
        return buffer;
    }
    std::string text() const { return size ? std::string(bytes.get(), size) : std::string(); }
};

enum Field { logPath, tokenPath, logData, token, fieldCount };

struct Slot {
    // Odd while the slot is being replaced.
    std::atomic<unsigned> sequence{0};
    // What the crash-time writer reads.
    std::atomic<const char*> published[fieldCount]{};
    std::atomic<std::size_t> publishedSize[fieldCount]{};

    // Guarded by gMutex.
    Buffer current[fieldCount];
    Buffer retired[fieldCount];
    std::string internalId;
    double timestamp = 0;
};

Slot gSlots[kRDDICrashesLogBufferSize];
std::mutex gMutex;
std::atomic<bool> gCrashWritten{false};
// Buffers replaced after a crash-time write began: a writer may still be reading them, so
// they are kept until the process ends (or a test resets the table). Guarded by gMutex.
std::vector<Buffer> gKeptAfterCrash;

// Replaces the given fields of a slot; gMutex held. The sequence count and the crash
// flag are sequentially consistent: a writer that set the flag before this looked at it
// reads the new bytes, and a writer that set it later keeps every old buffer alive.
void replace(Slot& slot, std::initializer_list<std::pair<Field, std::string_view>> values) {
    std::vector<Buffer> freed;
    slot.sequence.fetch_add(1);
    for (auto [field, text] : values) {
        freed.push_back(std::move(slot.retired[field]));
        slot.retired[field] = std::move(slot.current[field]);
        slot.current[field] = Buffer::of(text);
        slot.published[field].store(slot.current[field].bytes.get(), std::memory_order_relaxed);
        slot.publishedSize[field].store(slot.current[field].size, std::memory_order_relaxed);
    }
    slot.sequence.fetch_add(1);
    if (gCrashWritten.load()) {
        for (Buffer& buffer : freed)
            if (buffer.bytes) gKeptAfterCrash.push_back(std::move(buffer));
    }
}

std::string replacedAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Writes `size` bytes in one call into the service's own file at `path`, emptied first
// (made when missing). Whatever else stands there is passed over: a link is not followed, a
// FIFO is not waited on, a hard link or another user's file is not written. Signal-safe.
void writeFile(const char* path, const char* bytes, std::size_t size) noexcept {
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct stat info {};
    const bool own = fstat(fd, &info) == 0 && lvcrash::lvcrash_is_own_file(info);
    if (own && ftruncate(fd, 0) == 0 && size > 0) {
        ssize_t written = write(fd, bytes, size);
        (void)written;
    }
    close(fd);
}

bool isFree(const Slot& slot) { return slot.current[logData].size == 0; }

}  // namespace

void RDDICrashesLogBuffer::resetSlot(std::size_t index, const std::string& logFilePath) {
    if (index >= kRDDICrashesLogBufferSize) return;
    std::string tokenFilePath = replacedAll(logFilePath, kRDDILogBufferFileExtension, kRDDITargetTokenFileExtension);
    std::lock_guard lock(gMutex);
    Slot& slot = gSlots[index];
    replace(slot, {{logPath, logFilePath}, {tokenPath, tokenFilePath}, {logData, {}}, {token, {}}});
    slot.internalId.clear();
    slot.timestamp = 0;
}

std::size_t RDDICrashesLogBuffer::store(std::string_view data, std::string_view encryptedToken,
                                        std::string_view internalId, double timestamp) {
    if (data.empty()) return kRDDICrashesLogBufferSize;
    std::lock_guard lock(gMutex);
    std::size_t chosen = kRDDICrashesLogBufferSize;
    double oldestTime = std::numeric_limits<double>::max();
    std::size_t oldestIndex = 0;
    for (std::size_t index = 0; index < kRDDICrashesLogBufferSize; ++index) {
        const Slot& slot = gSlots[index];
        if (isFree(slot)) {
            RDDILogVerbose(kRDDICrashesLogTag, "Found an empty buffer position.");
            chosen = index;
            break;
        }
        if (slot.timestamp < oldestTime) {
            oldestIndex = index;
            oldestTime = slot.timestamp;
            RDDILogVerbose(kRDDICrashesLogTag, "Remembering index {} for oldest timestamp {:f}.", index, oldestTime);
        }
    }
    bool overwriting = chosen == kRDDICrashesLogBufferSize;
    if (overwriting) {
        RDDILogVerbose(kRDDICrashesLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
        chosen = oldestIndex;
    }
    Slot& slot = gSlots[chosen];
    replace(slot, {{logData, data}, {token, encryptedToken}});
    slot.internalId = std::string(internalId);
    slot.timestamp = timestamp;
    if (overwriting) RDDILogVerbose(kRDDICrashesLogTag, "Overwrote buffered log at index {}.", chosen);
    return chosen;
}

std::vector<std::size_t> RDDICrashesLogBuffer::remove(std::string_view internalId) {
    std::vector<std::size_t> removed;
    if (internalId.empty()) return removed;
    bool deleteFiles = gCrashWritten.load(std::memory_order_acquire);
    std::lock_guard lock(gMutex);
    for (std::size_t index = 0; index < kRDDICrashesLogBufferSize; ++index) {
        Slot& slot = gSlots[index];
        if (slot.internalId.empty() || slot.internalId != internalId) continue;
        RDDILogVerbose(kRDDICrashesLogTag, "Deleting a log from buffer with id {}", internalId);
        replace(slot, {{logData, {}}, {token, {}}});
        slot.internalId.clear();
        slot.timestamp = 0;
        removed.push_back(index);
        if (deleteFiles && slot.current[logPath].size) {
            unlink(slot.current[logPath].bytes.get());
            RDDILogVerbose(kRDDICrashesLogTag, "Deleted crash buffer file: {}.", slot.current[logPath].text());
        }
    }
    return removed;
}

RDDICrashesBufferSlot RDDICrashesLogBuffer::slot(std::size_t index) {
    RDDICrashesBufferSlot copy;
    if (index >= kRDDICrashesLogBufferSize) return copy;
    std::lock_guard lock(gMutex);
    const Slot& slot = gSlots[index];
    copy.logFilePath = slot.current[logPath].text();
    copy.tokenFilePath = slot.current[tokenPath].text();
    copy.logData = slot.current[logData].text();
    copy.encryptedToken = slot.current[token].text();
    copy.internalId = slot.internalId;
    copy.timestamp = slot.timestamp;
    return copy;
}

void RDDICrashesLogBuffer::writeAtCrash() noexcept {
    gCrashWritten.store(true);
    for (Slot& slot : gSlots) {
        unsigned before = slot.sequence.load();
        if (before & 1u) continue;  // caught mid-update: neither the old nor the new bytes are whole
        const char* path = slot.published[logPath].load(std::memory_order_relaxed);
        const char* tokenFile = slot.published[tokenPath].load(std::memory_order_relaxed);
        const char* data = slot.published[logData].load(std::memory_order_relaxed);
        std::size_t dataSize = slot.publishedSize[logData].load(std::memory_order_relaxed);
        const char* tokenText = slot.published[token].load(std::memory_order_relaxed);
        std::size_t tokenSize = slot.publishedSize[token].load(std::memory_order_relaxed);
        if (slot.sequence.load() != before || path == nullptr) continue;

        writeFile(path, data, dataSize);
        bool withToken = tokenSize > 0 && tokenFile != nullptr;
        if (withToken) writeFile(tokenFile, tokenText, tokenSize);

        if (slot.sequence.load() != before) {
            // Replaced while being written: the file may hold a mix; leave it empty.
            writeFile(path, nullptr, 0);
            if (withToken) writeFile(tokenFile, nullptr, 0);
        }
    }
}

bool RDDICrashesLogBuffer::crashWritten() { return gCrashWritten.load(std::memory_order_acquire); }

void RDDICrashesLogBuffer::resetForTesting() {
    std::lock_guard lock(gMutex);
    for (Slot& slot : gSlots) {
        replace(slot, {{logPath, {}}, {tokenPath, {}}, {logData, {}}, {token, {}}});
        for (Buffer& buffer : slot.retired) buffer = Buffer();
        slot.internalId.clear();
        slot.timestamp = 0;
    }
    gKeptAfterCrash.clear();
    gCrashWritten.store(false);
}

}  // namespace rddi
