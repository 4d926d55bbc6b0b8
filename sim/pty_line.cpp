// Pseudo-terminal pairs and the modem's line over one; see the header for the rules.
//
// One thread works the master: it takes the updater's packets (data, or a report that the
// slave's settings changed) and, paced, hands the model's queued bytes to the slave when they
// are due.  The model's thread reads what has arrived and, unpaced, writes to the master
// itself.  The hand-over to the model goes through the line's own condition variable, not the
// clock's, so that a packet wakes the model and nothing else.
#include "sim/pty_line.h"

#include "host/posix/termios_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace sim {
namespace {

constexpr int64_t kBitTimesPerByteUs = 10'000'000;  // 10 bits, in microseconds at 1 baud
// Paced, the updater's bytes are taken off the master at most this far ahead of the line: the
// kernel's own buffers hold far more, so the updater sees no difference, and the line thread
// wakes once per lead instead of once per few bytes.
constexpr int64_t kReadLeadUs = 100'000;
constexpr size_t kUnpacedChunk = 65536;
// Paced, the model's bytes go to the slave together when their burst has arrived, or every so
// often in a long one: a wake for every byte would put a thread switch between each two.
constexpr int64_t kFlushSpanUs = 1000;

std::string Failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

timespec Timespec(int64_t us) {
    us = std::max<int64_t>(us, 0);
    return timespec{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
}

}  // namespace

// ---- the pair ----

PtyDevice::~PtyDevice() {
    if (keeper_ >= 0)
        close(keeper_);
    if (master_ >= 0)
        close(master_);
}

bool PtyDevice::Open(std::string* error) {
    const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0) {
        *error = Failure("cannot open /dev/ptmx");
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
        *error = Failure("cannot unlock a pseudo-terminal");
        close(master);
        return false;
    }
    // O_NOCTTY: the slave must never become this program's controlling terminal.
    const int keeper = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios t{};
    if (keeper < 0 || tcgetattr(keeper, &t) != 0) {
        *error = Failure(std::string("cannot open ") + name);
        if (keeper >= 0)
            close(keeper);
        close(master);
        return false;
    }
    // Raw from the start: a fresh slave echoes, which would send the modem its own bytes back
    // before the updater has set the line up.
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(keeper, TCSANOW, &t);
    master_ = master;
    keeper_ = keeper;
    slave_path_ = name;
    return true;
}

// ---- the line ----

PtyModemLine::PtyModemLine(int master, host::Clock& clock, bool paced)
    : master_(master), clock_(clock), paced_(paced) {}

PtyModemLine::~PtyModemLine() {
    Stop();
}

bool PtyModemLine::Start(std::string* error) {
    if (thread_.joinable())
        return true;
    termios t{};
    if (tcgetattr(master_, &t) != 0) {
        *error = Failure("cannot read the slave's settings");
        return false;
    }
    // On the master, termios calls reach the slave's settings.
    t.c_lflag |= EXTPROC;
    int on = 1;
    if (tcsetattr(master_, TCSANOW, &t) != 0 || ioctl(master_, TIOCPKT, &on) != 0) {
        *error = Failure("cannot put the pseudo-terminal in packet mode");
        return false;
    }
    if (const uint32_t baud = host::posix::SpeedBaud(cfgetospeed(&t)); baud != 0)
        near_baud_ = baud;
    if (!wake_.Open(error))
        return false;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void PtyModemLine::Stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    arrived_.notify_all();
    wake_.Signal();
    thread_.join();
}

// dup2 replaces the master in one step: a thread inside a call on the old descriptor keeps
// the master alive until that call returns, and the master's last close hangs the slave up.
// The wake ends the line thread's wait on it.
void PtyModemLine::Unplug() {
    if (unplugged_.exchange(true))
        return;
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, master_);
        close(null_fd);
    }
    wake_.Signal();
}

void PtyModemLine::Run() {
    while (!stop_.load()) {
        const int64_t now_us = clock_.now_us();
        if (paced_)
            FlushDue(now_us);
        const int64_t wake_us = NextWakeUs(now_us);
        // Paced, the updater's bytes wait in the kernel while the line is full.
        bool line_full = false;
        if (paced_) {
            std::lock_guard<std::mutex> lock(mutex_);
            line_full = rx_.line_free_us() - kReadLeadUs > now_us;
        }
        // Unplugged, the number is /dev/null's, always readable: only a wake-up matters.
        const int master = unplugged_.load() ? -1 : master_;
        pollfd fds[2] = {{master, static_cast<short>(line_full ? 0 : POLLIN), 0},
                         {wake_.fd(), POLLIN, 0}};
        const timespec wait = Timespec(wake_us - now_us);
        const int ready = ppoll(fds, 2, wake_us == host::kForever ? nullptr : &wait, nullptr);
        if (ready <= 0)
            continue;
        if (fds[1].revents & POLLIN)
            wake_.Clear();
        if (fds[0].revents & POLLIN)
            TakePacket();
        else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            clock_.sleep_us(1000);  // no slave at all: nothing to do but not spin
    }
}

// The next instant the thread has something to do without being woken: the model's bytes due,
// or room on the line for more of the updater's bytes.
int64_t PtyModemLine::NextWakeUs(int64_t now_us) {
    if (!paced_)
        return host::kForever;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t first_us = tx_.NextArrivalUs();
    int64_t wake_us = first_us == host::kForever
                          ? first_us
                          : std::min(tx_.line_free_us(), first_us + kFlushSpanUs);
    if (rx_.line_free_us() - kReadLeadUs > now_us)
        wake_us = std::min(wake_us, rx_.line_free_us() - kReadLeadUs);
    return wake_us;
}

void PtyModemLine::TakePacket() {
    size_t chunk = kUnpacedChunk;
    if (paced_)
        chunk = std::max<size_t>(
            1, static_cast<size_t>(int64_t{near_baud_.load()} * kReadLeadUs / kBitTimesPerByteUs));
    packet_.resize(chunk + 1);
    const ssize_t n = read(master_, packet_.data(), packet_.size());
    if (n <= 0)
        return;
    if (packet_[0] == TIOCPKT_DATA)
        Deliver(packet_.data() + 1, static_cast<size_t>(n - 1));
    else if (packet_[0] & TIOCPKT_IOCTL)
        OnSpeedReport();
}

void PtyModemLine::OnSpeedReport() {
    termios t{};
    if (tcgetattr(master_, &t) != 0)
        return;
    const uint32_t baud = host::posix::SpeedBaud(cfgetospeed(&t));
    if (baud == 0 || baud == near_baud_.load())
        return;
    // The model's bytes that arrived before the change met the old speed.
    const int64_t now_us = clock_.now_us();
    if (paced_)
        FlushDue(now_us);
    near_baud_ = baud;
    std::lock_guard<std::mutex> lock(mutex_);
    near_changes_.push_back({now_us, baud});
}

void PtyModemLine::Deliver(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    const int64_t now_us = clock_.now_us();
    const uint32_t baud = near_baud_.load();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rx_.Send(data, size, baud, now_us, paced_);
        counters_.bytes_to_modem += size;
        counters_.line_time_to_modem_s += host::WireSeconds(size, baud);
        // A reader returns at its deadline with what has come by then: it needs waking only
        // once the bytes it waits for are all on their way.
        if (reader_wants_ == 0 || rx_.CompleteAt(reader_wants_) == host::kForever)
            return;
    }
    arrived_.notify_one();
}

size_t PtyModemLine::Read(uint8_t* buffer, size_t max, int64_t deadline_us) {
    size_t got = 0;
    for (;;) {
        const int64_t now_us = clock_.now_us();
        std::unique_lock<std::mutex> lock(mutex_);
        counters_.garbled_to_modem += rx_.Settle(now_us, model_baud_.load());
        got += rx_.Take(buffer + got, max - got);
        if (got == max || stop_.load() || now_us >= deadline_us)
            return got;
        // Once the bytes wanted are all on their way, only their arrival matters; before
        // that, the packet that completes them ends the wait.
        const int64_t complete_us = rx_.CompleteAt(max - got);
        const uint64_t seen = rx_.version();
        const auto woken = [&] {
            return stop_.load() || (complete_us == host::kForever && rx_.version() != seen);
        };
        const int64_t until_us = std::min(deadline_us, complete_us);
        reader_wants_ = complete_us == host::kForever ? max - got : 0;
        if (until_us == host::kForever)
            arrived_.wait(lock, woken);
        else
            arrived_.wait_for(lock, std::chrono::microseconds(until_us - now_us), woken);
        reader_wants_ = 0;
    }
}

void PtyModemLine::SetBaud(uint32_t baud) {
    const int64_t now_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.garbled_to_modem += rx_.Settle(now_us, model_baud_.load());
    model_baud_ = baud;
}

// Unpaced, the model's bytes go out at once from its own thread, which is then the only
// writer; paced, the line thread hands them over when they are due.
void PtyModemLine::Write(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    const int64_t now_us = clock_.now_us();
    const uint32_t baud = model_baud_.load();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tx_.Send(data, size, baud, now_us, paced_);
        counters_.line_time_from_modem_s += host::WireSeconds(size, baud);
    }
    if (paced_)
        wake_.Signal();
    else
        FlushDue(now_us);
}

// Hands the slave the model's bytes that have arrived by now_us, judged against the
// updater's speed.
void PtyModemLine::FlushDue(int64_t now_us) {
    std::vector<uint8_t> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.garbled_from_modem += tx_.Settle(now_us, near_baud_.load());
        due.resize(tx_.Settled());
        tx_.Take(due.data(), due.size());
    }
    if (!due.empty())
        SendToSlave(due.data(), due.size());
}

void PtyModemLine::SendToSlave(const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size && !unplugged_.load()) {
        const ssize_t n = write(master_, data + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // the slave's queue is full: the rest is lost, as on a line
    }
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.bytes_from_modem += done;
    counters_.lost_from_modem += size - done;
}

std::vector<SpeedChange> PtyModemLine::NearSpeedChanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return near_changes_;
}

LineCounters PtyModemLine::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

}  // namespace sim
