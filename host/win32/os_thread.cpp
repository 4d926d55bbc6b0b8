// A thread of the C runtime's own start (the system's thread, with the runtime's per-thread
// state), its handle closed at once: it is never joined.  Not the standard library's thread:
// detaching one (the threads library under it) can lose the thread when the detach comes
// before the thread has begun, which leaves it counted by its starter but never run.
#include <process.h>
#include <windows.h>

#include <memory>

#include "host/os_thread.h"

namespace host {
namespace {

struct Start {
    OsThreadEntry entry;
    void* arg;
};

unsigned __stdcall Run(void* param) {
    const std::unique_ptr<Start> start(static_cast<Start*>(param));
    start->entry(start->arg);
    return 0;
}

}  // namespace

bool StartDetachedThread(OsThreadEntry entry, void* arg) {
    auto start = std::make_unique<Start>(Start{entry, arg});
    const uintptr_t thread = _beginthreadex(nullptr, 0, Run, start.get(), 0, nullptr);
    if (thread == 0)
        return false;
    static_cast<void>(start.release());  // the thread's own now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

}  // namespace host
