// The ASCII grid writer: values formatted through one large buffer by lf_text, which
// gives "%lf"'s text, and handed to the device every 32 buffers while the next are made.
#include "dem_files/ascii_writer.h"

#include <cstdarg>
#include <cstdio>

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

LineSink AsciiWriter::sink(std::function<std::string(const OutputGeometry&)> header) {
    LineSink sink;
    sink.start = [this, header](const OutputGeometry& g) {
        columns_ = g.columns;
        written_ = 0;
        buffer_.assign(memory(), '\0');
        used_ = 0;
        if (!values_ && header) {
            const std::string text = header(g);
            if (std::fputs(text.c_str(), grid_.stream()) < 0) grid_.write_failed();
        }
    };
    sink.put = [this](int, const double* line) { write(line, columns_); };
    return sink;
}

void AsciiWriter::write(const double* line, int columns) {
    const std::size_t widest = lf_text_room + 1;  // and the tab
    for (int j = 0; j < columns; ++j) {
        if (buffer_.size() - used_ < widest) flush();
        char* end = lf_text(line[j], buffer_.data() + used_);  // room checked above
        *end = '\t';
        used_ = static_cast<std::size_t>(end + 1 - buffer_.data());
    }
    ++written_;
}

void AsciiWriter::flush() {
    PendingOutput& file = values_file();
    if (std::fwrite(buffer_.data(), 1, used_, file.stream()) != used_) file.write_failed();
    used_ = 0;
    if (++flushes_ % 32 == 0) start_writeback(file.stream());
}

void AsciiWriter::finish(const OutputGeometry& g, const std::string& header,
                         PendingOutput* companion) {
    PhaseTimer timer("save");
    if (written_ != g.lines) fail("the output's lines were not all written during the treatment");
    flush();
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
