// A run of the command line: the source opened and read once (its range and voids), the
// output's size checked against memory, the destination created under temporary names,
// the engine from the source's lines to the destination's, and the files put in place.
#include "dem_varnel/gis_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "answers.h"
#include "dem_files/crs_file.h"
#include "dem_files/gdal_layer.h"
#include "dem_files/input_watch.h"
#include "dem_files/names.h"
#include "dem_files/own_rasters.h"
#include "dem_varnel/gis_options.h"
#include "dem_varnel/run_guard.h"
#include "dem_varnel/term_progress.h"
#include "failure.h"
#include "host_files.h"
#include "host_memory.h"
#include "host_modules.h"
#include "regrid/engine.h"

namespace {

#ifdef DEM_VARNEL_WITH_GDAL
// The GDAL layer, loaded when first asked for; fails when its module cannot be loaded.
const GdalLayer& gdal() {
    static const GdalLayer* layer = nullptr;
    static std::string why;
    if (layer == nullptr && why.empty()) {
        void* module = load_module_beside_program(gdal_module_name, why);
        const auto table = reinterpret_cast<const GdalLayer* (*)()>(
            module != nullptr ? module_function(module, gdal_layer_symbol) : nullptr);
        if (table != nullptr) layer = table();
        if (layer == nullptr && why.empty()) why = "it has no table of functions";
    }
    if (layer != nullptr) return *layer;
    fail("cannot load GDAL's layer " + std::string(gdal_module_name) + ": " + why);
}
#endif

bool own_format(const std::string& format) {
    return format == own_raw_format || format == own_ascii_format;
}

// The output format where -of is not given: the program's own by the destination's
// ending, otherwise GeoTIFF.
std::string format_for(const std::string& destination) {
    if (ends_with_ignoring_case(destination, ".asc")) return own_ascii_format;
    if (ends_with_ignoring_case(destination, ".raw")) return own_raw_format;
    return "GTiff";
}

// A usage problem the format layer sees in the options, or empty.
std::string usage_problem(GisOptions& o) {
    if (o.source.empty() || o.destination.empty())
        return "an empty name names no source or destination";
    if (o.unit != 1.0 &&
        !(own_source_format(o.source) && !ends_with_ignoring_case(o.source, ".asc")))
        return "--unit applies to a raw source (_m2.raw or _m4.raw) only";
    if (o.format.empty()) o.format = format_for(o.destination);
    if (o.format == own_raw_format) {
        if (!o.type.empty() && own_raw_type(o.type, "").empty())
            return "-ot " + o.type + " is not a cell type of " + own_raw_format +
                   ": UInt16 or Int32";
        // The name tells the cell's bytes to whoever reads the raster: _m2 two, _m4 four.
        const std::string named = ends_with_ignoring_case(o.destination, "_m2.raw")   ? "UInt16"
                                  : ends_with_ignoring_case(o.destination, "_m4.raw") ? "Int32"
                                                                                      : "";
        if (!named.empty() && !o.type.empty() && o.type != named)
            return "-ot " + o.type + " does not go with the name " + o.destination +
                   ", which says " + named + " cells";
        if (o.type.empty()) o.type = named;
        if (!ends_with_ignoring_case(o.destination, ".raw"))
            return std::string(own_raw_format) +
                   " writes a .raw file beside its .txt descriptor: " +
                   "the destination must end in .raw";
        return "";
    }
    if (o.format == own_ascii_format) {
        if (!o.type.empty() && o.type != "Float64")
            return std::string("-ot ") + o.type + " is not a cell type of " + own_ascii_format +
                   ", which writes every value with six decimals";
        return "";
    }
#ifdef DEM_VARNEL_WITH_GDAL
    return gdal().output_problem(o.format, o.type, o.destination);
#else
    return "-of " + o.format + " needs GDAL, which this build is without: " + own_raw_format +
           " or " + own_ascii_format + " only";
#endif
}

SourceRaster open_source(const GisOptions& o) {
    if (own_source_format(o.source)) return open_own_source(o.source, o.unit);
#ifdef DEM_VARNEL_WITH_GDAL
    return gdal().open_source(o.source);
#else
    fail("cannot read " + shown_name(o.source) +
         ": this build is without GDAL and reads ASCII grids (.asc) and raw rasters "
         "(_m2.raw, _m4.raw) only");
#endif
}

DestinationRaster create_destination(const DestinationOptions& wanted, const RasterFacts& facts) {
    if (own_format(wanted.format)) return create_own_destination(wanted, facts);
#ifdef DEM_VARNEL_WITH_GDAL
    return gdal().create_destination(wanted, facts);
#else
    fail("-of " + wanted.format + " needs GDAL");
#endif
}

// The source's pixel size: its file's, or the option's where given.
double source_pixel(const GisOptions& o, const RasterFacts& facts) {
    if (o.source_pixel_size) {
        if (facts.pixel > 0 && std::fabs(*o.source_pixel_size - facts.pixel) > 1e-12 * facts.pixel)
            report("--source-pixel-size " + number_text(*o.source_pixel_size) +
                   " differs from the source's own, " + number_text(facts.pixel) +
                   ": the output then covers another extent than the source");
        return *o.source_pixel_size;
    }
    if (!(facts.pixel > 0))
        fail(shown_name(o.source) + " gives no pixel size: give it with --source-pixel-size");
    return facts.pixel;
}

// Existing outputs are replaced only when asked, and never the source.
void check_destination(const GisOptions& o, const RasterFacts& facts,
                       const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        if (same_file(file, o.source))
            fail(shown_name(file) + " is the source: choose another destination");
        for (const std::string& source_file : facts.files)
            if (same_file(file, source_file))
                fail(shown_name(file) + " is a file of the source: choose another destination");
        // Looked at before any opening: opening a FIFO waits for a writer.
        const std::string path = host_path(file);
        if (special_file(path) || directory_path(path))
            fail(shown_name(file) +
                 " is not a regular file (a folder, a FIFO, a device or a socket): choose "
                 "another destination");
        if (path_exists(path) && !o.overwrite)
            fail(shown_name(file) + " exists: give --overwrite to replace it");
    }
}

// The files an output of this format writes, before it is made (a driver of GDAL's
// tells those it writes beside its file as it writes them).
std::vector<std::string> destination_files(const GisOptions& o, const RasterFacts& facts) {
    std::vector<std::string> files{o.destination};
    if (o.format == own_raw_format)
        files.push_back(o.destination.substr(0, o.destination.size() - 4) + ".txt");
    if (own_format(o.format) && !facts.crs.empty()) files.push_back(crs_name_of(o.destination));
    return files;
}

std::string seconds_since(std::chrono::steady_clock::time_point start) {
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", spent.count());
    return text;
}

void run(const GisOptions& o, TermProgress& progress) {
    const auto started = std::chrono::steady_clock::now();
    refuse_special_input(o.source);
    const InputWatch watch(o.source);
    SourceRaster source = open_source(o);
    const RasterFacts& facts = source.facts;
    const double pixel_in = source_pixel(o, facts);
    if (facts.control_points)
        report(shown_name(o.source) +
               " is placed by ground control points, which are not read: the output is placed "
               "as though its upper-left corner were at (0, 0)");
    else if (!facts.georeferenced && !facts.crs.empty())
        report(shown_name(o.source) +
               " gives a coordinate system but no corner: the output is placed as though its "
               "upper-left corner were at (0, 0)");
    if ((facts.scale != 1.0 || facts.offset != 0.0) && own_format(o.format))
        report(shown_name(o.source) + " gives its cells a scale " + number_text(facts.scale) +
               " and an offset " + number_text(facts.offset) + "; -of " + o.format +
               " cannot record them, and holds the cells as they are stored");

    RegridRequest request;
    request.lines = facts.lines;
    request.columns = facts.columns;
    request.ratio = o.ratio ? *o.ratio : pixel_ratio(pixel_in, *o.pixel_size);
    request.pixel_size = pixel_in;
    request.threads = o.threads;
    if (o.frame_nodata) request.frame = RegridRequest::Frame::no_data;
    const bool void_aware = !o.classic;
    if (void_aware)
        request.voids = o.voids == GisOptions::Voids::keep ? RegridRequest::Voids::keep
                                                           : RegridRequest::Voids::fill;
    const OutputGeometry planned = output_geometry(request);
    if (planned.lines < 0 || planned.columns < 0)
        fail("a ratio of " + number_text(request.ratio) + " gives " + shown_name(o.source) + " (" +
             std::to_string(facts.lines) + " x " + std::to_string(facts.columns) +
             ") no addressable output");
    check_destination(o, facts, destination_files(o, facts));

    // GDAL's block cache bounded before the first line is read: it would otherwise keep
    // a share of the machine's memory, growing with the raster. It holds a row of the
    // source's blocks for each thread's handle and the reading pass's; the destination
    // adds a row of its own blocks once it knows them (here assumed as tall as 64 lines
    // of doubles, for the check of the machine's memory) and 8 lines converted ahead.
    std::uint64_t cache = 0;
#ifdef DEM_VARNEL_WITH_GDAL
    if (source.cache_bytes > 0 || !own_format(o.format))
        cache = gdal().bound_cache(static_cast<std::uint64_t>(regrid_threads(o.threads) + 1) *
                                   source.cache_bytes);
    if (!own_format(o.format)) cache += 8 * static_cast<std::uint64_t>(planned.columns) * (64 + 16);
#endif
    const std::string memory = memory_refusal(regrid_memory(request) + cache + (2u << 20) +
                                              12 * static_cast<std::uint64_t>(planned.columns));
    if (!memory.empty())
        fail("an output of " + std::to_string(planned.lines) + " lines and " +
             std::to_string(planned.columns) + " columns " + memory);

    progress(0);
    const RasterScan scan =
        source.scan(regrid_threads(o.threads), [&](double f) { progress(0.25 * f); });
    const std::string voids_text =
        std::to_string(scan.voids) + " voids (cells" +
        (facts.nodata ? " of its no-data value " + number_text(*facts.nodata) + " or" : "") +
        " that are not numbers)";
    // Cells of a no-data value of 0 are what the classic engine takes as empty; cells
    // that are not numbers it cannot take.
    const bool zero_is_nodata = facts.nodata && *facts.nodata == 0.0;
    if (!void_aware && zero_is_nodata && scan.not_numbers > 0)
        fail(shown_name(o.source) + " holds " + std::to_string(scan.not_numbers) +
             " cells that are not numbers, which --engine classic cannot take; without it "
             "they are filled as voids");
    if (!void_aware && scan.voids > 0 && !zero_is_nodata)
        fail(shown_name(o.source) + " holds " + voids_text +
             ": --engine classic takes every cell as an elevation; without it they are filled");
    if (void_aware && scan.voids == static_cast<std::uint64_t>(facts.lines) * facts.columns)
        fail(shown_name(o.source) + " holds no valid cell: every one is a void");

    DestinationOptions wanted;
    wanted.path = o.destination;
    wanted.format = o.format;
    wanted.type = o.type;
    wanted.creation = o.creation;
    wanted.overwrite = o.overwrite;
    // Where the output may hold no data: a frame of it, voids kept, or voids beyond the
    // reach of every filling (far from any valid ground).
    if (o.frame_nodata || (void_aware && scan.voids > 0))
        wanted.nodata = facts.nodata.value_or(-9999.0);
    wanted.unit =
        own_source_format(o.source) && !ends_with_ignoring_case(o.source, ".asc") ? o.unit : 1.0;
    wanted.pixel_size_out = o.pixel_size ? *o.pixel_size : pixel_in / request.ratio;
    // A source without a geotransform is placed by the pixel size given for it.
    RasterFacts placed = facts;
    placed.pixel = pixel_in;
    DestinationRaster destination = create_destination(wanted, placed);

    LineSink sink = destination.sink;
    const auto put = sink.put;
    const int lines = planned.lines, columns = planned.columns;
    // Voids to fill that no filling reached are written as no data: counted inside the
    // frame (which may be no data by itself).
    const bool filling = void_aware && o.voids == GisOptions::Voids::fill && scan.voids > 0;
    std::uint64_t unfilled = 0;
    sink.put = [&progress, &unfilled, put, lines, columns, filling](int i, const double* cells) {
        if (filling && i >= frame_width && i < lines - frame_width && columns > 2 * frame_width)
            unfilled += static_cast<std::uint64_t>(
                std::count_if(cells + frame_width, cells + columns - frame_width,
                              [](double v) { return std::isnan(v); }));
        put(i, cells);
        progress(0.25 + 0.75 * (i + 1) / lines);
    };
    const OutputGeometry g = regrid(source.lines(void_aware), sink, request);
    watch.check();
    destination.finish(g);
    progress(1.0);
    if (destination.notes)
        for (const std::string& note : destination.notes())
            report(shown_name(o.destination) + ": " + note);
    if (unfilled > 0)
        report(shown_name(o.destination) + ": " + std::to_string(unfilled) +
               " cells that no filling reached were written as no data");
    if (o.quiet) return;
    std::string names = shown_name(destination.files[0]);
    for (std::size_t k = 1; k < destination.files.size(); ++k)
        names += (k + 1 == destination.files.size() ? " and " : ", ") + destination.files[k];
    char cell[96];
    std::snprintf(cell, sizeof cell, "%.10g x %.10g", g.sx, g.sy);
    report("wrote " + names + " (" + o.format + ", " + destination.type +
           "): " + std::to_string(g.lines) + " lines x " + std::to_string(g.columns) +
           " columns, cells of " + cell + " " + facts.unit +
           (void_aware && scan.voids > 0
                ? (o.voids == GisOptions::Voids::keep
                       ? ", " + std::to_string(scan.voids) + " voids kept as no data"
                       : ", " + std::to_string(scan.voids) + " voids filled" +
                             (unfilled > 0 ? " (" + std::to_string(unfilled) +
                                                 " output cells left as no data)"
                                           : ""))
                : "") +
           ", in " + seconds_since(started));
}

}  // namespace

std::string format_layer() {
#ifdef DEM_VARNEL_WITH_GDAL
    return "with GDAL " + gdal().version();
#else
    return "without GDAL";
#endif
}

int run_command_line(int count, const char* const* arguments) {
    GisOptions options;
    std::string problem = parse_gis_options(count, arguments, options);
    if (problem.empty()) {
        // The format layer says what it can write; a layer that cannot be loaded is a
        // failure of the run, not of the usage.
        const std::optional<std::string> failure =
            failure_of([&] { problem = usage_problem(options); });
        if (failure) {
            report(*failure);
            return 1;
        }
    }
    if (!problem.empty()) {
        report(problem + "; see dem_varnel --help");
        return bad_argument_status;
    }
    TermProgress progress(!options.quiet);
    return run_guarded([&] {
        try {
            run(options, progress);
        } catch (...) {
            progress.cut_short();
            throw;
        }
    });
}
