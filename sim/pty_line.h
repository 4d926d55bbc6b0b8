// Pseudo-terminals for the virtual board program: the updater opens the slave (through a
// symbolic link in the device root, as it would open a serial device) and the board works the
// master.
//
// PtyDevice makes one pair and keeps a descriptor of its own on the slave for as long as it
// lives, so that the master never sees a hang-up while the updater closes and reopens the
// device (its open, close, reopen of "COM1:"), and the slave's line settings survive those
// closes.  That descriptor is never read or written.  The slave starts raw at 9600 baud.
//
// PtyModemLine is the modem's end of COM1 on the master.  It follows the updater's line speed
// as the updater sets it: the master is in packet mode and the slave's termios carry EXTPROC,
// so every change of the slave's settings is reported on the master (a TIOCPKT_IOCTL packet),
// and the adapter then reads the slave's speed with tcgetattr on the master.  The kernel hands
// such a report out before the data still queued, so bytes the updater writes after a speed
// change are always judged at the new speed.  Paced, the adapter leaves the updater's bytes in
// the kernel until the line has room for them, so bytes written before a speed change and not
// yet taken would be judged at the new speed; the updater never changes speed with a write
// still on the line (it waits 500 ms after 'S' '6', and a watchdog step follows a poll).
//
// The line's physics are the wire model's (host/sim/wire_model.h), as on the in-process link:
// a byte received at a speed other than its sender's arrives as host::Garble() of itself, in
// both directions.  Paced, every byte costs 10 bit times at its sender's speed, both ways: the
// adapter takes the updater's bytes off the master no faster than the line would carry them,
// and hands the model's bytes to the master when they would arrive (a burst's bytes together
// as its last one arrives, or a millisecond's worth at a time in a longer burst).  Unpaced,
// bytes pass as fast as they can.
//
// The line never polls: its thread sleeps in ppoll until the master has bytes (or, paced, the
// line has room for them), bytes of the model's are due, or it is woken; the model's reads
// sleep until the bytes they want are due or new ones come.  The model's bytes that the slave
// cannot take (no one reading it for long) are lost, as on a real line.  A write cannot be cut
// short on a pseudo-terminal, so LimitNextWrite is not supported.
//
// Unplug() pulls the cable, as a USB serial adapter pulled out of the device would: the master
// is closed, so the slave hangs up (its reads return 0 at once, its writes fail) and cannot be
// opened again.  The model's bytes from then on are lost, and nothing reaches the model.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "host/sim/wire_model.h"
#include "sim/modem_line.h"
#include "sim/wake_event.h"

namespace sim {

class PtyDevice {
  public:
    PtyDevice() = default;
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Makes the pair; false with the reason in *error.
    bool Open(std::string* error);

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

  private:
    int master_ = -1;
    int keeper_ = -1;  // our own descriptor on the slave
    std::string slave_path_;
};

// Line speed of a termios speed code, 0 for one that is not a plain rate.
uint32_t BaudOfSpeedCode(unsigned int code);

struct LineCounters {
    uint64_t bytes_to_modem = 0;  // the updater's bytes handed to the model
    uint64_t bytes_from_modem = 0;
    uint64_t garbled_to_modem = 0;
    uint64_t garbled_from_modem = 0;
    uint64_t lost_from_modem = 0;  // the slave could not take them
    // The line's own time for the bytes carried, 10 bit times per byte at the sender's speed.
    double line_time_to_modem_s = 0;
    double line_time_from_modem_s = 0;
};

struct SpeedChange {
    int64_t time_us = 0;
    uint32_t baud = 0;
};

class PtyModemLine final : public ModemLine {
  public:
    // master: a PtyDevice's master, which must outlive the line.  clock: the model's clock,
    // which must follow real time.
    PtyModemLine(int master, host::Clock& clock, bool paced);
    ~PtyModemLine() override;
    PtyModemLine(const PtyModemLine&) = delete;
    PtyModemLine& operator=(const PtyModemLine&) = delete;

    // Packet mode and EXTPROC, the slave's speed now, then the line's thread.
    bool Start(std::string* error);
    void Stop();

    size_t Read(uint8_t* buffer, size_t max, int64_t deadline_us) override;
    void Write(const uint8_t* data, size_t size) override;
    void SetBaud(uint32_t baud) override;

    // Closes the master for good; safe from any thread, at any time after Start().  The
    // master's descriptor number then refers to /dev/null until its owner closes it, so that
    // no other file can take that number while the line's threads still use it.
    void Unplug();
    bool unplugged() const { return unplugged_.load(); }

    // The updater's speed as last seen, and every change of it with its time.
    uint32_t NearBaud() const { return near_baud_.load(); }
    std::vector<SpeedChange> NearSpeedChanges() const;
    LineCounters Counters() const;

  private:
    void Run();
    int64_t NextWakeUs(int64_t now_us);
    void TakePacket();
    void OnSpeedReport();
    void Deliver(const uint8_t* data, size_t size);
    void FlushDue(int64_t now_us);
    void SendToSlave(const uint8_t* data, size_t size);

    const int master_;
    host::Clock& clock_;
    const bool paced_;
    WakeEvent wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> unplugged_{false};
    std::atomic<uint32_t> near_baud_{9600};
    std::atomic<uint32_t> model_baud_{9600};
    std::vector<uint8_t> packet_;  // the line thread's read buffer

    mutable std::mutex mutex_;  // guards what follows; never held while taking the clock's lock
    std::condition_variable arrived_;  // the model's reads wait on it for the updater's bytes
    host::WireQueue rx_;               // the updater's bytes on their way to the model
    host::WireQueue tx_;               // the model's bytes on their way to the updater
    size_t reader_wants_ = 0;          // bytes a waiting reader still needs, 0 when none waits
    std::vector<SpeedChange> near_changes_;
    LineCounters counters_;
};

}  // namespace sim
