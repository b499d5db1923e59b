// The command line: the program runs its dialogue when called without arguments;
// --help (or -h) and --version alone print their text and exit; any other arguments are
// the options of the command line for GIS users.
#pragma once

enum class Door { dialogue, printed, options };

// The door the arguments choose. Door::printed has printed the help or the version
// and set `status`.
Door choose_door(int argc, const char* const* argv, int& status);
