// CSerialPort over real pseudo-terminals, in real time: the test holds the master side and
// ROOT/dev/COM1 links to the slave.  The close's 1000 ms wait is recorded, not slept.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/debug_log.h"
#include "host/platform.h"
#include "host/posix/serial_posix.h"
#include "host/real_clock.h"
#include "host/sim/scripted_ui.h"
#include "platform/serial_port.h"
#include "tests/support/pty_root.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Steady = std::chrono::steady_clock;

// Real time, except that sleeps are recorded and return at once.
class NoSleepClock final : public host::RealClock {
  public:
    void sleep_us(int64_t duration_us) override { slept_us += duration_us; }
    std::atomic<int64_t> slept_us{0};
};

int64_t MsSince(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

class PosixSerialRealTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        ports_ = std::make_unique<host::posix::PosixSerialPorts>(root_);
        platform_ = std::make_unique<host::ScopedPlatform>(
            host::Platform{.clock = &clock_, .log = &log_, .serial = ports_.get(), .ui = &ui_});
    }
    bool OpenCom1(CSerialPort& port) { return port.Open(L"COM", 1, 9600, 0, 8, 0, false); }
    termios SlaveSettings() {  // a pty master reports its slave's settings
        termios t{};
        EXPECT_EQ(tcgetattr(pty_.master(), &t), 0);
        return t;
    }
    Bytes MasterRead(size_t count) {  // waits a generous 5 s at most
        Bytes bytes;
        for (const auto start = Steady::now(); bytes.size() < count && MsSince(start) < 5000;) {
            pollfd fd = {pty_.master(), POLLIN, 0};
            uint8_t chunk[4096];
            const ssize_t n = poll(&fd, 1, 100) > 0 ? read(pty_.master(), chunk, sizeof chunk) : 0;
            bytes.insert(bytes.end(), chunk, chunk + std::max<ssize_t>(n, 0));
        }
        return bytes;
    }

    testproc::PtyRoot pty_;
    const std::string& root_ = pty_.root();
    NoSleepClock clock_;
    host::CaptureLog log_;
    host::ScriptedUi ui_{clock_};
    std::unique_ptr<host::posix::PosixSerialPorts> ports_;
    std::unique_ptr<host::ScopedPlatform> platform_;
    CSerialPort port_;
};

TEST_F(PosixSerialRealTimeTest, LineIsRawWithoutFlowControlAtTheCallersSpeed) {
    ASSERT_TRUE(OpenCom1(port_));
    termios t = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | PARENB | CSTOPB | CSIZE | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    ASSERT_TRUE(port_.SetState(460800, 0, 8, 0, false));
    t = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&t), B460800);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    // Every byte value passes unchanged both ways: no CR/LF mapping, no XON/XOFF or signals.
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(write(pty_.master(), all.data(), 256), 256);
    ASSERT_TRUE(port_.SetTimeouts(5000, 1000));
    Bytes got(256);
    EXPECT_EQ(port_.Read(got.data(), 256), 256u);
    EXPECT_EQ(got, all);
    EXPECT_EQ(port_.Write(all.data(), 256), 256u);
    EXPECT_EQ(MasterRead(256), all);
    EXPECT_TRUE(ui_.Events().empty());
}

TEST_F(PosixSerialRealTimeTest, ReadsFollowTheTimeoutsAndCloseReleases) {
    ASSERT_TRUE(OpenCom1(port_));
    uint8_t buffer[255];
    EXPECT_EQ(port_.Read(buffer, 255), 0u);  // R = 0 on a silent line: at once
    ASSERT_TRUE(port_.SetTimeouts(100, 100));
    const auto start = Steady::now();
    EXPECT_EQ(port_.Read(buffer, 255), 0u);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 10'000);
    ASSERT_EQ(write(pty_.master(), "zz", 2), 2);
    ASSERT_TRUE(port_.SetTimeouts(0, 100));
    uint32_t got = 0;  // R = 0: what is waiting, once the pty has passed it on
    for (const auto since = Steady::now(); got < 2 && MsSince(since) < 5000;)
        got += port_.Read(buffer + got, 255 - static_cast<int32_t>(got));
    EXPECT_EQ(got, 2u);

    EXPECT_TRUE(port_.Close());
    EXPECT_TRUE(OpenCom1(port_));  // the lock went with the close
}

// The master closed (an adapter pulled): reads and writes fail, but only once their time-outs
// have passed, so that a poller keeps its pace; the loss is logged once.  A close still ends a
// waiting call at once.  Only lower bounds on the waits: the machine may be slow.
TEST_F(PosixSerialRealTimeTest, LostDeviceFailsCallsAtTheirTimeoutsUntilClosed) {
    ASSERT_TRUE(OpenCom1(port_));
    ASSERT_TRUE(port_.SetTimeouts(300, 200));
    uint8_t buffer[16] = {};
    int64_t read_ms = -1;
    std::thread reader([&] {
        const auto start = Steady::now();
        EXPECT_EQ(port_.Read(buffer, 16), 0u);
        read_ms = MsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty_.CloseMaster();
    reader.join();
    EXPECT_GE(read_ms, 300);
    auto start = Steady::now();
    EXPECT_EQ(port_.Read(buffer, 16), 0u);
    EXPECT_GE(MsSince(start), 300);
    start = Steady::now();
    EXPECT_EQ(port_.Write("?", 1), 0u);
    EXPECT_GE(MsSince(start), 200);
    ASSERT_TRUE(port_.SetTimeouts(300, 0));  // a write without a time-out still returns
    start = Steady::now();
    EXPECT_EQ(port_.Write("?", 1), 0u);
    EXPECT_GE(MsSince(start), host::posix::PosixSerialPorts::kGoneWriteMs);
    EXPECT_FALSE(port_.SetState(460800, 0, 8, 0, false));  // no box: the loss is known
    EXPECT_TRUE(ui_.Events().empty());

    ASSERT_TRUE(port_.SetTimeouts(30'000, 0));
    std::thread waiter([&] { EXPECT_EQ(port_.Read(buffer, 16), 0u); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    start = Steady::now();
    EXPECT_TRUE(port_.Close());
    waiter.join();
    EXPECT_LT(MsSince(start), 10'000);
    const std::vector<std::string> texts = log_.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "COM1: device lost\r\n"), 1);
    EXPECT_EQ(texts.size(), 1u);
}

}  // namespace
