// The machine's own thread start, under the portable bookkeeping of host/thread.h: a thread
// that runs entry(arg) once and is never joined.  One implementation per system
// (host/posix/os_thread.cpp, host/win32/os_thread.cpp), built into the portable library.
#pragma once

namespace host {

using OsThreadEntry = void (*)(void* arg);

// False when the system refused the thread; entry then never runs.
bool StartDetachedThread(OsThreadEntry entry, void* arg);

}  // namespace host
