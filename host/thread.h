// Thread start in the manner of the platform's framework: a procedure, one argument, normal
// priority, never joined.  The new thread is registered with the installed clock before it
// runs (so virtual time cannot move past its first step) and unregistered when it returns.
#pragma once

#include <cstdint>

namespace host {

using ThreadProc = uint32_t (*)(void* param);

// Returns false when the thread could not be started.
bool StartThread(ThreadProc proc, void* param);

}  // namespace host
