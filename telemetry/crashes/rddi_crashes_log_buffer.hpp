#pragma once
// The crash-time log buffer: 60 slots, one table per process, holding a copy of every
// log a channel unit has accepted but not finished with. At a crash the reporter calls
// writeAtCrash(), which writes each slot to its own file with nothing but system calls
// (open, fstat, ftruncate, write, close); the next launch reads the files back.
//
// Everything the crash-time writer reads (paths, bytes, token text) is prepared here
// beforehand as plain bytes in a static table. Each slot is published under a
// sequence count (odd while the slot is being replaced): the writer skips a slot caught
// mid-update, since the crashed thread may be the one replacing it, and empties a file
// whose slot changed while it was being written instead of leaving torn bytes. Once a
// crash-time write has begun no replaced buffer is freed, so bytes a writer has found
// published stay readable while it writes them.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rddi {

inline constexpr std::size_t kRDDICrashesLogBufferSize = 60;
inline constexpr const char* kRDDILogBufferFileExtension = "rdcrasheslogbuffer";
inline constexpr const char* kRDDITargetTokenFileExtension = "targettoken";

// A copy of one slot.
struct RDDICrashesBufferSlot {
    std::string logFilePath;
    std::string logData;  // empty: the slot is free
    std::string tokenFilePath;
    std::string encryptedToken;
    std::string internalId;
    double timestamp = 0;
};

class RDDICrashesLogBuffer {
public:
    RDDICrashesLogBuffer() = delete;

    // Slot `index` becomes a fresh record for the log file at `logFilePath`; its token
    // file is that path with every "rdcrasheslogbuffer" replaced by "targettoken".
    static void resetSlot(std::size_t index, const std::string& logFilePath);

    // Copies a log into the first free slot, or when none is free into the one buffered
    // longest ago (the lower index on equal times). Returns the slot's index. Empty
    // `logData` stores nothing and answers kRDDICrashesLogBufferSize.
    static std::size_t store(std::string_view logData, std::string_view encryptedToken, std::string_view internalId,
                             double timestamp);

    // Frees every slot holding `internalId` (none for an empty id) and answers their
    // indexes. After a crash-time write in this process the freed slots' files are
    // deleted too, since their logs were handled after all.
    static std::vector<std::size_t> remove(std::string_view internalId);

    static RDDICrashesBufferSlot slot(std::size_t index);

    // Async-signal-safe: no allocation, no lock, only open/fstat/ftruncate/write/close.
    // Truncates each slot's log file to the slot's bytes (empty for a free slot) and writes
    // the token file of a slot that has a token; only regular files are written, never
    // through a link, and a FIFO is not waited on.
    static void writeAtCrash() noexcept;
    // Whether writeAtCrash() has run in this process.
    static bool crashWritten();

    // Empties every slot and forgets paths and the crash-time write. Tests only.
    static void resetForTesting();
};

}  // namespace rddi
