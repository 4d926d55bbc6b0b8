// The modem bench: the updater's side of the conversation.
#include "tests/modem/modem_fixture.h"

#include <algorithm>
#include <string>

#include "sim/modem_faults.h"

namespace modem_test {

std::vector<std::string> Details(const sim::ModemReport& report, sim::ModemEventKind kind) {
    std::vector<std::string> found;
    for (const sim::ModemEvent& event : report.EventsOf(kind))
        found.push_back(event.image ? sim::ImageName(*event.image) + (" " + event.detail)
                                    : event.detail);
    return found;
}

ModemBench::ModemBench() {
    host::Platform platform;
    platform.clock = &clock_;
    platform.log = &log_;
    platform.serial = &ports_;
    platform.board = &bus_;
    platform_ = std::make_unique<host::ScopedPlatform>(platform);
    self_ = std::make_unique<host::ScopedClockThread>(clock_);
    link_ = ports_.AddDevice(L"COM1:");
    line_ = std::make_unique<sim::SimModemLine>(link_);
    pins_ = std::make_unique<sim::BusPins>(bus_, clock_);
    uint32_t error = 0;
    port_ = host::CurrentSerial().Open(L"COM1:", &error);
    SetBaud(9600);
}

ModemBench::~ModemBench() {
    model_.reset();
    host::CurrentSerial().Close(port_);
    pins_.reset();
}

void ModemBench::StartModem(std::span<const uint8_t> sw, std::span<const uint8_t> fs,
                            const char* fault_spec) {
    sim::ModemOptions options;
    std::string error;
    EXPECT_TRUE(sim::ParseFaults(fault_spec, &options.faults, &error)) << error;
    model_ = std::make_unique<sim::ModemModel>(*line_, *pins_, clock_, sw, fs, std::move(options));
    model_->Start();
}

void ModemBench::SetBaud(uint32_t baud) {
    host::SerialState state;
    state.baud = baud;
    ASSERT_TRUE(host::CurrentSerial().SetState(port_, state));
}

Bytes ModemBench::Read(uint32_t count, uint32_t timeout_ms) {
    host::SerialTimeouts timeouts;
    timeouts.read_interval_ms = 0xFFFFFFFF;
    timeouts.read_constant_ms = timeout_ms;
    timeouts.write_constant_ms = 1000;
    host::CurrentSerial().SetTimeouts(port_, timeouts);
    Bytes bytes(count);
    uint32_t got = 0;
    host::CurrentSerial().Read(port_, bytes.data(), count, &got);
    bytes.resize(got);
    return bytes;
}

uint32_t ModemBench::Write(const Bytes& bytes, uint32_t timeout_ms) {
    host::SerialTimeouts timeouts;
    timeouts.read_interval_ms = 0xFFFFFFFF;
    timeouts.read_constant_ms = 100;
    timeouts.write_constant_ms = timeout_ms;
    host::CurrentSerial().SetTimeouts(port_, timeouts);
    uint32_t written = 0;
    host::CurrentSerial().Write(port_, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
    return written;
}

std::vector<std::pair<int64_t, uint8_t>> ModemBench::ReadTimed(size_t count, uint32_t timeout_ms) {
    std::vector<std::pair<int64_t, uint8_t>> bytes;
    while (bytes.size() < count) {
        Bytes one = Read(1, timeout_ms);
        if (one.empty())
            break;
        bytes.emplace_back(clock_.now_us(), one[0]);
    }
    return bytes;
}

void ModemBench::PowerOn() {
    SwitchCpldMode(6);
    PowerOnGsmModule();
}

bool ModemBench::Connect(std::span<const uint8_t> sw, std::span<const uint8_t> fs,
                         const char* fault_spec) {
    StartModem(sw, fs, fault_spec);
    PowerOn();
    return Handshake();
}

bool ModemBench::Handshake(int max_polls) {
    for (int poll = 0; poll < max_polls; ++poll) {
        const Bytes got = Read(255, 100);
        for (uint8_t byte : got) {
            if (byte == 0x7A)
                Write({0x3F}, 100);
        }
        if (got.size() >= 8 &&
            std::all_of(got.begin() + 4, got.begin() + 8, [](uint8_t b) { return b == 0xFF; })) {
            Write({0x53, 0x36}, 100);
            host::Sleep(500);
            SetBaud(460800);
            Write({0x51}, 100);
            return true;
        }
    }
    return false;
}

uint32_t ModemBench::Replay(std::span<const uint8_t> image) {
    const sim::ImageRecords records(image);
    for (uint32_t number = 6; number <= records.count(); ++number) {
        const auto payload = records.Payload(number);
        const Bytes bytes(payload.begin(), payload.end());
        if (records.At(number).direction == kWrite) {
            const auto timeout_ms = std::max<uint32_t>(1000, static_cast<uint32_t>(bytes.size()));
            if (Write(bytes, timeout_ms) != bytes.size())
                return number;
        } else if (Read(static_cast<uint32_t>(bytes.size()), 100) != bytes) {
            return number;
        }
    }
    return 0;
}

}  // namespace modem_test
