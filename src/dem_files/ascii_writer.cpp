// The ASCII grid writer: values formatted a line at a time by lf_text, which gives
// "%lf"'s text, and written through a block output.
#include "dem_files/ascii_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "failure.h"
#include "fixed_text.h"
#include "host_files.h"
#include "phase_times.h"

namespace {

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.pop_back();
    return text;
}

}  // namespace

std::string ascii_header_text(int columns, int lines, double x_min, double y_min,
                              double cell_size) {
    return printed("ncols %d\nnrows %d\n", columns, lines) +
           printed("xllcorner %lf\nyllcorner %lf\ncellsize %lf\n", x_min, y_min, cell_size) +
           "nodata_value -9999.9999\n";
}

AsciiWriter::AsciiWriter(const std::string& logical, bool values_apart)
    : grid_(logical, "w"),
      values_(values_apart ? std::make_unique<PendingOutput>(logical, "w") : nullptr) {}

std::uint64_t AsciiWriter::file_bytes(int lines, int columns, bool values_apart) {
    const std::uint64_t cells =
        static_cast<std::uint64_t>(lines) * static_cast<std::uint64_t>(columns);
    return cells * 9 * (values_apart ? 2 : 1) + 4096;
}

AsciiWriter::~AsciiWriter() = default;

LineSink AsciiWriter::sink(std::function<std::string(const OutputGeometry&)> header) {
    LineSink sink;
    sink.start = [this, header](const OutputGeometry& g) {
        columns_ = g.columns;
        written_ = 0;
        for (Text& text : texts_) text.line = -1;
        if (!values_ && header) {
            const std::string text = header(g);
            if (std::fputs(text.c_str(), grid_.stream()) < 0) grid_.write_failed();
        }
        blocks_ =
            std::make_unique<BlockOutput>(values_file(), file_bytes(g.lines, g.columns, false));
    };
    sink.put = [this](int i, const double* line) { write(i, line); };
    sink.convert = [this](int i, const double* line) { format(i, line); };
    sink.converted_lines = formatted_lines;
    return sink;
}

// Line i's text into the slot of its own: formats of different lines at once touch
// different slots.
void AsciiWriter::format(int i, const double* line) {
    Text& text = texts_[static_cast<std::size_t>(i % formatted_lines)];
    const std::size_t widest = lf_text_room + 1;  // and the tab
    std::size_t used = 0;
    for (int j = 0; j < columns_; ++j) {
        if (text.bytes.size() - used < widest)
            text.bytes.resize(std::max(2 * text.bytes.size(), used + 16 * widest));
        // A cell of no data (a void kept, or one no filling reached) is written as the
        // grid's no-data value.
        const double v = std::isnan(line[j]) ? nodata_ : line[j];
        char* end = lf_text(v, text.bytes.data() + used);  // room checked above
        *end = '\t';
        used = static_cast<std::size_t>(end + 1 - text.bytes.data());
    }
    text.size = used;
    text.line = i;
}

void AsciiWriter::write(int i, const double* line) {
    Text& text = texts_[static_cast<std::size_t>(i % formatted_lines)];
    if (text.line != i) format(i, line);
    std::memcpy(blocks_->room(text.size), text.bytes.data(), text.size);
    blocks_->wrote(text.size);
    ++written_;
}

void AsciiWriter::finish(const OutputGeometry& g, const std::string& header,
                         PendingOutput* companion) {
    PhaseTimer timer("save");
    if (written_ != g.lines) fail("the output's lines were not all written during the treatment");
    blocks_->finish();
    if (values_) {
        if (std::fputs(header.c_str(), grid_.stream()) < 0) grid_.write_failed();
        values_->close();
        grid_.append(*values_);
    }
    grid_.close();
    if (companion != nullptr)
        PendingOutput::install({&grid_, companion});
    else
        PendingOutput::install({&grid_});
}
