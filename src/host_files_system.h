// The system calls beneath the run's files: host_files.cpp holds what every host shares
// (temporary names, the checks before a file is replaced, the order of installation, the
// messages) and calls these; host_files_linux.cpp and host_files_windows.cpp define them.
// Only those three files include this header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace host {

// --- Names --------------------------------------------------------------------------------

// The folder of a host path, as the host writes it.
std::string directory_of(const std::string& path);

// The file a host path stands for: symbolic links are followed, so that a result replaces
// the file a link points to rather than the link.
std::string follow_links(const std::string& path);

// The endings of the names in a folder that begin as `start` (a host path) ends: for
// "/d/x.raw.part-" and a file "/d/x.raw.part-12-0", "12-0", and an empty ending for a
// name that is that start alone. Case aside where the host's names ignore it; empty when
// the folder cannot be read.
std::vector<std::string> endings_of_names_starting(const std::string& start);

// Removes the files of a folder named as `start` (a host path) ends, alone or followed
// by a dot and more ("x.part-1-1" and "x.part-1-1.tif", not "x.part-1-10"). Safe in a
// signal handler on Linux: it allocates nothing and makes system calls only.
void remove_names_starting(const char* start);

// --- Processes ----------------------------------------------------------------------------

unsigned long process_id();

// False only when the system says that no process has this id: one the run may not
// look at counts as running.
bool process_exists(unsigned long id);

// --- Files --------------------------------------------------------------------------------

enum class Existing { none, file, directory };
Existing existing_kind(const std::string& path);

// Why the existing file at `path` may not be replaced (in the words of a message), or
// "" when it may.
std::string why_not_replaceable(const std::string& path);

enum class Creation { created, name_taken, folder_not_writable, failed };

// Creates the file `path`, which must not exist yet, open with `mode` ("wb" bytes, "w"
// text in the host's line ends). `replaced`, when not empty, is the existing file it will
// replace: its permissions are given to the new one where the host keeps them. Null when
// it cannot be made, with `outcome` saying why and system_error() the system's words; a
// file made but not opened is removed again.
std::FILE* create_exclusive(const std::string& path, const std::string& replaced, const char* mode,
                            Creation& outcome);

enum class Copy { done, read_failed, write_failed };

// Appends the bytes of the file `from` to the flushed stream `to`, past its buffer and
// its text translation; on failure system_error() tells why.
Copy append_file(std::FILE* to, const std::string& from);

// Removes a file, whatever comes of it; async-signal-safe (on Windows, safe on the
// console's control-handler thread).
void remove_file(const char* path);

// Removes the file at `path` when there is one; false on failure, system_error() telling why.
bool remove_if_present(const std::string& path);

// Renames `from` onto `to`, replacing it; false on failure, system_error() telling why.
bool rename_replacing(const std::string& from, const std::string& to);

// Renames `from` to `to` where nothing is at `to`, in one step that no other process can
// come between; false on failure, `taken` telling whether it was a file at `to`.
bool rename_not_replacing(const std::string& from, const std::string& to, bool& taken);

// --- Installation -------------------------------------------------------------------------

// Held on the folders outputs are put in place in, against other runs putting theirs
// there at the same time; gone with the process however it ends. The handles are the
// host's (descriptors on Linux, mutexes on Windows), each beside the folder it holds.
struct FolderLocks {
    std::vector<std::intptr_t> handles;
    std::vector<std::string> folders;
};

// Waits for the folders to be free and takes them; a folder the host cannot lock is
// left unlocked.
FolderLocks lock_folders(const std::vector<std::string>& folders);

// Makes the renames in the locked folders survive a power cut; false, with
// system_error() telling why and `failed` naming the folder, when they may not.
bool flush_folders(const FolderLocks& locks, std::string& failed);

void unlock_folders(FolderLocks& locks);

// Keeps the interruptions off while outputs are put in place (on Linux the signals are
// blocked, on Windows the console's handler waits on a lock) and lets them come again
// after; `installed` tells that every file was put in place meanwhile.
void hold_interruptions();
void release_interruptions(bool installed);

// For an interruption's handler: waits for an installation under way to be over and keeps
// any other from starting (on Linux the signals wait instead); true when the interruption
// came while files were being put in place and they all were.
bool settle_installation_for_interrupt();

}  // namespace host
