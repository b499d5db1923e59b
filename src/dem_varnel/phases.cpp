// The reading, treatment and saving phases of the dialogue: the run state's answers
// handed to the reader, the engine and the writer, their results recorded back in the
// run state, and the questions and reports that belong between them.
#include "dem_varnel/phases.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "answers.h"
#include "host_files.h"
#include "run_state.h"

namespace {

const double unit_factor[4] = {1.0, 10.0, 100.0, 1000.0};

void ask_unit() {
    dyn_scale = answer_int(
        [] {
            say("\n\n\tAre these values\n\t\t0 ====> in meters");
            say("\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters");
            say("\n\t\t3 ====> in millimeters\n\t\t");
        },
        [](int v) { return v >= 0 && v <= 3 ? std::string() : not_a_choice(v, 3); });
    coef = unit_factor[dyn_scale];
}

std::string finite_only(double v) {
    return std::isfinite(v) ? "" : "a coordinate must be a finite number";
}

// What the dialogue says as the engine goes: the output's size, the mode, and a
// progress line every 100 lines that overwrites the last.
void announce(const OutputGeometry& g) {
    say("\n\n\tThe resulting image will have : ");
    say("\n\t\t%d lines and %d columns ", g.lines, g.columns);
    say(g.enlargement ? "\n\n\tEnlargement\n" : "\n\n\tReduction\n");
    say("\n\n\tTreatment \n\n");
}

// Negative elevations are magnitudes to the engine the dialogue runs, which is worth a word
// before it starts (the void-aware engine takes them as they are).
void warn_of_negatives(const OutputGeometry& g) {
    if (g.lowest < 0.0)
        report(
            "the input holds negative elevations: this program is made for positive "
            "elevations, where 0 means no data, so results near negative cells come out "
            "as magnitudes");
}

}  // namespace

void dem_lecture(RunFiles& files) {
    open_ascii_OK = false;
    const RawScan scan = files.raw->scan();
    // The report's scan starts from 1000000 and 0 with strict comparisons.
    const int min = std::min(1000000, scan.lowest), max = std::max(0, scan.highest);
    say("\n\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);
    ask_unit();  // the cells are divided by it as the sweep reads them

    if (!descr_OK) {
        PendingOutput& descriptor = *files.new_descriptor;
        if (std::fprintf(descriptor.stream(), "%d\n%d\n%d\n", min, max,
                         static_cast<int>(dpix_size)) < 0)
            descriptor.write_failed();
        descriptor.close();
        PendingOutput::install({&descriptor});
        files.new_descriptor.reset();
    }
}

void ascii_lecture(RunFiles& files) {
    say("\n");
    open_ascii_OK = true;
    coef = 1.0;
    const AsciiHeader& header = files.ascii->read_header();
    nb_col = header.columns;
    nb_lig = header.lines;
    X_min = header.x_min;
    Y_min = header.y_min;
    dpix_size = header.cell_size;
    nodata = header.nodata;
    files.ascii->scan([](int i) { say("\tline %d                   \r", i); });
    // No-data cells of 0 are empty to the engine as it is; any other no-data value among
    // the cells would be taken as an elevation and spread into its neighbours: the grid
    // goes to the void-aware engine instead.
    files.voids = files.ascii->nodata_cells() > 0 && nodata != 0.0;
    if (files.voids)
        report(std::to_string(files.ascii->nodata_cells()) + " cells hold the no-data value " +
               number_text(nodata) +
               ": they are voids, filled from the cells around them by the void-aware engine, "
               "which also takes 0 m and negative elevations as elevations");
    pix_size = static_cast<int>(dpix_size);  // truncation toward zero
}

RegridRequest treatment_request() {
    RegridRequest request;
    request.lines = nb_lig;
    request.columns = nb_col;
    request.ratio = ratio;
    request.pixel_size = dpix_size;
    return request;
}

LineSource input_lines(const RunFiles& files) {
    return files.raw ? files.raw->source(coef) : files.ascii->source(files.voids);
}

void treatment(RunFiles& files) {
    RegridRequest request = treatment_request();
    const bool voids = files.voids;
    request.planned = [voids](const OutputGeometry& g) {
        if (!voids) warn_of_negatives(g);
        announce(g);
    };
    if (voids) request.voids = RegridRequest::Voids::fill;
    request.progress = [](int k) { say("\tline %d                \r", k); };
    const LineSource in = input_lines(files);
    LineSink out;
    if (files.raster) {
        out = files.raster->sink();
    } else if (open_ascii_OK) {
        // The corner is the input's: the header goes first.
        out = files.grid->sink([](const OutputGeometry& g) {
            return ascii_header_text(g.columns, g.lines, X_min, Y_min, pix_size_out);
        });
    } else {
        out = files.grid->sink();
    }
    files.result = regrid(in, out, request);
    const OutputGeometry& g = files.result;
    dmin_alt = g.lowest;
    dmax_alt = g.highest;
    nb_lig4 = g.lines;
    nb_col4 = g.columns;
    nb_lig2 = static_cast<int>(padded(nb_lig));
    nb_col2 = static_cast<int>(padded(nb_col));
    nb_lig3 = static_cast<int>(padded(nb_lig4));
    nb_col3 = static_cast<int>(padded(nb_col4));
}

namespace {

// The input's coordinate system as a file beside the output, written and closed, to be
// put in place with it; null when the input has none.
std::unique_ptr<PendingOutput> crs_beside_output(const RunFiles& files) {
    if (!files.crs) return nullptr;
    auto crs = std::make_unique<PendingOutput>(files.crs_name, "wb");
    if (std::fwrite(files.crs->data(), 1, files.crs->size(), crs->stream()) != files.crs->size())
        crs->write_failed();
    crs->close();
    return crs;
}

// What a completed run wrote, on one line of standard error after the dialogue's last
// text: its files, size, cells and time.
void summary(const RunFiles& files) {
    if (files.written.empty()) return;  // outputs made by a caller of its own
    std::string names = shown_name(files.written[0]);
    std::vector<std::string> rest(files.written.begin() + 1, files.written.end());
    if (files.crs) rest.push_back(files.crs_name);
    for (std::size_t k = 0; k < rest.size(); ++k)
        names += (k + 1 == rest.size() ? " and " : ", ") + rest[k];
    const std::string size =
        std::to_string(nb_lig4) + " lines x " + std::to_string(nb_col4) + " columns";
    const std::string cells = files.grid
                                  ? "an ASCII grid of " + size
                                  : size + (itype2 == 0 ? " of 16-bit" : " of 32-bit") + " cells";
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - files.started;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", spent.count());
    report("wrote " + names + ": " + cells + ", in " + seconds);
}

}  // namespace

void ascii_saving(RunFiles& files) {
    files.input.check();
    std::string header;  // the header went first for an ASCII input
    if (!open_ascii_OK) {
        say("\n\n\tUTM Coordinates : ");
        X_min = answer_real([] { say("\n\t\tX_min ? "); }, finite_only);
        Y_min = answer_real([] { say("\t\tY_min ? "); }, finite_only);
        header = ascii_header_text(nb_col4, nb_lig4, X_min, Y_min, pix_size_out);
    }
    const std::unique_ptr<PendingOutput> crs = crs_beside_output(files);
    files.grid->finish(files.result, header, crs.get());
}

void save(RunFiles& files) {
    if (files.grid) {
        ascii_saving(files);
    } else if (files.raster) {
        files.input.check();
        const std::unique_ptr<PendingOutput> crs = crs_beside_output(files);
        files.raster->finish(files.result, pix_size_out, crs.get());
    }
    summary(files);
}

std::uint64_t file_lines_memory(const RunFiles& files, int columns) {
    const std::uint64_t in = files.ascii ? 1 << 20 : 4 * static_cast<std::uint64_t>(nb_col);
    const std::uint64_t out = files.grid ? AsciiWriter::memory() : RasterWriter::memory(columns);
    return in + out;
}

std::uint64_t output_file_bytes(const RunFiles& files, int lines, int columns) {
    return files.grid ? AsciiWriter::file_bytes(lines, columns, !open_ascii_OK)
                      : RasterWriter::file_bytes(lines, columns, itype2 == 0 ? 2 : 4);
}

std::uint64_t output_room(const RunFiles& files) {
    return files.grid ? files.grid->room() : files.raster ? files.raster->room() : UINT64_MAX;
}
