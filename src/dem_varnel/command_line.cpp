// The command line: no arguments runs the dialogue, as the program always has; --help
// (or -h, which users try first) and --version print to standard output and exit 0,
// or 1 when that output cannot be written; any other argument is refused with status 2.
#include "dem_varnel/command_line.h"

#include <cstdio>
#include <string>

#include "answers.h"
#include "dem_varnel/gis_options.h"
#include "dem_varnel/gis_run.h"
#include "host_files.h"

#ifndef DEM_VARNEL_VERSION
#error "DEM_VARNEL_VERSION is defined by CMakeLists.txt from the project's version"
#endif

namespace {

// What the dialogue asks, where its files are and how to script it, then the options
// of the command line; kept within 79 columns. The questions and names are those of
// dialogue.cpp and dem_files/names.cpp.
const char* const help_text =
    R"(Usage: dem_varnel               run the dialogue, answers from standard input
       dem_varnel [options] SOURCE DESTINATION
                                the command line for GIS users (below)
       dem_varnel --help, -h    print this text
       dem_varnel --version     print the version and the format layer

dem_varnel changes the pixel size of a digital elevation model (DEM): it
averages the input over cells of the new size, fills empty cells, smooths
twice and writes a raw raster with its descriptor, or an ASCII grid.

Cells that hold 0 are empty to the engine, and so are an ASCII grid's
no-data cells when their value is 0; they are filled from their neighbours.
An ASCII grid whose cells hold any other no-data value goes to the void-aware
engine instead (0 m and negative elevations are elevations there, and the
voids are filled; a warning says so). The output has a frame three cells
wide holding the lowest elevation of the input. Its cells
are not in general square nor of the output pixel size: the README's
"Opening the results in GIS" says where each lies. The corner of an ASCII
output made from a raw raster is asked after the computation.

Questions, in this order (an answer that is refused is asked again):
  folder                 the folder in c:\images\ of the input and output
  DEM name               without any extension
  format                 0 ASCII grid, 1 raw raster
  for a raw raster:
    cell width           0 16 bits, 1 32 bits
    lines, columns,      only when its descriptor is missing, which is then
      pixel size         created from them
    pixel size           in metres, when the descriptor gives 0
    unit                 of its elevations, shown with their range:
                         0 metres, 1 decimetres, 2 centimetres, 3 millimetres
  output name            0 the DEM name, 1 a new name (asked next)
  output format          0 ASCII grid, 1 raw raster
    cell width           for a raw raster: 0 16 bits, 1 32 bits
  pixel size in          positive real numbers, in the same unit; the output
  pixel size out         is enlarged or reduced by their ratio
  X_min, Y_min           the lower-left corner of an ASCII output made from a
                         raw raster, asked after the computation

)"
#ifdef _WIN32
    R"(Files are named c:\images\<folder>\<name><suffix>, c:\images\ standing for the
directory in DEM_VARNEL_ROOT when it is set and not empty.
)"
#else
    R"(Files are named c:\images\<folder>\<name><suffix>. Here c:\images\ is the
directory in DEM_VARNEL_ROOT when it is set and not empty, otherwise
$HOME/images, otherwise ./images; every other \ stands for /.
)"
#endif
    R"(  input    <name>.asc                      ASCII grid
           <name>_m2.raw, <name>_m2.txt    16-bit raster and its descriptor
           <name>_m4.raw, <name>_m4.txt    32-bit raster and its descriptor
  output   <out>_varnel followed by one of these suffixes, in the same
           folder, <out> being the DEM name or the new name; each file is
           written under a temporary name and put in place when complete

Scripting: answers are words separated by white space, one answer per word,
read from standard input, so a file of answers can be piped in:
    dem_varnel < answers.txt
The demo in examples/ (folder demo, DEM valley, raw raster, 16 bits, in
decimetres, output under the DEM name as a 16-bit raw raster, pixel sizes 25
and 10):
    DEM_VARNEL_ROOT=examples dem_varnel < examples/demo.answers
where examples/demo.answers holds: demo valley 1 0 1 0 1 0 25 10
A refused answer takes the next word as its new answer. A missing input file
ends the run after a key press (from a pipe, one character is read).

Standard output carries the dialogue; every other message goes to standard
error, one line each beginning "dem_varnel: ".
Exit status: 0 the run completed; 1 it failed, with the reason on standard
error and every existing file left as it was; 2 a bad command-line argument.

The command line reads every raster GDAL reads (where the build has GDAL;
--version tells), and the program's own ASCII grids and raw rasters by their
endings (.asc, _m2.raw, _m4.raw, the descriptor beside). The output's cells
are placed exactly: its geotransform is the engine's cell geometry, and the
source's coordinate system goes with it.

)";

int print(const std::string& text, const std::string& what) {
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        report("cannot write the " + what + " to standard output: " + system_error());
        return 1;
    }
    return 0;
}

// The argument as typed, control characters shown as '?' so that the message stays
// one line on the operator's terminal.
std::string shown(const char* argument) {
    std::string text = argument;
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return "'" + text + "'";
}

int refuse(const std::string& problem) {
    report(problem + "; see dem_varnel --help");
    return bad_argument_status;
}

}  // namespace

Door choose_door(int argc, const char* const* argv, int& status) {
    if (argc <= 1) return Door::dialogue;
    const std::string first = argv[1];
    const bool help = first == "--help" || first == "-h";
    if (!help && first != "--version") return Door::options;
    if (argc > 2)
        status = refuse("unexpected argument " + shown(argv[2]) + " after " + first);
    else if (help)
        status = print(std::string(help_text) + gis_usage, "help");
    else
        status = print("dem_varnel " DEM_VARNEL_VERSION " (" + format_layer() + ")\n", "version");
    return Door::printed;
}
