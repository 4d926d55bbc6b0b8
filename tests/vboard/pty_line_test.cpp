// The modem's line and the AT recorder over real pseudo-terminals, with this test as the
// updater on the slave side.  Real time: every wait is bounded generously and nothing is
// asserted about how long anything took.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/real_clock.h"
#include "host/sim/sim_serial.h"
#include "sim/pty_line.h"
#include "tools/virtual-board/at_recorder.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kPatienceUs = 5'000'000;

bool Eventually(const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kPatienceUs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The updater's end: the slave, opened and set up as the serial layer does.
class Slave {
  public:
    explicit Slave(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~Slave() { Close(); }
    bool ok() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void SetSpeed(speed_t speed) {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        tcsetattr(fd_, TCSANOW, &t);
    }
    int fd() const { return fd_; }
    void Send(const std::string& text) {
        ASSERT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    Bytes Receive(size_t count) {
        Bytes got;
        Eventually([&] {
            uint8_t buffer[4096];
            const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            return got.size() == count;
        });
        return got;
    }

  private:
    int fd_;
};

class PtyLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(device_.Open(&error)) << error;
    }
    void StartLine(bool paced) {
        line_ = std::make_unique<sim::PtyModemLine>(device_.master(), clock_, paced);
        std::string error;
        ASSERT_TRUE(line_->Start(&error)) << error;
    }
    Bytes ModemReads(size_t count) {
        Bytes got(count);
        size_t n = 0;
        Eventually([&] {
            n += line_->Read(got.data() + n, count - n, clock_.now_us() + 10'000);
            return n == count;
        });
        got.resize(n);
        return got;
    }
    void ModemSends(const std::string& text) {
        line_->Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    bool Delivered(uint64_t bytes) {
        return Eventually([&] { return line_->Counters().bytes_to_modem >= bytes; });
    }

    host::RealClock clock_;
    sim::PtyDevice device_;
    std::unique_ptr<sim::PtyModemLine> line_;
};

Bytes Of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

uint8_t Garbled(char byte, uint32_t sent, uint32_t received) {
    return host::Garble(static_cast<uint8_t>(byte), sent, received);
}

TEST_F(PtyLineTest, FollowsTheUpdatersSpeedAndGarblesAcrossSpeedsBothWays) {
    StartLine(false);
    Slave updater(device_.slave_path());
    ASSERT_TRUE(updater.ok());
    updater.SetSpeed(B9600);
    updater.Send("?z");
    EXPECT_EQ(ModemReads(2), Of("?z"));

    updater.SetSpeed(B460800);
    ASSERT_TRUE(Eventually([&] { return line_->NearBaud() == 460800; }));
    ASSERT_EQ(line_->NearSpeedChanges().size(), 1u);
    updater.Send("Q");
    EXPECT_EQ(ModemReads(1), Bytes{Garbled('Q', 460800, 9600)});
    ModemSends("z");
    EXPECT_EQ(updater.Receive(1), Bytes{Garbled('z', 9600, 460800)});

    line_->SetBaud(460800);
    ModemSends("ok");
    EXPECT_EQ(updater.Receive(2), Of("ok"));
    updater.Send("S6");
    EXPECT_EQ(ModemReads(2), Of("S6"));
    const sim::LineCounters counters = line_->Counters();
    EXPECT_EQ(counters.garbled_to_modem, 1u);
    EXPECT_EQ(counters.garbled_from_modem, 1u);
}

// Bytes meet the model's speed when they arrive, not when the model gets round to them.
TEST_F(PtyLineTest, BytesThatArrivedBeforeTheModelChangedSpeedKeepTheOldOne) {
    StartLine(false);
    Slave updater(device_.slave_path());
    updater.SetSpeed(B9600);
    updater.Send("S6");
    ASSERT_TRUE(Delivered(2));
    line_->SetBaud(460800);
    EXPECT_EQ(ModemReads(2), Of("S6"));
}

TEST_F(PtyLineTest, ReadTakesAtMostItsCountAndLeavesTheRestWaiting) {
    StartLine(false);
    Slave updater(device_.slave_path());
    updater.SetSpeed(B9600);
    updater.Send("0123456789");
    ASSERT_TRUE(Delivered(10));
    uint8_t buffer[16] = {};
    EXPECT_EQ(line_->Read(buffer, 4, clock_.now_us() + kPatienceUs), 4u);
    EXPECT_EQ(line_->Read(buffer + 4, 16, 0), 6u);  // a past deadline: what is there
    EXPECT_EQ(Bytes(buffer, buffer + 10), Of("0123456789"));
    EXPECT_EQ(line_->Read(buffer, 1, 0), 0u);
}

// The updater opens, closes and reopens COM1 before it powers the modem on.
TEST_F(PtyLineTest, KeepsWorkingWhileTheUpdaterClosesAndReopensTheDevice) {
    StartLine(false);
    {
        Slave first(device_.slave_path());
        first.SetSpeed(B9600);
        first.Send("a");
        EXPECT_EQ(ModemReads(1), Of("a"));
    }
    Slave again(device_.slave_path());
    ASSERT_TRUE(again.ok());
    again.SetSpeed(B9600);
    again.Send("b");
    EXPECT_EQ(ModemReads(1), Of("b"));
    ModemSends("c");
    EXPECT_EQ(again.Receive(1), Of("c"));
}

// A pulled cable: the updater's end hangs up at once, reads end without waiting, writes fail,
// the device cannot be opened again, and the model's bytes go nowhere.
TEST_F(PtyLineTest, UnplugHangsTheUpdatersEndUpForGood) {
    StartLine(false);
    Slave updater(device_.slave_path());
    updater.SetSpeed(B9600);
    updater.Send("?");
    EXPECT_EQ(ModemReads(1), Of("?"));
    line_->Unplug();
    line_->Unplug();  // once is enough; again changes nothing
    pollfd slave{updater.fd(), POLLIN, 0};
    ASSERT_TRUE(Eventually([&] { return poll(&slave, 1, 0) == 1 && (slave.revents & POLLHUP); }));
    uint8_t byte = 0;
    EXPECT_LE(read(updater.fd(), &byte, 1), 0);
    EXPECT_LT(write(updater.fd(), "z", 1), 0);
    EXPECT_FALSE(Slave(device_.slave_path()).ok());
    ModemSends("zz");
    EXPECT_EQ(line_->Counters().lost_from_modem, 2u);
    EXPECT_EQ(line_->Read(&byte, 1, clock_.now_us() + 20'000), 0u);
    line_->Stop();  // the line's thread ends although its master is gone
}

TEST_F(PtyLineTest, PacedLineCarriesEveryByteInOrderAndCountsItsLineTime) {
    StartLine(true);
    Slave updater(device_.slave_path());
    updater.SetSpeed(B460800);
    ASSERT_TRUE(Eventually([&] { return line_->NearBaud() == 460800; }));
    line_->SetBaud(460800);
    std::string block;
    for (int i = 0; i < 3000; ++i)
        block += static_cast<char>(i * 7);
    updater.Send(block);
    EXPECT_EQ(ModemReads(block.size()), Of(block));
    ModemSends(block.substr(0, 200));
    EXPECT_EQ(updater.Receive(200), Of(block.substr(0, 200)));
    const sim::LineCounters counters = line_->Counters();
    EXPECT_NEAR(counters.line_time_to_modem_s, 3000 * 10 / 460800.0, 1e-9);
    EXPECT_NEAR(counters.line_time_from_modem_s, 200 * 10 / 460800.0, 1e-9);
}

TEST(AtRecorderTest, RecordsCommandsSplitOverWritesAndOutlivesTheDeviceLink) {
    sim::PtyDevice device;
    std::string error;
    ASSERT_TRUE(device.Open(&error)) << error;
    host::RealClock clock;
    vboard::AtRecorder recorder(device.master(), clock);
    ASSERT_TRUE(recorder.Start(&error)) << error;
    const std::string link = ::testing::TempDir() + "/at_recorder_vei1";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device.slave_path(), link);
    {
        Slave vei1(link);
        vei1.Send("AT*USER1");
        vei1.Send("OFF\r");
    }
    std::filesystem::remove(link);  // the driver is unloaded; the channel stays
    Slave again(device.slave_path());
    again.Send("\nAT+CFUN=0\rAT");
    ASSERT_TRUE(Eventually([&] { return recorder.Pending() == "AT"; }));
    recorder.Stop();
    const std::vector<vboard::AtCommand> commands = recorder.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].text, "AT*USER1OFF\r");
    EXPECT_EQ(commands[1].text, "AT+CFUN=0\r");
    EXPECT_LE(commands[0].time_us, commands[1].time_us);
}

}  // namespace
