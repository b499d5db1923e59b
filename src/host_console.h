// The host's side of the console and of interruptions: the key read without echo, and
// the signals that end a run (Ctrl-C, Ctrl-\, termination, a lost terminal, a closed
// pipe), after which the run's temporary files are removed.
#pragma once

#include <cstdio>

// Waits for one key press on `input`, read without echo and discarded at a terminal
// (on Windows a console, read with _getch); elsewhere reads at most one character and
// never blocks on closed input.
void wait_for_key(std::FILE* input);

// From now on an interrupting signal gives the terminal its settings back, removes the
// run's temporary files, says so on standard error and ends the process with status 1.
// One that comes while outputs are being put in place waits until they all are, and
// the line names them as complete instead.
void remove_temporary_files_on_interrupt();
