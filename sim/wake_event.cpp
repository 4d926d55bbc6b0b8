// The wake-up of a polling thread.
#include "sim/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace sim {

WakeEvent::~WakeEvent() {
    if (fd_ >= 0)
        close(fd_);
}

bool WakeEvent::Open(std::string* error) {
    if (fd_ < 0)
        fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) {
        *error = std::string("cannot make an event descriptor: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void WakeEvent::Signal() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(fd_, &one, sizeof one);
}

void WakeEvent::Clear() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = read(fd_, &count, sizeof count);
}

}  // namespace sim
