// A file the run creates: written under a temporary name beside its final name, and
// put in place with the other files of its output only once all are complete. An
// object that goes away before that removes its temporary file, so a failed run, or a
// failed run followed by another in the same process, leaves nothing behind.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "host_files.h"

class PendingOutput {
public:
    // Creates the temporary file of `logical` with `mode` ("wb" bytes, "w" text); with
    // `keep_extension` its name ends with the final name's extension (create_pending).
    PendingOutput(const std::string& logical, const char* mode, bool keep_extension = false);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    std::FILE* stream() const { return stream_; }
    const std::string& logical() const { return file_.logical; }
    // Where it is being written, on this host.
    const std::string& temporary_path() const { return file_.temp_path; }
    // Bytes free where it is being written.
    std::uint64_t room() const;

    // Fails naming the file, with the system's reason.
    [[noreturn]] void write_failed() const;

    // Flushes it to the device and closes it; fails naming it on error.
    void close();

    // Appends the whole of the closed `from` to this file and removes it.
    void append(PendingOutput& from);

    // Puts closed files in place, in order (see install_pending).
    static void install(std::initializer_list<PendingOutput*> files);

    // For a file another library writes by its name: the stream is closed and the empty
    // file removed (a library may refuse to create over a file), the name staying
    // registered, and the host path of the temporary file given.
    const std::string& hand_over_name();
    // The files a library made beside the handed-over one, named as it up to its kept
    // extension ("x.tif.part-<process>-<n>.aux.xml"), or as that alone (a data file beside
    // its header): each as its temporary host path and what follows that common start,
    // with the dot (".aux.xml"; nothing for the name alone).
    std::vector<std::pair<std::string, std::string>> made_beside() const;
    // The files a library made that do not go with the handed-over one: named as it up
    // to its kept extension and followed by something else than a dot or a digit
    // (another temporary name's), or as it without its count ("x.part-<process>.idx", a
    // name whose end was cut off). Host paths.
    std::vector<std::string> made_otherwise() const;
    // A file that appears under the final name while the run is working is not replaced:
    // the installation fails.
    void replace_nothing() { file_.replace = false; }
    // The pending file itself, for an installation with files made by another library.
    PendingFile& pending() { return file_; }

private:
    // The temporary name without its kept extension or its count: "x.part-<process>".
    std::string uncounted() const;

    PendingFile file_;
    std::string start_;        // the temporary name without its kept extension
    int names_slot_ = -1;      // where a kept extension registers the names beside it
    int uncounted_slot_ = -1;  // and those after the name cut short
    std::FILE* stream_ = nullptr;
    bool installed_ = false;
};
