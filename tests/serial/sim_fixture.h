// A platform with one simulated device, "COM1:", in virtual time, and a port to drive it.
#pragma once

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"
#include "platform/serial_port.h"

using Bytes = std::vector<uint8_t>;

class SimPortTest : public ::testing::Test {
  protected:
    host::Platform MakePlatform() {
        host::Platform platform;
        platform.clock = &clock_;
        platform.log = &log_;
        platform.ui = &ui_;
        platform.serial = &devices_;
        return platform;
    }
    bool OpenCom1(bool quiet = false) { return port_.Open(L"COM", 1, 9600, 0, 8, 0, quiet); }
    Bytes Read(int32_t count) {
        Bytes bytes(count);
        bytes.resize(port_.Read(bytes.data(), count));
        return bytes;
    }
    Bytes FarRead(size_t max, int64_t deadline_us) {
        Bytes bytes(max);
        bytes.resize(com1_->FarRead(bytes.data(), max, deadline_us));
        return bytes;
    }
    // A thread that takes part in virtual time from before this one goes on, so that the
    // clock cannot jump ahead while it starts.  (This thread is registered too: a running
    // thread that is not registered is invisible to the clock.)
    template <typename Fn>
    std::thread StartClockThread(Fn fn) {
        clock_.add_pending_thread();
        return std::thread([this, fn = std::move(fn)] {
            clock_.begin_pending_thread();
            fn();
            clock_.unregister_thread();
        });
    }

    host::VirtualClock clock_;
    host::CaptureLog log_;
    host::ScriptedUi ui_{clock_};
    host::SimSerialPorts devices_;
    host::ScopedPlatform platform_{MakePlatform()};
    host::ScopedClockThread test_thread_{clock_};
    std::shared_ptr<host::SimLink> com1_ = devices_.AddDevice(L"COM1:");
    CSerialPort port_;
};
