// Stamps of the input file taken at its opening and compared at the end.
#include "dem_files/input_watch.h"

#include "failure.h"

InputWatch::InputWatch(const std::string& logical, std::FILE* stream) : logical_(logical) {
    FileStamp by_name;
    known_ =
        stamp_of(stream, opened_) && stamp_of(host_path(logical), by_name) && by_name == opened_;
}

InputWatch::InputWatch(const std::string& logical) : logical_(logical) {
    known_ = stamp_of(host_path(logical), opened_);
}

void InputWatch::check() const {
    if (!known_) return;
    FileStamp now;
    const std::string changed = shown_name(logical_) + " changed while it was being read";
    if (!stamp_of(host_path(logical_), now))
        fail(changed + ": it is gone (" + system_error() + "); nothing is written");
    if (now.device != opened_.device || now.inode != opened_.inode)
        fail(changed + ": its name now leads to another file; nothing is written");
    if (now.size != opened_.size || now.modified_ns != opened_.modified_ns)
        fail(changed + ": it was written meanwhile; nothing is written");
}

void refuse_special_input(const std::string& logical) {
    if (special_file(host_path(logical)))
        fail("cannot read " + shown_name(logical) +
             ": it is not a regular file (a FIFO, a device or a socket), and an input is read "
             "twice");
}
