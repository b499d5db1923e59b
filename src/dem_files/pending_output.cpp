// Pending outputs over the host's temporary files.
#include "dem_files/pending_output.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "failure.h"

PendingOutput::PendingOutput(const std::string& logical, const char* mode, bool keep_extension)
    : stream_(create_pending(file_, logical, mode, keep_extension)) {
    start_ = keep_extension ? shared_start(file_) : file_.temp_path;
    if (keep_extension) {
        try {
            names_slot_ = register_temporary_names(start_);
            uncounted_slot_ = register_temporary_names(uncounted());
        } catch (...) {
            discard_temporary_names(names_slot_);
            discard_pending(file_, stream_);
            throw;
        }
    }
}

std::string PendingOutput::uncounted() const { return start_.substr(0, start_.rfind('-')); }

// The files a library made beside it go with it (none are left once it is in place).
PendingOutput::~PendingOutput() {
    if (!installed_) discard_pending(file_, stream_);
    discard_temporary_names(names_slot_);
    discard_temporary_names(uncounted_slot_);
}

std::uint64_t PendingOutput::room() const { return free_space(file_.temp_path); }

void PendingOutput::write_failed() const {
    fail("cannot write " + shown_name(file_.logical) + ": " + system_error());
}

void PendingOutput::close() { close_pending(file_, stream_); }

void PendingOutput::append(PendingOutput& from) { append_pending(stream_, file_, from.file_); }

const std::string& PendingOutput::hand_over_name() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
        std::remove(file_.temp_path.c_str());
    }
    return file_.temp_path;
}

std::vector<std::pair<std::string, std::string>> PendingOutput::made_beside() const {
    std::vector<std::pair<std::string, std::string>> made;
    for (const std::string& ending : names_starting(start_))
        if ((ending.empty() || ending[0] == '.') && start_ + ending != file_.temp_path)
            made.emplace_back(start_ + ending, ending);
    return made;
}

std::vector<std::string> PendingOutput::made_otherwise() const {
    std::vector<std::string> made;
    for (const std::string& ending : names_starting(start_))
        if (!ending.empty() && ending[0] != '.' &&
            !std::isdigit(static_cast<unsigned char>(ending[0])))
            made.push_back(start_ + ending);
    for (const std::string& ending : names_starting(uncounted()))
        if (!ending.empty() && ending[0] == '.') made.push_back(uncounted() + ending);
    return made;
}

void PendingOutput::install(std::initializer_list<PendingOutput*> files) {
    std::vector<PendingFile*> pending;
    for (PendingOutput* f : files) pending.push_back(&f->file_);
    install_pending(pending);
    for (PendingOutput* f : files) f->installed_ = true;
}
