// The platform's millisecond sleep on the installed clock.
#include "host/clock.h"

#include "host/platform.h"

namespace host {

void Sleep(uint32_t duration_ms) {
    CurrentClock().sleep_ms(duration_ms);
}

}  // namespace host
