// The program's own formats as rasters of the command line: an ASCII grid (".asc"), or
// a raw raster ("_m2.raw" 16-bit, "_m4.raw" 32-bit) with its descriptor ("_m2.txt",
// "_m4.txt"); read by the program's own readers, so that the command line sees the very
// values the dialogue does, and written by its own writers, with the output's exact
// placement in an ASCII grid's header and the coordinate system in a .prj beside.
#pragma once

#include <string>

#include "dem_files/raster_files.h"

// True when `path` ends as one of the program's own input formats.
bool own_source_format(const std::string& path);

// Opens a source of the program's own formats; `unit` is the unit of a raw raster's
// stored values (1, 10, 100, 1000 per metre).
SourceRaster open_own_source(const std::string& path, double unit);

// The cell type a raw destination takes for a source of `source_type`, or the type
// asked for; empty when that type is not one the raw format has (UInt16 or Int32).
std::string own_raw_type(const std::string& asked, const std::string& source_type);

// A destination of the program's own formats: `wanted.format` is own_raw_format or
// own_ascii_format.
DestinationRaster create_own_destination(const DestinationOptions& wanted,
                                         const RasterFacts& facts);
