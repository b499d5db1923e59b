// The console: texts for the operator go to standard output and are flushed at once,
// so every question is visible before its answer is read; messages of our own go to
// standard error. Answers are read as whitespace-separated words, scanf-style, but a
// word must convert completely or the question is asked again.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// The white space of scanf: blank, tab, line feed, vertical tab, form feed and carriage
// return (so LF and CR LF line ends read alike); a NUL byte is not white space.
inline bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where answers come from: standard input unless a test or fuzzer points it elsewhere.
extern std::FILE* answer_in;

// printf-style text to standard output, flushed.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line "dem_varnel: <message>" on standard error, after flushing standard output.
void report(const std::string& message);

// The question's text, printed again in full whenever the answer is refused.
using Prompt = std::function<void()>;
// An answer check: an empty string accepts, anything else is the reason to refuse.
using IntCheck = std::function<std::string(int)>;
using RealCheck = std::function<std::string(double)>;
using WordCheck = std::function<std::string(const std::string&)>;

int answer_int(const Prompt& ask, const IntCheck& check = nullptr);      // "%d"
double answer_real(const Prompt& ask, const RealCheck& check = nullptr);  // "%lf"
std::string answer_word(const Prompt& ask, const WordCheck& check = nullptr);  // "%s"

// The whole word must be a decimal integer within int range (an optional sign).
bool parse_int(const std::string& word, int& value);
// The whole word must be a real number as strtod reads it.
bool parse_real(const std::string& word, double& value);

// Waits for one key press, read without echo and discarded on a terminal; elsewhere
// reads at most one character and never blocks on closed input.
void wait_for_key();

// Gives the terminal its settings back if wait_for_key() changed them; safe in a
// signal handler.
void restore_terminal();
