// Invariants of the system's own making: conditions that no device, image or user can break,
// only a fault in the code.  A broken invariant means the state the update steers by is wrong;
// going on could send the modem a wrong record or report a run that never happened, so the
// check stops the process at once, in every build type.
//
// Not for what the outside world can cause (a bad image, a lost port, a refused registry
// write): those have error paths of their own.
#pragma once

namespace host {

// Writes one line naming the condition, file and line to the debug output (when one is
// installed) and to standard error, then aborts.
[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

}  // namespace host

// Always on: never compiled out, whatever NDEBUG says.
#define HOST_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::host::CheckFailed(#condition, __FILE__, __LINE__))
