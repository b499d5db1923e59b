// The command line for GIS users: both doors give the same numbers on the program's own
// formats; GeoTIFFs keep their coordinate system and are placed where the engine's cells
// lie; destinations are replaced only when asked; -q prints nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "session.h"
#include "transcript.h"

#ifdef DEM_VARNEL_WITH_GDAL
#include <cpl_conv.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include "dem_files/gdal_cells.h"
#include "dem_files/gdal_raster.h"
#include "failure.h"
#include "wide_rows.h"
#endif

namespace {

// A 60 x 80 ASCII grid of terrain at 25 m, its corner at (500000, 4595000).
std::string terrain_grid() {
    std::string grid =
        "ncols 80\nnrows 60\nxllcorner 500000\nyllcorner 4595000\ncellsize 25\n"
        "NODATA_value -9999\n";
    char value[32];
    for (int i = 0; i < 60; ++i)
        for (int j = 0; j < 80; ++j) {
            std::snprintf(value, sizeof value, "%.2f ",
                          300 + 100 * std::sin(i / 9.0) + 40 * std::cos(j / 7.0) + 0.37 * j);
            grid += value;
        }
    return grid;
}

Session command(const TempRoot& root, std::vector<std::string> arguments) {
    return run_program(root, "", {30, false, std::move(arguments)});
}

// The values of an ASCII grid's value block, as text: what follows its no-data line.
std::string values_of(const std::string& grid) {
    const std::size_t nodata = grid.find("ATA_value ") != std::string::npos
                                   ? grid.find("ATA_value ")
                                   : grid.find("ata_value ");
    return nodata == std::string::npos ? "" : grid.substr(grid.find('\n', nodata) + 1);
}

}  // namespace

TEST(CommandLine, OwnFormatsGiveTheDialoguesBytesAndTheExactPlacement) {
    TempRoot root;
    root.write("d/g.asc", terrain_grid());
    Session s = run_program(root, "d g 0 0 0 25 10\n");  // the dialogue, to an ASCII grid
    ASSERT_EQ(s.status, 0) << s.err;
    s = run_program(root, "d g 0 1 r 1 1 25 10\n");  // and to a 32-bit raster
    ASSERT_EQ(s.status, 0) << s.err;

    s = command(root, {root.file("d/g.asc"), root.file("d/c.asc"), "--pixel-size", "10", "-q",
                       "--engine", "classic"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.err, "") << "-q prints nothing on success";
    const std::string dialogue = root.read("d/g_varnel.asc"), ours = root.read("d/c.asc");
    EXPECT_FALSE(values_of(ours).empty());
    EXPECT_TRUE(values_of(ours) == values_of(dialogue)) << "the same values, byte for byte";
    // The padded input (64 x 84 cells of 25 m) mapped onto the padded output (154 x 204).
    const double sx = 84 * 25.0 / 204, sy = 64 * 25.0 / 154;
    double x = 0, y = 0, dx = 0, dy = 0;
    ASSERT_EQ(std::sscanf(ours.c_str(),
                          "ncols 200\nnrows 150\nxllcorner %lf\nyllcorner %lf\ndx %lf\ndy %lf", &x,
                          &y, &dx, &dy),
              4)
        << ours.substr(0, 200);
    EXPECT_DOUBLE_EQ(dx, sx);
    EXPECT_DOUBLE_EQ(dy, sy);
    EXPECT_NEAR(x, 500000 - 75 + 3 * sx, 1e-9 * sx);
    EXPECT_NEAR(y, 4595000 + 60 * 25 + 75 - 3 * sy - 150 * sy, 1e-9 * sy);

    s = command(root, {root.file("d/g.asc"), root.file("d/c_m4.raw"), "--pixel-size", "10", "-ot",
                       "Int32", "-q", "--engine", "classic"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(root.read("d/c_m4.raw") == root.read("d/r_varnel_m4.raw"));
    EXPECT_EQ(root.read("d/c_m4.txt"), root.read("d/r_varnel_m4.txt"));
    // A frame without data (150 x 200 cells less 144 x 194) goes into the raw cells as 0,
    // the format's empty cell.
    s = command(root, {root.file("d/g.asc"), root.file("d/f_m4.raw"), "--pixel-size", "10",
                       "--frame", "nodata", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.err,
              "dem_varnel: 2064 cells without data were stored as 0, which this format "
              "takes as empty\n");
}

TEST(CommandLine, AnExistingDestinationIsReplacedOnlyWhenAsked) {
    TempRoot root;
    root.write("d/g.asc", terrain_grid());
    root.write("d/out.asc", "keep me");
    Session s = command(root, {root.file("d/g.asc"), root.file("d/out.asc"), "--ratio", "0.5"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("out.asc exists: give --overwrite to replace it"), std::string::npos)
        << s.err;
    EXPECT_EQ(root.read("d/out.asc"), "keep me");
    s = command(root,
                {root.file("d/g.asc"), root.file("d/out.asc"), "--ratio", "0.5", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(root.read("d/out.asc").substr(0, 20), "ncols 40\nnrows 30\nxl");
    EXPECT_NE(s.err.find("0...10...20...30...40...50...60...70...80...90...100 - done.\n"),
              std::string::npos)
        << s.err;
    EXPECT_NE(s.err.find("dem_varnel: wrote "), std::string::npos) << s.err;
    EXPECT_FALSE(root.has_temporary());

    // A FIFO (whose opening waited for ever) or a folder is no file to replace.
    ASSERT_EQ(mkfifo(root.file("d/fifo.asc").c_str(), 0600), 0);
    std::filesystem::create_directory(root.file("d/folder.asc"));
    for (const char* name : {"d/fifo.asc", "d/folder.asc"}) {
        s = command(root, {root.file("d/g.asc"), root.file(name), "--ratio", "0.5", "--overwrite"});
        EXPECT_EQ(s.status, 1);
        EXPECT_NE(s.err.find("is not a regular file"), std::string::npos) << s.err;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(root.file("d/fifo.asc")));

    // A raw raster's name tells its cells' bytes: _m2 two (it held four from a grid).
    s = command(root, {root.file("d/g.asc"), root.file("d/r_m2.raw"), "--ratio", "0.5", "-q"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(root.read("d/r_m2.raw").size(), 30u * 40u * 2u);
    s = command(root,
                {root.file("d/g.asc"), root.file("d/s_m2.raw"), "--ratio", "0.5", "-ot", "Int32"});
    EXPECT_EQ(s.status, 2) << s.err;

    // A name with a new line in it still gives a message of one line.
    s = command(root, {root.file("d/no\nsuch.asc"), root.file("d/o.asc"), "--ratio", "0.5"});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(std::count(s.err.begin(), s.err.end(), '\n'), 1) << s.err;
    EXPECT_NE(s.err.find("no?such.asc"), std::string::npos) << s.err;
}

#ifdef DEM_VARNEL_WITH_GDAL

namespace {

// A GeoTIFF of `type` in EPSG:32631 whose cells hold value(i, j), with 25 m cells and
// its upper-left corner at (500000, 4600000).
template <typename Value>
void write_geotiff(const std::string& path, GDALDataType type, int lines, int columns, Value value,
                   CSLConstList options = nullptr) {
    GDALAllRegister();
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), columns, lines, 1,
                                 type, const_cast<char**>(options));
    ASSERT_NE(ds, nullptr);
    double gt[6] = {500000, 25, 0, 4600000, 0, -25};
    GDALSetGeoTransform(ds, gt);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 32631);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
    std::vector<double> line(static_cast<std::size_t>(columns));
    for (int i = 0; i < lines; ++i) {
        for (int j = 0; j < columns; ++j) line[j] = value(i, j);
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, i, columns, 1, line.data(),
                               columns, 1, GDT_Float64, 0, 0),
                  CE_None);
    }
    GDALClose(ds);
}

struct Raster {
    int lines = 0, columns = 0;
    double gt[6] = {};
    int epsg = 0;
    std::vector<double> cells;
};

Raster read_raster(const std::string& path) {
    Raster r;
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    if (ds == nullptr) return r;
    r.lines = GDALGetRasterYSize(ds);
    r.columns = GDALGetRasterXSize(ds);
    GDALGetGeoTransform(ds, r.gt);
    OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
    if (srs != nullptr && OSRGetAuthorityCode(srs, nullptr) != nullptr)
        r.epsg = std::atoi(OSRGetAuthorityCode(srs, nullptr));
    r.cells.resize(static_cast<std::size_t>(r.lines) * r.columns);
    if (GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, r.columns, r.lines, r.cells.data(),
                     r.columns, r.lines, GDT_Float64, 0, 0) != CE_None)
        r.cells.clear();
    GDALClose(ds);
    return r;
}

}  // namespace

// In a reduction every interior cell holds the ramp's value at the centre of the cell
// the output's geotransform gives it, to a fraction of an input pixel.
TEST(CommandLine, GeoTiffsKeepTheirCrsAndEveryCellLiesWhereItsGeotransformSays) {
    TempRoot root;
    const auto ramp = [](int i, int j) { return 1000.0 + 2.0 * j + 1.0 * i; };  // per pixel
    write_geotiff(root.file("i16.tif"), GDT_Int16, 120, 160, ramp);
    write_geotiff(root.file("f32.tif"), GDT_Float32, 120, 160, ramp);
    for (const char* source : {"i16.tif", "f32.tif"})
        for (const char* size : {"50", "10"}) {
            SCOPED_TRACE(std::string(source) + " to " + size + " m");
            const std::string out = root.file(std::string("o") + size + source);
            const Session s = command(
                root, {root.file(source), out, "--pixel-size", size, "-ot", "Float64", "-q"});
            ASSERT_EQ(s.status, 0) << s.err;
            const Raster r = read_raster(out);
            EXPECT_EQ(r.epsg, 32631);
            const double p = std::atof(size);
            const int lines = static_cast<int>(120 * 25 / p),
                      columns = static_cast<int>(160 * 25 / p);
            ASSERT_EQ(r.lines, lines);
            ASSERT_EQ(r.columns, columns);
            const double sx = 164 * 25.0 / (columns + 4), sy = 124 * 25.0 / (lines + 4);
            EXPECT_NEAR(r.gt[0], 500000 - 75 + 3 * sx, 1e-9 * sx);
            EXPECT_NEAR(r.gt[1], sx, 1e-9 * sx);
            EXPECT_NEAR(r.gt[3], 4600000 + 75 - 3 * sy, 1e-9 * sy);
            EXPECT_NEAR(r.gt[5], -sy, 1e-9 * sy);
            if (p < 25) continue;  // an enlargement leans towards the preceding cells
            double worst = 0;
            for (int i = 4; i < lines - 4; ++i)
                for (int j = 4; j < columns - 4; ++j) {
                    const double x = r.gt[0] + (j + 0.5) * r.gt[1] - 500000;
                    const double y = 4600000 - (r.gt[3] + (i + 0.5) * r.gt[5]);
                    const double expected = ramp(0, 0) + 2.0 * (x / 25 - 0.5) + (y / 25 - 0.5);
                    worst = std::max(worst, std::fabs(r.cells[i * columns + j] - expected) / 2.0);
                }
            EXPECT_LT(worst, 0.5) << "input pixels between a value and its cell's centre";
        }
}

// The reading pass takes a raster in parts, on several threads: its range is still the
// first of equal extremes in the lines' order, which the frame shows (a -0 or a 0).
TEST(CommandLine, TheReadingPassInPartsKeepsTheFirstOfEqualExtremes) {
    TempRoot root;
    for (const bool negative_first : {true, false}) {
        SCOPED_TRACE(negative_first ? "-0 first" : "0 first");
        const auto cells = [negative_first](int i, int j) {
            if (j == 7 && (i == 40 || i == 5500)) return (i == 40) == negative_first ? -0.0 : 0.0;
            return 5.0 + (i + j) % 13;
        };
        write_geotiff(root.file("zeros.tif"), GDT_Float32, 6000, 100, cells);
        const Session s =
            command(root, {root.file("zeros.tif"), root.file("z.tif"), "--ratio", "0.1", "-ot",
                           "Float64", "--threads", "3", "-q", "--overwrite"});
        ASSERT_EQ(s.status, 0) << s.err;
        const Raster r = read_raster(root.file("z.tif"));
        ASSERT_FALSE(r.cells.empty());
        EXPECT_EQ(r.cells[0], 0.0);
        EXPECT_EQ(std::signbit(r.cells[0]), negative_first) << "the frame's zero";
    }
    // A part that cannot be read, on whichever thread, fails the run.
    std::filesystem::resize_file(root.file("zeros.tif"),
                                 std::filesystem::file_size(root.file("zeros.tif")) * 6 / 10);
    const Session s = command(root, {root.file("zeros.tif"), root.file("cut.tif"), "--ratio", "0.1",
                                     "--threads", "3", "-q"});
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_FALSE(root.exists("cut.tif"));
    EXPECT_FALSE(root.has_temporary());
}

namespace {

// Sets the first band's no-data value and scale.
void tag_band(const std::string& path, double nodata, double scale) {
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDALSetRasterNoDataValue(GDALGetRasterBand(ds, 1), nodata);
    GDALSetRasterScale(GDALGetRasterBand(ds, 1), scale);
    GDALClose(ds);
}

double band_value(const std::string& path, int which) {
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    if (ds == nullptr) return NAN;
    int has = 0;
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    const double v =
        which == 0 ? GDALGetRasterNoDataValue(band, &has) : GDALGetRasterScale(band, &has);
    GDALClose(ds);
    return has ? v : NAN;
}

}  // namespace

// What a cell type cannot hold is never written as data without a word: a no-data value
// out of its range (it was written as 0 under a tag of -9999), elevations beyond it, and
// valid cells that fall on the no-data value (they read back as voids). A format that
// cannot hold the cells is refused; the source's scale goes with its cells.
TEST(CommandLine, WhatACellTypeCannotHoldIsNeverWrittenAsDataWithoutAWord) {
    TempRoot root;
    write_geotiff(root.file("u16.tif"), GDT_UInt16, 30, 30,
                  [](int i, int j) { return 500.0 + 3 * j + 2 * i; });
    Session s = command(root, {root.file("u16.tif"), root.file("framed.tif"), "--ratio", "1",
                               "--frame", "nodata", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("UInt16 cells cannot hold the no-data value -9999: no data is marked "
                         "with 65535"),
              std::string::npos)
        << s.err;
    EXPECT_EQ(band_value(root.file("framed.tif"), 0), 65535.0);
    EXPECT_EQ(read_raster(root.file("framed.tif")).cells.at(0), 65535.0);
    // A format that does not keep the no-data value would give the frame as elevations.
    s = command(root, {root.file("u16.tif"), root.file("f.xyz"), "--ratio", "1", "-of", "XYZ",
                       "--frame", "nodata", "-q"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("-of XYZ does not keep the no-data value 65535"), std::string::npos)
        << s.err;
    EXPECT_FALSE(root.exists("f.xyz"));
    EXPECT_FALSE(root.has_temporary());

    // Clamped to 255, which marks no data in Byte cells: one step below it.
    s = command(root, {root.file("u16.tif"), root.file("low.tif"), "--ratio", "1", "-ot", "Byte",
                       "--frame", "nodata", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("cells beyond what Byte holds (0 to 255) were written as the "
                         "nearest value it holds"),
              std::string::npos)
        << s.err;
    const Raster low = read_raster(root.file("low.tif"));
    ASSERT_EQ(low.cells.size(), 900u);
    EXPECT_EQ(low.cells[15 * 30 + 15], 254.0);

    // A checkerboard of 99 and 101 under a no-data value of 100, with one void, and a scale.
    write_geotiff(root.file("i16.tif"), GDT_Int16, 40, 40, [](int i, int j) {
        return i == 0 && j == 0 ? 100.0 : (i + j) % 2 ? 99.0 : 101.0;
    });
    tag_band(root.file("i16.tif"), 100.0, 0.1);
    s = command(root, {root.file("i16.tif"), root.file("half.tif"), "--ratio", "0.5", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("valid cells equal to the no-data value 100 were written one step from "
                         "it"),
              std::string::npos)
        << s.err;
    const Raster half = read_raster(root.file("half.tif"));
    for (double v : half.cells) ASSERT_NE(v, 100.0) << "a valid cell reads as no data";
    EXPECT_EQ(band_value(root.file("half.tif"), 1), 0.1);

    // Reals within GDAL's tolerance of the no-data value go to the nearest beyond it.
    write_geotiff(root.file("f32.tif"), GDT_Float32, 20, 20, [](int, int) { return -9998.999; });
    s = command(root, {root.file("f32.tif"), root.file("near.tif"), "--ratio", "1", "--frame",
                       "nodata", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("196 valid cells that would read as the no-data value -9999 were "
                         "written as the nearest value that does not"),
              std::string::npos)
        << s.err;
    const float inside = static_cast<float>(read_raster(root.file("near.tif")).cells.at(210));
    EXPECT_FALSE(reads_as_nodata(inside, -9999.0f));
    EXPECT_TRUE(reads_as_nodata(std::nextafter(inside, -HUGE_VALF), -9999.0f));
    // An infinite no-data value (the search for the value beyond it ran for ever), and a
    // format that keeps a float's no-data value as text of its own precision.
    tag_band(root.file("f32.tif"), -HUGE_VAL, 1.0);
    s = command(root, {root.file("f32.tif"), root.file("inf.tif"), "--ratio", "1", "--frame",
                       "nodata", "-q"});
    EXPECT_EQ(s.status, 0) << s.err;
    tag_band(root.file("f32.tif"), 0.1, 1.0);
    s = command(root, {root.file("f32.tif"), root.file("e.bil"), "--ratio", "1", "--frame",
                       "nodata", "-of", "EHdr", "-q"});
    EXPECT_EQ(s.status, 0) << s.err;

    // Lines converted by several threads ahead of the writer: the same cells and counts.
    write_geotiff(root.file("board.tif"), GDT_Int16, 300, 300, [](int i, int j) {
        return i == 7 && j == 9 ? 100.0 : (i + j) % 2 ? 99.0 : 101.0;
    });
    tag_band(root.file("board.tif"), 100.0, 0.1);
    std::string told[2];
    Raster boards[2];
    for (int k = 0; k < 2; ++k) {
        const std::string out = root.file("boards.tif");
        s = command(root, {root.file("board.tif"), out, "--ratio", "0.5", "-q", "--overwrite",
                           "--threads", k == 0 ? "1" : "3"});
        ASSERT_EQ(s.status, 0) << s.err;
        told[k] = s.err;
        boards[k] = read_raster(out);
    }
    EXPECT_NE(told[0].find("valid cells equal to the no-data value 100"), std::string::npos)
        << told[0];
    EXPECT_EQ(told[0], told[1]);
    EXPECT_EQ(boards[0].cells, boards[1].cells);

    s = command(root, {root.file("i16.tif"), root.file("a.png"), "--ratio", "1", "-of", "PNG"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("-of PNG cannot hold Int16 cells, the source's; give -ot with one of: "
                         "Byte UInt16"),
              std::string::npos)
        << s.err;
    s = command(root, {root.file("i16.tif"), root.file("a.png"), "--ratio", "1", "-of", "PNG",
                       "-ot", "Float32"});
    EXPECT_EQ(s.status, 2) << s.err;
    EXPECT_FALSE(root.exists("a.png"));
}

// Lines inside a type's range are converted in vectors: every instruction set gives the
// bytes of GDAL's own conversion, at the halves, just beside them and at the range's ends,
// and reads cells back as GDAL does.
TEST(CommandLine, EveryInstructionSetConvertsCellsBothWaysAsGdalDoes) {
    const std::pair<GDALDataType, CellKind> types[] = {
        {GDT_Byte, CellKind::u8},    {GDT_UInt16, CellKind::u16}, {GDT_Int16, CellKind::i16},
        {GDT_UInt32, CellKind::u32}, {GDT_Int32, CellKind::i32},  {GDT_Float32, CellKind::f32}};
    std::mt19937_64 random(20261209);
    for (const auto& [type, kind] : types) {
        const bool whole = GDALDataTypeIsInteger(type) != 0;
        const int bits = GDALGetDataTypeSizeBits(type);
        const double lowest = !whole                       ? -FLT_MAX
                              : GDALDataTypeIsSigned(type) ? -std::ldexp(1.0, bits - 1)
                                                           : 0.0;
        const double highest = !whole                       ? FLT_MAX
                               : GDALDataTypeIsSigned(type) ? std::ldexp(1.0, bits - 1) - 1.0
                                                            : std::ldexp(1.0, bits) - 1.0;
        const double below = whole ? lowest - 0.5 : lowest,
                     above = whole ? std::nextafter(highest + 0.5, 0.0) : highest;
        std::vector<double> values = {below, above, -0.0, 0.0};
        for (int k = 0; k < 4000; ++k) {
            const double half =
                std::floor(below + (above - below) * (random() % 1000) / 999.0) + 0.5;
            for (const double v :
                 {half, std::nextafter(half, -HUGE_VAL), std::nextafter(half, HUGE_VAL),
                  below + (above - below) * std::ldexp(double(random() >> 11), -53)})
                if (v >= below && v <= above) values.push_back(v);
        }
        const std::size_t size = static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type));
        std::vector<unsigned char> theirs(values.size() * size);
        GDALCopyWords64(values.data(), GDT_Float64, 8, theirs.data(), type, static_cast<int>(size),
                        static_cast<GPtrDiff_t>(values.size()));
        for (int level = 0; level < 3; ++level) {
            const WideRows* variant = wide_rows_variant(level);
            if (variant == nullptr) continue;
            std::vector<unsigned char> ours(theirs.size());
            variant->to_cells(values.data(), ours.data(), static_cast<int>(values.size()), kind);
            EXPECT_TRUE(ours == theirs) << GDALGetDataTypeName(type) << ", variant " << level;
            // And back: the cells as doubles.
            std::vector<double> back(values.size()), widened(values.size());
            GDALCopyWords64(theirs.data(), type, static_cast<int>(size), back.data(), GDT_Float64,
                            8, static_cast<GPtrDiff_t>(values.size()));
            variant->from_cells(theirs.data(), widened.data(), static_cast<int>(values.size()),
                                kind);
            EXPECT_TRUE(widened == back) << GDALGetDataTypeName(type) << ", variant " << level;
        }
    }
}

// A driver's files beside its output (an ENVI header, an .aux.xml written as the file
// closes, a world file) go with the output under their final names, and replace nothing
// unasked: the source's header was once replaced by the output's, and an ENVI header
// written straight under a final name.
TEST(CommandLine, FilesADriverWritesBesideTheOutputGoWithItAndReplaceNothingUnasked) {
    TempRoot root;
    write_geotiff(root.file("t.tif"), GDT_Float32, 30, 40, [](int i, int j) { return i + j; });
    const std::string bil = root.file("dem.bil");
    GDALDatasetH in = GDALOpen(root.file("t.tif").c_str(), GA_ReadOnly);
    GDALClose(GDALCreateCopy(GDALGetDriverByName("EHdr"), bil.c_str(), in, FALSE, nullptr, nullptr,
                             nullptr));
    GDALClose(in);
    const std::string header = root.read("dem.hdr");
    Session s = command(
        root, {bil, root.file("dem.dat"), "--ratio", "0.5", "-of", "ENVI", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("which would replace a file of the source"), std::string::npos) << s.err;
    EXPECT_EQ(root.read("dem.hdr"), header);
    EXPECT_FALSE(root.exists("dem.dat"));

    root.write("o.hdr", "not ours");
    s = command(root, {bil, root.file("o.dat"), "--ratio", "0.5", "-of", "ENVI", "-q"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("o.hdr, which exists: give --overwrite"), std::string::npos) << s.err;
    EXPECT_EQ(s.err.find("...30"), std::string::npos) << "refused before the work";
    EXPECT_EQ(root.read("o.hdr"), "not ours");
    EXPECT_FALSE(root.has_temporary()) << "the driver's header written beside the temporary";
    s = command(root,
                {bil, root.file("o.dat"), "--ratio", "0.5", "-of", "ENVI", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(read_raster(root.file("o.dat")).lines, 15);
    // A destination without an extension: the header the driver names by giving it one
    // was written straight over an existing file.
    root.write("x.hdr", "not ours");
    s = command(root, {bil, root.file("x"), "--ratio", "0.5", "-of", "ENVI", "-q"});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(root.read("x.hdr"), "not ours");
    EXPECT_FALSE(root.has_temporary());
    s = command(root, {bil, root.file("x"), "--ratio", "0.5", "-of", "ENVI", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(read_raster(root.file("x")).lines, 15);
    EXPECT_FALSE(root.has_temporary());

    s = command(root, {root.file("t.tif"), root.file("b.tif"), "--ratio", "0.5", "-q", "-co",
                       "PROFILE=BASELINE", "-co", "TFW=YES"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(root.exists("b.tif.aux.xml"));
    EXPECT_TRUE(root.exists("b.tfw"));
    EXPECT_EQ(read_raster(root.file("b.tif")).epsg, 32631);
    EXPECT_FALSE(root.has_temporary());

    // A data file named as its header without the extension, and a header that names
    // the output: both go with it under its final name.
    s = command(root,
                {root.file("t.tif"), root.file("e.ers"), "--ratio", "0.5", "-q", "-of", "ERS"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(read_raster(root.file("e.ers")).lines, 15);
    EXPECT_EQ(root.read("e.ers").find(".part-"), std::string::npos);
    EXPECT_FALSE(root.has_temporary());
    // The same without an extension: the header goes to "n.ers" (it went to "n.part.ers").
    s = command(root, {root.file("t.tif"), root.file("n"), "--ratio", "0.5", "-q", "-of", "ERS"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(read_raster(root.file("n.ers")).lines, 15);
    EXPECT_FALSE(root.exists("n.part.ers"));
    // A raster of a format GeoTIFFs alone do not open, replaced by a GeoTIFF: its header
    // and statistics go (they stayed, and GDAL showed the old statistics).
    s = command(root,
                {root.file("t.tif"), root.file("s.tif"), "--ratio", "0.5", "-q", "-of", "ENVI"});
    EXPECT_EQ(s.status, 0) << s.err;
    root.write("s.tif.aux.xml", "<PAMDataset></PAMDataset>");
    s = command(root,
                {root.file("t.tif"), root.file("s.tif"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_FALSE(root.exists("s.hdr"));
    EXPECT_FALSE(root.exists("s.tif.aux.xml"));

    // A killed run's temporary file and the driver's file beside it go; names the program
    // does not make stay.
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string of_dead = "b.tif.part-" + std::to_string(dead);
    for (const std::string& name :
         {of_dead + "-0.tif", of_dead + "-0.tif.aux.xml", of_dead + "-2.tif.ovr.tmp",
          of_dead + "-3.tif.msk.ovr.tmp", of_dead + "-1.tif.bak", of_dead + "-01.tif"})
        root.write(name, "left");
    s = command(root,
                {root.file("t.tif"), root.file("b.tif"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_FALSE(root.exists(of_dead + "-0.tif"));
    EXPECT_FALSE(root.exists(of_dead + "-0.tif.aux.xml"));
    EXPECT_FALSE(root.exists(of_dead + "-2.tif.ovr.tmp")) << "overviews of a run killed early";
    EXPECT_FALSE(root.exists(of_dead + "-3.tif.msk.ovr.tmp"));
    EXPECT_TRUE(root.exists(of_dead + "-1.tif.bak"));
    EXPECT_TRUE(root.exists(of_dead + "-01.tif"));
    // The replaced raster's .aux.xml (which GDAL reads before the file's own placement)
    // and world file went with it.
    EXPECT_FALSE(root.exists("b.tif.aux.xml"));
    EXPECT_FALSE(root.exists("b.tfw"));
    // A replaced virtual raster's list of files (which GDAL gives where it reads more
    // than GeoTIFFs) holds the rasters it is made of: they stay, even one named as its
    // stem.
    root.write("v.tif", root.read("t.tif"));
    root.write("w.tif", root.read("t.tif"));
    root.write("v.vrt",
               "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\"><VRTRasterBand "
               "dataType=\"Float32\" band=\"1\"><SimpleSource><SourceFilename "
               "relativeToVRT=\"1\">v.tif</SourceFilename></SimpleSource><SimpleSource>"
               "<SourceFilename relativeToVRT=\"1\">w.tif</SourceFilename></SimpleSource>"
               "</VRTRasterBand></VRTDataset>");
    s = command(root, {bil, root.file("v.vrt"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(read_raster(root.file("v.tif")).lines, 30);
    EXPECT_EQ(read_raster(root.file("w.tif")).lines, 30);
    // Nor the raw data file of its stem that a virtual raster reads through (it has no
    // header that would make it a raster of its own); and a folder's metadata file that
    // GDAL lists with a GeoTIFF is no file of the output.
    root.write("r.bin", std::string(40 * 30 * 4, '\0'));
    root.write("r.vrt",
               "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\"><VRTRasterBand "
               "dataType=\"Float32\" band=\"1\" subClass=\"VRTRawRasterBand\"><SourceFilename "
               "relativeToVRT=\"1\">r.bin</SourceFilename></VRTRasterBand></VRTDataset>");
    root.write("summary.txt", "x");
    s = command(root, {bil, root.file("r.vrt"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(root.exists("r.bin"));

    // A FIFO named as a file the driver writes is refused, not opened.
    ASSERT_EQ(mkfifo(root.file("f.hdr").c_str(), 0600), 0);
    s = command(root, {bil, root.file("f.dat"), "--ratio", "0.5", "-of", "ENVI", "-q"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("f.hdr, which is not a regular file"), std::string::npos) << s.err;
}

// No output replaces a file the source is made of, however deep: a raster under a
// virtual raster within a virtual raster, the mask file of a virtual raster's source,
// or the raster of a virtual raster's own mask band (each was replaced under
// --overwrite, with status 0).
TEST(CommandLine, FilesOfTheSourceAtAnyDepthAreNeverReplaced) {
    TempRoot root;
    write_geotiff(root.file("t.tif"), GDT_Int16, 30, 40, [](int i, int j) { return i + j; });
    root.write("t.tif.msk", root.read("t.tif"));
    write_geotiff(root.file("m.tif"), GDT_Byte, 30, 40, [](int, int) { return 255; });
    const auto vrt_of = [](const std::vector<std::string>& sources, const std::string& mask) {
        std::string vrt =
            "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\"><GeoTransform>500000, "
            "25, 0, 4600000, 0, -25</GeoTransform><VRTRasterBand "
            "dataType=\"Int16\" band=\"1\">";
        for (const std::string& source : sources)
            vrt += "<SimpleSource><SourceFilename relativeToVRT=\"1\">" + source +
                   "</SourceFilename><SourceProperties RasterXSize=\"40\" RasterYSize=\"30\" "
                   "DataType=\"Int16\"/></SimpleSource>";
        vrt += "</VRTRasterBand>";
        if (!mask.empty())
            vrt +=
                "<MaskBand><VRTRasterBand dataType=\"Byte\"><SimpleSource><SourceFilename "
                "relativeToVRT=\"1\">" +
                mask + "</SourceFilename></SimpleSource></VRTRasterBand></MaskBand>";
        return vrt + "</VRTDataset>";
    };
    root.write("inner.vrt", vrt_of({"t.tif"}, "m.tif"));
    root.write("outer.vrt", vrt_of({"inner.vrt"}, ""));
    const std::string tile = root.read("t.tif"), mask = root.read("t.tif.msk"),
                      own_mask = root.read("m.tif");
    for (const char* file : {"t.tif", "t.tif.msk", "m.tif"}) {
        const Session s = command(
            root, {root.file("outer.vrt"), root.file(file), "--ratio", "0.5", "-q", "--overwrite"});
        EXPECT_EQ(s.status, 1) << file;
        EXPECT_NE(s.err.find("is a file of the source"), std::string::npos) << s.err;
    }
    EXPECT_EQ(root.read("t.tif"), tile);
    EXPECT_EQ(root.read("t.tif.msk"), mask);
    EXPECT_EQ(root.read("m.tif"), own_mask);
    // Nor the file a source read through GDAL's virtual file systems lies in.
    VSILFILE* gz = VSIFOpenL(("/vsigzip/" + root.file("z.tif.gz")).c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    VSIFWriteL(tile.data(), 1, tile.size(), gz);
    VSIFCloseL(gz);
    const std::string packed = root.read("z.tif.gz");
    const Session z = command(root, {"/vsigzip/" + root.file("z.tif.gz"), root.file("z.tif.gz"),
                                     "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(z.status, 1) << z.err;
    EXPECT_EQ(root.read("z.tif.gz"), packed);
    const Session part =
        command(root, {"/vsisubfile/0_" + std::to_string(tile.size()) + "," + root.file("t.tif"),
                       root.file("t.tif"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(part.status, 1) << part.err;
    EXPECT_EQ(root.read("t.tif"), tile);
    // A virtual raster that refers to itself under other spellings ends the search (it
    // was followed for ever) and is refused as GDAL reads it.
    mkdir(root.file("sub").c_str(), 0755);
    const auto source = [](const std::string& name) {
        return "<SimpleSource><SourceFilename relativeToVRT=\"1\">" + name +
               "</SourceFilename><SourceBand>1</SourceBand><SourceProperties RasterXSize=\"40\" "
               "RasterYSize=\"30\" DataType=\"Int16\" BlockXSize=\"40\" BlockYSize=\"30\"/>"
               "<SrcRect xOff=\"0\" yOff=\"0\" xSize=\"1\" ySize=\"1\"/><DstRect xOff=\"0\" "
               "yOff=\"0\" xSize=\"1\" ySize=\"1\"/></SimpleSource>";
    };
    const std::string band = "<VRTRasterBand dataType=\"Int16\" band=\"1\">";
    root.write("a.vrt",
               "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\"><GeoTransform>500000, "
               "25, 0, 4600000, 0, -25</GeoTransform>" +
                   band + source("t.tif") + source("sub/b.vrt") + source("sub/./b.vrt") +
                   "</VRTRasterBand></VRTDataset>");
    root.write("sub/b.vrt", "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\">" + band +
                                source("../a.vrt") + "</VRTRasterBand></VRTDataset>");
    const Session s =
        command(root, {root.file("a.vrt"), root.file("c.tif"), "--ratio", "0.5", "-q"});
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_FALSE(s.timed_out);
}

// A mask in a file of its own that changes between the reading pass and the sweep fails
// the run, as the band's own file does (the masked cells were written as elevations).
TEST(CommandLine, AMaskFileChangedWhileTheSourceIsReadFailsTheRun) {
    TempRoot root;
    const std::string path = root.file("m.tif");
    write_geotiff(path, GDT_UInt16, 30, 30, [](int i, int j) { return 500.0 + i + j; });
    const auto set_mask = [&](unsigned char value) {
        CPLSetConfigOption("GDAL_TIFF_INTERNAL_MASK", "NO");
        GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
        ASSERT_NE(ds, nullptr);
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        if (GDALGetMaskFlags(band) & GMF_ALL_VALID) {
            ASSERT_EQ(GDALCreateMaskBand(band, GMF_PER_DATASET), CE_None);
        }
        std::vector<unsigned char> mask(30 * 30, value);
        ASSERT_EQ(GDALRasterIO(GDALGetMaskBand(band), GF_Write, 0, 0, 30, 30, mask.data(), 30, 30,
                               GDT_Byte, 0, 0),
                  CE_None);
        GDALClose(ds);
        CPLSetConfigOption("GDAL_TIFF_INTERNAL_MASK", nullptr);
    };
    set_mask(255);
    ASSERT_TRUE(root.exists("m.tif.msk"));
    SourceRaster source = open_gdal_source(path);
    EXPECT_EQ(source.scan(1, {}).voids, 0u);
    set_mask(0);
    const LineSource lines = source.lines(true);
    try {
        lines.line(margin_before + 10);
        ADD_FAILURE() << "a changed mask was read";
    } catch (const RunFailure& failure) {
        EXPECT_NE(failure.message.find("changed while it was being read"), std::string::npos)
            << failure.message;
    }
}

// Cells a mask band marks without data are voids (they were read as elevations of 0).
TEST(CommandLine, CellsAMaskMarksAreVoids) {
    TempRoot root;
    const std::string path = root.file("m.tif");
    write_geotiff(path, GDT_Float32, 20, 20, [](int, int) { return 0.0; });
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    std::vector<double> line(20);
    std::vector<unsigned char> mask(20);
    ASSERT_EQ(GDALCreateMaskBand(band, GMF_PER_DATASET), CE_None);
    for (int i = 0; i < 20; ++i) {
        for (int j = 0; j < 20; ++j) {
            const bool hole = i >= 8 && i < 10 && j >= 8 && j < 10;
            line[j] = hole ? 0.0 : 500.0 + i + j;
            mask[j] = hole ? 0 : 255;
        }
        ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, i, 20, 1, line.data(), 20, 1, GDT_Float64, 0, 0),
                  CE_None);
        ASSERT_EQ(GDALRasterIO(GDALGetMaskBand(band), GF_Write, 0, i, 20, 1, mask.data(), 20, 1,
                               GDT_Byte, 0, 0),
                  CE_None);
    }
    GDALClose(ds);
    const Session s = command(root, {path, root.file("k.tif"), "--ratio", "1", "--voids", "keep"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("4 voids kept as no data"), std::string::npos) << s.err;
    const Raster r = read_raster(root.file("k.tif"));
    ASSERT_EQ(r.cells.size(), 400u);
    EXPECT_EQ(r.cells[8 * 20 + 8], -9999.0);
    EXPECT_GT(r.cells[3 * 20 + 3], 500.0);
}

// A .prj of the older keyword form gives a GeoTIFF its coordinate system (it was dropped).
TEST(CommandLine, APrjOfKeywordLinesGivesTheOutputItsCrs) {
    TempRoot root;
    root.write("g.asc", terrain_grid());
    root.write("g.prj",
               "Projection    UTM\nZone          31\nDatum         WGS84\nSpheroid      "
               "WGS84\nUnits         METERS\nParameters\n");
    const Session s = command(root, {root.file("g.asc"), root.file("o.tif"), "--ratio", "1", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(read_raster(root.file("o.tif")).epsg, 32631);
    // One that cannot be read is said once (the trial output before the work said it too).
    root.write("g.prj", "not a coordinate system");
    const Session bad =
        command(root, {root.file("g.asc"), root.file("b.tif"), "--ratio", "1", "-q"});
    EXPECT_EQ(bad.status, 0) << bad.err;
    EXPECT_EQ(bad.err,
              "dem_varnel: the source's coordinate system could not be read; the output "
              "gets none\n");
}

// A source without a geotransform, given its pixel size, is placed with its upper-left
// corner at (0, 0) in every output format (a GeoTIFF was written without placement).
TEST(CommandLine, ASourceWithoutPlacementIsPlacedByTheGivenPixelSize) {
    TempRoot root;
    const std::string path = root.file("bare.tif");
    GDALAllRegister();
    GDALDatasetH ds =
        GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), 20, 20, 1, GDT_Int16, nullptr);
    ASSERT_NE(ds, nullptr);
    GDALFillRaster(GDALGetRasterBand(ds, 1), 700.0, 0.0);
    GDALClose(ds);
    const Session s = command(
        root, {path, root.file("o.tif"), "--ratio", "0.5", "--source-pixel-size", "10", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    const Raster r = read_raster(root.file("o.tif"));
    EXPECT_NEAR(r.gt[1], 24 * 10 / 14.0, 1e-9);  // (C + 4) p / (C4 + 4)
    EXPECT_NEAR(r.gt[5], -r.gt[1], 1e-9);
    EXPECT_NEAR(r.gt[0], -3 * 10 + 3 * r.gt[1], 1e-9);
    // Ground control points are not read, and that is said (it was not).
    ds = GDALOpen(path.c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    const GDAL_GCP points[3] = {
        {const_cast<char*>("1"), const_cast<char*>(""), 0, 0, 5e5, 4e6, 0},
        {const_cast<char*>("2"), const_cast<char*>(""), 20, 0, 5e5 + 200, 4e6, 0},
        {const_cast<char*>("3"), const_cast<char*>(""), 0, 20, 5e5, 4e6 - 200, 0}};
    GDALSetGCPs2(ds, 3, points, nullptr);
    GDALClose(ds);
    const Session g = command(
        root, {path, root.file("g.tif"), "--ratio", "0.5", "--source-pixel-size", "10", "-q"});
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_NE(g.err.find("placed by ground control points, which are not read"), std::string::npos)
        << g.err;
}

// A GeoTIFF's signed bytes (a Byte band GDAL marks as signed) keep their sign, and go by
// default to Int16 cells (they were read as 206).
TEST(CommandLine, SignedBytesKeepTheirSign) {
    TempRoot root;
    const std::string path = root.file("s.tif");
    char** options = CSLSetNameValue(nullptr, "PIXELTYPE", "SIGNEDBYTE");
    GDALAllRegister();
    GDALDatasetH ds =
        GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), 12, 12, 1, GDT_Byte, options);
    CSLDestroy(options);
    ASSERT_NE(ds, nullptr);
    double gt[6] = {500000, 25, 0, 4600000, 0, -25};
    GDALSetGeoTransform(ds, gt);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    std::vector<signed char> cells(144, -50);
    cells[6 * 12 + 6] = -128;
    ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, 12, 12, cells.data(), 12, 12, GDT_Byte, 0, 0),
              CE_None);
    GDALSetRasterNoDataValue(band, -128);
    GDALClose(ds);
    const Session s = command(root, {path, root.file("o.tif"), "--ratio", "1"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("(GTiff, Int16)"), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("1 voids filled"), std::string::npos) << s.err;
    const Raster r = read_raster(root.file("o.tif"));
    ASSERT_EQ(r.cells.size(), 144u);
    for (const double v : r.cells) ASSERT_EQ(v, -50.0);
}

// The reading pass's range of whole-number cells, found in their own type, is that of
// their doubles: every cell's, and the others' once the no-data value's are left out (a
// line of them only has none).
TEST(CommandLine, WholeNumberRangesAreThoseOfTheirDoubles) {
    const auto check = [](auto kind, GDALDataType type, bool signed_bytes) {
        using T = decltype(kind);
        const T lo = std::numeric_limits<T>::lowest(), hi = std::numeric_limits<T>::max();
        const std::vector<std::vector<T>> lines = {{3, lo, 7, hi, 7}, {lo, lo}, {5, 9, 2}};
        for (const auto& line : lines)
            for (const std::optional<double> nodata :
                 {std::optional<double>{}, std::optional<double>{double(lo)},
                  std::optional<double>{double(hi)}, std::optional<double>{7.0},
                  std::optional<double>{7.5}, std::optional<double>{-1e30}}) {
                WholeRange r;
                ASSERT_TRUE(whole_range(line.data(), type, signed_bytes,
                                        static_cast<int>(line.size()), nodata, r));
                double low = HUGE_VAL, high = -HUGE_VAL, valid_low = HUGE_VAL,
                       valid_high = -HUGE_VAL;
                std::uint64_t voids = 0;
                for (const T cell : line) {
                    const double v = cell;
                    low = std::min(low, v);
                    high = std::max(high, v);
                    if (nodata && v == *nodata) {
                        ++voids;
                        continue;
                    }
                    valid_low = std::min(valid_low, v);
                    valid_high = std::max(valid_high, v);
                }
                EXPECT_EQ(r.low, low);
                EXPECT_EQ(r.high, high);
                EXPECT_EQ(r.valid_low, valid_low);
                EXPECT_EQ(r.valid_high, valid_high);
                EXPECT_EQ(r.voids, voids);
            }
    };
    check(std::uint8_t{}, GDT_Byte, false);
    check(std::int8_t{}, GDT_Byte, true);
    check(std::uint16_t{}, GDT_UInt16, false);
    check(std::int16_t{}, GDT_Int16, false);
    check(std::uint32_t{}, GDT_UInt32, false);
    check(std::int32_t{}, GDT_Int32, false);
    WholeRange r;
    EXPECT_FALSE(whole_range(nullptr, GDT_Float32, false, 0, {}, r));
}

// Cells that go out narrower than their type (NBITS, a format of its own precision) or
// with a sign are read back as GDAL reads them: cells without data that would read as
// elevations fail the run (they were written with status 0), bytes with a sign hold
// -128 to 127 (elevations above 127 read as negative), and a format that does not keep
// the sign is refused.
TEST(CommandLine, CellsWrittenNarrowerReadBackAsTheyWereMeant) {
    TempRoot root;
    const std::string path = root.file("h.tif");
    write_geotiff(path, GDT_Int16, 12, 12, [](int i, int j) {
        return i >= 5 && i < 7 && j >= 5 && j < 7 ? -9999.0 : -60.0 + 30 * i + j;
    });
    tag_band(path, -9999.0, 1.0);
    for (const std::vector<std::string>& narrower :
         {std::vector<std::string>{"-ot", "UInt16", "-co", "NBITS=12"},
          std::vector<std::string>{"-ot", "Float32", "-co", "NBITS=16"},
          std::vector<std::string>{"-of", "HF2"}}) {
        std::vector<std::string> arguments = {
            path, root.file("n.out"), "--ratio", "1", "--voids", "keep", "-q"};
        arguments.insert(arguments.end(), narrower.begin(), narrower.end());
        const Session s = command(root, arguments);
        EXPECT_EQ(s.status, 1) << narrower.back() << s.err;
        EXPECT_NE(s.err.find("does not keep the no-data value"), std::string::npos) << s.err;
        EXPECT_FALSE(root.exists("n.out"));
        EXPECT_FALSE(root.has_temporary());
    }
    const Session s = command(root, {path, root.file("s.tif"), "--ratio", "1", "-ot", "Byte", "-co",
                                     "PIXELTYPE=SIGNEDBYTE", "--voids", "keep", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    const Raster r = read_raster(root.file("s.tif"));
    ASSERT_EQ(r.cells.size(), 144u);
    const auto as_signed = [](double v) { return v > 127 ? v - 256 : v; };
    EXPECT_EQ(as_signed(r.cells[0]), -60.0);
    EXPECT_EQ(as_signed(r.cells[5 * 12 + 5]), -128.0) << "no data";
    EXPECT_EQ(as_signed(r.cells[8 * 12 + 8]), 127.0) << "clamped";
    EXPECT_EQ(band_value(root.file("s.tif"), 0), -128.0);
    // Cells stored in fewer bits than their type's are clamped and counted (PNG kept their
    // low bits, GeoTIFF clamped them, both without a word).
    for (const char* format : {"GTiff", "PNG"}) {
        const Session bits = command(root, {path, root.file("b.out"), "--ratio", "1", "-ot", "Byte",
                                            "-of", format, "-co", "NBITS=4", "-q", "--overwrite"});
        EXPECT_EQ(bits.status, 0) << bits.err;
        EXPECT_NE(bits.err.find("(0 to 15) were written as the nearest value"), std::string::npos)
            << bits.err;
        EXPECT_EQ(read_raster(root.file("b.out")).cells.at(8 * 12 + 8), 15.0) << format;
    }
    const Session envi = command(root, {path, root.file("s.bin"), "-of", "ENVI", "--ratio", "1",
                                        "-ot", "Byte", "-co", "PIXELTYPE=SIGNEDBYTE", "-q"});
    EXPECT_EQ(envi.status, 1) << envi.err;
    EXPECT_FALSE(root.exists("s.bin"));
}

// A driver that names files by cutting the end off the output's name: MRF wants an
// extension of three letters (its data files under other names made the output
// unreadable, with status 0); with one, the output reads back.
TEST(CommandLine, MrfOutputsNeedAnExtensionOfThreeLetters) {
    TempRoot root;
    const std::string path = root.file("r.tif");
    write_geotiff(path, GDT_Int16, 10, 10, [](int i, int j) { return 100.0 + i + j; });
    for (const char* name : {"out.x", "dem", "a.b.c"}) {
        const Session s = command(root, {path, root.file(name), "-of", "MRF", "--ratio", "1"});
        EXPECT_EQ(s.status, 2) << s.err;
        EXPECT_EQ(root.snapshot().size(), 1u);
    }
    // A link to a name without one is found once the link is followed.
    ASSERT_EQ(symlink("target", root.file("link.mrf").c_str()), 0);
    const Session linked =
        command(root, {path, root.file("link.mrf"), "-of", "MRF", "--ratio", "1", "-q"});
    EXPECT_EQ(linked.status, 1) << linked.err;
    EXPECT_FALSE(root.exists("target"));
    EXPECT_EQ(root.snapshot().size(), 2u) << "the source and the link";
    // A killed run's data file named after its temporary name cut short goes with the
    // next run on that name.
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    const std::string orphan = "a.mrf.part-" + std::to_string(dead) + ".idx";
    root.write(orphan, "killed");
    const Session s = command(root, {path, root.file("a.mrf"), "-of", "MRF", "--ratio", "1", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(read_raster(root.file("a.mrf")).cells.at(0), 100.0);
    EXPECT_FALSE(root.exists(orphan));
    EXPECT_FALSE(root.has_temporary());
}

// The classic engine takes cells of a no-data value of 0 as its empty cells, but not
// cells that are not numbers: those are refused as other voids are (they went through
// as NaN cells of the output, with status 0).
TEST(CommandLine, TheClassicEngineRefusesCellsThatAreNotNumbers) {
    TempRoot root;
    const std::string path = root.file("z.tif");
    write_geotiff(path, GDT_Float32, 10, 10, [](int i, int j) {
        return i == 5 && j == 5 ? NAN : i == 2 && j == 2 ? 0.0 : 100.0 + i + j;
    });
    tag_band(path, 0.0, 1.0);
    const Session s =
        command(root, {path, root.file("c.tif"), "--engine", "classic", "-q", "--ratio", "1.5"});
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_NE(s.err.find("holds 1 cells that are not numbers"), std::string::npos) << s.err;
    EXPECT_FALSE(root.exists("c.tif"));
}

// Cells of reals within GDAL's tolerance of the no-data value are voids, as GDAL's
// masks and statistics take them (they were read as elevations of -9999).
TEST(CommandLine, CellsOfRealsNearTheNoDataValueAreVoids) {
    TempRoot root;
    const std::string path = root.file("n.tif");
    write_geotiff(path, GDT_Float32, 20, 20, [](int i, int j) {
        return i >= 8 && i < 10 && j >= 8 && j < 10 ? -9999.0005 : 500.0 + i + j;
    });
    tag_band(path, -9999.0, 1.0);
    const Session s = command(root, {path, root.file("k.tif"), "--ratio", "1", "--voids", "keep"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("4 voids kept as no data"), std::string::npos) << s.err;
    EXPECT_EQ(read_raster(root.file("k.tif")).cells.at(8 * 20 + 8), -9999.0);
    // Voids to fill that no filling reached (those above and left of the only valid
    // cell) are counted: the summary said every void was filled.
    write_geotiff(path, GDT_Float32, 20, 20,
                  [](int i, int j) { return i == 7 && j == 11 ? 42.5 : -9999.0; });
    tag_band(path, -9999.0, 1.0);
    const Session f = command(root, {path, root.file("f.tif"), "--ratio", "1"});
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.err.find("10 cells that no filling reached were written as no data"),
              std::string::npos)
        << f.err;
}

TEST(CommandLine, ADialogueGridAndItsGeoTiffGiveTheSameValues) {
    TempRoot root;
    root.write("d/g.asc", terrain_grid());
    Session s = run_program(root, "d g 0 0 0 25 10\n");
    ASSERT_EQ(s.status, 0) << s.err;
    s = command(root, {root.file("d/g.asc"), root.file("d/g.tif"), "--pixel-size", "10", "-ot",
                       "Float64", "-q", "--engine", "classic"});
    ASSERT_EQ(s.status, 0) << s.err;
    const Raster r = read_raster(root.file("d/g.tif"));
    const std::string values = values_of(root.read("d/g_varnel.asc"));
    char text[64];
    std::string ours;
    for (double v : r.cells) {
        std::snprintf(text, sizeof text, "%lf\t", v);
        ours += text;
    }
    EXPECT_TRUE(ours == values) << "the values to the ASCII grid's six decimals";
}

// Overviews, a mask or an .aux.xml left under an absent destination's name by an earlier
// raster were taken by GDAL for the new output's (its placement and overviews came from
// the earlier raster, with status 0): refused unless --overwrite, which removes them.
TEST(CommandLine, SideFilesLeftUnderTheDestinationsNameAreNotTakenForItsOwn) {
    TempRoot root;
    write_geotiff(root.file("t.tif"), GDT_Int16, 30, 40, [](int i, int j) { return i + j; });
    root.write("o.tif.aux.xml",
               "<PAMDataset><GeoTransform>0, 1, 0, 0, 0, -1</GeoTransform></PAMDataset>\n");
    root.write("o.tif.ovr", root.read("t.tif"));
    Session s = command(root, {root.file("t.tif"), root.file("o.tif"), "--ratio", "0.5", "-q"});
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_NE(s.err.find("GDAL would take it for the output's"), std::string::npos) << s.err;
    EXPECT_FALSE(root.exists("o.tif"));
    s = command(root,
                {root.file("t.tif"), root.file("o.tif"), "--ratio", "0.5", "-q", "--overwrite"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_FALSE(root.exists("o.tif.aux.xml"));
    EXPECT_FALSE(root.exists("o.tif.ovr"));
    EXPECT_NEAR(read_raster(root.file("o.tif")).gt[0], 500000.0, 100.0);
    // Also where the destination is a file GDAL does not read; and one that is a file of
    // the source is refused even under --overwrite (it was kept, and the output took it).
    root.write("n.tif", "notes");
    root.write("n.tif.ovr", root.read("t.tif"));
    s = command(root,
                {root.file("t.tif"), root.file("n.tif"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_FALSE(root.exists("n.tif.ovr"));
    root.write("s.tif.ovr", root.read("t.tif"));
    s = command(
        root, {root.file("s.tif.ovr"), root.file("s.tif"), "--ratio", "0.5", "-q", "--overwrite"});
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_NE(s.err.find("is a file of the source"), std::string::npos) << s.err;
    EXPECT_FALSE(root.exists("s.tif"));
}

// An output is read back as GDAL reads it: one placed elsewhere than written (formats
// that keep fewer digits or drop a false easting) fails the run and leaves nothing, and
// one that lost the cells' scale says so.
TEST(CommandLine, AnOutputReadsBackAsItWasWrittenOrTheRunFails) {
    TempRoot root;
    write_geotiff(root.file("t.tif"), GDT_Int16, 30, 40, [](int i, int j) { return i + j; });
    ASSERT_EQ(
        command(root, {root.file("t.tif"), root.file("r.tif"), "--ratio", "0.7", "-q"}).status, 0);
    const Raster reference = read_raster(root.file("r.tif"));
    for (const char* format : {"ZMap", "PDS4", "ELAS"}) {
        const std::string out = root.file(std::string("o.") + format);
        const Session s = command(root, {root.file("t.tif"), out, "--ratio", "0.7", "-q", "-of",
                                         format, "-ot", "Float32"});
        if (s.status == 0) {
            const Raster r = read_raster(out);
            for (int k : {0, 1, 3, 5})
                EXPECT_NEAR(r.gt[k], reference.gt[k], 1e-6 * reference.gt[1]) << format;
        } else {
            EXPECT_EQ(s.status, 1) << format << s.err;
            EXPECT_NE(s.err.find("does not keep the placement"), std::string::npos) << s.err;
            EXPECT_FALSE(root.exists(std::string("o.") + format));
        }
        EXPECT_FALSE(root.has_temporary());
    }
    tag_band(root.file("t.tif"), -9999.0, 0.1);
    const Session s =
        command(root, {root.file("t.tif"), root.file("o.xyz"), "--ratio", "1", "-q", "-of", "XYZ"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("does not keep the cells' scale 0.1"), std::string::npos) << s.err;
}

// Where a block holds several lines (tiles, compressed), the sweep's threads share one
// handle on the source: the output is the bytes of the same cells stored a line a block,
// on one thread or several.
TEST(CommandLine, BlocksOfSeveralLinesGiveTheBytesOfSingleLinesWhateverTheThreads) {
    TempRoot root;
    const auto cells = [](int i, int j) {
        return (i / 7 + j / 5) % 9 == 0 ? -9999.0 : 200.0 + 30.0 * std::sin(i / 11.0) + 0.5 * j;
    };
    const char* const tiled[] = {"TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16", "COMPRESS=DEFLATE",
                                 nullptr};
    const char* const lines[] = {"BLOCKYSIZE=1", nullptr};
    write_geotiff(root.file("lines.tif"), GDT_Float32, 230, 170, cells, lines);
    write_geotiff(root.file("tiles.tif"), GDT_Float32, 230, 170, cells, tiled);
    for (const char* source : {"lines.tif", "tiles.tif"}) tag_band(root.file(source), -9999.0, 1.0);
    std::string reference;
    for (const char* ratio : {"0.45", "2.3"})
        for (const char* source : {"lines.tif", "tiles.tif"})
            for (const char* threads : {"1", "3"}) {
                SCOPED_TRACE(std::string(source) + " by " + ratio + " on " + threads);
                const Session s =
                    command(root, {root.file(source), root.file("o.tif"), "--ratio", ratio, "-ot",
                                   "Float64", "--threads", threads, "-q", "--overwrite"});
                ASSERT_EQ(s.status, 0) << s.err;
                const Raster r = read_raster(root.file("o.tif"));
                const std::string bytes(reinterpret_cast<const char*>(r.cells.data()),
                                        r.cells.size() * sizeof(double));
                if (source == std::string("lines.tif") && threads == std::string("1"))
                    reference = bytes;
                EXPECT_EQ(bytes, reference);
            }
}

#endif
