// Pseudo-terminal pairs and the modem's line over one; see the header for the rules.
//
// One thread works the master: it takes the updater's packets (data, or a report that the
// slave's settings changed) and, paced, hands the model's queued bytes to the slave when they
// are due.  The model's thread reads what has arrived and, unpaced, writes to the master
// itself.
#include "sim/pty_line.h"

#include "host/posix/termios_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "host/sim/sim_serial.h"

namespace sim {
namespace {

constexpr int64_t kBitTimesPerByteUs = 10'000'000;  // 10 bits, in microseconds at 1 baud
// Paced, the updater's bytes are taken off the master at most this far ahead of the line.
constexpr int64_t kReadLeadUs = 2000;
constexpr size_t kUnpacedChunk = 65536;

std::string Failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

double LineSeconds(size_t bytes, uint32_t baud) {
    return baud == 0 ? 0.0 : static_cast<double>(bytes) * 10.0 / baud;
}

// How many bytes of a burst have arrived by t_us.
size_t ArrivedBy(int64_t start_us, uint32_t baud, size_t size, int64_t t_us) {
    if (size == 0 || t_us < start_us)
        return 0;
    if (t_us >= host::SimLink::WireArrivalUs(start_us, baud, size - 1))
        return size;
    const int64_t rate = std::max<uint32_t>(baud, 1);
    return static_cast<size_t>((t_us - start_us) * rate / kBitTimesPerByteUs);
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
    if (wake_fd_ >= 0)
        close(wake_fd_);
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
    if (wake_fd_ < 0)
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        *error = Failure("cannot make an event descriptor");
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void PtyModemLine::Stop() {
    if (!thread_.joinable())
        return;
    clock_.update([this] { stop_ = true; });
    Wake();
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
    Wake();
}

void PtyModemLine::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake_fd_, &one, sizeof one);
}

void PtyModemLine::Run() {
    while (!stop_.load()) {
        const int64_t now_us = clock_.now_us();
        FlushDue(now_us);
        const int64_t wake_us = NextWakeUs(now_us);
        bool can_read = true;
        if (paced_) {
            std::lock_guard<std::mutex> lock(mutex_);
            can_read = rx_line_free_us_ - kReadLeadUs <= now_us;
        }
        // Unplugged, the number is /dev/null's, always readable: only a wake-up matters.
        const int master = unplugged_.load() ? -1 : master_;
        pollfd fds[2] = {{master, static_cast<short>(can_read ? POLLIN : 0), 0},
                         {wake_fd_, POLLIN, 0}};
        const timespec wait = Timespec(wake_us - now_us);
        const int ready = ppoll(fds, 2, wake_us == host::kForever ? nullptr : &wait, nullptr);
        if (ready <= 0)
            continue;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t ignored = read(wake_fd_, &count, sizeof count);
        }
        if (fds[0].revents & POLLIN)
            TakePacket();
        else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            clock_.sleep_us(1000);  // no slave at all: nothing to do but not spin
    }
}

// The next instant the thread has something to do without being woken: a paced byte of the
// model's due, or room on the line for more of the updater's bytes.
int64_t PtyModemLine::NextWakeUs(int64_t now_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t wake_us = host::kForever;
    if (!tx_.empty()) {
        const Burst& burst = tx_.front();
        wake_us = host::SimLink::WireArrivalUs(burst.start_us, burst.baud, burst.taken);
    }
    if (paced_ && rx_line_free_us_ - kReadLeadUs > now_us)
        wake_us = std::min(wake_us, rx_line_free_us_ - kReadLeadUs);
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
    FlushDue(now_us);
    near_baud_ = baud;
    std::lock_guard<std::mutex> lock(mutex_);
    near_changes_.push_back({now_us, baud});
}

void PtyModemLine::Deliver(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    const int64_t now_us = clock_.now_us();
    Burst burst;
    burst.bytes.assign(data, data + size);
    burst.baud = near_baud_.load();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        burst.start_us = paced_ ? std::max(now_us, rx_line_free_us_) : now_us;
        if (paced_)
            rx_line_free_us_ = host::SimLink::WireArrivalUs(burst.start_us, burst.baud, size - 1);
        counters_.bytes_to_modem += size;
        counters_.line_time_to_modem_s += LineSeconds(size, burst.baud);
        rx_.push_back(std::move(burst));
    }
    clock_.update([this] { rx_version_.fetch_add(1); });
}

size_t PtyModemLine::Arrived(const Burst& burst, int64_t now_us) const {
    if (paced_)
        return ArrivedBy(burst.start_us, burst.baud, burst.bytes.size(), now_us);
    return now_us >= burst.start_us ? burst.bytes.size() : 0;
}

int64_t PtyModemLine::ArrivalUs(const Burst& burst, size_t index) const {
    return paced_ ? host::SimLink::WireArrivalUs(burst.start_us, burst.baud, index)
                  : burst.start_us;
}

// Judges every byte that has arrived by now_us against the model's speed, so that each byte
// meets the speed the model had when it came.
void PtyModemLine::SettleLocked(int64_t now_us, uint32_t receiver_baud) {
    for (Burst& burst : rx_) {
        const size_t arrived = Arrived(burst, now_us);
        if (burst.baud != receiver_baud) {
            for (size_t i = burst.settled; i < arrived; ++i)
                burst.bytes[i] = host::SimLink::Garble(burst.bytes[i], burst.baud, receiver_baud);
            counters_.garbled_to_modem += arrived - std::min(arrived, burst.settled);
        }
        burst.settled = std::max(burst.settled, arrived);
        if (arrived < burst.bytes.size())
            return;
    }
}

// Copies out what has arrived by now_us; *next_us is when the bytes still wanted will all have
// arrived, or kForever when fewer than that are on their way (new ones wake the reader).
size_t PtyModemLine::TakeLocked(uint8_t* out, size_t max, int64_t now_us, int64_t* next_us) {
    SettleLocked(now_us, model_baud_.load());
    size_t got = 0;
    while (got < max && !rx_.empty()) {
        Burst& burst = rx_.front();
        const size_t n = std::min(burst.settled - burst.taken, max - got);
        std::memcpy(out + got, burst.bytes.data() + burst.taken, n);
        burst.taken += n;
        got += n;
        if (burst.taken < burst.bytes.size())
            break;
        rx_.pop_front();
    }
    *next_us = host::kForever;
    size_t wanted = max - got;
    for (const Burst& burst : rx_) {
        if (wanted == 0)
            break;
        const size_t on_way = burst.bytes.size() - burst.taken;
        if (wanted <= on_way) {
            *next_us = ArrivalUs(burst, burst.taken + wanted - 1);
            break;
        }
        wanted -= on_way;
    }
    return got;
}

size_t PtyModemLine::Read(uint8_t* buffer, size_t max, int64_t deadline_us) {
    size_t got = 0;
    for (;;) {
        // Seen before taking, so that bytes delivered after the take end the wait below.
        const uint64_t seen = rx_version_.load();
        const int64_t now_us = clock_.now_us();
        int64_t next_us = host::kForever;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            got += TakeLocked(buffer + got, max - got, now_us, &next_us);
        }
        if (got == max || stop_.load() || now_us >= deadline_us)
            return got;
        clock_.wait_until_us(std::min(deadline_us, next_us),
                             [this, seen] { return stop_.load() || rx_version_.load() != seen; });
    }
}

void PtyModemLine::SetBaud(uint32_t baud) {
    const int64_t now_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    SettleLocked(now_us, model_baud_.load());
    model_baud_ = baud;
}

void PtyModemLine::Write(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    const uint32_t baud = model_baud_.load();
    if (!paced_) {
        SendToSlave(data, size, baud);
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.line_time_from_modem_s += LineSeconds(size, baud);
        return;
    }
    const int64_t now_us = clock_.now_us();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Burst burst;
        burst.bytes.assign(data, data + size);
        burst.baud = baud;
        burst.start_us = std::max(now_us, tx_line_free_us_);
        tx_line_free_us_ = host::SimLink::WireArrivalUs(burst.start_us, baud, size - 1);
        counters_.line_time_from_modem_s += LineSeconds(size, baud);
        tx_.push_back(std::move(burst));
    }
    Wake();
}

// Paced: hands the slave the model's bytes that have arrived by now_us, in order.
void PtyModemLine::FlushDue(int64_t now_us) {
    for (;;) {
        std::vector<uint8_t> due;
        uint32_t baud = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (tx_.empty())
                return;
            Burst& burst = tx_.front();
            const size_t arrived =
                ArrivedBy(burst.start_us, burst.baud, burst.bytes.size(), now_us);
            if (arrived <= burst.taken)
                return;
            due.assign(burst.bytes.begin() + static_cast<std::ptrdiff_t>(burst.taken),
                       burst.bytes.begin() + static_cast<std::ptrdiff_t>(arrived));
            baud = burst.baud;
            burst.taken = arrived;
            if (burst.taken == burst.bytes.size())
                tx_.pop_front();
        }
        SendToSlave(due.data(), due.size(), baud);
    }
}

void PtyModemLine::SendToSlave(const uint8_t* data, size_t size, uint32_t sent_baud) {
    if (unplugged_.load()) {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.lost_from_modem += size;
        return;
    }
    const uint32_t receiver_baud = near_baud_.load();
    std::vector<uint8_t> bytes(data, data + size);
    size_t garbled = 0;
    if (sent_baud != receiver_baud) {
        for (uint8_t& byte : bytes)
            byte = host::SimLink::Garble(byte, sent_baud, receiver_baud);
        garbled = size;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(master_, bytes.data() + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // the slave's queue is full: the rest is lost, as on a line
    }
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.bytes_from_modem += done;
    counters_.garbled_from_modem += garbled;
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
