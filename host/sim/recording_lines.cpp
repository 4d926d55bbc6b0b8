// Recorded modem-control lines: see the header.
#include "host/sim/recording_lines.h"

namespace host {

std::ostream& operator<<(std::ostream& out, const LineChange& change) {
    return out << "{" << change.time_us << " us, " << ModemLineName(change.line) << " "
               << (change.asserted ? "asserted" : "released") << "}";
}

void RecordingLines::Fail(ModemLine line, std::string reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_[line] = std::move(reason);
}

bool RecordingLines::Set(ModemLine line, bool asserted, std::string* why) {
    const int64_t now_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = failing_.find(line); it != failing_.end()) {
        *why = it->second;
        return false;
    }
    changes_.push_back({now_us, line, asserted});
    return true;
}

std::vector<LineChange> RecordingLines::Changes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
}

std::optional<bool> RecordingLines::Level(ModemLine line) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
        if (it->line == line)
            return it->asserted;
    }
    return std::nullopt;
}

}  // namespace host
