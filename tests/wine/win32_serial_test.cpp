// The Win32 serial port under Wine against a pseudo-terminal held here: the Windows build's
// serial probe runs the port's operations one line at a time, and the test works the master.
// The prefix maps COM1 to ROOT/dev/COM1 and COM2 (the multiplexer's "VEI1:") to ROOT/dev/VEI1,
// links that each test points at a pseudo-terminal of its own.  The prefix is made once and
// kept beside the Windows build; a lock makes the tests that share it take turns.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/real_clock.h"
#include "sim/wine_prefix.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const std::string kBuild = WIN32_BUILD_DIR;
const std::string kPrefix = kBuild + "/serial-test-prefix";
const std::string kRoot = kBuild + "/serial-test-root";
const std::string kProbe = kBuild + "/tests/serial_probe.exe";
constexpr int kAnswerMs = 60'000;  // Wine's first start in a prefix takes some seconds

int64_t MsSince(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

// The prefix with its Ports key, made once.  Wine maps COM ports when its server starts, so
// the key is imported and the server waited out before the prefix is marked ready.
bool EnsurePrefix() {
    if (fs::exists(kPrefix + "/.serial-ready"))
        return true;
    host::RealClock clock;
    sim::WinePrefix prefix(kPrefix, clock);
    std::string error;
    const bool made = prefix.Make(&error) && prefix.Import(sim::PortEntries(kRoot), &error);
    EXPECT_TRUE(made) << error;
    if (made)
        std::fclose(std::fopen((kPrefix + "/.serial-ready").c_str(), "w"));
    return made;
}

// A pseudo-terminal whose slave a link of the root names.  A descriptor of our own on the
// slave keeps the master from a hang-up while the probe closes and reopens the port.
class Pty {
  public:
    explicit Pty(const std::string& link) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        keeper_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        tcgetattr(keeper_, &raw);
        cfmakeraw(&raw);
        tcsetattr(keeper_, TCSANOW, &raw);
        fs::remove(link);
        fs::create_symlink(ptsname(master_), link);
    }
    ~Pty() {
        close(keeper_);
        close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    speed_t Speed() const {  // a master reports its slave's settings
        termios t{};
        tcgetattr(master_, &t);
        return cfgetospeed(&t);
    }
    void Send(const Bytes& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Bytes Receive(size_t count) const {  // 5 s at most
        Bytes bytes;
        for (const auto start = Steady::now(); bytes.size() < count && MsSince(start) < 5000;) {
            pollfd fd = {master_, POLLIN, 0};
            uint8_t chunk[512];
            const ssize_t n = poll(&fd, 1, 100) > 0 ? read(master_, chunk, sizeof chunk) : 0;
            bytes.insert(bytes.end(), chunk, chunk + std::max<ssize_t>(n, 0));
        }
        return bytes;
    }

  private:
    int master_ = -1;
    int keeper_ = -1;
};

// The probe under Wine: one operation in, one answer line out.
class Probe {
  public:
    Probe() {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // Wine's own chatter stays out of the test's output, and so does its server's, which
        // inherits it: the server takes the pseudo-terminal as its controlling terminal and
        // dumps its objects at each hang-up.
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string wine = "wine", probe = kProbe;
        char* argv[] = {wine.data(), probe.data(), nullptr};
        if (posix_spawnp(&pid_, "wine", &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Probe() {
        close(to_);  // the probe ends at the end of its input
        int status = 0;
        for (const auto start = Steady::now(); pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;) {
            if (MsSince(start) > 10'000) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(from_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // The answer line, or "(no answer)" after kAnswerMs.
    std::string Ask(const std::string& op) {
        const std::string line = op + "\n";
        if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "(probe gone)";
        const auto start = Steady::now();
        for (size_t end; (end = pending_.find('\n')) == std::string::npos;) {
            const int left = kAnswerMs - static_cast<int>(MsSince(start));
            pollfd fd = {from_, POLLIN, 0};
            char chunk[512];
            const ssize_t n =
                left > 0 && poll(&fd, 1, left) > 0 ? read(from_, chunk, sizeof chunk) : 0;
            if (n <= 0)
                return "(no answer)";
            pending_.append(chunk, static_cast<size_t>(n));
        }
        const size_t end = pending_.find('\n');
        std::string answer = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return answer;
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string pending_;
};

// The milliseconds a "read|write ok|failed COUNT MS ..." answer reports.
int64_t TransferMs(const std::string& answer) {
    long long count = 0, ms = -1;
    char op[8] = {}, outcome[8] = {};
    std::sscanf(answer.c_str(), "%7s %7s %lld %lld", op, outcome, &count, &ms);
    return ms;
}

class Win32SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Every Wine program here runs in the test's prefix, never in the user's own.
        setenv("WINEPREFIX", kPrefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        lock_ = open((kBuild + "/serial-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(lock_, 0);
        bool locked = false;  // the other tests of this file take their turns: 10 min at most
        for (const auto start = Steady::now(); !locked && MsSince(start) < 600'000;) {
            locked = flock(lock_, LOCK_EX | LOCK_NB) == 0;
            if (!locked)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(locked);
        ASSERT_TRUE(fs::exists(kProbe)) << kProbe;
        ASSERT_TRUE(EnsurePrefix());
        fs::create_directories(kRoot + "/dev");
        fs::remove(kRoot + "/dev/VEI1");
        pty_ = std::make_unique<Pty>(kRoot + "/dev/COM1");
    }
    void TearDown() override {
        probe_.reset();
        pty_.reset();
        close(lock_);
    }
    Probe& probe() {
        if (!probe_)
            probe_ = std::make_unique<Probe>();
        return *probe_;
    }

    int lock_ = -1;
    std::unique_ptr<Pty> pty_;
    std::unique_ptr<Probe> probe_;
};

TEST_F(Win32SerialTest, TheMasterSeesTheSpeedThePortSets) {
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    struct Case {
        uint32_t baud;
        speed_t code;
    };
    for (const Case& c : {Case{9600, B9600}, Case{460800, B460800}, Case{115200, B115200}}) {
        EXPECT_EQ(probe().Ask("state " + std::to_string(c.baud)), "state ok");
        EXPECT_EQ(pty_->Speed(), c.code) << c.baud;
        EXPECT_EQ(probe().Ask("getstate"), "getstate " + std::to_string(c.baud) + " 1011 8 0 0");
    }
}

// Every byte value passes unchanged both ways.  Then the link is pointed at another
// pseudo-terminal and the same process (the same Wine server) opens the port again: Wine
// follows the link at each open.
TEST_F(Win32SerialTest, BytesPassBothWaysAndAReopenFollowsTheLink) {
    Bytes all(256);
    std::string hex;
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", i);
        hex += digits;
    }
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    ASSERT_EQ(probe().Ask("state 460800"), "state ok");
    ASSERT_EQ(probe().Ask("timeouts 5000 1000"), "timeouts ok");
    pty_->Send(all);
    const std::string answer = probe().Ask("read 256");
    EXPECT_TRUE(answer.starts_with("read ok 256 ")) << answer;
    EXPECT_EQ(answer.substr(answer.rfind(' ') + 1), hex);
    EXPECT_TRUE(probe().Ask("write " + hex).starts_with("write ok 256 "));
    EXPECT_EQ(pty_->Receive(256), all);
    EXPECT_EQ(probe().Ask("close"), "close ok");

    Pty other(kRoot + "/dev/COM1");
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    EXPECT_TRUE(probe().Ask("write 5a3f").starts_with("write ok 2 "));
    EXPECT_EQ(other.Receive(2), (Bytes{0x5a, 0x3f}));
}

// A read on a silent line returns, with nothing, once its total time-out has passed.  Bounded
// loosely above: the machine may be slow, but never by seconds.
TEST_F(Win32SerialTest, AnEmptyReadReturnsAfterItsTotalTimeout) {
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    for (const int64_t timeout_ms : {0, 100, 200}) {
        ASSERT_EQ(probe().Ask("timeouts " + std::to_string(timeout_ms) + " 100"), "timeouts ok");
        const std::string answer = probe().Ask("read 255");
        EXPECT_TRUE(answer.starts_with("read ok 0 ")) << answer;
        const int64_t ms = TransferMs(answer);
        std::printf("empty read with a %lld ms time-out: %lld ms\n",
                    static_cast<long long>(timeout_ms), static_cast<long long>(ms));
        EXPECT_GE(ms, timeout_ms - 5) << answer;  // the two clocks' ticks differ a little
        EXPECT_LT(ms, timeout_ms + 2000) << answer;
    }
    // Without a time-out a read takes what is waiting, once the pseudo-terminal has passed it on.
    ASSERT_EQ(probe().Ask("timeouts 0 100"), "timeouts ok");
    pty_->Send({'z', 'z'});
    std::string got;
    for (const auto start = Steady::now(); got.size() < 4 && MsSince(start) < 5000;) {
        const std::string answer = probe().Ask("read 255");
        if (!answer.ends_with(" -"))
            got += answer.substr(answer.rfind(' ') + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(got, "7a7a");
}

TEST_F(Win32SerialTest, CloseEndsABlockedReadAtOnce) {
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    ASSERT_EQ(probe().Ask("timeouts 20000 1000"), "timeouts ok");
    ASSERT_EQ(probe().Ask("closein 300"), "closein armed");
    const std::string answer = probe().Ask("read 10");
    EXPECT_TRUE(answer.starts_with("read failed 0 ")) << answer;
    EXPECT_GE(TransferMs(answer), 250) << answer;
    EXPECT_LT(TransferMs(answer), 5000) << answer;    // far below the read's own 20 s
    EXPECT_EQ(probe().Ask("open COM1:"), "open ok");  // the port went with the close
}

// The master closed (an adapter pulled): transfers fail, but only once their time-outs have
// passed, so that a poller keeps its pace.
TEST_F(Win32SerialTest, ALostLineFailsTransfersAtTheirTimeouts) {
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    ASSERT_EQ(probe().Ask("timeouts 300 200"), "timeouts ok");
    pty_.reset();
    for (const std::string op : {"read 16", "read 16", "write 3f"}) {
        const std::string answer = probe().Ask(op);
        const bool read = op.starts_with("read");
        EXPECT_TRUE(answer.starts_with(read ? "read failed 0 " : "write failed 0 ")) << answer;
        EXPECT_GE(TransferMs(answer), read ? 295 : 195) << answer;
    }
    EXPECT_EQ(probe().Ask("close"), "close ok");
}

TEST_F(Win32SerialTest, OpeningNamesTheFailure) {
    ASSERT_EQ(probe().Ask("open COM1:"), "open ok");
    Probe second;  // another process, the same Wine server
    struct Case {
        Probe* who;
        std::string name;
        std::string answer;
    };
    const Case cases[] = {
        {&probe(), "COM1:", "open error 5 \\\\.\\COM1: held by another program"},
        {&second, "COM1:", "open error 5 \\\\.\\COM1: held by another program"},
        {&second, "VEI1:", "open error 2 \\\\.\\COM2: not a serial device"},  // link gone
        {&second, "VEI3:", "open error 2 VEI3: names no serial port"},
        {&second, "COM1", "open error 2 COM1 names no serial port"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.who->Ask("open " + c.name), c.answer) << c.name;
    EXPECT_EQ(probe().Ask("close"), "close ok");
    EXPECT_EQ(second.Ask("open COM1:"), "open ok");
}

// A modem wired to DTR and RTS needs a port with modem-control lines: a line that cannot be
// driven is a failure with its reason, never a silent success.
TEST_F(Win32SerialTest, ALineThatCannotBeDrivenIsRefusedWithTheReason) {
    const std::string refused = "line failed COM1: (\\\\.\\COM1): ";
    struct Case {
        std::string op;
        std::string answer;
    };
    const Case cases[] = {
        {"line DTR 1", "line failed COM1: is not open"},
        {"own DTR 0", "own ok"},
        {"open COM1:", "open ok"},
        {"line DTR 1", refused + "DTR cannot be asserted: Request not supported"},
        {"line RTS 0", refused + "RTS cannot be released: Request not supported"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(probe().Ask(c.op), c.answer) << c.op;
}

}  // namespace
