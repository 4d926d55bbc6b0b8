// The fault matrix's in-process half: a whole update on the in-process board in virtual time,
// a fault arranged before it or fired at a point of the run, and one end state that every
// scenario is held to.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/inprocess_board.h"

namespace faults {

constexpr uint32_t kProgressFailed = 0xFFFFFFFF;
// Bounds every scenario is held to, whatever its fault.
constexpr int kMaxThreads = 8;                      // live at once, the test's own included
constexpr size_t kMaxLogBytes = 1 << 20;            // debug output of the whole run
constexpr int64_t kMaxRunUs = 240LL * 1000 * 1000;  // virtual time to the closed dialog

// Where in a run a fault fires.  Record numbers count from 1 in the image, as the log does.
struct Point {
    enum class Kind { kHandshake, kSwRecord, kFsRecord, kCompletion };
    Kind kind = Kind::kHandshake;
    int record = 0;

    static Point Handshake() { return {Kind::kHandshake, 0}; }
    static Point Sw(int record) { return {Kind::kSwRecord, record}; }
    static Point Fs(int record) { return {Kind::kFsRecord, record}; }
    static Point Completion() { return {Kind::kCompletion, 0}; }
};

// How the run must end.
struct Expected {
    int exit_status = 0;
    // Progress left in the store; empty: never written (a refused start).
    std::optional<uint32_t> progress;
    // The board was switched and must be back: CPLD mode 1, AWRCWR 1, backlight released,
    // power saving on.  False: nothing may have been switched at all.
    bool switched = true;
    bool awrcwr_restored = true;
};

class MatrixBoard;

// What every run of the matrix is held to, whatever its fault and its own checks: it ended by
// itself within kMaxRunUs with every worker gone, never ran more than kMaxThreads threads at
// once (counted from the last host::ResetPeakThreads) and wrote less than kMaxLogBytes of debug
// output.
void ExpectBoundedRun(sim::InProcessBoard& board);

struct Scenario {
    const char* name;
    const char* modem_faults;  // the model's knobs, in their text form
    std::function<void(MatrixBoard&)> arrange;
    Expected expected;
};

inline void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class MatrixBoard : public sim::InProcessBoard {
  public:
    // Runs fn once, on the thread that reaches the point (the log's writer).
    void At(Point point, std::function<void()> fn);
    // Runs the scenario to its end and checks the end state.
    void RunScenario(const Scenario& scenario);

  private:
    void ExpectEndState(const Expected& expected);
    void ExpectRestored(const Expected& expected);
    void ExpectUntouched();
    void ExpectProgressJournal(const Expected& expected);

    struct Trigger {
        Point point;
        std::function<void()> fn;
        bool fired = false;
    };
    void OnLog(std::string_view text);
    void OnJournal(const std::string& entry);

    // Every Progress write, with the pass (from 1) and the image it was made in.
    struct ProgressWrite {
        uint32_t value;
        int pass;
        bool fs;
    };

    std::mutex mutex_;
    std::vector<Trigger> triggers_;
    bool fs_phase_ = false;
    int passes_ = 0;
    int sw_passes_ = 0;
    std::vector<ProgressWrite> progress_;
};

class MatrixTest : public ::testing::TestWithParam<Scenario> {
  protected:
    MatrixBoard board_;
};

}  // namespace faults
