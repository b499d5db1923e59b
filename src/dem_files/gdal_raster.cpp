// Sources and destinations through GDAL's C API. Every call's result is checked and a
// failure becomes our message naming the file with GDAL's own words; lines are read and
// written through RasterIO on one line at a time, never a whole band, with the block
// cache bounded. Each thread of the sweep reads through a dataset handle of its own,
// but where a block holds several lines: those threads share one handle, so that each
// block is decoded once.
#include "dem_files/gdal_raster.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_minixml.h>
#include <cpl_string.h>
#include <gdal.h>
#include <gdal_frmts.h>
#include <gdal_priv.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "answers.h"
#include "dem_files/gdal_cells.h"
#include "dem_files/line_sums.h"
#include "dem_files/pending_output.h"
#include "failure.h"
#include "host_files.h"
#include "host_memory.h"
#include "phase_times.h"
#include "wide_rows.h"

namespace {

// A message of GDAL's on one line, as every message of ours is.
std::string one_line(std::string message) {
    std::replace(message.begin(), message.end(), '\n', ' ');
    std::replace(message.begin(), message.end(), '\r', ' ');
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message;
}

std::string gdal_words() {
    const std::string message = one_line(CPLGetLastErrorMsg());
    return message.empty() ? "GDAL gives no reason" : message;
}

[[noreturn]] void gdal_failed(const std::string& what) { fail(what + ": " + gdal_words()); }

// GDAL's warnings are reported once each as ours; its errors are kept for the message
// of the call that failed.
void CPL_STDCALL on_gdal_message(CPLErr level, CPLErrorNum, const char* message) {
    if (level != CE_Warning || message == nullptr) return;
    static std::mutex guard;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> hold(guard);
    if (told.insert(message).second) report("GDAL: " + one_line(message));
}

struct DatasetCloser {
    void operator()(void* dataset) const {
        if (dataset != nullptr) GDALClose(dataset);
    }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

// GeoTIFF is registered first: registering every driver takes longer than many runs
// take. The others are registered when a file or a format needs them.
std::once_flag all_registered;
void register_all() {
    std::call_once(all_registered, [] { GDALAllRegister(); });
}

GDALDriverH driver_named(const std::string& format) {
    GDALDriverH driver = GDALGetDriverByName(format.c_str());
    if (driver != nullptr) return driver;
    register_all();
    return GDALGetDriverByName(format.c_str());
}

Dataset open_dataset(const std::string& path) {
    const unsigned flags = GDAL_OF_RASTER | GDAL_OF_READONLY;
    CPLErrorReset();
    Dataset dataset(GDALOpenEx(host_path(path).c_str(), flags, nullptr, nullptr, nullptr));
    if (!dataset) {
        register_all();
        CPLErrorReset();
        dataset.reset(GDALOpenEx(host_path(path).c_str(), flags | GDAL_OF_VERBOSE_ERROR, nullptr,
                                 nullptr, nullptr));
    }
    if (!dataset) gdal_failed("cannot open " + shown_name(path));
    if (GDALGetRasterCount(dataset.get()) < 1)
        fail("cannot read " + shown_name(path) + ": it holds no raster band");
    return dataset;
}

std::uint64_t block_row_bytes(GDALRasterBandH band, int columns) {
    int bx = 0, by = 0;
    GDALGetBlockSize(band, &bx, &by);
    const std::uint64_t width = bx > 0 ? (static_cast<std::uint64_t>(columns) + bx - 1) / bx * bx
                                       : static_cast<std::uint64_t>(columns);
    const int size = GDALGetDataTypeSizeBytes(GDALGetRasterDataType(band));
    return width * static_cast<std::uint64_t>(by > 0 ? by : 1) * static_cast<std::uint64_t>(size);
}

// Room in GDAL's block cache for `bytes` more: a destination's row of blocks, filled
// line by line, is written out whole when the next row's blocks push it from the cache.
void widen_gdal_cache(std::uint64_t bytes) {
    GDALSetCacheMax64(GDALGetCacheMax64() + static_cast<GIntBig>(bytes));
}

// GDAL's messages held back while it lives.
struct QuietGdal {
    QuietGdal() { CPLPushErrorHandler(CPLQuietErrorHandler); }
    ~QuietGdal() {
        CPLPopErrorHandler();
        CPLErrorReset();
    }
    QuietGdal(const QuietGdal&) = delete;
    QuietGdal& operator=(const QuietGdal&) = delete;
};

// A coordinate system from its text: WKT or another form GDAL takes without opening a
// file or the network for it, or the older form of a .prj, keyword lines ("Projection
// UTM", "Zone 31"...).
bool read_crs(OGRSpatialReferenceH srs, const std::string& text) {
    const QuietGdal quiet;
    if (OGRSpatialReference::FromHandle(srs)->SetFromUserInput(
            text.c_str(), OGRSpatialReference::SET_FROM_USER_INPUT_LIMITATIONS_get()) ==
        OGRERR_NONE)
        return true;
    char** lines = CSLTokenizeString2(text.c_str(), "\r\n", 0);
    const bool read = OSRImportFromESRI(srs, lines) == OGRERR_NONE;
    CSLDestroy(lines);
    return read;
}

// The ground unit of a coordinate system, for messages.
std::string unit_of(const std::string& wkt) {
    if (wkt.empty()) return "units";
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    std::string unit = "units";
    if (read_crs(srs, wkt)) {
        if (OSRIsGeographic(srs)) {
            unit = "degrees";
        } else {
            char* name = nullptr;
            const double metres = OSRGetLinearUnits(srs, &name);
            unit = metres == 1.0 ? "m" : name != nullptr ? name : "units";
        }
    }
    OSRDestroySpatialReference(srs);
    return unit;
}

// The placement of a dataset: north up, square cells.
void place(RasterFacts& f, GDALDatasetH dataset, const std::string& path) {
    double gt[6];
    if (GDALGetGeoTransform(dataset, gt) != CE_None) return;  // cells of 1, as GDAL takes them
    const std::string name = shown_name(path);
    if (gt[2] != 0.0 || gt[4] != 0.0)
        fail(name + " is rotated: this program needs north-up rasters; warp it first (gdalwarp)");
    if (!(gt[1] > 0) || !(gt[5] < 0))
        fail(name + ": its lines go up or its columns go west (geotransform " + number_text(gt[1]) +
             ", " + number_text(gt[5]) +
             "); this program needs north-up rasters; warp it first (gdalwarp)");
    if (std::fabs(gt[1] + gt[5]) > 1e-9 * gt[1])
        fail(name + ": its cells are not square (" + number_text(gt[1]) + " x " +
             number_text(-gt[5]) +
             "): this program needs square cells; resample the raster to square cells first "
             "(for instance gdalwarp -tr " +
             number_text(gt[1]) + " " + number_text(gt[1]) + ")");
    f.x0 = gt[0];
    f.y0 = gt[3];
    f.pixel = gt[1];
    f.georeferenced = true;
}

// Whether a band's cells are masked otherwise than by its no-data value: by a mask band
// or an alpha band, whose 0 marks a cell without data.
bool has_mask(GDALRasterBandH band) {
    return (GDALGetMaskFlags(band) & (GMF_ALL_VALID | GMF_NODATA)) == 0;
}

// Whether a Byte band holds signed bytes, as GDAL marks the bands of GeoTIFFs that do.
bool holds_signed_bytes(GDALRasterBandH band) {
    if (GDALGetRasterDataType(band) != GDT_Byte) return false;
    const char* kind = GDALGetMetadataItem(band, "PIXELTYPE", "IMAGE_STRUCTURE");
    return kind != nullptr && EQUAL(kind, "SIGNEDBYTE");
}

// A dataset handle and the lock its readers take, where threads share it.
struct SharedDataset {
    Dataset dataset;
    std::mutex reading;
};

// A line read in the band's own type (whose bytes the line sums mix: fewer than those of
// the doubles) and widened to doubles: in vectors for the types wide_rows converts, here
// for signed bytes (which GDAL takes as unsigned), by GDAL for the others; a cell its
// mask marks without data is a NaN.
class LineReader {
public:
    // `lock`, unless null, is held around each read.
    LineReader(GDALRasterBandH band, std::string path, int columns, std::mutex* lock = nullptr)
        : band_(band),
          mask_band_(has_mask(band) ? GDALGetMaskBand(band) : nullptr),
          path_(std::move(path)),
          columns_(columns),
          type_(GDALGetRasterDataType(band)),
          signed_bytes_(holds_signed_bytes(band)),
          kind_(signed_bytes_ ? std::nullopt : cell_kind(type_)),
          native_(static_cast<std::size_t>(columns) *
                  static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type_))),
          mask_(mask_band_ != nullptr ? static_cast<std::size_t>(columns) : 0),
          lock_(lock) {}

    // Line i in the band's own type (and its mask), for range() or read().
    void read_own(int i) {
        std::unique_lock<std::mutex> hold;
        if (lock_ != nullptr) hold = std::unique_lock<std::mutex>(*lock_);
        if (GDALRasterIO(band_, GF_Read, 0, i, columns_, 1, native_.data(), columns_, 1, type_, 0,
                         0) != CE_None ||
            (mask_band_ != nullptr &&
             GDALRasterIO(mask_band_, GF_Read, 0, i, columns_, 1, mask_.data(), columns_, 1,
                          GDT_Byte, 0, 0) != CE_None))
            gdal_failed("cannot read line " + std::to_string(i + 1) + " of " + shown_name(path_));
    }
    // The range of the line read_own() read, where whole numbers without a mask allow it
    // to be found in their own type.
    bool range(const std::optional<double>& nodata, WholeRange& range) const {
        return mask_band_ == nullptr &&
               whole_range(native_.data(), type_, signed_bytes_, columns_, nodata, range);
    }
    void read(int i, double* out) {
        read_own(i);
        widen(out);
    }
    // The line read_own() read as doubles, NaN where its mask says no data.
    void widen(double* out) const {
        if (signed_bytes_)
            for (std::size_t j = 0; j < native_.size(); ++j)
                out[j] = static_cast<signed char>(native_[j]);
        else if (kind_)
            wide_rows.from_cells(native_.data(), out, columns_, *kind_);
        else
            GDALCopyWords64(native_.data(), type_, GDALGetDataTypeSizeBytes(type_), out,
                            GDT_Float64, sizeof(double), columns_);
        for (std::size_t j = 0; j < mask_.size(); ++j)
            if (mask_[j] == 0) out[j] = NAN;
    }
    // The sum of the line's bytes as read, its mask's too: a mask in a file of its own
    // may change apart from the band.
    std::uint64_t sum() const {
        const std::uint64_t band = LineSums::of(native_.data(), native_.size());
        if (mask_.empty()) return band;
        const std::uint64_t mask = LineSums::of(mask_.data(), mask_.size());
        return band ^ ((mask << 1) | (mask >> 63));
    }
    // Whether a cell can be a void: a band with a no-data value or a mask, or of reals (a
    // NaN).
    bool may_hold_voids(const std::optional<double>& nodata) const {
        return nodata.has_value() || mask_band_ != nullptr || GDALDataTypeIsFloating(type_);
    }
    GDALDataType type() const { return type_; }

private:
    GDALRasterBandH band_, mask_band_;
    std::string path_;
    int columns_;
    GDALDataType type_;
    bool signed_bytes_;
    std::optional<CellKind> kind_;  // where the vectors widen the band's cells
    std::vector<unsigned char> native_, mask_;
    std::mutex* lock_;
};

// A reader of band 1 of a shared dataset, made under its lock: the band's mask is looked
// up, which may change the dataset's state.
LineReader shared_reader(SharedDataset& shared, const std::string& path, int columns) {
    const std::lock_guard<std::mutex> hold(shared.reading);
    return LineReader(GDALGetRasterBand(shared.dataset.get(), 1), path, columns, &shared.reading);
}

// Lines in one of the band's blocks.
int block_lines(GDALRasterBandH band) {
    int bx = 0, by = 0;
    GDALGetBlockSize(band, &bx, &by);
    return std::max(by, 1);
}

// A band's voids as GDAL's masks and statistics tell them: cells that are not finite,
// or that read as the no-data value, taken in the band's type (a Float32 band's no-data
// value as a float).
class VoidTest {
public:
    VoidTest(const std::optional<double>& nodata, GDALDataType type)
        : value_(nodata ? *nodata : NAN), float32_(type == GDT_Float32) {
        if (float32_ && std::fabs(value_) <= FLT_MAX)
            value_ = static_cast<double>(static_cast<float>(value_));
        if (std::isfinite(value_) && GDALDataTypeIsFloating(type))
            near_ = 8 * std::numeric_limits<float>::epsilon() * std::fabs(value_);
    }

    // Whether a cell is a void: one not finite, or else within near() of the no-data value.
    bool operator()(double v) const {
        if (!std::isfinite(v) || v == value_) return true;
        if (!(std::fabs(v - value_) <= near_)) return false;
        return reads_as_nodata_in(float32_ ? GDT_Float32 : GDT_Float64, v, value_);
    }
    double value() const { return value_; }
    double near() const { return near_; }

private:
    double value_;
    bool float32_;
    double near_ = 0.0;  // no cell farther from the value is a void
};

// The voids of a line counted, and with `mark` made NaN: the cells looked at in pairs,
// without a branch for each (the compiler keeps a scalar compare for a NaN, for the
// exceptions it may raise); a pair with a cell not finite or near the no-data value is
// then looked at cell by cell.
std::uint64_t voids_of(double* row, int columns, const VoidTest& is_void, bool mark) {
    std::uint64_t voids = 0;
    int j = 0;
#ifdef __SSE2__
    const __m128d infinite = _mm_set1_pd(INFINITY), value = _mm_set1_pd(is_void.value()),
                  near = _mm_set1_pd(is_void.near()),
                  magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    for (; j + 2 <= columns; j += 2) {
        const __m128d v = _mm_loadu_pd(row + j);
        const __m128d off = _mm_and_pd(_mm_sub_pd(v, value), magnitude);
        const __m128d may = _mm_or_pd(_mm_or_pd(_mm_cmpunord_pd(v, v), _mm_cmple_pd(off, near)),
                                      _mm_cmpeq_pd(_mm_and_pd(v, magnitude), infinite));
        if (_mm_movemask_pd(may) == 0) continue;
        for (int k = j; k < j + 2; ++k)
            if (is_void(row[k])) {
                ++voids;
                if (mark) row[k] = NAN;
            }
    }
#endif
    for (; j < columns; ++j)
        if (is_void(row[j])) {
            ++voids;
            if (mark) row[j] = NAN;
        }
    return voids;
}

// One thread's lines, read through a dataset handle as the sweep asks for them.
class GdalLines {
public:
    GdalLines(std::shared_ptr<SharedDataset> dataset, const std::string& path, int lines,
              int columns, std::optional<double> nodata, bool voids_as_nan,
              std::shared_ptr<const LineSums> sums)
        : dataset_(std::move(dataset)),
          reader_(shared_reader(*dataset_, path, columns)),
          shown_(shown_name(path)),
          lines_(lines),
          columns_(columns),
          is_void_(nodata, reader_.type()),
          mark_voids_(voids_as_nan && reader_.may_hold_voids(nodata)),
          edge_margins_(voids_as_nan),
          sums_(std::move(sums)),
          window_(
              columns, [this](int i, double* data) { make(i, data); }, false) {}

    const double* line(int row) { return window_.line(shown_row(row), lines_); }
    void forget(int row) { window_.forget(shown_row(row)); }

private:
    // For the void-aware engine, a margin line is the nearest data line.
    int shown_row(int row) const {
        return edge_margins_ ? std::clamp(row, margin_before, lines_ + margin_before - 1) : row;
    }

    void make(int i, double* data) {
        reader_.read(i, data);
        sums_->check(i, reader_.sum(), shown_);
        if (mark_voids_) voids_of(data, columns_, is_void_, true);
        if (edge_margins_) {  // the nearest data cell
            std::fill(data - margin_before, data, data[0]);
            std::fill(data + columns_, data + columns_ + margin_after, data[columns_ - 1]);
        }
    }

    std::shared_ptr<SharedDataset> dataset_;
    LineReader reader_;
    std::string shown_;
    int lines_, columns_;
    VoidTest is_void_;
    bool mark_voids_;
    bool edge_margins_;
    std::shared_ptr<const LineSums> sums_;
    LineWindow window_;
};

// The lines through `shared`, or through a handle of their own where it is null. The
// other threads' sources share this one's handle where its blocks hold several lines:
// the threads' lines then come from the blocks one of them decoded, where handles of
// their own would decode each block once for each thread.
LineSource gdal_lines(const std::string& path, const RasterFacts& f, bool voids_as_nan,
                      double lowest, double highest, std::shared_ptr<const LineSums> sums,
                      std::shared_ptr<SharedDataset> shared = nullptr) {
    bool shares = shared != nullptr;
    if (!shared) {
        shared = std::make_shared<SharedDataset>();
        shared->dataset = open_dataset(path);
        shares = block_lines(GDALGetRasterBand(shared->dataset.get(), 1)) > 1;
    }
    const auto lines =
        std::make_shared<GdalLines>(shared, path, f.lines, f.columns, f.nodata, voids_as_nan, sums);
    LineSource source{[lines](int row) { return lines->line(row); },
                      [lines](int row) { lines->forget(row); }};
    source.lowest = lowest;
    source.highest = highest;
    source.edge_margins = voids_as_nan;
    source.another = [path, f, voids_as_nan, lowest, highest, sums,
                      kept = shares ? shared : nullptr] {
        return gdal_lines(path, f, voids_as_nan, lowest, highest, sums, kept);
    };
    return source;
}

// The reading pass: every line once, its voids counted and the range of the other cells
// folded as a scan with strict comparisons in the lines' order does.
struct GdalScan {
    RasterScan scan;
    double all_lowest = 0.0, all_highest = 0.0;  // every cell, voids taken as they are
    std::shared_ptr<LineSums> sums;
};

// The pass over lines `first` to `end` - 1, folded from an empty range, each line's sum
// set.
GdalScan scan_part(LineReader& reader, std::vector<double>& row, const RasterFacts& f, int first,
                   int end, LineSums& sums) {
    const bool may_hold_voids = reader.may_hold_voids(f.nodata);
    const VoidTest is_void(f.nodata, reader.type());
    GdalScan part;
    RasterScan& s = part.scan;
    s.lowest = part.all_lowest = std::numeric_limits<double>::infinity();
    s.highest = part.all_highest = -std::numeric_limits<double>::infinity();
    for (int i = first; i < end; ++i) {
        reader.read_own(i);
        sums.set(i, reader.sum());
        WholeRange whole;
        if (reader.range(f.nodata, whole)) {
            if (s.lowest > whole.valid_low) s.lowest = whole.valid_low;
            if (s.highest < whole.valid_high) s.highest = whole.valid_high;
            if (part.all_lowest > whole.low) part.all_lowest = whole.low;
            if (part.all_highest < whole.high) part.all_highest = whole.high;
            s.voids += whole.voids;
            continue;
        }
        reader.widen(row.data());
        std::uint64_t voids = 0;
        if (may_hold_voids) voids = voids_of(row.data(), f.columns, is_void, false);
        if (voids == 0) {
            wide_rows.fold_range(row.data(), f.columns, s.lowest, s.highest);
            if (s.voids == 0) {  // every cell so far is valid: the two ranges are one
                part.all_lowest = s.lowest;
                part.all_highest = s.highest;
            } else {
                wide_rows.fold_range(row.data(), f.columns, part.all_lowest, part.all_highest);
            }
        } else {
            wide_rows.fold_range(row.data(), f.columns, part.all_lowest, part.all_highest);
            for (const double v : row) {
                if (!is_void(v)) {
                    if (s.lowest > v) s.lowest = v;
                    if (s.highest < v) s.highest = v;
                } else if (!std::isfinite(v)) {
                    ++s.not_numbers;
                }
            }
            s.voids += voids;
        }
    }
    return part;
}

// A later part folded into the pass so far. Each range keeps the first of its equal
// extremes (a 0 before a -0, say) and a later part's extreme only where it is strictly
// beyond: folding the parts in the lines' order gives what one scan of every line does.
void fold_part(GdalScan& into, const GdalScan& part) {
    if (into.scan.lowest > part.scan.lowest) into.scan.lowest = part.scan.lowest;
    if (into.scan.highest < part.scan.highest) into.scan.highest = part.scan.highest;
    if (into.all_lowest > part.all_lowest) into.all_lowest = part.all_lowest;
    if (into.all_highest < part.all_highest) into.all_highest = part.all_highest;
    into.scan.voids += part.scan.voids;
    into.scan.not_numbers += part.scan.not_numbers;
}

// Lines of a part: whole rows of the source's blocks (so that each block is decoded
// once), about 1 MiB of its cells or more.
int lines_per_part(GDALRasterBandH band, int columns) {
    const std::uint64_t rows = std::max<std::uint64_t>(
        1, (std::uint64_t{1} << 20) / std::max<std::uint64_t>(1, block_row_bytes(band, columns)));
    return static_cast<int>(
        std::min<std::uint64_t>(rows * static_cast<std::uint64_t>(block_lines(band)), INT_MAX));
}

// The parts shared among `threads` threads, each reading through a dataset handle of its
// own and taking the next part as it is done; the parts' folds are folded in order.
GdalScan scan_lines(const std::string& path, const RasterFacts& f, int threads,
                    const std::function<void(double)>& progress) {
    PhaseTimer timer("reading");
    const Dataset first_handle = open_dataset(path);
    const int per_part = lines_per_part(GDALGetRasterBand(first_handle.get(), 1), f.columns);
    const int parts = static_cast<int>((static_cast<long long>(f.lines) + per_part - 1) / per_part);
    const auto sums = std::make_shared<LineSums>(f.lines);
    std::vector<GdalScan> folds(static_cast<std::size_t>(parts));
    std::atomic<int> next{0}, lines_done{0};
    std::atomic<bool> failed{false};
    double reported = 0.0;  // by the calling thread, the only one that reports
    const auto take_parts = [&](GDALDatasetH dataset, bool reports) {
        LineReader reader(GDALGetRasterBand(dataset, 1), path, f.columns);
        std::vector<double> row(static_cast<std::size_t>(f.columns));
        for (int p; !failed && (p = next++) < parts;) {
            const int first = p * per_part;  // below f.lines, as every part's first line
            const int end = static_cast<int>(
                std::min<long long>(f.lines, static_cast<long long>(first) + per_part));
            folds[static_cast<std::size_t>(p)] = scan_part(reader, row, f, first, end, *sums);
            lines_done += end - first;
            if (reports && progress) progress(reported = static_cast<double>(lines_done) / f.lines);
        }
    };
    const int helpers_wanted = std::max(0, std::min(threads, parts) - 1);
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(helpers_wanted) + 1);
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t <= helpers_wanted; ++t)
            helpers.emplace_back([&, t] {
                try {
                    const Dataset own = open_dataset(path);
                    take_parts(own.get(), false);
                } catch (...) {
                    errors[static_cast<std::size_t>(t)] = std::current_exception();
                    failed = true;
                }
            });
    } catch (const std::system_error&) {
        // Fewer threads: the parts go to those there are.
    } catch (const std::bad_alloc&) {
    }
    try {
        take_parts(first_handle.get(), true);
    } catch (...) {
        errors[0] = std::current_exception();
        failed = true;
    }
    for (std::thread& helper : helpers) helper.join();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
    GdalScan result = folds.empty() ? GdalScan{} : folds[0];
    for (std::size_t p = 1; p < folds.size(); ++p) fold_part(result, folds[p]);
    result.sums = sums;
    if (progress && reported < 1.0) progress(1.0);
    return result;
}

GDALDataType type_named(const std::string& name) {
    return name.empty() ? GDT_Unknown : GDALGetDataTypeByName(name.c_str());
}

bool is_complex(GDALDataType type) { return GDALDataTypeIsComplex(type) != 0; }

// The cell types a driver says it can create, or empty where it does not say.
std::string creation_types(GDALDriverH driver) {
    const char* types = GDALGetMetadataItem(driver, GDAL_DMD_CREATIONDATATYPES, nullptr);
    return types != nullptr ? types : "";
}

bool driver_holds(GDALDriverH driver, GDALDataType type) {
    const std::string types = creation_types(driver);
    if (types.empty()) return true;
    const std::string name = GDALGetDataTypeName(type);
    for (std::size_t at = 0; (at = types.find(name, at)) != std::string::npos; at += name.size()) {
        const std::size_t end = at + name.size();
        if ((at == 0 || types[at - 1] == ' ') && (end == types.size() || types[end] == ' '))
            return true;
    }
    return false;
}

// The value of the creation option `name`, or empty: the last one given counts, as in
// the list handed to the driver.
std::string option_value(const std::vector<std::pair<std::string, std::string>>& options,
                         const char* name) {
    std::string value;
    for (const auto& option : options)
        if (EQUAL(option.first.c_str(), name)) value = option.second;
    return value;
}

// Whether the creation options ask a Byte band to hold signed bytes.
bool asks_signed_bytes(const std::vector<std::pair<std::string, std::string>>& options) {
    return EQUAL(option_value(options, "PIXELTYPE").c_str(), "SIGNEDBYTE");
}

char** creation_list(const std::vector<std::pair<std::string, std::string>>& options) {
    char** list = nullptr;
    for (const auto& option : options)
        list = CSLSetNameValue(list, option.first.c_str(), option.second.c_str());
    return list;
}

// What a destination holds while it is written: the pending main file, a staging
// GeoTIFF for formats that are copied whole, and the dataset lines go to.
struct GdalDestination {
    DestinationOptions wanted;
    RasterFacts facts;
    GDALDriverH driver = nullptr;
    GDALDataType type = GDT_Unknown;
    bool signed_bytes = false;  // Byte cells asked to hold a sign (PIXELTYPE=SIGNEDBYTE)
    std::unique_ptr<PendingOutput> main, staging;
    Dataset lines_to;
    std::optional<double> nodata;  // as the output's cells hold it
    std::unique_ptr<CellWriter> cells;
    int columns = 0, lines = 0;  // the output's
    int block_lines = 1;         // lines in a row of its blocks
    int blocks_across = 1;       // blocks in such a row
    std::string nodata_note;     // why no data is marked otherwise than asked
    // The file the lines go to when it is the output itself, and the bytes of block rows
    // written since its writeback was last started.
    std::string written_path;
    std::uint64_t unhanded = 0, handover = 0;

    // Closed before its pending files go, with the files the driver made beside them.
    ~GdalDestination() { lines_to.reset(); }
};

// The bits a cell is stored in where a creation option (NBITS) makes them fewer than its
// type's, or 0: as the band made says, or where the driver writes a copy of a staging
// file, as the options ask.
int stored_bits(const GdalDestination& d, bool creates) {
    if (creates) {
        const char* bits =
            GDALGetMetadataItem(GDALGetRasterBand(d.lines_to.get(), 1), "NBITS", "IMAGE_STRUCTURE");
        return bits != nullptr ? std::atoi(bits) : 0;
    }
    return std::atoi(option_value(d.wanted.creation, "NBITS").c_str());
}

// A completed row of the destination's blocks written out by the writer, in order. Left
// in the cache shared with the reading threads, they would be written by whichever
// thread needs room first, and the file's layout (not its cells) would vary from run to
// run.
void write_block_row(const GdalDestination& d, GDALRasterBandH band, int line) {
    GDALRasterBand* const b = GDALRasterBand::FromHandle(band);
    for (int x = 0; x < d.blocks_across; ++x)
        if (b->FlushBlock(x, line / d.block_lines) != CE_None)
            gdal_failed("cannot write " + shown_name(d.wanted.path));
}

// Writing the output to the device starts while the sweep goes on, so that the flush
// before it is put in place has little left to wait for. A staging file is never
// flushed: it goes once the driver has copied it.
void hand_to_device(GdalDestination& d, GDALRasterBandH band) {
    if (d.written_path.empty()) return;
    d.unhanded += block_row_bytes(band, d.columns);
    if (d.unhanded < d.handover) return;
    d.unhanded = 0;
    start_file_writeback(d.written_path);
}

// The output's placement, coordinate system, no-data value, scale and offset; `tell`
// whether a placement that fails ends the run and a coordinate system that cannot be
// read is reported (not for a trial output).
void set_georeferencing(GDALDatasetH dataset, const RasterFacts& facts, const OutputGeometry& g,
                        const std::optional<double>& nodata, bool tell = true) {
    if (facts.georeferenced || facts.pixel > 0) {
        const Placement p = placement_of(facts, g);
        double gt[6] = {p.x, p.sx, 0.0, p.y, 0.0, -p.sy};
        if (GDALSetGeoTransform(dataset, gt) != CE_None && tell)
            gdal_failed("cannot place the output");
    }
    if (!facts.crs.empty()) {
        OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
        if (read_crs(srs, facts.crs))
            GDALSetSpatialRef(dataset, srs);
        else if (tell)
            report("the source's coordinate system could not be read; the output gets none");
        OSRDestroySpatialReference(srs);
    }
    GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
    if (nodata) GDALSetRasterNoDataValue(band, *nodata);
    // The cells are the stored values averaged: the same scale and offset give them meaning.
    if (facts.scale != 1.0) GDALSetRasterScale(band, facts.scale);
    if (facts.offset != 0.0) GDALSetRasterOffset(band, facts.offset);
}

// A path without its last extension.
std::string stem_of(const std::string& path) {
    return path.substr(0, path.size() - extension_of(path).size());
}

// The final name of a file the driver made beside the output, from what followed the
// temporary name's start: the final name's stem and that ending. Where the final name has
// no extension, the one the temporary name was given is no part of it ("x.part-1-0.part.ers"
// goes to "x.ers" as "x.part-1-0.hdr" goes to "x.hdr").
std::string final_beside(const std::string& final_path, std::string ending) {
    const std::string given = kept_extension(final_path);
    if (extension_of(final_path).empty() && ending.rfind(given + ".", 0) == 0)
        ending.erase(0, given.size());
    return stem_of(final_path) + ending;
}

// Whether `path` is the same file as one of `files`.
bool same_as_any(const std::string& path, const std::vector<std::string>& files) {
    for (const std::string& file : files)
        if (same_file(path, file)) return true;
    return false;
}

// Fails where a file the driver makes beside the output, under `final_path`, may not
// be put in place.
void check_beside(const GdalDestination& d, const std::string& final_path) {
    if (same_as_any(final_path, d.facts.files))
        fail("the output " + shown_name(d.wanted.path) + " comes with " + final_path +
             ", which would replace a file of the source: choose another destination");
    if (special_file(final_path) || directory_path(final_path))
        fail("the output " + shown_name(d.wanted.path) + " comes with " + final_path +
             ", which is not a regular file (a folder, a FIFO, a device or a socket)");
    if (path_exists(final_path) && !d.wanted.overwrite)
        fail("the output " + shown_name(d.wanted.path) + " comes with " + final_path +
             ", which exists: give --overwrite to replace it");
}

// The files the driver made beside the main one, each with its final name: the final
// name's stem and what followed the temporary name's ("x.tif.part-1-0.tif.aux.xml" goes
// to "x.tif.aux.xml", "x.dat.part-1-0.hdr" to "x.hdr"). None may replace a file of the
// source, nor, without --overwrite, any file at all.
std::vector<PendingFile> files_beside(GdalDestination& d) {
    std::vector<PendingFile> files;
    for (const auto& made : d.main->made_beside()) {
        const std::string final_path = final_beside(d.main->pending().final_path, made.second);
        check_beside(d, final_path);
        files.push_back(PendingFile{final_path, final_path, made.first, -1, d.wanted.overwrite});
    }
    return files;
}

// A raster opened with GDAL's messages held back; null where it does not open.
Dataset open_quietly(const std::string& path) {
    const QuietGdal quiet;
    return Dataset(
        GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
}

// The file on the disk that a name of GDAL's virtual file systems reads from
// ("/vsigzip/a.tif.gz", "/vsizip/{b.zip}/c.tif"): the longest leading part of the
// name, its handlers and braces taken off, that is a regular file; empty where none is.
std::string container_of(std::string name) {
    if (name.rfind("/vsi", 0) != 0) return "";
    while (name.rfind("/vsi", 0) == 0) {
        const std::size_t slash = name.find('/', 1);
        if (slash == std::string::npos) return "";
        const std::string handler = name.substr(0, slash);
        name.erase(0, slash + 1);
        // Handlers whose file follows their options ("/vsisubfile/0_100,a.tif",
        // "/vsicrypt/key=...,file=a.tif"), up to the text that ends them.
        for (const auto& [options_of, end] :
             {std::pair<std::string, std::string>{"/vsisubfile", ","}, {"/vsicrypt", "file="}}) {
            const std::size_t at = handler == options_of ? name.find(end) : std::string::npos;
            if (at != std::string::npos) name.erase(0, at + end.size());
        }
    }
    name.erase(
        std::remove_if(name.begin(), name.end(), [](char c) { return c == '{' || c == '}'; }),
        name.end());
    for (std::size_t end = name.size(); end > 0;) {
        std::error_code error;
        if (std::filesystem::is_regular_file(name.substr(0, end), error))
            return name.substr(0, end);
        const std::size_t slash = name.rfind('/', end - 1);
        if (slash == std::string::npos) break;
        end = slash;
    }
    return "";
}

// The SourceFilename of every element of a virtual raster's description, its mask
// band's and its overviews' among them (GDAL lists the bands' sources only), each
// relative to the virtual raster's folder where the description says so.
void add_virtual_sources(GDALDatasetH ds, std::vector<std::string>& sources) {
    char** description = GDALGetMetadata(ds, "xml:VRT");
    if (description == nullptr || description[0] == nullptr) return;
    const std::unique_ptr<CPLXMLNode, decltype(&CPLDestroyXMLNode)> root(
        CPLParseXMLString(description[0]), &CPLDestroyXMLNode);
    const std::string folder = CPLGetPath(GDALGetDescription(ds));
    const std::function<void(const CPLXMLNode*)> walk = [&](const CPLXMLNode* node) {
        for (; node != nullptr; node = node->psNext) {
            if (node->eType != CXT_Element) continue;
            if (EQUAL(node->pszValue, "SourceFilename")) {
                const std::string name = CPLGetXMLValue(node, nullptr, "");
                const bool relative = CPLTestBool(CPLGetXMLValue(node, "relativeToVRT", "0"));
                if (!name.empty())
                    sources.push_back(
                        relative ? CPLProjectRelativeFilename(folder.c_str(), name.c_str()) : name);
            }
            walk(node->psChild);
        }
    };
    walk(root.get());
}

// Every file a dataset is read from: the files GDAL lists for it and, for a virtual
// raster, those of each raster it is made of (their masks and overviews, a virtual
// raster within it, its own mask band's), with the file on the disk a name of GDAL's
// virtual file systems reads from, so that no output replaces a file the source is made
// of however deep it lies. Only a virtual raster's sources are opened: GDAL opens them to
// read it anyway, where another file of a list need not be a raster at all. Files are
// told apart by their canonical paths ("sub/../a.vrt" is "a.vrt"), so that each is
// opened once and a virtual raster that refers to itself ends the search.
std::vector<std::string> files_of(GDALDatasetH dataset) {
    const auto key = [](const std::string& path) {
        std::error_code error;
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
        return error ? path : canonical.string();
    };
    std::vector<std::string> files;
    std::set<std::string> listed, opened;
    const std::function<void(GDALDatasetH)> take = [&](GDALDatasetH ds) {
        opened.insert(key(GDALGetDescription(ds)));
        GDALDriverH driver = GDALGetDatasetDriver(ds);
        const bool is_virtual = driver != nullptr && EQUAL(GDALGetDriverShortName(driver), "VRT");
        char** list = GDALGetFileList(ds);
        std::vector<std::string> named;
        for (char** file = list; file != nullptr && *file != nullptr; ++file)
            named.push_back(*file);
        CSLDestroy(list);
        if (is_virtual) add_virtual_sources(ds, named);
        named.push_back(GDALGetDescription(ds));
        std::vector<std::string> parts;
        for (const std::string& file : named) {
            const std::string k = key(file);
            if (listed.insert(k).second) files.push_back(file);
            if (is_virtual && opened.insert(k).second) parts.push_back(file);
            const std::string container = container_of(file);
            if (!container.empty() && listed.insert(key(container)).second)
                files.push_back(container);
        }
        for (const std::string& part : parts)
            if (const Dataset raster = open_quietly(part)) take(raster.get());
    };
    take(dataset);
    return files;
}

// The folder of a path as GDAL splits it, "." for a bare name.
std::string folder_of(const std::string& path) {
    const std::string folder = CPLGetPath(path.c_str());
    return folder.empty() ? "." : folder;
}

// Whether a file that the old destination's dataset lists is a side file of that
// destination (its overviews, statistics, mask, header or world file), which would
// otherwise describe the new output: in the same folder, named as the destination with
// more after it, or as its stem with the extension of such a file. A virtual raster
// lists the files it is made of, of any name, and those are nobody's side files.
bool side_file_of(const std::string& path, const std::string& main) {
    if (!same_file(folder_of(path), folder_of(main))) return false;
    const std::string name = CPLGetFilename(path.c_str());
    const std::string main_name = CPLGetFilename(main.c_str());
    if (name.rfind(main_name + ".", 0) == 0) return true;
    const std::string stem = CPLGetBasename(main.c_str());
    if (name.rfind(stem + ".", 0) != 0) return false;
    const std::string kind = CPLGetExtension(name.c_str());
    for (const char* side : {"hdr", "prj", "aux", "rrd", "stx", "clr", "wld"})
        if (EQUAL(kind.c_str(), side)) return true;
    // A world file: the raster's extension with a w, or its first and last letters with
    // one ("tif": "tifw" or "tfw").
    const std::string own = CPLGetExtension(main.c_str());
    return !own.empty() && name == stem + "." + kind &&
           (EQUAL(kind.c_str(), (own + "w").c_str()) ||
            EQUAL(kind.c_str(), (own.substr(0, 1) + own.substr(own.size() - 1) + "w").c_str()));
}

const char* const leftover_text =
    " exists, and GDAL would take it for the output's: give --overwrite to remove it, or "
    "choose another destination";

// Regular files named as an output with more after it that GDAL reads with the output as
// its own where they exist (overviews, a mask, statistics and placement), as an earlier
// raster of that name may have left them: the output would take that raster's overviews,
// mask or placement. Only these names are looked at: a file named after the stem
// ("x.aux", "x.hdr") may as well belong to another raster of that stem.
std::vector<std::string> leftover_side_files(const std::string& main) {
    std::vector<std::string> found;
    for (const char* side : {".ovr", ".OVR", ".msk", ".MSK", ".aux.xml", ".AUX.XML"}) {
        const std::string path = main + side;
        std::error_code error;
        // The same file under another case counts once, where case does not count.
        if (std::filesystem::is_regular_file(path, error) && !same_as_any(path, found))
            found.push_back(path);
    }
    return found;
}

// The side files GDAL would take for the new output's (the replaced raster's overviews,
// mask, world file, .aux.xml, and those leftover_side_files finds), but for the files
// the output replaces in turn and those of the source: they go once it is in place.
// They go only under --overwrite: without it, one that appeared since the check before
// the work fails the run.
std::vector<std::string> stale_files(const GdalDestination& d,
                                     const std::vector<PendingFile>& installed) {
    const std::string main = d.main->pending().final_path;
    std::vector<std::string> candidates = leftover_side_files(main), kept{main}, stale;
    for (const PendingFile& extra : installed) kept.push_back(extra.final_path);
    kept.insert(kept.end(), d.facts.files.begin(), d.facts.files.end());
    if (path_exists(main)) {
        Dataset old = open_quietly(main);
        if (!old) {  // a raster of another format than those registered so far
            register_all();
            old = open_quietly(main);
        }
        char** files = old ? GDALGetFileList(old.get()) : nullptr;
        for (char** file = files; file != nullptr && *file != nullptr; ++file)
            if (side_file_of(*file, main)) candidates.push_back(*file);
        CSLDestroy(files);
    }
    for (const std::string& path : candidates)
        if (!same_as_any(path, kept) && !same_as_any(path, stale)) stale.push_back(path);
    if (!stale.empty() && !d.wanted.overwrite) fail(shown_name(stale.front()) + leftover_text);
    return stale;
}

// Fails where the written output does not mark its cells without data as no data: some
// formats keep a no-data value of their own or none, and others (or creation options
// such as NBITS) store cells in fewer bits, where the value written is not the value
// read. One such cell is read back, as GDAL's masks take it. Without such cells,
// another no-data value than the one written fails the run where it lies within the
// range of the elevations written: those of that value would read as voids.
void check_nodata_kept(const GdalDestination& d, const OutputGeometry& g, GDALDatasetH out) {
    if (!d.nodata) return;
    GDALRasterBandH band = GDALGetRasterBand(out, 1);
    int has = 0;
    const double kept = GDALGetRasterNoDataValue(band, &has);
    const auto refuse = [&](const std::string& why, const std::string& so) {
        fail("-of " + d.wanted.format + " does not keep the no-data value " +
             number_text(*d.nodata) + " " + why + ", so " + so + "; choose another format" +
             (d.wanted.creation.empty() ? "" : " or other creation options"));
    };
    const std::string says = "(its file says " + number_text(kept) + ")";
    const bool other = has && !reads_as_nodata_in(d.type, *d.nodata, kept);
    if (!d.cells || d.cells->nodata_cells() == 0) {
        if (other && kept >= g.lowest - 1.0 && kept <= g.highest + 1.0)
            refuse(says, "elevations of " + number_text(kept) + " would read as voids");
        return;
    }
    const std::string elevations = "the cells without data would read as elevations";
    if (!has || other) refuse(has ? says : "(its file has none)", elevations);
    const std::int64_t at = d.cells->a_nodata_cell();
    double cell = 0.0;
    if (at < 0 || GDALRasterIO(band, GF_Read, static_cast<int>(at % d.columns),
                               static_cast<int>(at / d.columns), 1, 1, &cell, 1, 1, GDT_Float64, 0,
                               0) != CE_None)
        gdal_failed("cannot read " + shown_name(d.wanted.path) + " back");
    if (holds_signed_bytes(band) && cell > 127) cell -= 256;  // read as unsigned
    if (!reads_as_nodata_in(GDALGetRasterDataType(band), cell, kept))
        refuse("in its cells (one written as " + number_text(*d.nodata) + " reads as " +
                   number_text(cell) + ")",
               elevations);
}

// Fails where the output read back is placed otherwise than it was written by more than
// a thousandth of a cell at one of its corners (formats that keep coordinates in fewer
// digits, or without a false easting), and says so beyond a millionth (seven decimals of
// a degree) and where it is not placed at all.
void check_placement_kept(const GdalDestination& d, const OutputGeometry& g, GDALDatasetH out) {
    if (!(d.facts.georeferenced || d.facts.pixel > 0)) return;
    const Placement p = placement_of(d.facts, g);
    const double written[6] = {p.x, p.sx, 0.0, p.y, 0.0, -p.sy};
    double read[6];
    const std::string format = "-of " + d.wanted.format, name = shown_name(d.wanted.path);
    if (GDALGetGeoTransform(out, read) != CE_None) {
        report(format + " does not keep the placement: " + name + " has none");
        return;
    }
    double shift = 0.0;  // the farthest a corner moved, in cells
    for (const double column : {0.0, static_cast<double>(d.columns)})
        for (const double line : {0.0, static_cast<double>(d.lines)}) {
            const auto at = [&](const double* t, int k) {
                return t[k] + t[k + 1] * column + t[k + 2] * line;
            };
            shift = std::max({shift, std::fabs(at(read, 0) - at(written, 0)) / p.sx,
                              std::fabs(at(read, 3) - at(written, 3)) / p.sy});
        }
    const std::string read_at = name + " reads back with its corner at (" + number_text(read[0]) +
                                ", " + number_text(read[3]) + ")";
    if (!(shift <= 1e-3))
        fail(format + " does not keep the placement: " + read_at + " and cells of " +
             number_text(read[1]) + " x " + number_text(-read[5]) + ", written at (" +
             number_text(written[0]) + ", " + number_text(written[3]) + ") with cells of " +
             number_text(p.sx) + " x " + number_text(p.sy) + "; choose another format");
    if (shift > 1e-6)
        report(format + " keeps the placement to " + number_text(shift) + " of a cell: " + read_at);
}

// Says where the output read back has lost the source's coordinate system (one that
// could be read: one that could not was said to go), or the scale and offset that give
// its cells their meaning.
void check_meaning_kept(const GdalDestination& d, GDALDatasetH out) {
    const std::string format = "-of " + d.wanted.format;
    if (!d.facts.crs.empty() && GDALGetSpatialRef(out) == nullptr) {
        OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
        if (read_crs(srs, d.facts.crs))
            report(format + " does not keep the coordinate system: " + shown_name(d.wanted.path) +
                   " has none");
        OSRDestroySpatialReference(srs);
    }
    GDALRasterBandH band = GDALGetRasterBand(out, 1);
    if (GDALGetRasterScale(band, nullptr) != d.facts.scale ||
        GDALGetRasterOffset(band, nullptr) != d.facts.offset)
        report(format + " does not keep the cells' scale " + number_text(d.facts.scale) +
               " and offset " + number_text(d.facts.offset) + ": " + shown_name(d.wanted.path) +
               " holds the cells as they are stored");
}

// Fails where cells written as bytes with a sign would be read without it: a driver that
// does not keep the mark of signed bytes.
void check_signed_bytes_kept(const GdalDestination& d, GDALDatasetH out) {
    if (d.signed_bytes && !holds_signed_bytes(GDALGetRasterBand(out, 1)))
        fail("-of " + d.wanted.format +
             " does not keep bytes with a sign (PIXELTYPE=SIGNEDBYTE): negative elevations "
             "would read as large ones; choose another format or -ot Int16");
}

// Fails where the driver wrote files named after the output's temporary name otherwise
// than the ones made beside it (with a dot after that name, or nothing): they could not
// go with it. They are the run's own, and go.
void check_files_known(const GdalDestination& d) {
    const std::vector<std::string> unknown = d.main->made_otherwise();
    if (unknown.empty()) return;
    for (const std::string& file : unknown) std::remove(file.c_str());
    fail("-of " + d.wanted.format + " made " + shown_name(unknown.front()) +
         " (removed), which cannot go with the output under its name; choose another format");
}

// The whole of a small text file, or nothing where it holds a NUL byte, is larger than
// `most` bytes or cannot be read: a binary file is told from its first bytes.
std::optional<std::string> small_text(const std::string& path, std::size_t most) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    std::string text;
    char chunk[8192];
    bool text_only = true;
    for (std::size_t got; text_only && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        text.append(chunk, got);
        text_only = text.size() <= most && std::memchr(chunk, '\0', got) == nullptr;
    }
    text_only = text_only && std::ferror(f) == 0;
    std::fclose(f);
    return text_only ? std::optional<std::string>(text) : std::nullopt;
}

// Replaces every `from` in `text` by `to`; whether there was one.
bool replace_all(std::string& text, const std::string& from, const std::string& to) {
    bool any = false;
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
        any = true;
    }
    return any;
}

// The files a driver wrote that name the output by its temporary name (a header its
// data file, or itself) name it by its final one: in text files (without a NUL byte) of
// up to 1 MiB, the temporary name becomes the final name, and the temporary stem the
// final stem.
void name_final(const PendingFile& main, const std::vector<PendingFile>& beside) {
    const std::string temp = CPLGetFilename(main.temp_path.c_str());
    const std::string final_name = CPLGetFilename(main.final_path.c_str());
    const std::string temp_stem = stem_of(temp), final_stem = stem_of(final_name);
    std::vector<const PendingFile*> written{&main};
    for (const PendingFile& extra : beside) written.push_back(&extra);
    for (const PendingFile* file : written) {
        std::optional<std::string> text = small_text(file->temp_path, 1 << 20);
        if (!text) continue;
        bool named = replace_all(*text, temp, final_name);
        named = replace_all(*text, temp_stem, final_stem) || named;
        if (!named) continue;
        std::FILE* f = std::fopen(file->temp_path.c_str(), "wb");
        const bool written_out =
            f != nullptr && std::fwrite(text->data(), 1, text->size(), f) == text->size();
        if ((f != nullptr && std::fclose(f) != 0) || !written_out)
            fail("cannot write " + shown_name(file->final_path) + ": " + system_error());
    }
}

// The written output read back as GDAL reads it, through its main file or, where that
// is no raster GDAL opens, a file made beside it (a header): a run whose output cannot
// be read, or reads other cells, placement or no-data value than were written, fails.
void check_read_back(const GdalDestination& d, const OutputGeometry& g,
                     const std::vector<PendingFile>& beside) {
    Dataset out = open_quietly(d.main->pending().temp_path);
    for (const PendingFile& file : beside)
        if (!out) out = open_quietly(file.temp_path);
    const std::string name = shown_name(d.wanted.path);
    if (!out)
        fail("GDAL cannot read " + name + " back as -of " + d.wanted.format +
             " wrote it; choose another format");
    if (GDALGetRasterXSize(out.get()) != d.columns || GDALGetRasterYSize(out.get()) != d.lines)
        fail(name + " reads back as " + std::to_string(GDALGetRasterYSize(out.get())) + " x " +
             std::to_string(GDALGetRasterXSize(out.get())) + " cells, not the " +
             std::to_string(d.lines) + " x " + std::to_string(d.columns) +
             " written; choose another format");
    check_nodata_kept(d, g, out.get());
    check_signed_bytes_kept(d, out.get());
    check_placement_kept(d, g, out.get());
    check_meaning_kept(d, out.get());
}

void finish_gdal(GdalDestination& d, const OutputGeometry& g) {
    const std::string name = shown_name(d.wanted.path);
    Dataset copy;
    if (d.staging) {
        // The driver copies the staging file in rows of its own blocks: room for 512
        // lines of the written type, the tallest blocks such drivers make by default.
        const GDALRasterBandH band = GDALGetRasterBand(d.lines_to.get(), 1);
        widen_gdal_cache(std::uint64_t{512} *
                         static_cast<std::uint64_t>(GDALGetRasterBandXSize(band)) *
                         static_cast<std::uint64_t>(GDALGetDataTypeSizeBytes(d.type)));
        CPLErrorReset();
        char** options = creation_list(d.wanted.creation);
        copy.reset(GDALCreateCopy(d.driver, d.main->hand_over_name().c_str(), d.lines_to.get(),
                                  FALSE, options, nullptr, nullptr));
        CSLDestroy(options);
        if (!copy) gdal_failed("cannot write " + name);
    }
    CPLErrorReset();
    copy.reset();
    d.lines_to.reset();
    if (CPLGetLastErrorType() == CE_Failure) gdal_failed("cannot write " + name);
    d.staging.reset();
    const std::string main_path = d.main->pending().temp_path;
    std::vector<PendingFile> extra_files = files_beside(d);
    check_files_known(d);
    check_read_back(d, g, extra_files);
    name_final(d.main->pending(), extra_files);
    for (const std::string& path : std::vector<std::string>{main_path})
        if (!sync_file_to_device(path)) fail("cannot write " + name + ": " + system_error());
    for (const PendingFile& extra : extra_files)
        if (!sync_file_to_device(extra.temp_path))
            fail("cannot write " + shown_name(extra.final_path) + ": " + system_error());
    const std::vector<std::string> stale = stale_files(d, extra_files);
    std::vector<PendingFile*> install{&d.main->pending()};
    for (PendingFile& extra : extra_files) install.push_back(&extra);
    install_pending(install);
    for (const std::string& file : stale) std::remove(file.c_str());
}

}  // namespace

std::string gdal_version() { return GDALVersionInfo("RELEASE_NAME"); }

void start_gdal() {
    static std::once_flag once;
    std::call_once(once, [] {
        GDALRegister_GTiff();
        CPLSetErrorHandler(on_gdal_message);
    });
}

// Output lines converted to the destination's type ahead of the writer, at most.
constexpr int converted_lines = 8;

// A little beyond the blocks themselves for GDAL's own bookkeeping.
constexpr std::uint64_t cache_slack = std::uint64_t{4} << 20;

std::uint64_t bound_gdal_cache(std::uint64_t bytes) {
    const std::uint64_t bound = bytes + cache_slack;
    GDALSetCacheMax64(static_cast<GIntBig>(bound));
    return bound;
}

namespace {

// MRF names its data and index files by the header's name less its last four
// characters: only an extension of three letters leaves the header's stem.
bool names_fit(GDALDriverH driver, const std::string& path) {
    if (!EQUAL(GDALGetDriverShortName(driver), "MRF")) return true;
    const std::string name = CPLGetFilename(path.c_str());
    return name.size() >= 5 && name[name.size() - 4] == '.' &&
           name.find('.', name.size() - 3) == std::string::npos;
}
const char* const names_fit_text =
    " names its data files by the destination's name less an extension of three letters: "
    "give one";

}  // namespace

std::string gdal_output_problem(const std::string& format, const std::string& type,
                                const std::string& destination) {
    start_gdal();
    GDALDriverH driver = driver_named(format);
    if (driver == nullptr) return "-of " + format + " is not a format this GDAL knows";
    const bool raster = GDALGetMetadataItem(driver, GDAL_DCAP_RASTER, nullptr) != nullptr;
    const bool writes = GDALGetMetadataItem(driver, GDAL_DCAP_CREATE, nullptr) != nullptr ||
                        GDALGetMetadataItem(driver, GDAL_DCAP_CREATECOPY, nullptr) != nullptr;
    if (!raster || !writes) return "-of " + format + " is not a raster format GDAL writes";
    // Formats whose output is no file that can be put in place: rasters in memory,
    // references to others, services, databases, folders, trees of tiles (written under
    // their own names beside the output).
    for (const char* elsewhere : {"MEM", "VRT", "WMS", "WMTS", "PostGISRaster", "NGW", "Zarr",
                                  "TileDB", "MFF2", "KMLSUPEROVERLAY"})
        if (EQUAL(GDALGetDriverShortName(driver), elsewhere))
            return "-of " + format + " does not write a raster file";
    if (!names_fit(driver, destination))
        return "-of " + format + names_fit_text + " (" + CPLGetBasename(destination.c_str()) +
               ".mrf)";
    if (!type.empty() && (type_named(type) == GDT_Unknown || is_complex(type_named(type))))
        return "-ot " + type +
               " is not a cell type: Byte, Int16, UInt16, Int32, UInt32, "
               "Float32 or Float64";
    if (!type.empty() && !driver_holds(driver, type_named(type)))
        return "-of " + format + " cannot hold " + type + " cells: it holds " +
               creation_types(driver);
    return "";
}

SourceRaster open_gdal_source(const std::string& path) {
    start_gdal();
    const Dataset dataset = open_dataset(path);
    GDALDatasetH ds = dataset.get();
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    SourceRaster source;
    RasterFacts& f = source.facts;
    f.columns = GDALGetRasterXSize(ds);
    f.lines = GDALGetRasterYSize(ds);
    const GDALDataType type = GDALGetRasterDataType(band);
    if (is_complex(type))
        fail("cannot read " + shown_name(path) + ": its cells are complex numbers");
    // Signed bytes go by default to the smallest type that holds them.
    f.type = holds_signed_bytes(band) ? "Int16" : GDALGetDataTypeName(type);
    place(f, ds, path);
    f.control_points = !f.georeferenced && GDALGetGCPCount(ds) > 0;
    int has_nodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
    if (has_nodata) f.nodata = nodata;
    f.files = files_of(ds);
    const char* wkt = GDALGetProjectionRef(ds);
    f.crs = wkt != nullptr ? wkt : "";
    f.unit = unit_of(f.crs);
    if (GDALGetRasterCount(ds) > 1)
        report(shown_name(path) + " has " + std::to_string(GDALGetRasterCount(ds)) +
               " bands; the first is read");
    int has_scale = 0, has_offset = 0;
    const double scale = GDALGetRasterScale(band, &has_scale);
    const double offset = GDALGetRasterOffset(band, &has_offset);
    if (has_scale) f.scale = scale;
    if (has_offset) f.offset = offset;
    source.cache_bytes = block_row_bytes(band, f.columns);
    const auto scanned = std::make_shared<GdalScan>();
    const RasterFacts facts = f;
    source.scan = [path, facts, scanned](int threads, const std::function<void(double)>& progress) {
        *scanned =
            scan_lines(path, facts, std::max(1, std::min(threads, usable_cores())), progress);
        return scanned->scan;
    };
    source.lines = [path, facts, scanned](bool voids_as_nan) {
        if (!voids_as_nan)
            return gdal_lines(path, facts, false, scanned->all_lowest, scanned->all_highest,
                              scanned->sums);
        LineSource lines = gdal_lines(path, facts, true, scanned->scan.lowest,
                                      scanned->scan.highest, scanned->sums);
        lines.may_hold_voids = scanned->scan.voids > 0;
        return lines;
    };
    source.keep = scanned;
    return source;
}

// The files the driver writes beside an output, found before the work from an output
// of one cell made and removed under a temporary name, so that one that may not be put
// in place is refused at once rather than once the work is done. A driver that makes
// no such output is left to the check at the end.
void check_beside_early(const GdalDestination& d, bool creates) {
    PendingOutput probe(d.wanted.path, "wb", true);
    const std::string path = probe.hand_over_name();
    OutputGeometry g;
    g.lines = g.columns = 1;
    g.sx = g.sy = d.facts.pixel > 0 ? d.facts.pixel : 1.0;
    {
        const QuietGdal quiet;
        const std::unique_ptr<char*, decltype(&CSLDestroy)> options(
            creation_list(d.wanted.creation), &CSLDestroy);
        Dataset made;
        if (creates) {
            made.reset(GDALCreate(d.driver, path.c_str(), 1, 1, 1, d.type, options.get()));
            if (made) set_georeferencing(made.get(), d.facts, g, d.nodata, false);
        } else if (GDALDriverH memory = GDALGetDriverByName("MEM")) {
            const Dataset cell(GDALCreate(memory, "", 1, 1, 1, d.type, nullptr));
            if (cell) {
                set_georeferencing(cell.get(), d.facts, g, d.nodata, false);
                made.reset(GDALCreateCopy(d.driver, path.c_str(), cell.get(), FALSE, options.get(),
                                          nullptr, nullptr));
            }
        }
    }
    const std::string main = probe.pending().final_path;
    std::vector<std::string> written;
    for (const auto& beside : probe.made_beside()) {
        written.push_back(final_beside(main, beside.second));
        check_beside(d, written.back());
    }
    for (const std::string& left : leftover_side_files(main)) {
        if (same_as_any(left, written)) continue;
        if (same_as_any(left, d.facts.files))
            fail(shown_name(left) +
                 " is a file of the source, and GDAL would take it for the output's: choose "
                 "another destination");
        if (!d.wanted.overwrite && !path_exists(main)) fail(shown_name(left) + leftover_text);
    }
}

DestinationRaster create_gdal_destination(const DestinationOptions& wanted,
                                          const RasterFacts& facts) {
    start_gdal();
    const auto d = std::make_shared<GdalDestination>();
    d->wanted = wanted;
    d->facts = facts;
    d->driver = driver_named(wanted.format);
    d->type = type_named(wanted.type.empty() ? facts.type : wanted.type);
    if (d->type == GDT_Unknown) d->type = GDT_Float32;
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 7, 0)
    // Such a GDAL makes bytes asked to hold a sign a type of its own, and converts to it.
    if (d->type == GDT_Byte && asks_signed_bytes(wanted.creation)) d->type = GDT_Int8;
#else
    d->signed_bytes = d->type == GDT_Byte && asks_signed_bytes(wanted.creation);
#endif
    if (!driver_holds(d->driver, d->type))
        fail("-of " + wanted.format + " cannot hold " + GDALGetDataTypeName(d->type) +
             " cells, the source's; give -ot with one of: " + creation_types(d->driver));
    d->nodata = nodata_for(d->type, wanted.nodata, d->signed_bytes);
    if (wanted.nodata && !(std::isnan(*wanted.nodata) && std::isnan(*d->nodata)) &&
        *d->nodata != *wanted.nodata)
        d->nodata_note = cell_type_name(d->type, d->signed_bytes) +
                         " cells cannot hold the no-data value " + number_text(*wanted.nodata) +
                         ": no data is marked with " + number_text(*d->nodata);
    const bool creates = GDALGetMetadataItem(d->driver, GDAL_DCAP_CREATE, nullptr) != nullptr;
    check_beside_early(*d, creates);
    d->main = std::make_unique<PendingOutput>(wanted.path, "wb", true);
    if (!wanted.overwrite) d->main->replace_nothing();
    if (!names_fit(d->driver, d->main->pending().final_path))  // a symbolic link's target
        fail("-of " + wanted.format + names_fit_text + ": " +
             shown_name(d->main->pending().final_path) + " has none");
    DestinationRaster out;
    out.sink.start = [d, creates](const OutputGeometry& g) {
        GDALDriverH driver = d->driver;
        std::string path;
        char** options = nullptr;
        if (creates) {
            path = d->main->hand_over_name();
            d->written_path = path;
            options = creation_list(d->wanted.creation);
        } else {
            // Written whole by the driver from a GeoTIFF of the lines: a staging file.
            driver = GDALGetDriverByName("GTiff");
            d->staging =
                std::make_unique<PendingOutput>(d->wanted.path + ".staging.tif", "wb", true);
            path = d->staging->hand_over_name();
            options = CSLSetNameValue(nullptr, "BIGTIFF", "IF_SAFER");
        }
        CPLErrorReset();
        d->lines_to.reset(
            GDALCreate(driver, path.c_str(), g.columns, g.lines, 1, d->type, options));
        CSLDestroy(options);
        if (!d->lines_to) gdal_failed("cannot create " + shown_name(d->wanted.path));
        widen_gdal_cache(block_row_bytes(GDALGetRasterBand(d->lines_to.get(), 1), g.columns));
        set_georeferencing(d->lines_to.get(), d->facts, g, d->nodata);
        d->cells = std::make_unique<CellWriter>(d->type, g.columns, d->nodata, converted_lines,
                                                d->signed_bytes, stored_bits(*d, creates));
        d->columns = g.columns;
        d->lines = g.lines;
        int bx = 0, by = 0;
        GDALGetBlockSize(GDALGetRasterBand(d->lines_to.get(), 1), &bx, &by);
        d->block_lines = std::max(by, 1);
        d->blocks_across = bx > 0 ? (g.columns + bx - 1) / bx : 1;
        const double bytes =
            static_cast<double>(g.lines) * g.columns * GDALGetDataTypeSizeBytes(d->type);
        d->handover = static_cast<std::uint64_t>(std::clamp(bytes / 8, 1.0, 0x1p25));
    };
    // The lines are converted to the output's type by the sweep's threads, ahead of the
    // writer, where it shares that out; the writer converts any line it is handed that
    // nobody converted.
    out.sink.convert = [d](int i, const double* cells) {
        d->cells->convert(i, cells, d->wanted.unit);
    };
    out.sink.converted_lines = converted_lines;
    out.sink.put = [d](int i, const double* cells) {
        const void* line = d->cells->converted(i);
        if (line == nullptr) line = d->cells->convert(i, cells, d->wanted.unit);
        GDALRasterBandH band = GDALGetRasterBand(d->lines_to.get(), 1);
        if (GDALRasterIO(band, GF_Write, 0, i, d->columns, 1, const_cast<void*>(line), d->columns,
                         1, d->type, 0, 0) != CE_None)
            gdal_failed("cannot write " + shown_name(d->wanted.path));
        if ((i + 1) % d->block_lines == 0 || i + 1 == d->lines) {
            write_block_row(*d, band, i);
            hand_to_device(*d, band);
        }
    };
    out.finish = [d](const OutputGeometry& g) { finish_gdal(*d, g); };
    out.files = {wanted.path};
    out.notes = [d] {
        std::vector<std::string> notes;
        if (!d->nodata_note.empty()) notes.push_back(d->nodata_note);
        const std::string changed = d->cells ? d->cells->changes() : "";
        if (!changed.empty()) notes.push_back(changed);
        return notes;
    };
    out.type = GDALGetDataTypeName(d->type);
    out.keep = d;
    return out;
}
