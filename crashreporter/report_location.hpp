#pragma once
// Where the crash path leaves a report, and under which names. Each crash writes a file it
// creates itself under a name of its own, then gives the finished file a name of its own that
// nothing stands at: two processes of one application crashing at once both keep their report,
// and nothing put at a name after set-up (a link, a FIFO, a folder, a hard link to a file
// elsewhere) is written through, waited on or able to make the crash be lost.
//
// The folder is the one the next launch looks in: opened by its path at crash time (the
// reporter's own folders below the base made again when they were moved away, none of them
// followed as a link or used unless it is a folder of this user's), else the folder opened
// at set-up. A report holds the process's stack and registers: its folders are made 0700
// and its file 0600.
#include <cstddef>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

namespace lvcrash {

// Why a folder of the reporter's was not used.
enum lvcrash_folder_refusal {
    LVCRASH_FOLDER_USED = 0,
    LVCRASH_FOLDER_NOT_MADE,          // nothing there, and none could be made (errno)
    LVCRASH_FOLDER_NOT_A_FOLDER,      // a file, a link (even to a folder), a FIFO…: its mode in `found`
    LVCRASH_FOLDER_OF_ANOTHER_USER,   // its owner in `found`
    LVCRASH_FOLDER_NOT_WRITABLE,      // this user's, but it cannot be written into (errno)
};

struct lvcrash_folder_check {
    lvcrash_folder_refusal refusal;
    struct stat found;  // what stands at the name, when something does
    int error;          // errno of the failure, when there is one
};

// Async-signal-safe. Opens the folder `name` in `parent` as one of the reporter's own: made
// (mode 0700) when nothing stands there, never reached through a link, and used only when
// it is a folder of this user's (decided on the opened folder), which is then closed to
// everyone else (its group and other permissions taken away). `writable`: it must also
// take new files. The descriptor, or -1 with why in `check`.
int lvcrash_open_own_folder(int parent, const char* name, bool writable, lvcrash_folder_check* check);

// A regular file of this user's with no other name: the only kind read back as a report.
// A hard link would have the reader take another file for a crash, and another user's file
// in a folder shared with them would be sent as this user's crash.
bool lvcrash_is_own_file(const struct stat& info);

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
