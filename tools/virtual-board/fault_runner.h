// Makes the board's faults (board_faults.h) happen at their points, and records what it did.
//
// Points come from three places: the command's start (Started), the modem model (OnModemPoint,
// on the model's thread) and the watch on the command (Reach(kEnd)).  A fault without a delay
// acts in the thread that reported its point, at once, so that an unplug at record N comes
// before the modem's answer to record N goes out; delayed ones, and the repeats of a signal,
// act on the runner's own thread.  The store lock has a thread of its own, since taking it may
// wait for the command's own transaction.  Nothing acts on the command after Finish(), which
// the board calls once the command has ended and before it is reaped, so a signal can never
// reach another process that took its number.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "sim/modem_model.h"
#include "tools/virtual-board/board_faults.h"

struct sqlite3;

namespace vboard {

// Writes of the command to files fail past this many bytes under disk-full: the register file
// still works (it stands for the board's hardware), nothing else can grow.
constexpr uint64_t kDiskFullBytes = 48;

struct AppliedFault {
    std::string fault;  // the item as given
    std::string point;
    int64_t time_us = 0;
    std::string detail;
};

struct SentSignal {
    std::string name;  // "TERM"
    std::string point;
    int64_t time_us = 0;
    bool delivered = false;  // kill() succeeded
};

// What the runner acts on.
struct FaultTargets {
    std::string root;
    std::string com1_path;                    // the slave behind dev/COM1
    std::function<void()> unplug;             // closes COM1's master
    std::function<void()> stop_pin_sampling;  // before board.regs is cut short
};

class FaultRunner {
  public:
    FaultRunner(const BoardFaults& faults, FaultTargets targets, host::Clock& clock);
    ~FaultRunner();
    FaultRunner(const FaultRunner&) = delete;
    FaultRunner& operator=(const FaultRunner&) = delete;

    // Before the command starts: COM1 held, a store lock that starts at 0 taken.
    bool Prepare(std::string* error);
    // The command runs as pid since start_us: the start point, and the timers begin.
    void Started(pid_t pid, int64_t start_us);
    void Reach(Point::Kind kind, uint32_t record = 0);
    void OnModemPoint(const sim::ModemPoint& point);
    // Whether a fault waits for the end point (the board then watches the store for it).
    bool WantsEnd() const;
    // The command has ended: nothing more acts on it; the store lock and COM1 are let go.
    void Finish();

    std::vector<AppliedFault> Applied() const;
    std::vector<SentSignal> Signals() const;
    std::vector<std::string> Pending() const;  // faults whose point never came

  private:
    struct Armed {
        Point point;
        std::string text;
        std::function<void(const Armed&)> act;  // runs with mutex_ held
        bool fired = false;                     // its point came
        bool acted = false;                     // and its delay has passed
    };

    void Arm(const Point& point, const std::string& text, std::function<void(const Armed&)> act);
    void ArmSignal(const SignalFault& fault);
    void Fire(Armed& armed, int64_t now_us);
    void At(int64_t due_us, std::function<void()> fn);  // with mutex_ held
    void TimerLoop();
    void SendSignal(int signal, const std::string& name, const std::string& point);
    void Record(const Armed& armed, std::string detail);
    void Unplug(const Armed& armed);
    void ShrinkRegisters(const Armed& armed);
    void FillDisk(const Armed& armed);
    bool HoldCom1(std::string* error);
    bool OpenStore(std::string* error);
    bool TakeStoreLock(int64_t now_us);
    void StoreLockLoop();
    void ReleaseStoreLock();

    const BoardFaults faults_;
    const FaultTargets targets_;
    host::Clock& clock_;

    mutable std::mutex mutex_;
    std::vector<Armed> armed_;
    std::multimap<int64_t, std::function<void()>> timers_;
    std::vector<AppliedFault> applied_;
    std::vector<SentSignal> signals_;
    pid_t pid_ = 0;
    int64_t start_us_ = 0;

    // Steering of the threads; changed through the clock so that waits re-check.
    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> timer_version_{0};
    std::thread timer_thread_;
    std::thread lock_thread_;

    int com1_fd_ = -1;
    sqlite3* store_ = nullptr;
    bool store_locked_ = false;  // touched by one thread at a time: Prepare, then the lock's
    std::string store_lock_pending_;
};

}  // namespace vboard
