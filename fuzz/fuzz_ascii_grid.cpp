// Fuzz target: the bytes are an ASCII grid file, read with open_input() and
// ascii_lecture(). What the reader accepts is compared with a plain strtod reading of
// the same tokens, header and every cell to the bit. Now and then the file is preceded
// by nearly 1 MiB of blanks, so that tokens straddle the reader's block boundary. A
// small grid that reads is then regridded by treatment() at a ratio chosen from the
// input's hash and written by save() as an ASCII grid or a raw raster; the result must
// describe the output size, stay within the input's range, and, as an ASCII grid, read
// back through the same reader. The writer's own "%lf" text, lf_text(), is compared
// with snprintf for every value read and for the input's bytes taken as doubles.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dem_files/names.h"
#include "dem_varnel/dialogue.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_state.h"
#include "fixed_text.h"
#include "harness.h"
#include "host_files.h"
#include "in_process_run.h"
#include "regrid/engine.h"

namespace {

RunFiles files;
std::string folder;  // host path of c:\images\g
const std::string input_logical = "c:\\images\\g\\in.asc";
const std::string output_stem = "c:\\images\\g\\o";

// Pixel sizes in and out: ratio 1, enlargements, reductions, and ratios that are not
// exact in binary.
const double pixel_sizes[][2] = {{1, 1}, {10, 5}, {5, 10}, {25, 10},
                                 {3, 7}, {7, 3},  {30, 1}, {1, 3}};

// Inputs and outputs larger than this are read but not regridded: the engine is not
// what this target explores, and small grids keep it fast.
constexpr long long most_input_cells = 4096;
constexpr long double most_output_cells = 40000;

constexpr std::size_t reader_block = 1 << 20;  // the reader's buffer

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> tokens_of(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t k = 0;
    while (k < text.size()) {
        while (k < text.size() && blank(text[k])) ++k;
        const std::size_t start = k;
        while (k < text.size() && !blank(text[k])) ++k;
        if (k > start) tokens.push_back(text.substr(start, k - start));
    }
    return tokens;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// lf_text() must write exactly the bytes printf("%lf") writes.
void check_lf_text(double v) {
    char mine[lf_text_room + 1];
    *lf_text(v, mine) = '\0';
    char reference[400];
    std::snprintf(reference, sizeof reference, "%lf", v);
    if (std::strcmp(mine, reference) != 0) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        char text[900];
        std::snprintf(text, sizeof text,
                      "lf_text(%a = bits 0x%016llx) writes \"%s\" where printf writes \"%s\"", v,
                      static_cast<unsigned long long>(bits), mine, reference);
        fuzz::finding(text);
    }
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The whole token, up to its last byte: strtod stops at a NUL inside it ("5\0" "6").
bool whole_real_text(const std::string& s, double& v) {
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return !s.empty() && end == s.c_str() + s.size();
}

// The grid ascii_lecture() accepted, against "%d" and "%lf" (strtod) readings of the
// tokens at the places the header gives: by their labels where every label is a known
// one (each once), otherwise by position (ncols and nrows by their labels when nrows
// comes first, the cell size dx when dy follows, and the no-data pair unless a number
// stands where its label would); then the cells in line order.
void compare_with_strtod(const std::string& text) {
    const std::vector<std::string> t = tokens_of(text);
    const std::size_t cells = static_cast<std::size_t>(nb_lig) * static_cast<std::size_t>(nb_col);
    const auto too_few = [&](std::size_t needed) {
        if (t.size() >= needed) return false;
        fuzz::finding("ascii_lecture() accepted " + std::to_string(t.size()) + " tokens for a " +
                      std::to_string(nb_lig) + " x " + std::to_string(nb_col) + " grid");
        return true;
    };
    if (too_few(11)) return;
    const auto whole_real = [](const std::string& s) {
        double v;
        if (!whole_real_text(s, v))
            fuzz::finding("ascii_lecture() accepted \"" + s + "\" as a number");
        return v;
    };
    const auto whole_int = [](const std::string& s) {
        char* end = nullptr;
        const long v = std::strtol(s.c_str(), &end, 10);
        if (end != s.c_str() + s.size())
            fuzz::finding("ascii_lecture() accepted \"" + s + "\" as a whole number");
        return v;
    };
    // The pairs: five, then dy after dx, then a no-data pair where a label stands.
    std::size_t k = 10;
    double number;
    bool has_nodata = !whole_real_text(t[k], number);
    bool dy = false;
    if (has_nodata && lower(t[8]) == "dx" && lower(t[k]) == "dy") {
        if (too_few(k + 3)) return;
        dy = true;
        k += 2;
        has_nodata = !whole_real_text(t[k], number);
    }
    if (has_nodata) {
        if (too_few(k + 2)) return;
        k += 2;
    }
    // Each role's value token: 0 ncols, 1 nrows, 2 x, 3 y, 4 cell size, 5 no-data, 6 dy.
    const std::size_t pairs = k / 2;
    std::size_t at[7] = {1, 3, 5, 7, 9, 0, 0};
    if (dy) at[6] = 11;
    if (has_nodata) at[5] = k - 1;
    const auto role_of = [](const std::string& label) {
        const std::string l = lower(label);
        if (l == "ncols") return 0;
        if (l == "nrows") return 1;
        if (l == "xllcorner" || l == "xllcenter") return 2;
        if (l == "yllcorner" || l == "yllcenter") return 3;
        if (l == "cellsize" || l == "dx") return 4;
        if (l == "nodata_value" || l == "nodata") return 5;
        if (l == "dy") return 6;
        return -1;
    };
    std::size_t by_label[7] = {0, 0, 0, 0, 0, 0, 0};
    bool labelled = true;
    for (std::size_t p = 0; p < pairs && labelled; ++p) {
        const int role = role_of(t[2 * p]);
        if (role < 0 || by_label[role] != 0)
            labelled = false;
        else
            by_label[role] = 2 * p + 1;
    }
    if (labelled && (lower(t[by_label[4] - 1]) == "dx") == (by_label[6] != 0) && by_label[0] &&
        by_label[1] && by_label[2] && by_label[3] && by_label[4])
        std::copy(by_label, by_label + 7, at);
    else if (lower(t[0]) == "nrows" && lower(t[2]) == "ncols")
        std::swap(at[0], at[1]);
    if (whole_int(t[at[0]]) != nb_col || whole_int(t[at[1]]) != nb_lig)
        fuzz::finding("the header counts read differ from \"" + t[at[0]] + "\" and \"" + t[at[1]] +
                      "\"");
    if (at[6] != 0 && !same_bits(whole_real(t[at[6]]), dpix_size))
        fuzz::finding("dx and dy differ but were accepted");
    if (at[5] != 0 && !same_bits(whole_real(t[at[5]]), nodata))
        fuzz::finding("the no-data value \"" + t[at[5]] + "\" is read differently from strtod");
    if (too_few(k + cells)) return;
    const double* const reals[3] = {&X_min, &Y_min, &dpix_size};
    for (int r = 0; r < 3; ++r)
        if (!same_bits(whole_real(t[at[2 + r]]), *reals[r]))
            fuzz::finding("header value \"" + t[at[2 + r]] + "\" is read differently from strtod");
    for (const double* v : reals) check_lf_text(*v);
    if (pix_size != static_cast<int>(dpix_size))
        fuzz::finding("pix_size is not dpix_size truncated");
    fuzz::for_each_input_line(files, [&](int i, const double* line) {
        for (int j = 0; j < nb_col; ++j) {
            const std::string& token = t[k + static_cast<std::size_t>(i) * nb_col + j];
            const double read = whole_real(token);
            // No-data cells other than 0 are voids (NaN) to the void-aware engine.
            const bool void_cell = files.voids && read == nodata;
            if (void_cell ? !std::isnan(line[j]) : !same_bits(read, line[j]))
                fuzz::finding("cell [" + std::to_string(i) + "][" + std::to_string(j) + "] \"" +
                              token + "\" is read differently from strtod");
            if (!void_cell) check_lf_text(line[j]);
        }
    });
}

void remove_outputs() {
    for (const char* name : {"o_varnel.asc", "o_varnel_m2.raw", "o_varnel_m2.txt",
                             "o_varnel_m4.raw", "o_varnel_m4.txt"})
        unlink((folder + "/" + name).c_str());
}

// The ASCII result read back as an input: the output size, every value in range.
void check_read_back(double lowest, double highest) {
    const int lines = nb_lig4, columns = nb_col4;
    reset_run_state();
    std::string message;
    RunFiles back;
    if (!fuzz::run_phases(
            [&back] {
                const std::string name = output_stem + output_data_suffix(0, 0);
                back.ascii =
                    std::make_unique<AsciiReader>(open_input(name, false), name, shown_name(name));
                ascii_lecture(back);
            },
            &message))
        fuzz::finding("the ASCII grid written does not read back: " + message);
    if (nb_lig != lines || nb_col != columns)
        fuzz::finding("the ASCII grid written reads back as " + std::to_string(nb_lig) + " x " +
                      std::to_string(nb_col) + " instead of " + std::to_string(lines) + " x " +
                      std::to_string(columns));
    fuzz::for_each_input_line(back, [&](int, const double* cells) {
        for (int j = 0; j < columns; ++j) {
            const double v = cells[j];
            if (!(v >= lowest - 5.000001e-7 - std::fabs(lowest) * 1e-15 &&
                  v <= highest + 5.000001e-7 + std::fabs(highest) * 1e-15))
                fuzz::finding(
                    "the ASCII grid written reads back with a value outside the input range");
        }
    });
}

void regrid_and_write(std::uint64_t h) {
    if (static_cast<long long>(nb_lig) * nb_col > most_input_cells) return;
    const double* sizes = pixel_sizes[h % (sizeof pixel_sizes / sizeof pixel_sizes[0])];
    pix_size_out = sizes[1];
    ratio = pixel_ratio(sizes[0], sizes[1]);  // as parameters()
    if (output_count(nb_lig, ratio) < 0 || output_count(nb_col, ratio) < 0) return;
    if (scaled_count(nb_lig, ratio) * scaled_count(nb_col, ratio) > most_output_cells) return;
    format2 = (h >> 8) & 1;
    itype2 = (h >> 9) & 1;

    // The void-aware engine refuses elevations whose sums could overflow.
    bool refused = false;
    if (files.voids) {
        const LineSource in = files.ascii->source(true);
        refused = !(std::fabs(in.lowest) <= void_aware_elevations &&
                    std::fabs(in.highest) <= void_aware_elevations);
    }
    std::string message;
    const bool ran = fuzz::run_phases(
        [] {
            const std::string data = output_stem + output_data_suffix(format2, itype2);
            if (format2 == 1)
                files.raster = std::make_unique<RasterWriter>(
                    data, output_stem + output_descriptor_suffix(itype2), itype2 == 0 ? 2 : 4,
                    coef);
            else
                files.grid = std::make_unique<AsciiWriter>(data, !open_ascii_OK);
            treatment(files);
            save(files);
        },
        &message);
    if (refused) {
        if (ran || message.find("refuses elevations beyond") == std::string::npos)
            fuzz::finding("elevations beyond the void-aware engine's were not refused: " + message);
        return;
    }
    if (!ran)
        fuzz::finding(
            "a grid that was read and a ratio that was accepted fail to regrid or save: " +
            message);
    const double lowest = dmin_alt, highest = dmax_alt;
    if (format2 == 1) {
        const int width = itype2 == 0 ? 2 : 4;
        const std::string stem = folder + "/o_varnel_m" + std::to_string(width);
        fuzz::check_raster_file(stem + ".raw", width, nb_lig4, nb_col4, lowest, highest, coef);
        fuzz::check_descriptor_file(stem + ".txt", width, nb_lig4, nb_col4, pix_size_out);
    } else {
        fuzz::check_ascii_file(folder + "/o_varnel.asc", nb_lig4, nb_col4, lowest, highest);
        check_read_back(lowest, highest);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    folder = fuzz::make_root("ascii") + "/g";
    fuzz::make_dir(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t h = fuzz::hash_bytes(data, size);
    for (std::size_t k = 0; k + 8 <= size && k < 512; k += 8) {
        double v;
        std::memcpy(&v, data + k, sizeof v);
        check_lf_text(v);
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    if ((h >> 16) % 8 == 0) text.insert(0, reader_block - 1 - (h >> 20) % 48, ' ');
    fuzz::write_file(folder + "/in.asc", text);

    support::start_run();
    files = RunFiles();
    const bool read = fuzz::run_phases([] {
        files.ascii = std::make_unique<AsciiReader>(open_input(input_logical, false), input_logical,
                                                    shown_name(input_logical));
        ascii_lecture(files);
    });
    if (read) {
        if (nb_lig < 1 || nb_col < 1)
            fuzz::finding("ascii_lecture() accepted a grid of " + std::to_string(nb_lig) + " x " +
                          std::to_string(nb_col));
        compare_with_strtod(text);
        regrid_and_write(h);
    }
    files = RunFiles();
    support::end_run();
    remove_outputs();
    return 0;
}
