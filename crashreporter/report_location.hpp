#pragma once
// Where the crash path leaves a report, and under which names. Each crash writes a file it
// creates itself under a name of its own, then gives the finished file a name of its own that
// nothing stands at: two processes of one application crashing at once both keep their report,
// and nothing put at a name after set-up (a link, a FIFO, a folder, a hard link to a file
// elsewhere) is written through, waited on or able to make the crash be lost.
//
// The folder is the one the next launch looks in: opened by its path at crash time (the
// reporter's own folders below the base made again when they were moved away, none of them
// followed as a link), else the folder opened at set-up.
#include <cstddef>
#include <ctime>
#include <sys/types.h>

namespace lvcrash {

// The reporter's own folders below the base: the one shared by every application, the
// application's.
inline constexpr std::size_t LVCRASH_REPORT_FOLDER_DEPTH = 2;

struct lvcrash_report_location {
    int folder_fd;     // opened at set-up; -1: none
    const char* name;  // the pending report's name: finished reports are named after it
    // The base folder (links in it followed) and the own folders below it, outermost first;
    // a null base: the folder opened at set-up alone.
    const char* base_path;
    const char* folders[LVCRASH_REPORT_FOLDER_DEPTH];
};

// Room for the name of a report, finished or still being written.
inline constexpr std::size_t LVCRASH_REPORT_PARTIAL_NAME_SIZE = 256;

// A report being written: its file's name, and the folder it is in.
struct lvcrash_report_partial {
    int folder_fd;
    bool owns_folder;  // opened for this crash: closed when the report is published
    char name[LVCRASH_REPORT_PARTIAL_NAME_SIZE];
};

// Crash path. Creates the file to write (exclusively, never through a link) under a name of
// this thread's; the descriptor, or -1 when no file can be made.
int lvcrash_report_location_create(const lvcrash_report_location* location, lvcrash_report_partial* partial);
// Crash path. Gives the written file a finished report's name nothing stands at; when it
// cannot, the file goes.
bool lvcrash_report_location_publish(const lvcrash_report_location* location, lvcrash_report_partial* partial);
// The same, as at the moment `now` (the names are made from it).
bool lvcrash_report_location_publish_at(const lvcrash_report_location* location, lvcrash_report_partial* partial,
                                        const timespec& now);

// The names, for set-up and for the next launch (async-signal-safe all the same).
// The name a report is written under before it is finished: "<name>.<pid>.<tid>", then
// ".<attempt>" added while something stands at the name. False when it does not fit.
bool lvcrash_report_partial_name(const char* name, pid_t pid, pid_t tid, unsigned attempt, char* out,
                                 std::size_t size);
// The writer of a report still being written under entry; false for any other name.
bool lvcrash_report_partial_writer(const char* name, const char* entry, pid_t* writer);
// Whether entry names a finished report of a crash: "<stem>-<seconds>.<nanoseconds>-<pid>
// [-<attempt>]<extension>", the pending report's name split at its last dot. In name order
// they are in the order of the crashes.
bool lvcrash_report_is_finished_name(const char* name, const char* entry);

}  // namespace lvcrash
