// A bench for the modem model in virtual time: a simulated COM1, a recording register bus, the
// model at the far end, and this test's thread as the updater at the near end, driving the
// board through the board operations.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/board.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/serial.h"
#include "host/sim/recording_bus.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"
#include "sim/board_pins.h"
#include "sim/image_records.h"
#include "sim/modem_line.h"
#include "sim/modem_model.h"
#include "tests/images/image_builder.h"

namespace modem_test {

using Bytes = std::vector<uint8_t>;

using images_test::kRead;
using images_test::kWrite;
using ImageBuilder = images_test::HandshakeImage;
const Bytes kIdentification = images_test::kBootAnswer;

// Records 6 and 7 are the same for every tag; the images differ from the write of record 8 on.
inline Bytes SmallImage(uint8_t tag) {
    return ImageBuilder()
        .Add(kWrite, {0x01, 0x02, 0x03}, 1)
        .Add(kRead, {0xAA, 0x00, 0x01}, 1)
        .Add(kWrite, {0x10, tag})
        .Add(kRead, {0xAA, 0x00, 0x10, tag})
        .Add(kWrite, Bytes(300, tag))
        .Add(kRead, {0xAA, 0x00, 0x5F, tag})
        .Take();
}
const Bytes kSw = SmallImage(0x53);
const Bytes kFs = SmallImage(0x46);

// The details of the events of one kind, each after its image's name where it has one.
std::vector<std::string> Details(const sim::ModemReport& report, sim::ModemEventKind kind);

// One bench is one run: its own clock, line, bus and model.
class ModemBench {
  public:
    ModemBench();
    ~ModemBench();
    ModemBench(const ModemBench&) = delete;
    ModemBench& operator=(const ModemBench&) = delete;

    void StartModem(std::span<const uint8_t> sw, std::span<const uint8_t> fs,
                    const char* fault_spec = "");
    sim::ModemReport Report() { return model_->Report(); }

    // The updater's side of COM1.
    void SetBaud(uint32_t baud);
    Bytes Read(uint32_t count, uint32_t timeout_ms);
    uint32_t Write(const Bytes& bytes, uint32_t timeout_ms = 1000);
    // Reads single bytes until `count` have come or `timeout_ms` passes without one, and
    // notes when each arrived.
    std::vector<std::pair<int64_t, uint8_t>> ReadTimed(size_t count, uint32_t timeout_ms);

    // Mode 110 and the power-on pulse, as preparation does them.
    void PowerOn();
    // A model with these images and faults, powered on and through the handshake.
    bool Connect(std::span<const uint8_t> sw, std::span<const uint8_t> fs,
                 const char* fault_spec = "");
    // The updater's z protocol: polls of up to 255 bytes in 100 ms, each 'z' answered with
    // '?'; an answer of 8 bytes or more whose bytes 4 to 7 are FF is followed by 'S' '6',
    // 500 ms, 460800 baud and 'Q'.  False when no answer came within max_polls.
    bool Handshake(int max_polls = 200);
    // Replays records 6 on as the updater does, writing write records and reading each read
    // record's answer within 100 ms.  Returns the first record whose write was short or whose
    // answer did not come right, or 0 when every record went through.
    uint32_t Replay(std::span<const uint8_t> image);

    host::VirtualClock clock_;
    host::CaptureLog log_;
    host::SimSerialPorts ports_;
    host::RecordingBus bus_{clock_};
    std::unique_ptr<host::ScopedPlatform> platform_;
    std::unique_ptr<host::ScopedClockThread> self_;
    std::shared_ptr<host::SimLink> link_;
    std::unique_ptr<sim::SimModemLine> line_;
    std::unique_ptr<sim::BusPins> pins_;
    host::SerialHandle port_ = host::kInvalidSerial;
    std::unique_ptr<sim::ModemModel> model_;
};

class ModemTest : public ::testing::Test, public ModemBench {};

}  // namespace modem_test
