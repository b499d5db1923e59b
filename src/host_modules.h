// Modules loaded while the program runs: a shared library beside the program's own
// executable, and a function of it by its name.
#pragma once

#include <string>

// The module `name` from the program's own folder, or null with `why` telling why.
void* load_module_beside_program(const std::string& name, std::string& why);

// A function of a loaded module, or null.
void* module_function(void* module, const char* name);
