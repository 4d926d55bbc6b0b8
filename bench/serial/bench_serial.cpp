// Prints what the serial layer costs: the simulated link in virtual time (a 64,512-byte record
// at 460800 baud with wire time, and the one-byte answer reads of the replay), and a real
// pseudo-terminal through the POSIX devices (a 64,512-byte record, empty R = 0 polls).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/debug_log.h"
#include "host/platform.h"
#include "host/posix/serial_posix.h"
#include "host/real_clock.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"
#include "platform/serial_port.h"

namespace {

constexpr int kRecordBytes = 64512;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void SimulatedLink() {
    host::VirtualClock clock;
    host::CaptureLog log;
    host::ScriptedUi ui{clock};
    host::SimSerialPorts ports;
    host::Platform platform;
    platform.clock = &clock;
    platform.log = &log;
    platform.ui = &ui;
    platform.serial = &ports;
    host::ScopedPlatform scoped(platform);
    host::ScopedClockThread registered(clock);
    std::shared_ptr<host::SimLink> link = ports.AddDevice(L"COM1:");
    link->SetWireTime(true);
    link->SetFarBaud(460800);

    CSerialPort port;
    port.Open(L"COM", 1, 460800, 0, 8, 0, true);
    port.SetTimeouts(100, kRecordBytes);
    std::vector<uint8_t> record(kRecordBytes, 0x5A);
    clock.add_pending_thread();
    std::thread far([&] {
        clock.begin_pending_thread();
        std::vector<uint8_t> buffer(4096);
        size_t total = 0;
        while (total < record.size())
            total += link->FarRead(buffer.data(), std::min(buffer.size(), record.size() - total),
                                   clock.now_us() + 100'000);
        clock.unregister_thread();
    });
    auto start = std::chrono::steady_clock::now();
    const int64_t virtual_start_us = clock.now_us();
    const uint32_t written = port.Write(record.data(), kRecordBytes);
    const double virtual_ms = static_cast<double>(clock.now_us() - virtual_start_us) / 1000.0;
    far.join();
    std::printf("sim  write %u bytes at 460800 baud: %.1f ms virtual, %.1f ms real\n", written,
                virtual_ms, MsSince(start));

    constexpr int kAnswers = 20000;
    uint8_t byte = 0;
    uint32_t got = 0;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kAnswers; ++i) {
        link->FarWrite(&byte, 1);
        got += port.Read(&byte, 1);
    }
    std::printf("sim  one-byte answer read: %.2f us real each (%u of %d)\n",
                MsSince(start) * 1000.0 / kAnswers, got, kAnswers);
}

void PseudoTerminal() {
    const std::string root = (std::filesystem::temp_directory_path() / "bench_serialXXXXXX");
    std::string path = root;
    path = mkdtemp(path.data());
    std::filesystem::create_directory(path + "/dev");
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::printf("pty  unavailable\n");
        return;
    }
    std::filesystem::create_symlink(ptsname(master), path + "/dev/COM1");
    host::RealClock clock;
    host::CaptureLog log;
    host::ScriptedUi ui{clock};
    host::posix::PosixSerialPorts ports(path);
    host::Platform platform;
    platform.clock = &clock;
    platform.log = &log;
    platform.ui = &ui;
    platform.serial = &ports;
    host::ScopedPlatform scoped(platform);
    {
        CSerialPort port;
        port.Open(L"COM", 1, 460800, 0, 8, 0, true);
        port.SetTimeouts(100, kRecordBytes);
        std::thread drain([&] {
            std::vector<uint8_t> buffer(8192);
            size_t total = 0;
            while (total < kRecordBytes) {
                pollfd fd = {master, POLLIN, 0};
                if (poll(&fd, 1, 1000) <= 0)
                    break;
                const ssize_t n = read(master, buffer.data(), buffer.size());
                if (n <= 0)
                    break;
                total += static_cast<size_t>(n);
            }
        });
        std::vector<uint8_t> record(kRecordBytes, 0x5A);
        auto start = std::chrono::steady_clock::now();
        const uint32_t written = port.Write(record.data(), kRecordBytes);
        drain.join();
        std::printf("pty  write %u bytes: %.2f ms real\n", written, MsSince(start));

        constexpr int kPolls = 20000;
        port.SetTimeouts(0, 1000);
        uint8_t byte = 0;
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPolls; ++i)
            port.Read(&byte, 1);
        std::printf("pty  empty R = 0 read: %.2f us real each\n", MsSince(start) * 1000.0 / kPolls);
    }
    close(master);
    std::filesystem::remove_all(path);
}

}  // namespace

int main() {
    SimulatedLink();
    PseudoTerminal();
    return 0;
}
