// The modem's lines on a real port and the wiring's settings file in a device root.  The port
// is a pseudo-terminal, which has no modem-control lines: every line change must say so,
// while the port itself keeps working.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/board.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/posix/modem_lines.h"
#include "host/posix/serial_posix.h"
#include "host/sim/recording_bus.h"
#include "host/sim/virtual_clock.h"
#include "host/wired_bus.h"
#include "tests/support/pty_root.h"

namespace {

using host::ModemLine;
using host::ModemWiring;
using host::WiredLine;

class PosixLines : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pty_.ok()); }
    std::string Conf() const { return root_ + "/modem-lines.conf"; }

    testproc::PtyRoot pty_;
    const std::string& root_ = pty_.root();
};

// The wired lines are owned at the updater's low level (an inverted one asserted), and one
// set while the port is closed gets that level at the open.  A wiring on a pseudo-terminal is
// refused before the start, and the check leaves the port free; a missing port is left to the
// run's own open.  Opened all the same, the port takes its settings, but the power-on fails
// with the port's reason; a closed port says so.
TEST_F(PosixLines, APortWithoutModemControlLinesSaysSo) {
    host::posix::PosixSerialPorts ports(root_);
    const ModemWiring wiring{WiredLine{ModemLine::kRts, true}, std::nullopt};
    host::posix::PosixModemLines lines(ports, L"COM1:", wiring);
    const auto owned = [&](ModemLine line) { return ports.OwnedLevel(L"COM1:", line); };
    EXPECT_EQ(owned(ModemLine::kRts), true);
    EXPECT_EQ(owned(ModemLine::kDtr), std::nullopt) << "not wired";
    std::string why;
    EXPECT_FALSE(lines.Usable("/r/modem-lines.conf", &why));
    EXPECT_TRUE(why.starts_with("/r/modem-lines.conf wires the modem to COM1:, but COM1: (" +
                                root_ + "/dev/COM1) has no modem-control lines: "))
        << why;
    EXPECT_TRUE(host::posix::PosixModemLines(ports, L"COM2:", wiring).Usable("/r/m.conf", &why));

    const host::SerialHandle port = ports.Open(L"COM1:", nullptr);
    ASSERT_NE(port, host::kInvalidSerial);
    host::SerialState state;
    ASSERT_TRUE(ports.GetState(port, &state));
    state.baud = 115200;
    EXPECT_TRUE(ports.SetState(port, state));
    host::VirtualClock clock;
    host::RecordingBus inner{clock};
    host::WiredBus bus{inner, lines, wiring};
    host::CaptureLog log;
    host::ScopedPlatform platform{{.clock = &clock, .log = &log, .serial = &ports, .board = &bus}};
    EXPECT_FALSE(PowerOnGsmModule());
    EXPECT_TRUE(log.All().starts_with(
        "Board register access failed in PowerOnGsmModule: the power key on RTS cannot be "
        "driven low: COM1: (" +
        root_ + "/dev/COM1) has no modem-control lines: "))
        << log.All();

    ASSERT_TRUE(ports.Close(port));
    EXPECT_FALSE(lines.Set(ModemLine::kRts, false, &why));
    EXPECT_EQ(why, "COM1: is not open");
    EXPECT_EQ(owned(ModemLine::kRts), false);
    host::posix::PosixModemLines reset_only(ports, L"COM1:",
                                            {{}, WiredLine{ModemLine::kDtr, false}});
    EXPECT_EQ(owned(ModemLine::kDtr), false);
}

TEST_F(PosixLines, SettingsFileInTheRoot) {
    std::string why;
    EXPECT_EQ(host::posix::LoadModemWiring(Conf(), &why), ModemWiring{}) << "no file: no wiring";

    std::ofstream(Conf()) << "power-key = dtr asserted\nreset = rst asserted\n";
    EXPECT_FALSE(host::posix::LoadModemWiring(Conf(), &why));
    EXPECT_EQ(why, Conf() + ": line 2: 'rst' is not a line (dtr, rts or none)");

    std::filesystem::remove(Conf());
    std::filesystem::create_symlink("/etc/hostname", Conf());
    EXPECT_FALSE(host::posix::LoadModemWiring(Conf(), &why));
    EXPECT_EQ(why, Conf() + ": is a symbolic link");

    std::filesystem::remove(Conf());
    std::filesystem::create_directory(Conf());
    EXPECT_FALSE(host::posix::LoadModemWiring(Conf(), &why));
    EXPECT_EQ(why, Conf() + ": Is a directory");
}

}  // namespace
