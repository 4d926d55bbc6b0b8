// Which of the serial adapter's modem-control lines carry the modem's power key and reset on a
// bench, read from a small settings file (ROOT/modem-lines.conf on a POSIX host):
//
//   # the modem's power key on DTR, pressed while DTR is asserted
//   power-key = dtr asserted
//   reset     = rts inverted   # in reset while RTS is released
//
// One setting a line: `power-key` or `reset`, '=', then `dtr` or `rts` and the polarity, or
// `none`.  The polarity says which adapter level stands for the updater's high level (the
// pressed key, the reset pulse): `asserted` or `inverted`.  Both settings must be given, each
// once, and the two cannot share a line.  '#' starts a comment; blank lines are ignored; words
// are not case-sensitive.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/modem_lines.h"

namespace host {

struct WiredLine {
    ModemLine line = ModemLine::kDtr;
    bool inverted = false;  // the updater's high level is the released line

    // The adapter level for one of the updater's levels.
    bool AssertedFor(bool high) const { return high != inverted; }
    bool operator==(const WiredLine&) const = default;
};

struct ModemWiring {
    std::optional<WiredLine> power_key;  // GPB4
    std::optional<WiredLine> reset;      // GPA15

    bool Any() const { return power_key || reset; }
    bool operator==(const ModemWiring&) const = default;
};

// Settings files larger than this are refused unread: it is not a settings file.
constexpr size_t kModemWiringMaxBytes = 4096;

// The wiring a settings file describes, or nothing with the reason in *why ("line N: ...").
std::optional<ModemWiring> ParseModemWiring(std::string_view text, std::string* why);

// "power key on DTR (asserted), reset not wired", for the log.
std::string DescribeModemWiring(const ModemWiring& wiring);

}  // namespace host
