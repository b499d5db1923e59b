// Rasters as the command line sees them, whatever their format: a source with its
// facts (size, placement, no-data value, coordinate system), its reading pass and its
// line source; and a destination with its line sink and its completion. The program's
// own formats and GDAL's make them alike.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "padded_lines.h"

// The program's own formats, by their names where a GDAL driver's name would stand.
constexpr const char* own_raw_format = "VarnelRaw";
constexpr const char* own_ascii_format = "VarnelASCII";

struct RasterFacts {
    int lines = 0, columns = 0;
    double x0 = 0.0, y0 = 0.0;  // the upper-left corner, in ground units
    double pixel = 0.0;         // the cell size; 0 where the file gives none
    bool georeferenced = false;
    bool control_points = false;       // placed by ground control points, which are not read
    std::optional<double> nodata;      // the value that marks a void
    std::string crs;                   // the coordinate system as WKT, or empty
    std::string unit = "m";            // the ground unit's name, for messages
    std::string type;                  // the cell type: Byte, Int16, UInt16, Int32, Float32...
    double scale = 1.0, offset = 0.0;  // what the stored values are multiplied by, then added
    std::vector<std::string> files;    // the files it is read from, where a library tells them
};

// What the reading pass found: the range of the valid cells (the first lowest and
// highest in line order, as a scan with strict comparisons keeps them) and the voids.
struct RasterScan {
    double lowest = 0.0, highest = 0.0;
    std::uint64_t voids = 0;        // cells that hold the no-data value or are not finite
    std::uint64_t not_numbers = 0;  // of those, the ones not finite (or masked)
};

struct SourceRaster {
    RasterFacts facts;
    // The reading pass over every cell, told its progress from 0 to 1, on at most
    // `threads` threads where a library's cache is held for each (the program's own
    // readers, which hold none, share their pass among every core).
    std::function<RasterScan(int threads, const std::function<void(double)>& progress)> scan;
    // The padded input for the sweep, after the pass: in metres (or the ground's vertical
    // unit), with NaN for each void when `voids_as_nan` (for the void-aware engine, whose
    // margins the source may then fill itself: LineSource::edge_margins), as they are
    // otherwise.
    std::function<LineSource(bool voids_as_nan)> lines;
    std::uint64_t cache_bytes = 0;  // the blocks a library's cache must hold to read lines
    std::shared_ptr<void> keep;     // what the functions work on
};

// How the destination is to be written.
struct DestinationOptions {
    std::string path;
    std::string format;  // a GDAL driver's name, or one of the program's own
    std::string type;    // the cell type; empty for the source's
    std::vector<std::pair<std::string, std::string>> creation;
    std::optional<double> nodata;  // the value written for no data, where the output has any
    double unit = 1.0;             // stored units per metre (the program's raw format)
    double pixel_size_out = 0.0;   // as the program's descriptor records it
    bool overwrite = false;        // whether existing files of the output may be replaced
};

struct DestinationRaster {
    LineSink sink;
    // Completes the files and puts them in place.
    std::function<void(const OutputGeometry&)> finish;
    std::vector<std::string> files;  // what it writes, for the summary
    // What the written cells could not keep as they were, told once the output is done.
    std::function<std::vector<std::string>()> notes;
    std::string type;               // the cell type written
    std::uint64_t cache_bytes = 0;  // the blocks a library's cache must hold to write lines
    std::shared_ptr<void> keep;
};

// The geotransform of the engine's output for a source placed by `facts`: the upper-left
// corner, then the cell's width and its height going down.
struct Placement {
    double x, sx, y, sy;
};
inline Placement placement_of(const RasterFacts& facts, const OutputGeometry& g) {
    return {facts.x0 + g.corner_x, g.sx, facts.y0 + g.corner_y, g.sy};
}
