// The dialogue's phases after the opening questions, on the run state and the run's
// files: reading the input (dem_lecture, ascii_lecture), the treatment by the engine,
// and the saving of the output (save, ascii_saving).
#pragma once

#include <cstdint>

#include "dem_varnel/run_files.h"
#include "regrid/engine.h"

// The raw raster's pass: its range reported, the unit asked, a created descriptor
// completed and put in place.
void dem_lecture(RunFiles& files);

// The ASCII grid's header into the run state and the pass over its values.
void ascii_lecture(RunFiles& files);

// The input's lines for the sweep: the raw raster's cells divided by the unit, or the
// ASCII grid's values.
LineSource input_lines(const RunFiles& files);

// The engine from the input's lines to the output's, with the dialogue's reports; the
// sizes and the range it finds go to the run state.
void treatment(RunFiles& files);

// The output completed (the descriptor; the ASCII grid's header, asking for the corner
// of a raw input) and put in place.
void save(RunFiles& files);
void ascii_saving(RunFiles& files);

// What the pixel sizes are checked against: the bytes the run holds for an output of
// `columns` columns beside the engine's, what its files take at the least, and the
// room where they are written.
std::uint64_t file_lines_memory(const RunFiles& files, int columns);
std::uint64_t output_file_bytes(const RunFiles& files, int lines, int columns);
std::uint64_t output_room(const RunFiles& files);

// The engine's request from the run state's answers: the sizes, the ratio, the pixel size.
RegridRequest treatment_request();
