// A progress line on standard error in the style of GDAL's utilities:
// "0...10...20...30...40...50...60...70...80...90...100 - done." A mark every 2.5 %, a
// number every 10 %; nothing when it is not to be shown.
#pragma once

class TermProgress {
public:
    explicit TermProgress(bool shown) : shown_(shown) {}

    // The work done so far, from 0 to 1; the marks up to it are printed once each.
    void operator()(double fraction);

    // Ends a line of marks cut short, so that a message follows on a line of its own.
    void cut_short();

private:
    bool shown_;
    int printed_ = -1;  // the last of the 41 marks printed
};
