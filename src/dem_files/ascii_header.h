// The header of an ASCII grid: ncols, nrows, xllcorner, yllcorner, cellsize and
// nodata_value, each a label and its value.
#pragma once

#include <string>

#include "dem_files/text_tokens.h"

struct AsciiHeader {
    int columns = 0, lines = 0;
    double x_min = 0.0, y_min = 0.0;  // the lower-left corner
    // Where the header gives the centre of the lower-left cell (xllcenter, yllcenter)
    // rather than its corner.
    bool x_centre = false, y_centre = false;
    double cell_size = 0.0;
    bool has_nodata = false;
    double nodata = 0.0;
};

// Reads the header from `tokens` into `header`, leaving the tokens at the first value;
// fails naming `name`, the pair and what stands there when it is malformed. Returns
// whether it gives a no-data value.
bool read_ascii_header(TokenReader& tokens, const std::string& name, AsciiHeader& header);
