// The console texts of a session, for whole-transcript comparisons.
#include "transcript.h"

namespace text {

std::string banner() {
    const std::string stars(62, '*');
    const std::string blank = "\n\t*" + std::string(60, ' ') + "*";
    auto line = [](const std::string& t) {
        return "\n\t*" + t + std::string(60 - t.size(), ' ') + "*";
    };
    return "\n\n\t" + stars + blank + line("                     DEM VARNEL") + blank + blank +
           blank + blank + line("    Changes the pixel size of a digital elevation model") +
           line("    by area-weighted averaging, gap filling and smoothing") + blank +
           line("    Raw 16/32-bit rasters with descriptor, or ASCII grids") + blank + blank +
           "\n\t" + stars;
}

std::string range(int min, int max) {
    return "\n\n\tHypsometric dynamic scale:\n\t\tMin = " + std::to_string(min) +
           "\n\t\tMax = " + std::to_string(max) + " ";
}

std::string no_descriptor(const std::string& logical) { return "\n No File " + logical + " \n\n"; }

std::string size(int lines, int columns) {
    return "\n\tTHE ORIGINAL DEM HAS : \n\t            " + std::to_string(lines) +
           " LINES\n\t        AND " + std::to_string(columns) + " COLUMNS";
}

std::string output_name(const std::string& generic) {
    return "\n\n\t0 -----> Use of the generic name " + generic +
           " ? \n\t1 -----> Creation of a new File ? \n\t";
}

std::string ratio(const std::string& shown) { return "\n\tresulting ratio = " + shown + " "; }

std::string announcement(int lines, int columns) {
    return "\n\n\tThe resulting image will have : \n\t\t" + std::to_string(lines) + " lines and " +
           std::to_string(columns) + " columns ";
}

std::string unknown(const std::string& logical) { return "\n File " + logical + " unknown\n"; }

std::string kernel_progress(int padded_lines) {
    std::string out;
    for (int i = 100; i < padded_lines; i += 100)
        out += "\tline " + std::to_string(i) + "                \r";
    return out;
}

std::string without_summary(const std::string& err) {
    const std::string summary = "dem_varnel: wrote ";
    const std::size_t at = err.rfind(summary);
    if (at == std::string::npos || (at > 0 && err[at - 1] != '\n')) return err;
    const std::size_t end = err.find('\n', at);
    return err.substr(0, at) + (end == std::string::npos ? "" : err.substr(end + 1));
}

std::string ascii_progress(int lines) {
    std::string out;
    for (int i = 100; i < lines; i += 100)
        out += "\tline " + std::to_string(i) + "                   \r";
    return out;
}

}  // namespace text
