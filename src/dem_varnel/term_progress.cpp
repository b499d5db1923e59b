// The progress marks, written to standard error as they are passed.
#include "dem_varnel/term_progress.h"

#include <cstdio>
#include <string>

void TermProgress::cut_short() {
    if (!shown_ || printed_ < 0 || printed_ == 40) return;
    std::fputs("\n", stderr);
    std::fflush(stderr);
    printed_ = 40;
}

void TermProgress::operator()(double fraction) {
    if (!shown_) return;
    const int reached = fraction >= 1.0 ? 40 : fraction > 0.0 ? static_cast<int>(fraction * 40) : 0;
    if (reached <= printed_) return;
    std::string marks;
    for (int mark = printed_ + 1; mark <= reached; ++mark)
        marks += mark % 4 == 0 ? std::to_string(mark * 10 / 4) : ".";
    if (reached == 40) marks += " - done.\n";
    printed_ = reached;
    std::fflush(stdout);
    std::fputs(marks.c_str(), stderr);
    std::fflush(stderr);
}
