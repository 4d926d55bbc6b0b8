// Modem-control lines in memory for tests: every change is recorded with its time on a clock,
// and a line can be made to fail as a port without modem-control lines would.  Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/modem_lines.h"

namespace host {

struct LineChange {
    int64_t time_us = 0;
    ModemLine line = ModemLine::kDtr;
    bool asserted = false;

    bool operator==(const LineChange&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LineChange& change);

class RecordingLines final : public ModemLines {
  public:
    explicit RecordingLines(Clock& clock) : clock_(clock) {}

    // Later changes of `line` fail with `reason` and are not recorded.
    void Fail(ModemLine line, std::string reason);

    bool Set(ModemLine line, bool asserted, std::string* why) override;

    std::vector<LineChange> Changes();
    // The line's latest level, or nothing while it was never set.
    std::optional<bool> Level(ModemLine line);

  private:
    Clock& clock_;
    std::mutex mutex_;
    std::vector<LineChange> changes_;
    std::map<ModemLine, std::string> failing_;
};

}  // namespace host
