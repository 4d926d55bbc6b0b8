// The VEI1 channel's far end: reads the master of its pseudo-terminal and records every AT
// command that arrives (the bytes up to and including a '\r'), with its time.  It keeps
// working when the updater deactivates the channel and its device link goes: the
// pseudo-terminal itself stays.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "sim/wake_event.h"

namespace vboard {

struct AtCommand {
    int64_t time_us = 0;  // when its '\r' came, on the recorder's clock
    std::string text;     // the '\r' included
};

class AtRecorder {
  public:
    // master: a PtyDevice's master, which must outlive the recorder.
    AtRecorder(int master, host::Clock& clock);
    ~AtRecorder();
    AtRecorder(const AtRecorder&) = delete;
    AtRecorder& operator=(const AtRecorder&) = delete;

    bool Start(std::string* error);
    // Takes what is still waiting on the master, then ends the thread.
    void Stop();

    std::vector<AtCommand> Commands() const;
    // Bytes after the last '\r'.
    std::string Pending() const;

  private:
    void Run();
    bool Drain();
    void Take(const char* bytes, size_t size);

    const int master_;
    host::Clock& clock_;
    sim::WakeEvent wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex mutex_;
    std::string pending_;
    std::vector<AtCommand> commands_;
};

}  // namespace vboard
