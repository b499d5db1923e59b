// The command line for GIS users, the program's second door to the engine: one run from
// a source raster to a destination raster, with GDAL's conventions (options, a progress
// line, usage errors with status 2) and a summary on standard error.
#pragma once

#include <string>

// The run from the arguments after the program's name: its exit status (0 completed, 1
// failed with its message, 2 a usage error).
int run_command_line(int count, const char* const* arguments);

// Which format layer this build has: "with GDAL 3.6.2", or "without GDAL".
std::string format_layer();
