// Requests from outside the program to stop it: the operator's interrupt key, a termination
// request, the hang-up of a terminal.  The host receives them (host/posix/signals.h) and hands
// them to the application through the framework (host::PostInterrupt in host/framework.h); the
// system's code sees only this enum, never the host's own signal numbers.
#pragma once

#include <cstdint>

namespace host {

enum class Interrupt : uint8_t {
    kInterrupt,  // the interrupt key (SIGINT)
    kTerminate,  // a termination request (SIGTERM)
    kHangUp,     // a hang-up sent by someone (SIGHUP); a lost terminal is not one
};

// The name used in logs: "SIGINT", "SIGTERM", "SIGHUP".
const char* InterruptName(Interrupt interrupt);

}  // namespace host
