// The run state: the dialogue's answers and what it records of the run, module-level
// variables under the names the program has always used. All are zero or false at
// program start; reset_run_state() brings them back there (tests run several dialogues
// in one process). Nothing of the engine, the readers or the writers lives here: the
// streams and temporary files are the run's reader and writer objects' (RunFiles), and
// the engine takes its sizes and ratio as arguments and returns what it found.
#pragma once

extern int format;   // input format: 0 ASCII grid, 1 raw raster
extern int format2;  // output format
extern int itype;    // input cell width: 0 16-bit, 1 32-bit
extern int itype2;   // output cell width

extern int nb_lig, nb_col;  // input lines, columns
extern int pix_size;        // input pixel size, whole metres
extern double dpix_size;    // input pixel size
extern int mind, maxd;      // range of an existing input descriptor; not used further
extern bool descr_OK;       // the input descriptor existed

extern int dyn_scale;  // unit answer 0-3
extern double coef;    // its factor: 1, 10, 100, 1000

extern bool open_ascii_OK;   // the input was an ASCII grid
extern double X_min, Y_min;  // lower-left corner
extern double nodata;        // no-data value of an ASCII header; never applied

extern double ratio;         // input pixel size / output pixel size
extern double pix_size_out;  // output pixel size

extern double dmin_alt, dmax_alt;  // input elevation range

extern int nb_lig4, nb_col4;  // output lines, columns
extern int nb_lig2, nb_col2;  // padded input size
extern int nb_lig3, nb_col3;  // padded output size

// Zeroes every variable.
void reset_run_state();
