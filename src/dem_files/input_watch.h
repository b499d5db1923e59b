// The input file as the run found it when it opened it, so that at the end, before any
// output is put in place, the run can tell that the file it read twice (a reading pass,
// then the sweep) is the one it opened, unchanged: the same file under the same name,
// with the same size and time of last writing.
#pragma once

#include <cstdio>
#include <string>

#include "host_files.h"

class InputWatch {
public:
    InputWatch() = default;
    // `stream` open on the file `logical` names.
    InputWatch(const std::string& logical, std::FILE* stream);
    // The file `logical` names, as it is now (another library opens it).
    explicit InputWatch(const std::string& logical);

    // Fails when the name now leads to another file, or the file has been written since.
    void check() const;

private:
    std::string logical_;
    FileStamp opened_;
    bool known_ = false;
};

// Fails when `logical` names a FIFO, a device or a socket: an input is read twice, and
// opening one of them may wait for ever.
void refuse_special_input(const std::string& logical);
