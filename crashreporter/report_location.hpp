#pragma once
// Where the crash path leaves the pending report: a folder opened at set-up without following
// links, and the report's name in it. The crash path writes a file it creates itself under a
// name of its own, then renames it over the report's name, so that whatever was put at that
// name after set-up (a link, a FIFO, a hard link to a file elsewhere) is replaced, never
// written through and never waited on.
#include <cstddef>

namespace lvcrash {

struct lvcrash_report_location {
    int folder_fd;     // -1: nowhere to write
    const char* name;  // the pending report's name in the folder
};

// Room for the name of a report still being written.
inline constexpr std::size_t LVCRASH_REPORT_PARTIAL_NAME_SIZE = 256;

// Crash path. Creates the file to write under a name of this thread's, kept in partial_name
// (LVCRASH_REPORT_PARTIAL_NAME_SIZE bytes); -1 when it cannot be made.
int lvcrash_report_location_create(const lvcrash_report_location* location, char* partial_name);
// Crash path. Moves the written file into the report's place; when it cannot, the file goes.
bool lvcrash_report_location_publish(const lvcrash_report_location* location, const char* partial_name);

}  // namespace lvcrash
