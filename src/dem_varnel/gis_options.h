// The options of the command line for GIS users, in the style of GDAL's utilities:
// dem_varnel [options] SOURCE DESTINATION. Parsing is separate from running, so that
// every refusal is a usage error (status 2) told before anything is opened.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Exit status of a refused command line; 0 and 1 are those of a run.
constexpr int bad_argument_status = 2;

struct GisOptions {
    std::string source, destination;
    std::optional<double> pixel_size;         // the output pixel size, in ground units
    std::optional<double> ratio;              // or the ratio of the pixel sizes
    std::optional<double> source_pixel_size;  // where the source's file gives none
    double unit = 1.0;                        // of a raw source's stored values: 1, 10, 100, 1000
    std::string format;                       // -of; by the destination's ending when empty
    std::string type;                         // -ot; empty for the source's
    std::vector<std::pair<std::string, std::string>> creation;  // -co NAME=VALUE
    bool frame_nodata = false;                                  // --frame nodata
    bool overwrite = false;
    int threads = 0;  // 0: every core the process may run on
    bool quiet = false;
    enum class Voids { fill, keep } voids = Voids::fill;
    bool classic = false;  // --engine classic
};

// Reads the arguments after the program's name into `options`; returns the problem
// with them, one line for the user, or empty when they are sound.
std::string parse_gis_options(int count, const char* const* arguments, GisOptions& options);

// The options' part of --help.
extern const char* const gis_usage;
