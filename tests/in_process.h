// The GoogleTest fixture for phases run in this process (readers, engine, writers): a
// temporary root named by DEM_VARNEL_ROOT, answers fed from memory, the console
// captured and the failure caught by the program's own guard (support/in_process_run.h,
// which the fuzz targets share).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "answers.h"
#include "dem_varnel/run_state.h"
#include "failure.h"
#include "host_files.h"
#include "in_process_run.h"
#include "session.h"

class InProcess : public ::testing::Test {
protected:
    void SetUp() override {
        support::start_run();
        support::use_root(root.path());
    }
    void TearDown() override { support::end_run(); }

    // The answers the phase under test reads.
    void answers(const std::string& words) { support::answer_from(words); }

    // Runs `phase` with standard output and standard error captured; the message of a
    // failure, if any, goes to `failure`.
    void run(const std::function<void()>& phase) {
        support::PhaseRun result = support::run_captured(phase);
        out = std::move(result.console.out);
        err = std::move(result.console.err);
        failed = result.failure.has_value();
        failure = result.failure.value_or("");
    }

    std::FILE* open(const std::string& relative, const char* mode = "rb") {
        return std::fopen(root.file(relative).c_str(), mode);
    }

    TempRoot root;
    std::string out, err, failure;
    bool failed = false;
};
