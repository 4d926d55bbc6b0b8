// A run of a Windows program under Wine on the board (--wine): the prefix made for it, the
// board's values and COM ports put into Wine's registry before the program starts, and Wine's
// registry read back once it has ended and Wine has written it.  Every step draws on the run's
// one time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/clock.h"
#include "sim/wine_prefix.h"
#include "sim/wine_registry.h"
#include "tools/virtual-board/board_report.h"
#include "tools/virtual-board/options.h"
#include "tools/virtual-board/provision.h"

namespace vboard {

// The bound of the whole run (--time-limit), which every step of it draws on.
class Deadline {
  public:
    Deadline(const std::optional<int64_t>& limit_us, host::Clock& clock);
    bool limited() const { return end_us_ != host::kForever; }
    int64_t end_us() const { return end_us_; }
    // What is left of the run, and never more than cap_us; at least 1 µs, so that a step that
    // comes too late is cut at once rather than let run without a bound.
    int64_t Left(int64_t cap_us = host::kForever) const;

  private:
    host::Clock& clock_;
    const int64_t end_us_;
};

class WineRun {
  public:
    // The prefix is --wine-prefix's folder, or ROOT/wine.
    WineRun(const Options& options, const std::string& root, host::Clock& clock,
            const Deadline& deadline);
    // A server still running (the run failed before End) is ended with the run.
    ~WineRun();
    WineRun(const WineRun&) = delete;
    WineRun& operator=(const WineRun&) = delete;

    const sim::WinePrefix& prefix() const { return prefix_; }

    // Makes the prefix and puts the board's values and the ports into Wine's registry.
    bool Prepare(std::string* error);
    // Once the command has ended: waits for Wine to write its registry (killing its server at
    // the time limit) and reads HKEY_LOCAL_MACHINE back; nothing when it cannot be read, which
    // the board then says.  The run's Wine facts go into *run.
    std::optional<sim::WineRegistry> End(RunFacts* run);

  private:
    host::Clock& clock_;
    const Deadline& deadline_;
    const std::string root_;
    const BoardSetup setup_;
    sim::WinePrefix prefix_;
    WineFacts facts_;
    bool made_ = false;
    bool ended_ = false;
};

}  // namespace vboard
