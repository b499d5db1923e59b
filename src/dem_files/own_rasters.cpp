// The program's own readers and writers behind the command line's source and
// destination.
#include "dem_files/own_rasters.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "answers.h"
#include "dem_files/ascii_reader.h"
#include "dem_files/ascii_writer.h"
#include "dem_files/crs_file.h"
#include "dem_files/descriptor.h"
#include "dem_files/input_watch.h"
#include "dem_files/names.h"
#include "dem_files/pending_output.h"
#include "dem_files/raster_writer.h"
#include "dem_files/raw_reader.h"
#include "failure.h"
#include "fixed_text.h"
#include "host_files.h"

namespace {

std::FILE* open_for_reading(const std::string& path) {
    refuse_special_input(path);
    std::FILE* file = std::fopen(host_path(path).c_str(), "rb");
    if (file == nullptr) fail("cannot open " + shown_name(path) + ": " + system_error());
    if (is_directory(file)) {
        std::fclose(file);
        fail("cannot read " + shown_name(path) + ": it is a directory");
    }
    return file;
}

SourceRaster ascii_source(const std::string& path) {
    const auto reader =
        std::make_shared<AsciiReader>(open_for_reading(path), path, shown_name(path));
    const AsciiHeader& h = reader->read_header();
    SourceRaster source;
    RasterFacts& f = source.facts;
    f.lines = h.lines;
    f.columns = h.columns;
    f.pixel = h.cell_size;
    // The header's corner, or the centre of its corner cell, to the grid's upper-left corner.
    f.x0 = h.x_centre ? h.x_min - h.cell_size / 2 : h.x_min;
    const double bottom = h.y_centre ? h.y_min - h.cell_size / 2 : h.y_min;
    f.y0 = static_cast<double>(bottom + static_cast<long double>(h.lines) * h.cell_size);
    f.georeferenced = true;
    if (h.has_nodata) f.nodata = h.nodata;
    f.crs = read_crs_beside(path).value_or("");
    f.type = "Float32";
    const int lines = h.lines;
    source.scan = [reader, lines](int, const std::function<void(double)>& progress) {
        reader->scan([&](int i) {
            if (progress) progress(static_cast<double>(i) / lines);
        });
        RasterScan scan;
        scan.voids = reader->nodata_cells();
        const LineSource valid = reader->source(true);
        scan.lowest = valid.lowest;
        scan.highest = valid.highest;
        return scan;
    };
    source.lines = [reader](bool voids_as_nan) { return reader->source(voids_as_nan); };
    source.keep = reader;
    return source;
}

SourceRaster raw_source(const std::string& path, double unit) {
    const int cell_bytes = ends_with_ignoring_case(path, "_m2.raw") ? 2 : 4;
    const std::string descriptor = path.substr(0, path.size() - 4) + ".txt";
    Descriptor d;
    std::FILE* file = open_for_reading(path);
    const auto reader = std::make_shared<RawReader>(file, shown_name(path), cell_bytes, 0, 0);
    if (!read_descriptor(descriptor, cell_bytes, d))
        fail("cannot read " + shown_name(path) + ": its descriptor " + shown_name(descriptor) +
             " is missing");
    reader->set_geometry(d.lines, d.columns);
    SourceRaster source;
    RasterFacts& f = source.facts;
    f.lines = d.lines;
    f.columns = d.columns;
    f.pixel = d.pixel_size;
    f.crs = read_crs_beside(path).value_or("");
    f.type = cell_bytes == 2 ? "UInt16" : "Int32";
    source.scan = [reader, unit](int, const std::function<void(double)>& progress) {
        const RawScan raw = reader->scan();
        if (progress) progress(1.0);
        RasterScan scan;
        scan.lowest = RawReader::metres(raw.lowest, unit);
        scan.highest = RawReader::metres(raw.highest, unit);
        return scan;
    };
    source.lines = [reader, unit](bool) { return reader->source(unit); };
    source.keep = reader;
    return source;
}

// The exact placement of the output in an ASCII grid's header: the lower-left corner
// and the cell size, or dx and dy where the cells are not square.
std::string exact_header(const RasterFacts& facts, const OutputGeometry& g,
                         const std::string& nodata) {
    const Placement p = placement_of(facts, g);
    const double bottom = static_cast<double>(p.y - static_cast<long double>(g.lines) * p.sy);
    char text[400];
    std::string header =
        "ncols " + std::to_string(g.columns) + "\nnrows " + std::to_string(g.lines) + "\n";
    std::snprintf(text, sizeof text, "xllcorner %.17g\nyllcorner %.17g\n", p.x, bottom);
    header += text;
    if (p.sx == p.sy)
        std::snprintf(text, sizeof text, "cellsize %.17g\n", p.sx);
    else
        std::snprintf(text, sizeof text, "dx %.17g\ndy %.17g\n", p.sx, p.sy);
    return header + text + "NODATA_value " + nodata + "\n";
}

// The coordinate system beside an output, put in place with it; null without one.
std::shared_ptr<PendingOutput> crs_file(const std::string& path, const RasterFacts& facts) {
    if (facts.crs.empty()) return nullptr;
    auto crs = std::make_shared<PendingOutput>(crs_name_of(path), "wb");
    if (std::fwrite(facts.crs.data(), 1, facts.crs.size(), crs->stream()) != facts.crs.size())
        crs->write_failed();
    return crs;
}

}  // namespace

bool own_source_format(const std::string& path) {
    return ends_with_ignoring_case(path, ".asc") || ends_with_ignoring_case(path, "_m2.raw") ||
           ends_with_ignoring_case(path, "_m4.raw");
}

SourceRaster open_own_source(const std::string& path, double unit) {
    const bool ascii = ends_with_ignoring_case(path, ".asc");
    SourceRaster source = ascii ? ascii_source(path) : raw_source(path, unit);
    source.facts.files = {host_path(path), host_path(crs_name_of(path))};
    if (!ascii) source.facts.files.push_back(host_path(path.substr(0, path.size() - 4) + ".txt"));
    return source;
}

std::string own_raw_type(const std::string& asked, const std::string& source_type) {
    if (!asked.empty()) return asked == "UInt16" || asked == "Int32" ? asked : "";
    return source_type == "Byte" || source_type == "UInt16" ? "UInt16" : "Int32";
}

DestinationRaster create_own_destination(const DestinationOptions& wanted,
                                         const RasterFacts& facts) {
    DestinationRaster out;
    const std::shared_ptr<PendingOutput> crs = crs_file(wanted.path, facts);
    if (crs && !wanted.overwrite) crs->replace_nothing();
    if (wanted.format == own_raw_format) {
        const std::string type = own_raw_type(wanted.type, facts.type);
        const int cell_bytes = type == "UInt16" ? 2 : 4;
        const std::string stem =
            wanted.path.size() > 4 && ends_with_ignoring_case(wanted.path, ".raw")
                ? wanted.path.substr(0, wanted.path.size() - 4)
                : wanted.path;
        const std::string descriptor = stem + ".txt";
        const auto writer =
            std::make_shared<RasterWriter>(wanted.path, descriptor, cell_bytes, wanted.unit);
        out.sink = writer->sink();
        if (wanted.nodata) writer->count_voids();
        if (!wanted.overwrite) writer->replace_nothing();
        const double pixel_out = wanted.pixel_size_out;
        out.finish = [writer, crs, pixel_out](const OutputGeometry& g) {
            if (crs) crs->close();
            writer->finish(g, pixel_out, crs.get());
        };
        out.files = {wanted.path, descriptor};
        out.type = type;
        out.keep = writer;
    } else {
        const auto writer = std::make_shared<AsciiWriter>(wanted.path, false);
        char value[lf_text_room + 1];
        *lf_text(wanted.nodata.value_or(-9999.9999), value) = '\0';
        const std::string nodata = wanted.nodata ? value : "-9999.9999";
        const RasterFacts placed = facts;
        out.sink = writer->sink(
            [placed, nodata](const OutputGeometry& g) { return exact_header(placed, g, nodata); });
        if (wanted.nodata) writer->set_nodata(*wanted.nodata);
        if (!wanted.overwrite) writer->replace_nothing();
        out.finish = [writer, crs](const OutputGeometry& g) {
            if (crs) crs->close();
            writer->finish(g, "", crs.get());
        };
        out.files = {wanted.path};
        out.type = "Float64";
        out.keep = writer;
    }
    if (crs) out.files.push_back(crs_name_of(wanted.path));
    return out;
}
