// Fuzz target: the bytes are the descriptor of a raw raster, parsed by
// read_descriptor(), whose numbers must be those sscanf("%d%d%d%d%d%d") reads (the
// ones it does not reach staying 0). When it is accepted, dem_lecture() reads a raster
// beside it whose
// length fits the geometry exactly, falls short or runs over, with the cell width and
// the unit answers (refused ones and an early end among them) chosen from the input's
// hash, so that the descriptor bytes stay a plain descriptor. The cells read must be
// the raster's stored values over the unit factor, to the bit.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dem_files/descriptor.h"
#include "dem_files/names.h"
#include "dem_varnel/dialogue.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_state.h"
#include "harness.h"
#include "host_files.h"
#include "in_process_run.h"

namespace {

RunFiles files;
std::string folder;  // host path of c:\images\r
bool skip_known = false;
const std::string stem = "c:\\images\\r\\x";

// Answers to the unit question: accepted at once, after refusals, or never.
const char* const unit_answers[] = {"0", "1", "2", "3", "4 2", "-1 3", "x 1", "9 9 0", "3.5 0", ""};

// Raster bytes from the input, so that the cell values vary with it.
std::string raster_bytes(const std::uint8_t* data, std::size_t size, std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t k = 0; k < length; ++k)
        bytes[k] = static_cast<char>((size > 0 ? data[k % size] : 0) ^ (k * 151u));
    return bytes;
}

// What read_descriptor() left, against sscanf on the same bytes (up to a NUL, where
// sscanf's input ends and read_descriptor() meets a character that is not a number).
void compare_with_sscanf(const std::uint8_t* data, std::size_t size, const Descriptor& d) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int v[6] = {0, 0, 0, 0, 0, 0};
    const int n =
        std::sscanf(text.c_str(), "%d%d%d%d%d%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    const int got[6] = {d.lines, d.columns, d.cell_bytes, d.lowest, d.highest, d.pixel_size};
    for (int k = 0; k < 6; ++k) {
        const int expected = k < n ? v[k] : 0;
        if (got[k] != expected)
            fuzz::finding("descriptor number " + std::to_string(k + 1) + " is read as " +
                          std::to_string(got[k]) + " where sscanf reads " +
                          (k < n ? std::to_string(v[k]) : "nothing"));
    }
}

bool sign_after_digit(const std::uint8_t* data, std::size_t size) {
    for (std::size_t k = 0; k + 1 < size; ++k)
        if (data[k] >= '0' && data[k] <= '9' && (data[k + 1] == '+' || data[k + 1] == '-'))
            return true;
    return false;
}

// Every cell as defined: the stored value (16-bit cells unsigned, missing cells 0) over
// the unit factor, formed in extended precision and rounded once to double.
void check_cells(const std::string& raster, std::size_t cell_bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(raster.data());
    fuzz::for_each_input_line(files, [&](int i, const double* cells) {
        for (int j = 0; j < nb_col; ++j) {
            const std::size_t k = (static_cast<std::size_t>(i) * nb_col + j) * cell_bytes;
            // DEM_VARNEL_FUZZ_SKIP_KNOWN: a cell cut by the end of the file holds its
            // partial bytes (regressions/fuzz_descriptor/partial_last_cell_not_zero.txt).
            if (skip_known && k < raster.size() && k + cell_bytes > raster.size()) continue;
            long long v = 0;
            if (k + cell_bytes <= raster.size())
                v = cell_bytes == 2
                        ? static_cast<long long>(b[k] | (b[k + 1] << 8))
                        : static_cast<std::int32_t>(static_cast<std::uint32_t>(b[k]) |
                                                    (static_cast<std::uint32_t>(b[k + 1]) << 8) |
                                                    (static_cast<std::uint32_t>(b[k + 2]) << 16) |
                                                    (static_cast<std::uint32_t>(b[k + 3]) << 24));
            const double expected = static_cast<double>(static_cast<long double>(v) / coef);
            const double got = cells[j];
            if (std::memcmp(&expected, &got, sizeof expected) != 0) {
                char text[200];
                std::snprintf(
                    text, sizeof text,
                    "cell [%d][%d] stored as %lld with factor %g reads as %.17g, not %.17g", i, j,
                    v, coef, got, expected);
                fuzz::finding(text);
            }
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    skip_known = std::getenv("DEM_VARNEL_FUZZ_SKIP_KNOWN") != nullptr;
    folder = fuzz::make_root("descriptor") + "/r";
    fuzz::make_dir(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t h = fuzz::hash_bytes(data, size);
    const int width = static_cast<int>(h & 1);
    const std::size_t cell_bytes = width == 0 ? 2 : 4;
    const std::string descriptor = stem + input_descriptor_suffix(width);
    const std::string raster = stem + input_data_suffix(1, width);
    const std::string descriptor_host = folder + "/x" + input_descriptor_suffix(width);
    const std::string raster_host = folder + "/x" + input_data_suffix(1, width);
    fuzz::write_file(descriptor_host, data, size);

    support::start_run();
    itype = width;
    Descriptor d;
    bool exists = false;
    if (fuzz::run_phases(
            [&] { exists = read_descriptor(descriptor, static_cast<int>(cell_bytes), d); })) {
        if (!exists) fuzz::finding("read_descriptor() finds no descriptor where one exists");
        nb_lig = d.lines;
        nb_col = d.columns;
        pix_size = d.pixel_size;
        descr_OK = true;
        if (nb_lig < 1 || nb_col < 1)
            fuzz::finding("read_descriptor() accepted a geometry of " + std::to_string(nb_lig) +
                          " x " + std::to_string(nb_col));
        // DEM_VARNEL_FUZZ_SKIP_KNOWN: before 7b6b2a5 read_descriptor() took a NUL byte for
        // white space (regressions/fuzz_descriptor/nul_taken_as_white_space.txt), before
        // f0db5f3 a sign right after a number ended the reading (sign_right_after_a_number).
        if (!(skip_known &&
              (std::memchr(data, 0, size) != nullptr || sign_after_digit(data, size))))
            compare_with_sscanf(data, size, d);

        // Exact, half as long, or three bytes over; never more than 64 KiB of file.
        const unsigned long long exact =
            static_cast<unsigned long long>(nb_lig) * nb_col * cell_bytes;
        unsigned long long length = exact;
        switch ((h >> 1) % 3) {
            case 1:
                length = exact / 2;
                break;
            case 2:
                length = exact + 3;
                break;
        }
        if (length > (1u << 16)) length = 1u << 16;
        const std::string cells = raster_bytes(data, size, static_cast<std::size_t>(length));
        fuzz::write_file(raster_host, cells);

        if (pix_size == 0) pix_size = 1 + static_cast<int>((h >> 4) % 30);  // as the dialogue asks
        dpix_size = pix_size;
        support::answer_from(
            unit_answers[(h >> 12) % (sizeof unit_answers / sizeof unit_answers[0])]);
        files = RunFiles();
        if (fuzz::run_phases([&] {
                files.raw =
                    std::make_unique<RawReader>(open_input(raster, true), shown_name(raster),
                                                static_cast<int>(cell_bytes), nb_lig, nb_col);
                dem_lecture(files);
            })) {
            if (coef != 1.0 && coef != 10.0 && coef != 100.0 && coef != 1000.0)
                fuzz::finding("dem_lecture() left a unit factor of " + std::to_string(coef));
            if (static_cast<long long>(nb_lig) * nb_col <= 65536) check_cells(cells, cell_bytes);
        }
    }
    files = RunFiles();
    support::end_run();
    unlink(descriptor_host.c_str());
    unlink(raster_host.c_str());
    return 0;
}
