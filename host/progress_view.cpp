#include "host/progress_view.h"

#include <cctype>

#include "host/debug_log.h"

namespace host {
namespace {

// " 7m43s " and the like: minutes, 'm', two digits of seconds, 's', blanks around.
std::string TimeIn(const std::wstring& text) {
    const std::string narrow = Narrow(text);
    const size_t first = narrow.find_first_not_of(' ');
    const size_t last = narrow.find_last_not_of(' ');
    if (first == std::string::npos)
        return {};
    std::string core = narrow.substr(first, last - first + 1);
    const size_t m = core.find('m');
    if (m == 0 || m == std::string::npos || core.size() != m + 4 || core.back() != 's')
        return {};
    for (size_t i = 0; i + 1 < core.size(); ++i) {
        if (i != m && std::isdigit(static_cast<unsigned char>(core[i])) == 0)
            return {};
    }
    return core;
}

}  // namespace

ProgressView ViewProgress(const DialogState& state) {
    ProgressView view;
    for (const ControlState& control : state.controls) {
        if (!control.visible)
            continue;
        if (control.kind == ControlKind::kProgressBar && !view.shown) {
            const int64_t span = int64_t{control.range_high} - control.range_low;
            const int64_t done = int64_t{control.position} - control.range_low;
            view.shown = true;
            view.percent = span > 0 ? static_cast<int>(done * 100 / span) : 0;
            // The SW image fills the first two thirds of the bar, the FS image the last third.
            view.phase = span > 0 && done * 3 >= span * 2 ? "FS image" : "SW image";
        } else if (control.kind == ControlKind::kStatic && view.remaining.empty()) {
            view.remaining = TimeIn(control.text);
        }
    }
    return view;
}

std::string DescribeProgress(const ProgressView& view) {
    if (!view.shown)
        return {};
    std::string text = std::string(view.phase) + " " + std::to_string(view.percent) + "%";
    if (!view.remaining.empty())
        text += ", " + view.remaining + " left";
    return text;
}

}  // namespace host
