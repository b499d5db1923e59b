// Pending outputs over the host's temporary files.
#include "dem_files/pending_output.h"

#include <vector>

#include "failure.h"

PendingOutput::PendingOutput(const std::string& logical, const char* mode)
    : stream_(create_pending(file_, logical, mode)) {}

PendingOutput::~PendingOutput() {
    if (!installed_) discard_pending(file_, stream_);
}

std::uint64_t PendingOutput::room() const { return free_space(file_.temp_path); }

void PendingOutput::write_failed() const {
    fail("cannot write " + shown_name(file_.logical) + ": " + system_error());
}

void PendingOutput::close() { close_pending(file_, stream_); }

void PendingOutput::append(PendingOutput& from) { append_pending(stream_, file_, from.file_); }

const std::string& PendingOutput::hand_over_name() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    return file_.temp_path;
}

void PendingOutput::install(std::initializer_list<PendingOutput*> files) {
    std::vector<PendingFile*> pending;
    for (PendingOutput* f : files) pending.push_back(&f->file_);
    install_pending(pending);
    for (PendingOutput* f : files) f->installed_ = true;
}
