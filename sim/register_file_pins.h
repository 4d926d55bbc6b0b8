// The modem's pins read from the register file that the updater in another process shares with
// the virtual board program.  Linux only: it watches the file with inotify.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "sim/board_pins.h"

namespace host::posix {
class RegisterFile;
}  // namespace host::posix

namespace sim {

class RegisterFilePins final : public BoardPins {
  public:
    static constexpr int64_t kPollIntervalUs = 25'000;

    // With a path, the file's size is checked before every sample: a mapped file cut short
    // faults on access, so once it is short the pins are never sampled again (the levels stay
    // as last seen and cut_short() says why).  Another process may still cut it between the
    // check and the sample; an owner that cuts it itself calls StopSampling() first.
    //
    // With a path, the file is also watched for writes (inotify): a change is noted when it
    // is written and the listener told, so nothing needs to poll.  Without a path, or when the
    // watch cannot be set, the model samples every kPollIntervalUs.
    RegisterFilePins(const host::posix::RegisterFile& file, host::Clock& clock,
                     std::string path = {});
    ~RegisterFilePins() override;
    RegisterFilePins(const RegisterFilePins&) = delete;
    RegisterFilePins& operator=(const RegisterFilePins&) = delete;

    void StopSampling();
    bool cut_short() const;

    PinLevels Levels() override;
    std::vector<PinChange> TakeChanges() override;
    int64_t poll_interval_us() const override { return watch_ >= 0 ? 0 : kPollIntervalUs; }
    void SetListener(std::function<void()> listener) override;

  private:
    PinLevels Sample();
    void StartWatch();
    void Watch();

    const host::posix::RegisterFile& file_;
    host::Clock& clock_;
    const std::string path_;
    PinTracker tracker_;
    mutable std::mutex sample_mutex_;  // a sample and StopSampling() exclude each other
    bool stopped_ = false;
    bool cut_short_ = false;
    PinLevels last_;
    int inotify_fd_ = -1;
    int watch_ = -1;
    std::atomic<bool> stop_watch_{false};
    std::thread watcher_;
    std::mutex listener_mutex_;
    std::function<void()> listener_;
};

}  // namespace sim
