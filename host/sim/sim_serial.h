// Simulated serial devices in virtual time.  Each named device is a SimLink: a two-ended line
// whose near end is the updater (through SerialPorts: "COM1:", "VEI1:") and whose far end is a
// modem model or a test script.  Every wait goes through the installed clock, so a link runs
// in virtual time as well as in real time, and the same script gives the same bytes at the
// same instants on every run.
//
// The line's physics are the wire model's (host/sim/wire_model.h): garbling between speeds,
// and with wire time on, 10 bit times per byte at its sender's speed.  With wire time on, a
// near write that does not fit its write time-out sends only the bytes that fit (the rest is
// never sent).  With wire time off (the default), bytes arrive at the instant they are written.
// - Bytes sent to the near end while no one has it open are lost, as are bytes still waiting
//   when the near end closes.
//
// Near time-outs are total time-outs: a read of n returns when n bytes have arrived or the
// read time-out has passed (0: at once with what is waiting); a write returns when its bytes
// are sent or the write time-out has passed (0: no time-out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/serial.h"
#include "host/serial_table.h"
#include "host/sim/wire_model.h"

namespace host {

class SimLink {
  public:
    SimLink() = default;
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    // The far end.
    void FarWrite(const void* data, size_t size);
    void FarWrite(const std::vector<uint8_t>& bytes) { FarWrite(bytes.data(), bytes.size()); }
    // Returns when `max` bytes have arrived or at deadline_us (a time on the installed clock),
    // with the bytes that have arrived by then; nothing arrives while unplugged.
    size_t FarRead(void* buffer, size_t max, int64_t deadline_us);
    size_t FarAvailable();  // bytes that have arrived and not been read
    void SetFarBaud(uint32_t baud);
    uint32_t FarBaud();

    // The near end as the far end sees it: the line settings in force (the speed included),
    // a count of SetState calls that took, and a wait for the next one.
    SerialState NearState();
    uint64_t NearStateChanges();
    bool WaitNearStateChange(uint64_t seen_changes, int64_t deadline_us);
    bool NearIsOpen();
    SerialTimeouts NearTimeouts();
    uint32_t NearRxQueueBytes();
    uint32_t NearTxQueueBytes();

    // The line.
    void SetWireTime(bool enabled);
    // The device goes away, at any moment: bytes on the line are lost and Open fails with
    // kErrorFileNotFound until Plug().  A near handle open at the time stays open but lost:
    // its reads and writes fail when their time-outs have passed (a write without one after
    // kLostWriteMs), it still takes new time-outs, its other calls fail at once, and Close
    // still ends them at once.  A lost
    // handle never comes back, not even after Plug().
    void Unplug();
    void Plug();
    static constexpr int64_t kLostWriteMs = 1000;

    // Fault knobs; each stays set until changed, except LimitNextWrite.
    void FailOpen(uint32_t error);  // 0: opens normally
    void FailGetState(bool fail);
    void FailSetState(bool fail);
    // A speed that does not take: SetState reports success and every other setting takes,
    // but the line keeps its old speed, and GetState and NearState() report that speed, as a
    // driver that silently ignores a rate would.  The wrapper cannot tell; only the garbled
    // bytes that follow show it.
    void IgnoreSpeed(bool ignore);
    // The next near write sends at most `bytes` and then stalls until its write time-out.
    void LimitNextWrite(uint32_t bytes);

  private:
    friend class SimSerialPorts;

    // The near end, for SimSerialPorts: the same calls as SerialPorts, on the link's one
    // session.  NearOpen returns 0 or the platform error code.
    uint32_t NearOpen(SerialHandle handle);
    void NearClose(SerialHandle handle);
    bool NearGetState(SerialHandle handle, SerialState* state);
    bool NearSetState(SerialHandle handle, const SerialState& state);
    bool NearSetTimeouts(SerialHandle handle, const SerialTimeouts& timeouts);
    bool NearSetQueues(SerialHandle handle, uint32_t rx_bytes, uint32_t tx_bytes);
    bool NearAlive(SerialHandle handle);
    bool NearRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t* got);
    bool NearWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written);

    // Takes bytes from `wire` until `count` have come or the deadline passes; stops at once,
    // with *dead set, when `alive` no longer holds.  Called without mutex_.
    template <typename Alive>
    size_t Receive(WireQueue& wire, const uint32_t& receiver_baud, uint8_t* out, size_t count,
                   int64_t deadline_us, Alive alive, bool* dead);
    void Unsend(uint64_t burst_id, size_t keep);
    bool AliveLocked(SerialHandle handle) const { return plugged_ && session_ == handle; }
    // A call on a lost handle: waits until deadline_us or the handle's close, then fails.
    bool WaitOutLoss(SerialHandle handle, int64_t deadline_us);

    std::mutex mutex_;  // guards everything below; taken inside the clock's lock, never around it
    WireQueue to_near_;
    WireQueue to_far_;
    SerialState near_{9600, kDefaultFlags, 8, 0, 0};
    SerialTimeouts timeouts_;
    uint32_t rx_queue_bytes_ = 0;
    uint32_t tx_queue_bytes_ = 0;
    uint64_t state_changes_ = 0;
    uint32_t far_baud_ = 9600;
    SerialHandle session_ = kInvalidSerial;
    SerialHandle lost_ = kInvalidSerial;  // the handle that was open when the device went
    bool plugged_ = true;
    bool wire_time_ = false;
    uint32_t fail_open_ = 0;
    bool fail_get_state_ = false;
    bool fail_set_state_ = false;
    bool ignore_speed_ = false;
    std::optional<uint32_t> write_limit_;

    // A freshly opened port: binary transfer, DTR and RTS raised.
    static constexpr uint32_t kDefaultFlags = serial_flags::kBinary |
                                              (1u << serial_flags::kDtrControlShift) |
                                              (1u << serial_flags::kRtsControlShift);
};

class SimSerialPorts final : public SerialPorts {
  public:
    // Adds a device ("COM1:" or "COM1"; names compare without the colon and without case) and
    // returns its link; a name added twice returns the same link.
    std::shared_ptr<SimLink> AddDevice(const std::wstring& name);
    std::shared_ptr<SimLink> Device(const std::wstring& name);
    // Called with the name of every Open, whatever its outcome, outside the table's lock.
    void SetOpenObserver(std::function<void(const std::wstring& name)> observer);

    SerialHandle Open(const std::wstring& name, uint32_t* error) override;
    // "sim:COM1: no such device", "sim:COM1: not connected", "sim:COM1: held by another
    // program" or "sim:COM1: open error N".
    std::string LastOpenFailure() const override;
    bool GetState(SerialHandle port, SerialState* state) override;
    bool SetState(SerialHandle port, const SerialState& state) override;
    bool SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) override;
    bool SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) override;
    bool ClearErrors(SerialHandle port) override;
    bool Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) override;
    bool Write(SerialHandle port, const void* buffer, uint32_t count, uint32_t* written) override;
    bool Close(SerialHandle port) override;

  private:
    SerialTable<SimLink> handles_;  // a link is held by each handle open on it
    mutable std::mutex mutex_;      // guards the fields below
    std::map<std::wstring, std::shared_ptr<SimLink>> devices_;
    std::function<void(const std::wstring&)> open_observer_;
    std::string last_open_failure_;
};

}  // namespace host
