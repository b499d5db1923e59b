// The host's side of files. Names are built and shown in their logical form
// "c:\images\<folder>\<base><suffix>"; host_path() maps them to this host. Files the
// run creates are written under temporary names beside their final names and only put
// in place once complete, so that a failed or interrupted run loses nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The base directory of every name, as the operator knows it: "c:\images\".
extern const char* const base_directory;

// The directory that stands for "c:\images\": DEM_VARNEL_ROOT when set and not empty,
// otherwise on Linux $HOME/images, or "images" in the current directory, and on
// Windows c:\images itself.
std::string image_root();

// The host path of a logical name: the root for "c:\images\", and on Linux '/' for
// every other backslash. On Windows it is the logical name itself where DEM_VARNEL_ROOT
// is not set, in the system's ANSI code page; fails on a name that code page cannot hold.
std::string host_path(const std::string& logical);

// A path's last extension, with its dot ("x.tif": ".tif"), or empty where it has none.
std::string extension_of(const std::string& path);

// The extension a temporary name keeps of its final name (create_pending): the final
// name's own, or ".part" where it has none, so that a library that names the files it
// writes beside one by changing its extension ("x.part-1-0.hdr") keeps them under the
// temporary name rather than beside the final one ("x.hdr").
std::string kept_extension(const std::string& final_path);

// What follows `start` (a host path's folder and the start of a name) in the names of
// that folder that begin with it (nothing for the name that is `start` alone); empty when
// the folder cannot be read.
std::vector<std::string> names_starting(const std::string& start);

// The logical name, followed by the host path in parentheses where they differ.
std::string shown_name(const std::string& logical);

// Text of errno for messages (on Windows, of the failed system call that set it).
std::string system_error();

// A file being written under a temporary name.
struct PendingFile {
    std::string logical;     // the name the operator knows it by
    std::string final_path;  // where it goes: the host path, a symbolic link followed
    std::string temp_path;   // where it is written until complete
    int slot = -1;           // its entry among the run's temporary files
    // Whether a file that appeared under the final name while the run was working (not
    // there when the run looked) may be replaced.
    bool replace = true;
};

// A temporary name that keeps an extension, less that extension: the start that the
// names of a library's files beside it share ("x.tif.part-1-0" for "x.tif.part-1-0.tif").
std::string shared_start(const PendingFile& file);

// Creates the temporary file of `logical` exclusively, beside its final name, and
// opens it with `mode`: "wb" writes bytes as they are, "w" is text, each "\n" written
// becoming the host's line end (CR LF on Windows). Fails with "cannot create" when the
// file cannot be made. Temporary files of the same final name left by runs whose process
// no longer exists (killed outright) are removed first.
// With `keep_extension`, the temporary name ends with the extension it keeps
// (kept_extension: "x.tif.part-<process>-<n>.tif"), for a library that names the files it
// writes beside one after its extension: they then share the temporary name up to it.
std::FILE* create_pending(PendingFile& file, const std::string& logical, const char* mode,
                          bool keep_extension = false);

// Files named `start` (a host path), alone or followed by a dot and more, are temporary:
// removed as the run's temporary files are, on an interruption too, until forgotten.
// Returns the entry.
int register_temporary_names(const std::string& start);
void forget_temporary_names(int& slot);
// Removes them now, and forgets them.
void discard_temporary_names(int& slot);

// Hands what is written so far to the device without waiting, so that the final
// flush to the device has little left to wait for; failures surface there.
void start_writeback(std::FILE* stream);
// The same for a file another library writes, by its host path.
void start_file_writeback(const std::string& path);

// Waits until what was written to the stream is on the device; false, with errno set,
// when it cannot be.
bool sync_to_device(std::FILE* stream);

// The same for a file another library wrote and closed, by its host path.
bool sync_file_to_device(const std::string& path);

// Flushes the stream to the device and closes it; fails naming the file on error.
void close_pending(PendingFile& file, std::FILE*& stream);

// Closes and removes a pending file that is not to be put in place.
void discard_pending(PendingFile& file, std::FILE*& stream);

// Appends the whole of the closed pending file `from` to `to` (the stream of the
// pending file `to_file`), then removes `from`; fails naming the file on error.
void append_pending(std::FILE* to, const PendingFile& to_file, PendingFile& from);

// A file without a name in the folder of `logical` (a file name), open for reading
// and writing, gone when closed or when the process ends however it ends; null when
// the folder does not allow one.
std::FILE* create_anonymous_beside(const std::string& logical);

// Reads up to `bytes` at `offset` of the stream's file, past the stream's buffer, and
// from several threads at once; `got` is less than `bytes` only at the end of the file.
// False on an error. The stream is not to be read in order afterwards (on Windows the
// file's position moves).
bool read_at(std::FILE* stream, void* buffer, std::size_t bytes, std::uint64_t offset,
             std::size_t& got);

// True when the stream's file can be read again from any place (not a pipe).
bool can_seek(std::FILE* stream);

// Moves the stream to `offset` from the start; false on an error.
bool seek_to(std::FILE* stream, std::uint64_t offset);

// True when the stream is open on a directory.
bool is_directory(std::FILE* stream);

// True when the host path names a file that is neither a regular file nor a directory
// (a FIFO, a device, a socket): one that cannot be read twice, or whose opening may wait.
bool special_file(const std::string& path);

// True when the host path names a directory.
bool directory_path(const std::string& path);

// True when the host path names anything at all (a file, readable or not, a folder, a
// link, a FIFO...).
bool path_exists(const std::string& path);

// What tells a file from another and from itself changed: its identity on the host, its
// size and the time it was last written.
struct FileStamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified_ns == o.modified_ns;
    }
};
bool stamp_of(std::FILE* stream, FileStamp& stamp);
bool stamp_of(const std::string& path, FileStamp& stamp);

// The size of the stream's file when it is a regular file.
bool regular_file_size(std::FILE* stream, std::uint64_t& size);

// Puts closed pending files in place, in order: first the old final files of every
// file but the first are removed, then each is renamed onto its final name, so that
// an interruption never leaves a new first file beside old later ones. Other runs
// putting files in the same folders in place wait until this one is done (a lock on
// the folder, no file of its own), so that the files on disk are all one run's; once
// begun the installation finishes before an interruption is dealt with, and the folder
// is flushed to the device after the renames.
void install_pending(const std::vector<PendingFile*>& files);

// True when the two logical names denote the same file: by identity where both
// exist, otherwise by the paths their symbolic links lead to.
bool same_file(const std::string& logical_a, const std::string& logical_b);

// Bytes free for an ordinary user on the file system holding the host path, or the
// largest value when it cannot be told; never more than disk_ceiling.
std::uint64_t free_space(const std::string& path);

// A further bound on free_space(), unbounded by default; fuzzers lower it so that a
// run can make only small files.
extern std::uint64_t disk_ceiling;

// The signals that interrupt a run (Ctrl-C, Ctrl-\, termination, a lost terminal, a
// closed pipe; on Windows the console's events: Ctrl-C, Ctrl-Break, the console closed,
// logoff, shutdown): each removes the run's temporary files and ends it with status 1.
extern const int interrupting_signals[5];

// Removes every temporary file of the run that is not yet in place; async-signal-safe
// (on Windows, safe on the console's control-handler thread).
void remove_temporary_files();

// For the handler of an interrupting signal, which ends the process after it: waits for
// an installation under way to finish (on Linux the signals wait for it instead) and
// keeps any other from starting, removes the temporary files as remove_temporary_files()
// does, and returns how the handler's line ends: " after <names> were put in place; they
// are complete" when the interruption came while those files were being put in place,
// otherwise "; temporary files removed". Async-signal-safe like remove_temporary_files().
const char* remove_temporary_files_for_interrupt();
