// Serial devices through termios; see the header for the rules.
#include "host/posix/serial_posix.h"

#include "host/posix/termios_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/device_root.h"
#include "host/platform.h"

namespace host::posix {
namespace {

constexpr tcflag_t kSizeBits[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// The platform's error code for a failed open.  errno values that collide with the two
// platform codes (EIO is 5) are mapped explicitly, so that no host error is ever shown as
// "Access Denied!" by accident.
uint32_t OpenError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case EIO:  // a pseudo-terminal whose master is gone
            return kErrorFileNotFound;
        case EBUSY:
        case EWOULDBLOCK:
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        default:
            return static_cast<uint32_t>(error);
    }
}

// Raw 8-bit transfer with the state's speed and framing; flow control only where the control
// word asks for XON/XOFF (hardware flow control is never used: RTS handshake is not
// supported).  False when the state asks for something termios cannot express.
bool BuildTermios(const SerialState& state, termios* t) {
    const std::optional<speed_t> speed = SpeedCode(state.baud);
    if (!speed || state.byte_size < 5 || state.byte_size > 8 || state.parity > 4 ||
        state.stop_bits > 2) {
        return false;
    }
    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                    IXANY | INPCK | IMAXBEL);
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag &= ~(kFramingBits | CRTSCTS);
    t->c_cflag |= kSizeBits[state.byte_size - 5] | CLOCAL | CREAD;
    constexpr tcflag_t kParityBits[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                        PARENB | CMSPAR};
    t->c_cflag |= kParityBits[state.parity];
    if (state.stop_bits != 0)
        t->c_cflag |= CSTOPB;  // one and a half stop bits are sent as two
    if (state.flags & serial_flags::kParityCheck)
        t->c_iflag |= INPCK;
    if (state.flags & serial_flags::kOutX)
        t->c_iflag |= IXON;
    if (state.flags & serial_flags::kInX)
        t->c_iflag |= IXOFF;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, *speed);
    cfsetospeed(t, *speed);
    return true;
}

void ReadTermios(const termios& t, SerialState* state) {
    state->baud = SpeedBaud(cfgetospeed(&t));
    const tcflag_t size = t.c_cflag & CSIZE;
    state->byte_size = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    if (!(t.c_cflag & PARENB))
        state->parity = 0;
    else if (t.c_cflag & CMSPAR)
        state->parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        state->parity = (t.c_cflag & PARODD) ? 1 : 2;
    state->stop_bits = (t.c_cflag & CSTOPB) ? 2 : 0;
}

// DTR and RTS follow their control fields: disabled drops the line, anything else raises it
// (the handshake modes are not supported).  Lines that the board's wiring owns are left
// alone.  Devices without modem lines (a pseudo-terminal) refuse the request; that is not an
// error.
void SetModemLines(int fd, uint32_t flags, int owned) {
    const bool dtr = ((flags >> serial_flags::kDtrControlShift) & 3) != 0;
    const bool rts = ((flags >> serial_flags::kRtsControlShift) & 3) != 0;
    int raise = ((dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0)) & ~owned;
    int drop = ((dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS)) & ~owned;
    if (raise != 0)
        ioctl(fd, TIOCMBIS, &raise);
    if (drop != 0)
        ioctl(fd, TIOCMBIC, &drop);
}

constexpr uint32_t kTermiosFlags = serial_flags::kParityCheck | serial_flags::kOutX |
                                   serial_flags::kInX | serial_flags::kCtsOutput;
constexpr uint32_t kDefaultFlags = serial_flags::kBinary | (1u << serial_flags::kDtrControlShift) |
                                   (1u << serial_flags::kRtsControlShift);

uint32_t MergeFlags(uint32_t stored, const termios& t) {
    uint32_t flags = stored & ~kTermiosFlags;
    if (t.c_iflag & INPCK)
        flags |= serial_flags::kParityCheck;
    if (t.c_iflag & IXON)
        flags |= serial_flags::kOutX;
    if (t.c_iflag & IXOFF)
        flags |= serial_flags::kInX;
    if (t.c_cflag & CRTSCTS)
        flags |= serial_flags::kCtsOutput;
    return flags;
}

// A failed open for a person: the path and the system's reason.  A device that another
// opener holds (its lock or TIOCEXCL) is named as such: the system's words ("Device or
// resource busy") do not say who.
std::string OpenFailureText(const std::string& path, int error) {
    if (error == EBUSY || error == EWOULDBLOCK)
        return path + ": held by another program";
    if (error == ENOTTY)
        return path + ": not a serial device";
    return path + ": " + std::strerror(error);
}

// Opens the device exclusively; -1 with the platform's error code and the reason on failure.
// The lock comes before TIOCEXCL so that a refused opener never changes the tty of the one
// that holds it.
int OpenExclusive(const std::string& path, uint32_t* error, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = OpenError(errno);
        *why = OpenFailureText(path, errno);
        return -1;
    }
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        const int cause = errno;
        *error = OpenError(cause);
        *why = OpenFailureText(path, cause);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// One open device.  It lives as long as the table or any call in progress holds it; the
// descriptors are closed with the last holder.
class PosixSerialPorts::Device : public SerialDeviceBase {
  public:
    enum class Wait { kReady, kTimeout, kGone };

    Device(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd) {}
    ~Device() {
        ::close(fd_);
        ::close(wake_fd_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    int fd() const { return fd_; }
    bool closed() const { return closed_.load(); }

    // Releases the device for the next opener and wakes every call waiting on it.  The
    // descriptor itself stays valid until the last holder lets go.
    void Shutdown() {
        closed_.store(true);
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
    }

    // Waits until the device is ready for `events`, the deadline (on the installed clock)
    // passes, or the device goes away or is closed.
    Wait WaitFor(short events, int64_t deadline_us) {
        for (;;) {
            if (closed())
                return Wait::kGone;
            int timeout_ms = -1;
            if (deadline_us != kForever) {
                const int64_t left_us = deadline_us - CurrentClock().now_us();
                if (left_us <= 0)
                    return Wait::kTimeout;
                timeout_ms = static_cast<int>(std::min<int64_t>((left_us + 999) / 1000, INT_MAX));
            }
            pollfd fds[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout_ms);
            if (ready < 0 && errno != EINTR)
                return Wait::kGone;
            if (ready <= 0)
                continue;
            // Bytes still waiting after a hang-up have been read before this wait.
            if (fds[1].revents != 0 || (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
                return Wait::kGone;
            if (fds[0].revents & events)
                return Wait::kReady;
        }
    }

    // After the device has gone: waits until the deadline passes or the port is closed.  Only
    // the wake descriptor is watched; the device's own would report its hang-up at once.
    void WaitOutLoss(int64_t deadline_us) {
        while (!closed()) {
            const int64_t left_us = deadline_us - CurrentClock().now_us();
            if (left_us <= 0)
                return;
            const int timeout_ms =
                static_cast<int>(std::min<int64_t>((left_us + 999) / 1000, INT_MAX));
            pollfd fd = {wake_fd_, POLLIN, 0};
            if (::poll(&fd, 1, timeout_ms) < 0 && errno != EINTR)
                return;
        }
    }

    int owned_lines =
        0;  // TIOCM_DTR, TIOCM_RTS: lines the board's wiring drives; set with the name

    // Guarded by the base's mutex, with the time-outs.
    uint32_t flags = kDefaultFlags;
    uint32_t rx_queue_bytes = 0;
    uint32_t tx_queue_bytes = 0;

  private:
    const int fd_;
    const int wake_fd_;
    std::atomic<bool> closed_{false};
};

PosixSerialPorts::PosixSerialPorts(std::string root) : root_(std::move(root)) {}

PosixSerialPorts::~PosixSerialPorts() {
    table_.CloseAll();
}

SerialHandle PosixSerialPorts::Open(const std::wstring& name, uint32_t* error) {
    uint32_t code = 0;
    std::string why;
    const std::optional<std::string> path = DevicePath(root_, name);
    int fd = -1;
    if (!path) {
        code = kErrorFileNotFound;
        why = Narrow(name) + " names no device under " + root_ + "/dev";
    } else {
        fd = OpenExclusive(*path, &code, &why);
    }
    int wake_fd = -1;
    if (fd >= 0) {
        wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd < 0) {
            code = OpenError(errno);
            why = *path + ": " + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    // The wired lines go to their levels before the handle is handed out (this takes the lock).
    const int owned_lines = fd >= 0 ? PrepareOwnedLines(name, fd) : 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_open_failure_ = why;
    }
    if (fd < 0) {
        if (error != nullptr)
            *error = code;
        return kInvalidSerial;
    }
    auto device = std::make_shared<Device>(fd, wake_fd);
    device->name = name;
    device->owned_lines = owned_lines;
    return table_.Add(std::move(device));
}

std::string PosixSerialPorts::LastOpenFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_open_failure_;
}

bool PosixSerialPorts::GetState(SerialHandle port, SerialState* state) {
    const std::shared_ptr<Device> device = table_.Find(port);
    termios t{};
    if (!device || tcgetattr(device->fd(), &t) != 0)
        return false;
    ReadTermios(t, state);
    std::lock_guard<std::mutex> lock(device->mutex);
    state->flags = MergeFlags(device->flags, t);
    return true;
}

bool PosixSerialPorts::SetState(SerialHandle port, const SerialState& state) {
    const std::shared_ptr<Device> device = table_.Find(port);
    termios t{};
    if (!device || tcgetattr(device->fd(), &t) != 0)
        return false;
    const termios before = t;
    if (!BuildTermios(state, &t) || tcsetattr(device->fd(), TCSANOW, &t) != 0)
        return false;
    // tcsetattr succeeds when any part of the request took: read back what is in force, so
    // that a speed or a framing the driver refused (a pseudo-terminal forces 8 bits without
    // parity) is reported as a failure, with the previous settings put back.
    termios in_force{};
    if (tcgetattr(device->fd(), &in_force) != 0 || cfgetospeed(&in_force) != cfgetospeed(&t) ||
        (in_force.c_cflag & kFramingBits) != (t.c_cflag & kFramingBits)) {
        tcsetattr(device->fd(), TCSANOW, &before);
        return false;
    }
    SetModemLines(device->fd(), state.flags, device->owned_lines);
    std::lock_guard<std::mutex> lock(device->mutex);
    device->flags = state.flags;
    return true;
}

bool PosixSerialPorts::SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) {
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    device->StoreTimeouts(timeouts);
    return true;
}

// The sizes are only recorded: the tty layer's buffers are the kernel's.
bool PosixSerialPorts::SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) {
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->rx_queue_bytes = rx_bytes;
    device->tx_queue_bytes = tx_bytes;
    return true;
}

// termios keeps no sticky line-error state to clear.
bool PosixSerialPorts::ClearErrors(SerialHandle port) {
    return table_.Find(port) != nullptr;
}

namespace {

// Moves `count` bytes with `step` (one read or write of what is left, from the offset it is
// given), waiting for the device between steps, until all are moved, the deadline passes or
// the device goes away.  Stores the count moved and answers whether the device went away.
template <typename Device, typename Step>
bool Transfer(Device& device, short events, int64_t deadline_us, uint32_t count, uint32_t* done,
              Step step) {
    while (*done < count) {
        if (device.closed())
            return true;
        const ssize_t n = step(*done);
        if (n > 0) {
            *done += static_cast<uint32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            return true;  // a device error
        } else {
            const auto wait = device.WaitFor(events, deadline_us);
            if (wait == Device::Wait::kTimeout)
                return false;
            if (wait == Device::Wait::kGone)
                return true;
        }
    }
    return false;
}

}  // namespace

bool PosixSerialPorts::Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    const int64_t deadline_us = CurrentClock().now_us() + device->ReadTotalMs(count) * 1000;
    auto* out = static_cast<uint8_t*>(buffer);
    // With VMIN and VTIME 0 an empty tty reads as 0 bytes, not EAGAIN; a hang-up shows in the
    // poll.
    uint32_t done = 0;
    const bool gone = Transfer(*device, POLLIN, deadline_us, count, &done, [&](uint32_t at) {
        return ::read(device->fd(), out + at, count - at);
    });
    *got = done;
    // Bytes that came before the device went away are delivered; the next call fails.
    if (!gone || done > 0)
        return true;
    device->WaitOutLoss(deadline_us);
    return false;
}

bool PosixSerialPorts::Write(SerialHandle port, const void* buffer, uint32_t count,
                             uint32_t* written) {
    *written = 0;
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    const int64_t total_ms = device->WriteTotalMs(count);
    int64_t deadline_us = total_ms == 0 ? kForever : CurrentClock().now_us() + total_ms * 1000;
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    const bool gone = Transfer(*device, POLLOUT, deadline_us, count, &done, [&](uint32_t at) {
        return ::write(device->fd(), in + at, count - at);
    });
    *written = done;
    if (!gone)
        return true;
    if (deadline_us == kForever)
        deadline_us = CurrentClock().now_us() + kGoneWriteMs * 1000;
    device->WaitOutLoss(deadline_us);
    return false;
}

bool PosixSerialPorts::Close(SerialHandle port) {
    return table_.Close(port);
}

// ---- the lines a real modem is wired to ----

namespace {

int LineBit(ModemLine line) {
    return line == ModemLine::kDtr ? TIOCM_DTR : TIOCM_RTS;
}

int WithBit(int bits, int bit, bool on) {
    return on ? (bits | bit) : (bits & ~bit);
}

// Sets or clears `bits` of the modem-control lines; the errno of a refusal, or 0.
int ChangeLines(int fd, int bits, bool asserted) {
    if (bits == 0)
        return 0;
    return ioctl(fd, asserted ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
}

// Keeps or clears the hang-up on close.  A pseudo-terminal ignores it; a failure only loses
// the safety it gives, so it is not reported.
void SetHangUpOnClose(int fd, bool hang_up) {
    termios t{};
    if (tcgetattr(fd, &t) != 0 || ((t.c_cflag & HUPCL) != 0) == hang_up)
        return;
    t.c_cflag = hang_up ? (t.c_cflag | HUPCL) : (t.c_cflag & ~HUPCL);
    tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

void PosixSerialPorts::OwnLine(const std::wstring& name, ModemLine line, bool idle_asserted) {
    std::lock_guard<std::mutex> lock(mutex_);
    OwnedLines& lines = owned_[name];
    const int bit = LineBit(line);
    lines.owned |= bit;
    lines.asserted = WithBit(lines.asserted, bit, idle_asserted);
    lines.idle_asserted = WithBit(lines.idle_asserted, bit, idle_asserted);
}

// Right after the open: the owned lines back at their latest levels (the open has just raised
// both) and the hang-up on close chosen.  A refusal (no modem-control lines) is reported by
// the first SetLine, when the wiring needs the line.
int PosixSerialPorts::PrepareOwnedLines(const std::wstring& name, int fd) {
    OwnedLines lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = owned_.find(name);
        if (it == owned_.end())
            return 0;
        lines = it->second;
    }
    ChangeLines(fd, lines.owned & ~lines.asserted, false);
    ChangeLines(fd, lines.owned & lines.asserted, true);
    SetHangUpOnClose(fd, lines.idle_asserted == 0);
    return lines.owned;
}

std::optional<bool> PosixSerialPorts::OwnedLevel(const std::wstring& name, ModemLine line) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = owned_.find(name);
    const int bit = LineBit(line);
    if (it == owned_.end() || (it->second.owned & bit) == 0)
        return std::nullopt;
    return (it->second.asserted & bit) != 0;
}

namespace {

std::string NoLinesReason(const std::string& name, const std::string& path, int error) {
    return name + " (" + path + ") has no modem-control lines: " + std::strerror(error);
}

}  // namespace

std::optional<std::string> PosixSerialPorts::CheckLines(const std::wstring& name) {
    const std::optional<std::string> path = DevicePath(root_, name);
    const int fd = path ? ::open(path->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (fd < 0)
        return std::nullopt;
    const bool terminal = isatty(fd) == 1;  // anything else: the run's open refuses it
    std::optional<std::string> refused;
    int lines = 0;
    if (terminal && ioctl(fd, TIOCMGET, &lines) != 0)
        refused = NoLinesReason(Narrow(name), *path, errno);
    else if (terminal)
        PrepareOwnedLines(name, fd);  // the open has raised both lines
    ::close(fd);
    return refused;
}

bool PosixSerialPorts::SetLine(const std::wstring& name, ModemLine line, bool asserted,
                               std::string* why) {
    const int bit = LineBit(line);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = owned_.find(name); it != owned_.end() && (it->second.owned & bit))
            it->second.asserted = WithBit(it->second.asserted, bit, asserted);
    }
    const std::string device_name = Narrow(name);
    const std::shared_ptr<Device> device = table_.FindByName(name);
    if (!device || device->closed()) {
        *why = device_name + " is not open";
        return false;
    }
    const int error = ChangeLines(device->fd(), bit, asserted);
    if (error == 0)
        return true;
    const std::string path = DevicePath(root_, name).value_or(device_name);
    if (error == EINVAL || error == ENOTTY)
        *why = NoLinesReason(device_name, path, error);
    else
        *why = device_name + " (" + path + "): " + ModemLineName(line) + " cannot be " +
               (asserted ? "asserted: " : "released: ") + std::strerror(error);
    return false;
}

}  // namespace host::posix
