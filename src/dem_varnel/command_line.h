// The command line: the program runs its dialogue when called without arguments;
// --help (or -h) and --version print their text and exit, and anything else is refused
// before the dialogue starts.
#pragma once

// Exit status of a refused command line; 0 and 1 are those of a run.
constexpr int bad_argument_status = 2;

// The arguments after the program's name. True when there are none and the dialogue
// is to run; otherwise `status` is set to the exit status, the help or version
// printed or the refusal reported.
bool dialogue_wanted(int argc, const char* const* argv, int& status);
