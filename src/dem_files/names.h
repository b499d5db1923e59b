// File names: "c:\images\" + folder + "\" + base + suffix, the suffix given by the
// format (0 ASCII grid, 1 raw raster) and the cell width (0 16-bit, else 32-bit).
#pragma once

#include <cstddef>
#include <string>

std::string input_data_suffix(int file_format, int cell_width);
std::string input_descriptor_suffix(int cell_width);
std::string output_data_suffix(int file_format, int cell_width);
std::string output_descriptor_suffix(int cell_width);

// True when `text` ends in `end` (written in lower case), the case of its letters aside:
// how a file's ending tells its format.
bool ends_with_ignoring_case(const std::string& text, const std::string& end);

// The longest name a complete path may have, and the longest suffixes that can
// follow an input base and an output base.
constexpr std::size_t max_name = 127;
constexpr std::size_t longest_input_suffix = 7;    // "_m2.raw"
constexpr std::size_t longest_output_suffix = 14;  // "_varnel_m2.raw"
