// The dialogue's first phases: opening and parameters.
#pragma once

#include <cstdio>
#include <string>

#include "dem_varnel/run_files.h"

// Banner, input folder, name and format, reading of the input, output name, format
// and files: the run's reader and writer go to `files`.
void opening(RunFiles& files);

// The input and output pixel sizes and their ratio, checked against the memory the
// run needs and the room for its files.
void parameters(const RunFiles& files);

// Opens an input data file for reading: a missing file is reported to the operator
// ("File ... unknown"), waits for a key and ends the run; any other impossibility is
// an error. A raw raster must not be empty.
std::FILE* open_input(const std::string& logical, bool raster);
