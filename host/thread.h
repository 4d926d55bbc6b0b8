// Thread start in the manner of the platform's framework: a procedure, one argument, normal
// priority, never joined.  The new thread is registered with the installed clock before it
// runs (so virtual time cannot move past its first step) and unregistered when it returns.
//
// A last guard against a runaway caller: no more than kMaxLiveThreads threads started here
// run at once (the updater needs at most five); a start beyond that is refused and logged.
#pragma once

#include <cstdint>

namespace host {

using ThreadProc = uint32_t (*)(void* param);

constexpr int kMaxLiveThreads = 16;

// Returns false when the thread could not be started.
bool StartThread(ThreadProc proc, void* param);

// Threads started here that have not yet returned, and the most there have been at once since
// the process began or the last ResetPeakThreads (which starts from the current count).
int LiveThreads();
int PeakThreads();
void ResetPeakThreads();

// For tests: the nth start from now (1 = the next one) fails as a start refused by the system
// would, without a log line; with `only`, the nth start of that procedure.  0 disables.
void FailThreadStart(int nth, ThreadProc only = nullptr);

}  // namespace host
