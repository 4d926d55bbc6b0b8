// Thread start: registered with the clock in the starting thread, so that virtual time cannot
// move before the new thread has taken its first step.
#include "host/thread.h"

#include <system_error>
#include <thread>

#include "host/clock.h"
#include "host/platform.h"

namespace host {

bool StartThread(ThreadProc proc, void* param) {
    Clock& clock = CurrentClock();
    clock.AddPendingThread();
    try {
        std::thread([clock = &clock, proc, param] {
            clock->BeginPendingThread();
            proc(param);
            clock->UnregisterThread();
        }).detach();
    } catch (const std::system_error&) {
        clock.UnregisterThread();
        return false;
    }
    return true;
}

}  // namespace host
