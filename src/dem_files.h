// DEM files: the file-name rules, the readers of a raw raster (dem_lecture) and an
// ASCII grid (ascii_lecture), the descriptor, and the writers of the result (save,
// ascii_saving). The readers make the sweep's line source, the writers its line sink.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "padded_lines.h"

// --- Names: "c:\images\" + folder + "\" + base + suffix --------------------------

// Suffixes by format (0 ASCII grid, 1 raw raster) and cell width (0 16-bit, else 32).
std::string input_data_suffix(int file_format, int cell_width);
std::string input_descriptor_suffix(int cell_width);
std::string output_data_suffix(int file_format, int cell_width);
std::string output_descriptor_suffix(int cell_width);

// The longest name a complete path may have, and the longest suffixes that can
// follow an input base and an output base.
constexpr std::size_t max_name = 127;
constexpr std::size_t longest_input_suffix = 7;    // "_m2.raw"
constexpr std::size_t longest_output_suffix = 14;  // "_varnel_m2.raw"

// --- Input -------------------------------------------------------------------------

// Opens an input data file for reading: a missing file is reported to the operator
// ("File ... unknown"), waits for a key and ends the run; any other impossibility is
// an error. A raw raster must not be empty.
std::FILE* open_input(const std::string& logical, bool raster);

// Reason to refuse an input geometry (fewer than one line or column, or too large to
// hold), or empty when it is acceptable.
std::string geometry_problem(long long lines, long long columns);

// Reads an existing descriptor: up to six integers into nb_lig, nb_col, val, mind,
// maxd and pix_size; those missing stay 0. Returns false when the file does not
// exist; fails when it cannot be read or holds an impossible geometry.
bool read_descriptor(const std::string& logical, int& val);

// Creates a missing input descriptor under a temporary name as f1d; dem_lecture
// completes it and puts it in place.
void create_input_descriptor(const std::string& logical);

void dem_lecture();
void ascii_lecture();

// --- The input's lines ----------------------------------------------------------------

// The padded input of the file read, for the sweep: its lines read from the file again
// as the sweep asks for them, with the range the reading pass found.
LineSource input_lines();

// Input cell (i, j) in metres as the sweep reads it.
double input_elevation(int i, int j);

// --- Output ------------------------------------------------------------------------

// Creates the output file, and for a raw raster its descriptor, under temporary
// names as f2 and f2d; save() puts them in place once they are complete.
void create_output_files(const std::string& data_logical, const std::string& descriptor_logical);

// The writer of the chosen output as a line sink: each finished line of the padded
// output is framed, converted and written as the sweep hands it over.
LineSink output_lines();

// Completes the output (the descriptor; the ASCII grid's header, asking for the
// corner of a raw input) and puts its files in place.
void save();
void ascii_saving();

// Bytes free where the output files are being written.
std::uint64_t output_room();

// What an output of `lines` x `columns` writes at the least: the raw raster and its
// descriptor, or an ASCII grid at 9 bytes a value ("0.000000" and a tab), twice when
// its values wait in a file of their own for the corner.
std::uint64_t output_file_bytes(int lines, int columns);

// Bytes the reader and the writer hold during the sweep beside the sweep's own lines.
std::uint64_t file_lines_memory(int out_columns);
