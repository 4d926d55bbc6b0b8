// A detached thread of the standard library: on these systems it is the system's own.
#include <system_error>
#include <thread>

#include "host/os_thread.h"

namespace host {

bool StartDetachedThread(OsThreadEntry entry, void* arg) {
    try {
        std::thread(entry, arg).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace host
