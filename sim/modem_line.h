// The modem's end of COM1.  The model talks to this small interface so that it runs the same
// in-process (a SimLink's far end, in virtual time) and in the virtual board program (the
// master side of a pseudo-terminal, in real time).
//
// Speeds: the line judges every byte against the speed of its receiver.  A byte sent at one
// speed and received at another arrives garbled, in both directions; the model only states its
// own speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace host {
class SimLink;
}

namespace sim {

class ModemLine {
  public:
    virtual ~ModemLine() = default;

    // Waits until `max` bytes have arrived or until deadline_us (a time on the model's clock)
    // and returns how many it put into `buffer`: every byte that had arrived by then, up to
    // `max`.  A deadline in the past returns at once with what is waiting.
    virtual size_t Read(uint8_t* buffer, size_t max, int64_t deadline_us) = 0;
    // Sends at the model's speed; never blocks for long.
    virtual void Write(const uint8_t* data, size_t size) = 0;
    // The model's own speed.
    virtual void SetBaud(uint32_t baud) = 0;
    // Lets the updater's next write through only up to `bytes`: the rest of it is refused, as
    // by a modem that stops taking data.  False where the line cannot do that.
    virtual bool LimitNextWrite(uint32_t bytes) {
        (void)bytes;
        return false;
    }
};

// The far end of a simulated link.
class SimModemLine final : public ModemLine {
  public:
    explicit SimModemLine(std::shared_ptr<host::SimLink> link) : link_(std::move(link)) {}

    size_t Read(uint8_t* buffer, size_t max, int64_t deadline_us) override;
    void Write(const uint8_t* data, size_t size) override;
    void SetBaud(uint32_t baud) override;
    bool LimitNextWrite(uint32_t bytes) override;

  private:
    std::shared_ptr<host::SimLink> link_;
};

}  // namespace sim
