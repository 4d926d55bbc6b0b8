// A wake-up for a thread that sleeps in poll on descriptors: another thread signals it, and
// the sleeper's poll returns.  An eventfd, made on first use so a failure can be reported.
#pragma once

#include <string>

namespace sim {

class WakeEvent {
  public:
    WakeEvent() = default;
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // Makes the descriptor unless it exists; false with *error set when it cannot.
    bool Open(std::string* error);
    void Signal();
    // Takes the pending signals, so that the next poll sleeps again.
    void Clear();
    // The descriptor to poll for POLLIN.
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace sim
