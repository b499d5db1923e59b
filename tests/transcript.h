// The program's console texts, written out once more here so that every test
// compares a whole transcript, byte for byte.
#pragma once

#include <string>

namespace text {

std::string banner();
const std::string folder = "\n\n\tName of the File Folder located in the Directory c:\\images\\ : ";
const std::string name = "\n\n\tName of DEM File (without any extension) ? ";
const std::string format = "\n\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t";
const std::string width =
    "\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t";
const std::string unit =
    "\n\n\tAre these values\n\t\t0 ====> in meters"
    "\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters"
    "\n\t\t3 ====> in millimeters\n\t\t";
const std::string lines_question = "\n\tNumber of lines   ? ";
const std::string columns_question = "\n\tNumber of columns ? ";
const std::string pixel_question = "\n\tPixel size ? ";
const std::string extra_pixel_question = "\n\n\tPixel Size (in meters) ? ";
const std::string new_name = "\n\n\tName of the DEM out (without any extension) ? ";
const std::string parameters = "\n\tParameters : ";
const std::string pixel_in = "\n\t\tpixel size in  ? ";
const std::string pixel_out = "\t\tpixel size out ? ";
const std::string treatment = "\n\n\tTreatment \n\n";
const std::string enlargement = "\n\n\tEnlargement\n";
const std::string reduction = "\n\n\tReduction\n";
const std::string corner = "\n\n\tUTM Coordinates : \n\t\tX_min ? \t\tY_min ? ";

std::string range(int min, int max);
std::string no_descriptor(const std::string& logical);
std::string size(int lines, int columns);
std::string output_name(const std::string& generic);
std::string ratio(const std::string& shown);
std::string announcement(int lines, int columns);
std::string unknown(const std::string& logical);
// Progress lines of the kernel for a padded output of `padded_lines` lines.
std::string kernel_progress(int padded_lines);
// Progress lines of the ASCII reader for a grid of `lines` lines.
std::string ascii_progress(int lines);
// Standard error without the summary line a completed run ends with ("dem_varnel:
// wrote ..."), whose time varies.
std::string without_summary(const std::string& err);

}  // namespace text
