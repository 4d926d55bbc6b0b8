// Watches the command while it runs, on a thread of its own: its thread count every 50 ms
// (the peak goes in the report), the limits on its threads and its time (past either it is
// killed with SIGKILL), and, when asked, the store's Progress for the end point: the first time
// Progress turns 100 or -1 after having been anything else during the run (so that a kept
// store's -1 from an earlier run is not taken for this one's).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/clock.h"

struct sqlite3;

namespace vboard {

struct WatchOptions {
    std::optional<uint32_t> thread_limit;
    std::optional<int64_t> time_limit_us;
    std::string registry_path;     // where Progress is, when on_end is set
    std::function<void()> on_end;  // Progress has turned 100 or -1
};

struct WatchFacts {
    uint32_t threads_max = 0;
    uint64_t samples = 0;
    std::string killed_for;         // "thread limit" or "time limit" when the watch killed it
    std::optional<int64_t> end_us;  // when the end point was seen
};

// 100 or -1 (stored as 0xFFFFFFFF): the value the updater leaves at its end.
bool IsFinalProgress(int64_t value);

// The threads of process `pid`, 0 when it is gone.
uint32_t ThreadsOf(pid_t pid);

class CommandWatch {
  public:
    // Every look wakes the board, over a paced run of minutes; the updater's threads live for
    // hundreds of milliseconds at least.
    static constexpr int64_t kSampleIntervalUs = 50'000;
    static constexpr int64_t kProgressIntervalUs = 50'000;

    CommandWatch(WatchOptions options, host::Clock& clock);
    ~CommandWatch();
    CommandWatch(const CommandWatch&) = delete;
    CommandWatch& operator=(const CommandWatch&) = delete;

    void Start(pid_t pid, int64_t start_us);
    // Before the command is reaped: the watch never touches a process that took its number.
    void Stop();
    WatchFacts Facts() const;

  private:
    void Run();
    void Sample(int64_t now_us);
    void WatchProgress(int64_t now_us);
    void Kill(const char* why);

    const WatchOptions options_;
    host::Clock& clock_;
    pid_t pid_ = 0;
    int64_t start_us_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    sqlite3* store_ = nullptr;
    int64_t next_progress_us_ = 0;
    bool progress_running_ = false;  // Progress was seen other than final

    mutable std::mutex mutex_;
    WatchFacts facts_;
};

}  // namespace vboard
