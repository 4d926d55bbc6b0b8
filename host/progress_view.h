// The update's progress as a person says it, read off the dialog's model: which image is being
// written, how far along the whole update is, and the remaining time the dialog shows.  Shared
// by the front-ends that show progress in words (the terminal dialog's hint row, line mode).
#pragma once

#include <string>

#include "host/frontend.h"

namespace host {

struct ProgressView {
    bool shown = false;      // a progress bar is visible
    const char* phase = "";  // "SW image" over the bar's first two thirds, "FS image" after
    int percent = 0;         // position × 100 / range, rounded down, as Progress publishes it
    std::string remaining;   // e.g. "7m43s"; empty while no label shows a time
};

ProgressView ViewProgress(const DialogState& state);

// "SW image 42%, 4m38s left", or "" while no bar is shown.
std::string DescribeProgress(const ProgressView& view);

}  // namespace host
