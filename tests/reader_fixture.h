// Test support for the phases run in this process: a temporary root named by
// DEM_VARNEL_ROOT, answers fed from memory, and console output captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "answers.h"
#include "failure.h"
#include "host_files.h"
#include "run_state.h"
#include "session.h"

class InProcess : public ::testing::Test {
protected:
    void SetUp() override {
        reset_run_state();
        setenv("DEM_VARNEL_ROOT", root.path().c_str(), 1);
    }
    void TearDown() override {
        remove_temporary_files();
        reset_run_state();
        if (answers_ != nullptr) std::fclose(answers_);
        answer_in = stdin;
    }

    // The answers the phase under test reads.
    void answers(const std::string& words) {
        if (answers_ != nullptr) std::fclose(answers_);
        answer_text_ = words;
        answers_ = fmemopen(&answer_text_[0], answer_text_.size(), "r");
        answer_in = answers_;
    }

    // Runs `phase` with standard output and standard error captured; the message of a
    // failure, if any, goes to `failure`.
    template <typename Phase>
    void run(Phase phase) {
        out.clear();
        err.clear();
        failure.clear();
        failed = false;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        try {
            phase();
        } catch (const RunFailure& f) {
            failed = true;
            failure = f.message;
        }
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    std::FILE* open(const std::string& relative, const char* mode = "rb") {
        return std::fopen(root.file(relative).c_str(), mode);
    }

    TempRoot root;
    std::string out, err, failure;
    bool failed = false;

private:
    std::string answer_text_ = std::string(1, ' ');
    std::FILE* answers_ = nullptr;
};
