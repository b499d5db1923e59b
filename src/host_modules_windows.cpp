// Modules on Windows: the Windows build has no module to load (it is built without
// GDAL).
#include "host_modules.h"

void* load_module_beside_program(const std::string& name, std::string& why) {
    why = name + ": this build loads no modules";
    return nullptr;
}

void* module_function(void*, const char*) { return nullptr; }
