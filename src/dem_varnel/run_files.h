// The files of one dialogue run: the reader of its input and the writer of its output.
// These objects own every stream and temporary file of the run (the streams f1, f1d, f2
// and f2d of the program's first design are theirs), so a run that ends before its
// outputs are in place removes what it created when they go, and another run can
// follow in the same process.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dem_files/ascii_reader.h"
#include "dem_files/ascii_writer.h"
#include "dem_files/input_watch.h"
#include "dem_files/pending_output.h"
#include "dem_files/raster_writer.h"
#include "dem_files/raw_reader.h"
#include "padded_lines.h"

struct RunFiles {
    InputWatch input;                               // the input file as it was opened
    std::unique_ptr<RawReader> raw;                 // a raw raster input
    std::unique_ptr<AsciiReader> ascii;             // or an ASCII grid input
    std::unique_ptr<PendingOutput> new_descriptor;  // a missing input descriptor, being made
    std::unique_ptr<RasterWriter> raster;           // a raw raster output
    std::unique_ptr<AsciiWriter> grid;              // or an ASCII grid output
    bool voids = false;     // the input's no-data cells are voids, for the void-aware engine
    OutputGeometry result;  // what the treatment made

    // The input's coordinate system, the text of the .prj beside an ASCII grid, which
    // goes beside the output as `crs_name`.
    std::optional<std::string> crs;
    std::string crs_name;
    std::vector<std::string> written;  // the output's files, for the summary
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};
