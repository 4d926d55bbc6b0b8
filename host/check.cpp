// The failure path of HOST_CHECK.  It may run in any state of the process: it formats on the
// stack, and writes to the installed debug output only when there is one.
#include "host/check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "host/debug_log.h"
#include "host/platform.h"

namespace host {

void CheckFailed(const char* condition, const char* file, int line) {
    char text[512];
    int length =
        std::snprintf(text, sizeof text, "Check failed: %s at %s:%d\r\n", condition, file, line);
    if (length < 0)
        length = 0;
    const auto size = std::min(static_cast<size_t>(length), sizeof text - 1);
    // The table may be empty (a check before start-up or after the end): no abort for a
    // missing sink, the line still goes to standard error.
    if (LogSink* log = Current().log)
        log->Write(std::string_view(text, size));
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace host
