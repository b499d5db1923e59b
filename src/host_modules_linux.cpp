// Modules on Linux: dlopen from the folder of /proc/self/exe.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "host_modules.h"

void* load_module_beside_program(const std::string& name, std::string& why) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = ".";
    if (n > 0) {
        const std::string path(self, static_cast<std::size_t>(n));
        folder = path.substr(0, path.rfind('/'));
    }
    const std::string path = folder + "/" + name;
    void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = dlerror();
        why = error != nullptr ? error : "cannot load " + path;
    }
    return module;
}

void* module_function(void* module, const char* name) { return dlsym(module, name); }
