// What the host files of every platform share: the base directory of the names, how a
// name is shown, the bound on the free space, and the life of a file being written: its
// temporary name and slot, the checks before it replaces a file, its closing, and the
// locked, uninterrupted order in which a run's files are put in place. The system calls
// beneath are each host's (host_files_system.h).
#include "host_files.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "failure.h"
#include "host_files_system.h"

const char* const base_directory = "c:\\images\\";

std::uint64_t disk_ceiling = UINT64_MAX;

namespace {

// --- The run's temporary files -------------------------------------------------------------

// Fixed slots, so that an interruption's handler can remove them: on Linux a signal
// handler, on Windows the console's handler on a thread of its own. Lock-free atomics are
// safe in both. The table is the process's, not a run's: a signal ends the process and
// reaches no object of a run, so every run's temporary files must be found here (the
// objects that made them still remove them themselves when a run ends otherwise).
constexpr int max_temporaries = 16;
constexpr std::size_t max_path = 4096;
char temporary_names[max_temporaries][max_path];
std::atomic<bool> temporary_used[max_temporaries];
// Whether a slot names the start of the names of temporary files (a library's files
// beside one of ours) rather than one file.
std::atomic<bool> temporary_start_of_names[max_temporaries];
static_assert(std::atomic<bool>::is_always_lock_free, "the slots are read by signal handlers");

// Set once a run's outputs are all in place, until a run makes another temporary file:
// an interruption after it (the run's last words still to say) finds them complete.
std::atomic<bool> outputs_in_place{false};

int register_temporary(const std::string& path, bool start_of_names = false) {
    if (path.size() >= max_path) fail("path too long: " + path);
    outputs_in_place.store(false);
    for (int slot = 0; slot < max_temporaries; ++slot) {
        if (!temporary_used[slot].load()) {
            std::memcpy(temporary_names[slot], path.c_str(), path.size() + 1);
            temporary_start_of_names[slot].store(start_of_names);
            temporary_used[slot].store(true);
            return slot;
        }
    }
    fail("too many temporary files");
}

void forget_temporary(int& slot) {
    if (slot >= 0) temporary_used[slot].store(false);
    slot = -1;
}

void remove_registered_temporaries() {
    for (int slot = 0; slot < max_temporaries; ++slot)
        if (temporary_used[slot].exchange(false)) {
            if (temporary_start_of_names[slot].load())
                host::remove_names_starting(temporary_names[slot]);
            else
                host::remove_file(temporary_names[slot]);
        }
}

std::string temporary_start(const std::string& final_path) { return final_path + ".part-"; }

// The process id of a temporary name's ending "<process>-<n>", both written as the
// program writes numbers (no leading zero), or 0 when it is not one.
unsigned long process_of_ending(const std::string& ending) {
    const auto dash = ending.find('-');
    const auto number = [](const std::string& text) {
        return !text.empty() && (text == "0" || text[0] != '0') &&
               std::all_of(text.begin(), text.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    };
    if (dash == std::string::npos || dash > 10 || !number(ending.substr(0, dash)) ||
        !number(ending.substr(dash + 1)))
        return 0;
    const unsigned long long id = std::stoull(ending.substr(0, dash));
    return id <= 0xFFFFFFFFull ? static_cast<unsigned long>(id) : 0;
}

// The temporary name an ending of a listing stands for: the ending itself
// ("<process>-<n>"), or with `kept` (the final name's kept extension) "<process>-<n>"
// followed by it, or a library's file beside such a temporary file, named as it up to
// the kept extension ("<process>-<n>.aux.xml"), while that file is there, or a file of
// its own a library works in before it writes that file ("<process>-<n>.tif.ovr.tmp").
// Empty for a name the program does not make.
std::string temporary_of(const std::string& ending, const std::vector<std::string>& listing,
                         const std::string* kept) {
    const std::string head = ending.substr(0, ending.find('.'));
    if (process_of_ending(head) == 0) return "";
    if (ending == head) return head;
    if (kept == nullptr) return "";
    const std::string working = head + *kept + ".";
    if (ending == head + *kept ||
        (ending.rfind(working, 0) == 0 && ending.size() > working.size() + 4 &&
         ending.compare(ending.size() - 4, 4, ".tmp") == 0))
        return head;
    return std::find(listing.begin(), listing.end(), head + *kept) != listing.end() ? head : "";
}

// The process of a library's file named after a temporary name with its count cut off
// ("<process>.idx"), or 0.
unsigned long process_of_uncounted(const std::string& ending) {
    const std::size_t dot = ending.find('.');
    return dot == std::string::npos ? 0 : process_of_ending(ending.substr(0, dot) + "-0");
}

// A run killed outright (SIGKILL, a crash, the power) leaves its temporary files: the
// next run on the same final name removes those whose process is gone, and only those,
// since a running process may still put its own in place.
void remove_orphaned_temporaries(const std::string& final_path, bool keep_extension) {
    const std::string start = temporary_start(final_path);
    const std::string kept = kept_extension(final_path);
    const unsigned long self = host::process_id();
    const std::vector<std::string> listing = host::endings_of_names_starting(start);
    std::vector<std::string> gone;
    for (const std::string& ending : listing) {
        const std::string head = temporary_of(ending, listing, keep_extension ? &kept : nullptr);
        unsigned long owner = head.empty() ? 0 : process_of_ending(head);
        if (owner == 0 && keep_extension) owner = process_of_uncounted(ending);
        if (owner != 0 && owner != self && !host::process_exists(owner)) gone.push_back(ending);
    }
    for (const std::string& ending : gone) host::remove_file((start + ending).c_str());
}

// --- Putting files in place ----------------------------------------------------------------

// How the line an interruption leaves ends when it came while files were being put in
// place, or after, and they all were: " after A and B were put in place; they are
// complete". Set while the interruptions are held, read by their handler: an array, which
// no destructor frees while the process exits and a signal may still come.
char installed_line_end[3 * max_path];

std::string installed_line_end_of(const std::vector<PendingFile*>& files) {
    std::string names;
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (k > 0) names += k + 1 == files.size() ? " and " : ", ";
        names += shown_name(files[k]->logical);
    }
    return " after " + names +
           (files.size() == 1 ? " was put in place; it is complete"
                              : " were put in place; they are complete");
}

// The folders the files go to, each named once.
std::vector<std::string> folders_of(const std::vector<PendingFile*>& files) {
    std::vector<std::string> folders;
    for (const PendingFile* file : files) {
        const std::string folder = host::directory_of(file->final_path);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    return folders;
}

// Another run putting files of the same names in place waits until this one is done, so
// that a pair on disk is always one run's pair.
class FolderLock {
public:
    explicit FolderLock(const std::vector<std::string>& folders)
        : locks_(host::lock_folders(folders)) {}
    ~FolderLock() { host::unlock_folders(locks_); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    const host::FolderLocks& locks() const { return locks_; }

private:
    host::FolderLocks locks_;
};

// An installation once begun finishes; an interruption meanwhile is dealt with after it,
// told whether every file was put in place.
class InterruptionsHeld {
public:
    InterruptionsHeld() { host::hold_interruptions(); }
    ~InterruptionsHeld() { host::release_interruptions(installed_); }
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
    void all_installed() { installed_ = true; }

private:
    bool installed_ = false;
};

}  // namespace

int register_temporary_names(const std::string& start) { return register_temporary(start, true); }

void forget_temporary_names(int& slot) { forget_temporary(slot); }

void discard_temporary_names(int& slot) {
    if (slot >= 0) host::remove_names_starting(temporary_names[slot]);
    forget_temporary(slot);
}

std::string shown_name(const std::string& logical) {
    const std::string host = host_path(logical);
    return host == logical ? logical : logical + " (" + host + ")";
}

std::string extension_of(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.find_last_of("/\\");
    return dot != std::string::npos && (slash == std::string::npos || dot > slash)
               ? path.substr(dot)
               : "";
}

std::string kept_extension(const std::string& final_path) {
    const std::string extension = extension_of(final_path);
    return extension.empty() ? ".part" : extension;
}

std::string shared_start(const PendingFile& file) {
    return file.temp_path.substr(0, file.temp_path.size() - kept_extension(file.final_path).size());
}

std::vector<std::string> names_starting(const std::string& start) {
    return host::endings_of_names_starting(start);
}

namespace {

// Whether files are named as a temporary name up to its kept extension, or as that
// alone, before the file itself is made.
bool made_beside_before(const PendingFile& file) {
    for (const std::string& ending : host::endings_of_names_starting(shared_start(file)))
        if (ending.empty() || ending[0] == '.') return true;
    return false;
}

}  // namespace

std::FILE* create_pending(PendingFile& file, const std::string& logical, const char* mode,
                          bool keep_extension) {
    file.logical = logical;
    file.final_path = host::follow_links(host_path(logical));
    const std::string cannot = "cannot create " + shown_name(logical) + ": ";

    const host::Existing existing = host::existing_kind(file.final_path);
    const bool exists = existing != host::Existing::none;
    if (existing == host::Existing::directory) fail(cannot + "it is a directory");
    if (exists) {
        const std::string why_not = host::why_not_replaceable(file.final_path);
        if (!why_not.empty()) fail(cannot + why_not);
    }
    remove_orphaned_temporaries(file.final_path, keep_extension);

    // The slot is taken before the file exists, so that an interruption never misses it.
    std::FILE* stream = nullptr;
    for (int attempt = 0; stream == nullptr; ++attempt) {
        file.temp_path = temporary_start(file.final_path) + std::to_string(host::process_id()) +
                         "-" + std::to_string(attempt) +
                         (keep_extension ? kept_extension(file.final_path) : "");
        // Files beside a temporary name of this process's number left by an earlier
        // process of the same number (numbers come round) are not this run's.
        if (keep_extension && made_beside_before(file) && attempt < 100) continue;
        file.slot = register_temporary(file.temp_path);
        host::Creation outcome = host::Creation::failed;
        stream =
            host::create_exclusive(file.temp_path, exists ? file.final_path : "", mode, outcome);
        if (stream != nullptr) break;
        forget_temporary(file.slot);
        if (outcome == host::Creation::name_taken && attempt < 100) continue;
        if (outcome == host::Creation::folder_not_writable)
            fail(cannot + "its folder " + host::directory_of(file.final_path) +
                 " is not writable (" + system_error() + ")" +
                 (exists ? ": outputs are written beside their final name and renamed into "
                           "place, so the folder must be writable even where the file is"
                         : ""));
        fail(cannot + system_error());
    }
    return stream;
}

void close_pending(PendingFile& file, std::FILE*& stream) {
    if (stream == nullptr) return;
    std::FILE* s = stream;
    stream = nullptr;
    bool ok = std::fflush(s) == 0 && !std::ferror(s);
    int error = errno;
    if (ok && !sync_to_device(s)) {
        ok = false;
        error = errno;
    }
    if (std::fclose(s) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        errno = error;
        fail("cannot write " + shown_name(file.logical) + ": " + system_error());
    }
}

void discard_pending(PendingFile& file, std::FILE*& stream) {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
    if (file.slot >= 0) host::remove_file(file.temp_path.c_str());
    forget_temporary(file.slot);
}

void append_pending(std::FILE* to, const PendingFile& to_file, PendingFile& from) {
    const auto failed = [&to_file](const char* what) {
        fail(std::string("cannot ") + what + " " + shown_name(to_file.logical) + ": " +
             system_error());
    };
    if (std::fflush(to) != 0) failed("write");
    switch (host::append_file(to, from.temp_path)) {
        case host::Copy::read_failed:
            failed("read the values of");
            break;
        case host::Copy::write_failed:
            failed("write");
            break;
        case host::Copy::done:
            break;
    }
    std::FILE* none = nullptr;
    discard_pending(from, none);
}

void install_pending(const std::vector<PendingFile*>& files) {
    // The lock is waited for before the interruptions are held: a run waiting for
    // another can still be stopped.
    const FolderLock lock(folders_of(files));
    InterruptionsHeld held;
    const std::string line_end = installed_line_end_of(files);
    std::snprintf(installed_line_end, sizeof installed_line_end, "%s", line_end.c_str());
    const auto appeared = [](const PendingFile& file) {
        fail("cannot put " + shown_name(file.logical) +
             " in place: it appeared while the run was working; give --overwrite to "
             "replace it");
    };
    // Checked before any file moves, so that none goes in place without the others; the
    // renames refuse to replace all the same, for a process that does not take the lock.
    for (const PendingFile* file : files)
        if (!file->replace && host::existing_kind(file->final_path) != host::Existing::none)
            appeared(*file);
    for (std::size_t k = 1; k < files.size(); ++k) {
        if (files[k]->replace && !host::remove_if_present(files[k]->final_path))
            fail("cannot replace " + shown_name(files[k]->logical) + ": " + system_error());
    }
    // Files put where nothing was go again when a later one finds its name taken, so that
    // no part of the output is left beside another process's file.
    std::vector<const PendingFile*> placed_where_nothing_was;
    for (PendingFile* file : files) {
        bool taken = false;
        const bool moved =
            file->replace ? host::rename_replacing(file->temp_path, file->final_path)
                          : host::rename_not_replacing(file->temp_path, file->final_path, taken);
        if (taken) {
            for (const PendingFile* placed : placed_where_nothing_was)
                host::remove_file(placed->final_path.c_str());
            appeared(*file);
        }
        if (!moved)
            fail("cannot put " + shown_name(file->logical) + " in place: " + system_error());
        forget_temporary(file->slot);
        if (!file->replace) placed_where_nothing_was.push_back(file);
    }
    std::string folder;
    if (!host::flush_folders(lock.locks(), folder))
        fail("cannot flush the folder " + folder + " to the device (" + system_error() +
             "): the files just put in place there may not survive a power cut");
    outputs_in_place.store(true);
    held.all_installed();
}

void remove_temporary_files() {
    host::hold_interruptions();
    remove_registered_temporaries();
    host::release_interruptions(false);
}

const char* remove_temporary_files_for_interrupt() {
    const bool installed = host::settle_installation_for_interrupt() || outputs_in_place.load();
    remove_registered_temporaries();
    return installed ? installed_line_end : "; temporary files removed";
}
