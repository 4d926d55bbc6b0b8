// Faults of the machine around the updater that the virtual board makes, and their text form
// in a --fault list (beside the modem's own faults, sim/modem_faults.h).
//
//   unplug=POINT               COM1's cable is pulled: the pseudo-terminal's master is closed,
//                              so the updater's reads see a hang-up
//   store-lock=START+DURATION  another connection holds a write transaction on registry.db
//                              from START s after the command started, for DURATION s
//   signal=NAME@POINT[xN]      the command gets SIGNAME (INT, TERM, HUP or KILL) at POINT; xN
//                              sends it N times, 1 s apart
//   shrink-regs=POINT          board.regs is cut to 0 bytes ("shrink-regs@POINT" also works)
//   disk-full=POINT            from POINT on, every write of the command to a regular file
//                              fails with EFBIG past the register file's 48 bytes
//   com1-held                  the board holds COM1 open and locked (as the updater locks it)
//                              for the whole run
//
// POINT is where the run is, each optionally followed by "+S" (S seconds later, S decimal):
//   start         the command has started (its program is running)
//   handshake     the modem heard the first '?' answering its 'z'
//   sw:N, fs:N    the modem confirmed record N of the SW or FS image (N from 6; a read record
//                 counts as confirmed when the modem answers it, just before the answer)
//   complete      the modem answered the last record of the FS image
//   end           the command published its end: Progress 100 or -1 in the store
// A point is reached at most once; a fault whose point never comes is reported as pending.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

struct Point {
    enum class Kind { kStart, kHandshake, kSw, kFs, kComplete, kEnd };
    Kind kind = Kind::kStart;
    uint32_t record = 0;  // kSw, kFs
    int64_t delay_us = 0;
    std::string text;  // as given

    bool operator==(const Point&) const = default;
};

struct SignalFault {
    int signal = SIGTERM;
    std::string name;  // "TERM"
    Point point;
    uint32_t times = 1;
    std::string text;
    bool operator==(const SignalFault&) const = default;
};

struct PointFault {
    Point point;
    std::string text;
    bool operator==(const PointFault&) const = default;
};

struct StoreLock {
    int64_t start_us = 0;
    int64_t duration_us = 0;
    std::string text;
    std::string point;  // "start+START"
    bool operator==(const StoreLock&) const = default;
};

struct BoardFaults {
    std::optional<PointFault> unplug;
    std::optional<StoreLock> store_lock;
    std::vector<SignalFault> signals;
    std::optional<PointFault> shrink_regs;
    std::optional<PointFault> disk_full;
    bool com1_held = false;

    bool operator==(const BoardFaults&) const = default;
};

// The board's fault names, for a usage message.
extern const std::vector<std::string_view> kBoardFaultNames;

// True when `item` (one entry of a fault list) names one of the board's faults.
bool IsBoardFault(std::string_view item);

// Adds one board fault item to *faults; false with the reason in *error.
bool ParseBoardFault(std::string_view item, BoardFaults* faults, std::string* error);

// "start", "sw:700+0.5" and the like.
bool ParsePoint(std::string_view text, Point* point, std::string* error);

}  // namespace vboard
