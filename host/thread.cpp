// Thread start: registered with the clock in the starting thread, so that virtual time cannot
// move before the new thread has taken its first step.
#include "host/thread.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/os_thread.h"
#include "host/platform.h"

namespace host {
namespace {

std::atomic<int> g_live{0};
std::atomic<int> g_peak{0};

std::mutex g_fail_mutex;
int g_fail_countdown = 0;  // guarded by g_fail_mutex
ThreadProc g_fail_only = nullptr;

// Counts this start against the injected failure; true when this is the one to fail.
bool InjectedFailure(ThreadProc proc) {
    std::lock_guard<std::mutex> lock(g_fail_mutex);
    if (g_fail_countdown == 0 || (g_fail_only != nullptr && g_fail_only != proc))
        return false;
    return --g_fail_countdown == 0;
}

// Takes a place among the live threads; false when none is left.
bool TakeLivePlace() {
    int live = g_live.load();
    do {
        if (live >= kMaxLiveThreads)
            return false;
    } while (!g_live.compare_exchange_weak(live, live + 1));
    int peak = g_peak.load();
    while (live + 1 > peak && !g_peak.compare_exchange_weak(peak, live + 1)) {
    }
    return true;
}

struct Started {
    Clock* clock;
    ThreadProc proc;
    void* param;
};

void RunStarted(void* arg) {
    const std::unique_ptr<Started> started(static_cast<Started*>(arg));
    started->clock->begin_pending_thread();
    started->proc(started->param);
    g_live.fetch_sub(1);
    started->clock->unregister_thread();
}

}  // namespace

bool StartThread(ThreadProc proc, void* param) {
    if (InjectedFailure(proc))
        return false;
    if (!TakeLivePlace()) {
        DebugOut("StartThread refused: %d threads running\r\n", kMaxLiveThreads);
        return false;
    }
    Clock& clock = CurrentClock();
    clock.add_pending_thread();
    auto started = std::make_unique<Started>(Started{&clock, proc, param});
    if (!StartDetachedThread(RunStarted, started.get())) {
        g_live.fetch_sub(1);
        clock.unregister_thread();
        return false;
    }
    static_cast<void>(started.release());  // the thread's own now
    return true;
}

int LiveThreads() {
    return g_live.load();
}

int PeakThreads() {
    return g_peak.load();
}

void ResetPeakThreads() {
    g_peak.store(g_live.load());
}

void FailThreadStart(int nth, ThreadProc only) {
    std::lock_guard<std::mutex> lock(g_fail_mutex);
    g_fail_countdown = nth > 0 ? nth : 0;
    g_fail_only = only;
}

}  // namespace host
