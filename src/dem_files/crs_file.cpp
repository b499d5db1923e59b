// Reading the .prj beside a grid.
#include "dem_files/crs_file.h"

#include <cerrno>
#include <cstdio>

#include "answers.h"
#include "host_files.h"

std::string crs_name_of(const std::string& data_logical) {
    const std::size_t dot = data_logical.rfind('.');
    const std::size_t separator = data_logical.find_last_of("\\/");
    const bool has_extension =
        dot != std::string::npos && (separator == std::string::npos || dot > separator);
    return (has_extension ? data_logical.substr(0, dot) : data_logical) + ".prj";
}

std::optional<std::string> read_crs_beside(const std::string& data_logical) {
    const std::string name = crs_name_of(data_logical);
    if (special_file(host_path(name))) {
        report("the coordinate system " + shown_name(name) +
               " is not a regular file; the output gets none");
        return std::nullopt;
    }
    std::FILE* file = std::fopen(host_path(name).c_str(), "rb");
    if (file == nullptr) {
        if (errno != ENOENT)
            report("the coordinate system " + shown_name(name) + " cannot be read (" +
                   system_error() + "); the output gets none");
        return std::nullopt;
    }
    constexpr std::size_t most = 1 << 20;
    std::string text(most + 1, '\0');
    const std::size_t got = std::fread(text.data(), 1, text.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || got > most) {
        report("the coordinate system " + shown_name(name) +
               (failed ? " cannot be read" : " is larger than 1 MiB") + "; the output gets none");
        return std::nullopt;
    }
    text.resize(got);
    return text;
}
