// Serial devices through the Win32 communications API; see the header for the rules.
#include "host/win32/serial_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <utility>

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"

namespace host::win32 {
namespace {

// The control word is the DCB's bit-field word right after BaudRate, in the published layout
// that SerialState::flags uses; bits 15 and up are the driver's own and are kept.
constexpr size_t kFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
constexpr uint32_t kFlagsMask = 0x7FFF;
static_assert(offsetof(DCB, wReserved) == kFlagsOffset + sizeof(DWORD));

uint32_t FlagsOf(const DCB& dcb) {
    DWORD word = 0;
    std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + kFlagsOffset, sizeof word);
    return word & kFlagsMask;
}

void PutFlags(uint32_t flags, DCB* dcb) {
    char* at = reinterpret_cast<char*>(dcb) + kFlagsOffset;
    DWORD word = 0;
    std::memcpy(&word, at, sizeof word);
    word = (word & ~kFlagsMask) | (flags & kFlagsMask);
    std::memcpy(at, &word, sizeof word);
}

// The system's message for an error code, without the line break and full stop it ends with,
// so that it reads like the rest of a one-line reason.
std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    LocalFree(text);
    while (!message.empty() && (std::iswspace(message.back()) || message.back() == L'.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : Narrow(message);
}

// The platform's error code for a failed open.  Other codes are already in the platform's
// numbering and pass through.
uint32_t OpenError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
            return kErrorFileNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return kErrorAccessDenied;
        default:
            return error;
    }
}

// One mutex name per port: the last part of its path ("COM1" of \\.\COM1), in capitals, so
// that two spellings of one port meet.  Global, so that every session's updater meets it.
std::wstring LockName(const std::wstring& path) {
    std::wstring port = path.substr(path.find_last_of(L"\\/") + 1);
    for (wchar_t& c : port)
        c = static_cast<wchar_t>(std::towupper(c));
    return L"Global\\serial-port-" + port;
}

// The modem-control lines of `bits` (1 DTR, 2 RTS) to the levels of `asserted`; the error of
// the first refusal, or 0.
DWORD PutLines(HANDLE file, unsigned bits, unsigned asserted) {
    const struct {
        unsigned bit;
        DWORD set, clear;
    } kLines[] = {{1u, SETDTR, CLRDTR}, {2u, SETRTS, CLRRTS}};
    for (const auto& line : kLines) {
        if ((bits & line.bit) != 0 &&
            !EscapeCommFunction(file, (asserted & line.bit) != 0 ? line.set : line.clear))
            return GetLastError();
    }
    return 0;
}

}  // namespace

// One open port.  It lives as long as the table or any call in progress holds it; the system
// handle and the port's mutex are closed with the last holder.
class Win32SerialPorts::Device : public SerialDeviceBase {
  public:
    enum class Outcome { kDone, kFailed, kClosed };

    Device(HANDLE file, HANDLE lock, HANDLE closed) : file_(file), lock_(lock), closed_(closed) {}
    ~Device() {
        CloseHandle(file_);
        CloseHandle(lock_);
        CloseHandle(closed_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    HANDLE file() const { return file_; }
    bool closed() const { return WaitForSingleObject(closed_, 0) == WAIT_OBJECT_0; }

    // Wakes every call inside the port.  A call that starts its transfer after this sees the
    // event at once; one whose transfer is pending is cancelled.
    void Shutdown() {
        SetEvent(closed_);
        CancelIoEx(file_, nullptr);
    }

    // Runs one overlapped transfer that `start` begins with the OVERLAPPED it is given, until
    // the driver completes it (its time-outs are the driver's) or the port is closed.
    template <typename Start>
    Outcome Transfer(Start start, DWORD* moved) {
        *moved = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped.hEvent == nullptr)
            return Outcome::kFailed;
        Outcome outcome = Outcome::kFailed;
        if (start(&overlapped) || GetLastError() == ERROR_IO_PENDING) {
            HANDLE events[2] = {overlapped.hEvent, closed_};
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
                CancelIoEx(file_, &overlapped);
            // The OVERLAPPED must outlive the transfer: wait for its completion, which a
            // cancelled transfer reaches at once.  A read that ends at its total time-out
            // completes with STATUS_TIMEOUT, which Wine reports as ERROR_TIMEOUT: a success
            // with the bytes that came.
            const BOOL done = GetOverlappedResult(file_, &overlapped, moved, TRUE) ||
                              GetLastError() == ERROR_TIMEOUT;
            outcome = done ? Outcome::kDone : closed() ? Outcome::kClosed : Outcome::kFailed;
        }
        CloseHandle(overlapped.hEvent);
        return outcome;
    }

    // After a failed transfer: waits until the deadline (on the installed clock) passes or
    // the port is closed.
    void WaitOutLoss(int64_t deadline_us) {
        while (!closed()) {
            const int64_t left_us = deadline_us - CurrentClock().now_us();
            if (left_us <= 0)
                return;
            const int64_t left_ms = std::min<int64_t>((left_us + 999) / 1000, INFINITE - 1);
            WaitForSingleObject(closed_, static_cast<DWORD>(left_ms));
        }
    }

  private:
    const HANDLE file_;
    const HANDLE lock_;
    const HANDLE closed_;  // manual-reset, set by Shutdown
};

// The control word with each owned line's control field at the line's level: enabled (raised
// while open) or disabled.
uint32_t WithOwnedLines(uint32_t flags, unsigned owned, unsigned asserted) {
    const struct {
        unsigned bit;
        uint32_t shift;
    } kFields[] = {{1u, serial_flags::kDtrControlShift}, {2u, serial_flags::kRtsControlShift}};
    for (const auto& field : kFields) {
        if ((owned & field.bit) != 0)
            flags = (flags & ~(3u << field.shift)) | ((asserted & field.bit) != 0 ? 1u : 0u)
                                                         << field.shift;
    }
    return flags;
}

Win32SerialPorts::NameMap Win32SerialPorts::DefaultNames() {
    return {{L"COM1:", L"\\\\.\\COM1"}, {L"VEI1:", L"\\\\.\\COM2"}};
}

Win32SerialPorts::Win32SerialPorts(NameMap names) : names_(std::move(names)) {}

Win32SerialPorts::~Win32SerialPorts() {
    table_.CloseAll();
}

namespace {

struct OpenFailure {
    uint32_t code = 0;
    std::string why;
};

// Takes the port's mutex, then the port.  The mutex is created, never waited on: finding it
// already there means another opener holds the port.
bool OpenExclusive(const std::wstring& path, HANDLE* file, HANDLE* lock, OpenFailure* failure) {
    const std::string shown = Narrow(path);
    *lock = CreateMutexW(nullptr, FALSE, LockName(path).c_str());
    const DWORD lock_error = GetLastError();
    if (*lock == nullptr || lock_error == ERROR_ALREADY_EXISTS) {
        if (*lock != nullptr)
            CloseHandle(*lock);
        const bool held = *lock != nullptr || lock_error == ERROR_ACCESS_DENIED;
        failure->code = held ? kErrorAccessDenied : lock_error;
        failure->why =
            shown + ": " + (held ? "held by another program" : SystemMessage(lock_error));
        return false;
    }
    *file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    if (*file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(*lock);
        failure->code = OpenError(error);
        failure->why = shown + ": " + SystemMessage(error);
        return false;
    }
    // Wine opens a COM port whose device is gone (its link names nothing) and hands out a
    // handle that is no serial device: that port does not exist.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(*file, &dcb)) {
        CloseHandle(*file);
        CloseHandle(*lock);
        failure->code = kErrorFileNotFound;
        failure->why = shown + ": not a serial device";
        return false;
    }
    return true;
}

}  // namespace

SerialHandle Win32SerialPorts::Open(const std::wstring& name, uint32_t* error) {
    OpenFailure failure;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE lock = nullptr;
    HANDLE closed = nullptr;
    const auto path = names_.find(name);
    if (path == names_.end()) {
        failure = {kErrorFileNotFound, Narrow(name) + " names no serial port"};
    } else if (OpenExclusive(path->second, &file, &lock, &failure)) {
        closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (closed == nullptr) {
            const DWORD code = GetLastError();
            failure = {code, Narrow(path->second) + ": " + SystemMessage(code)};
            CloseHandle(file);
            CloseHandle(lock);
        }
    }
    std::lock_guard<std::mutex> guard(mutex_);
    last_open_failure_ = failure.why;
    if (closed == nullptr) {
        if (error != nullptr)
            *error = failure.code;
        return kInvalidSerial;
    }
    auto device = std::make_shared<Device>(file, lock, closed);
    device->name = name;
    // Under the lock, so that a SetLine meanwhile either changes the level put here or finds
    // the port open.
    if (auto owned = owned_.find(name); owned != owned_.end())
        PutLines(file, owned->second.owned, owned->second.asserted);
    return table_.Add(std::move(device));
}

std::string Win32SerialPorts::LastOpenFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_open_failure_;
}

bool Win32SerialPorts::GetState(SerialHandle port, SerialState* state) {
    const std::shared_ptr<Device> device = table_.Find(port);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!device || !GetCommState(device->file(), &dcb))
        return false;
    state->baud = dcb.BaudRate;
    state->flags = FlagsOf(dcb);
    state->byte_size = dcb.ByteSize;
    state->parity = dcb.Parity;
    state->stop_bits = dcb.StopBits;
    return true;
}

bool Win32SerialPorts::SetState(SerialHandle port, const SerialState& state) {
    const std::shared_ptr<Device> device = table_.Find(port);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!device || !GetCommState(device->file(), &dcb))
        return false;
    const DCB before = dcb;
    dcb.BaudRate = state.baud;
    const OwnedLines lines = Owned(device->name);
    PutFlags(WithOwnedLines(state.flags, lines.owned, lines.asserted), &dcb);
    dcb.ByteSize = state.byte_size;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stop_bits;
    if (!SetCommState(device->file(), &dcb))
        return false;
    // A driver may accept the request and put in force less of it (a pseudo-terminal under
    // Wine forces 8 bits without parity): read back what is in force, so that a speed or a
    // framing it refused is a failure, with the previous settings put back.
    DCB in_force{};
    in_force.DCBlength = sizeof in_force;
    if (!GetCommState(device->file(), &in_force) || in_force.BaudRate != dcb.BaudRate ||
        in_force.ByteSize != dcb.ByteSize || in_force.Parity != dcb.Parity ||
        in_force.StopBits != dcb.StopBits) {
        DCB restore = before;
        SetCommState(device->file(), &restore);
        return false;
    }
    return true;
}

bool Win32SerialPorts::SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) {
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    COMMTIMEOUTS record{timeouts.read_interval_ms, timeouts.read_multiplier_ms,
                        timeouts.read_constant_ms, timeouts.write_multiplier_ms,
                        timeouts.write_constant_ms};
    if (!SetCommTimeouts(device->file(), &record))
        return false;
    device->StoreTimeouts(timeouts);
    return true;
}

bool Win32SerialPorts::SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) {
    const std::shared_ptr<Device> device = table_.Find(port);
    return device && SetupComm(device->file(), rx_bytes, tx_bytes);
}

bool Win32SerialPorts::ClearErrors(SerialHandle port) {
    const std::shared_ptr<Device> device = table_.Find(port);
    DWORD errors = 0;
    COMSTAT status{};
    return device && ClearCommError(device->file(), &errors, &status);
}

namespace {

// A read without a time-out takes only what is waiting, which it asks the driver for: Wine
// never completes an overlapped read that has no time-out and finds nothing.  The driver's
// error report goes with the question, as after every read.
bool Waiting(HANDLE file, uint32_t* count) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(file, &errors, &status))
        return false;
    *count = std::min<uint32_t>(*count, status.cbInQue);
    return true;
}

// A transfer's end, as the callers of Read and Write see it: bytes that came are delivered
// even when the port failed or closed meanwhile; a failure with nothing moved is reported only
// when the time-out it had has passed.
template <typename Device>
bool Finish(Device& device, typename Device::Outcome outcome, DWORD moved, int64_t deadline_us) {
    if (outcome == Device::Outcome::kDone || moved > 0)
        return true;
    if (outcome == Device::Outcome::kFailed)
        device.WaitOutLoss(deadline_us);
    return false;
}

}  // namespace

bool Win32SerialPorts::Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    const int64_t total_ms = device->ReadTotalMs(count);
    if (total_ms == 0 && !Waiting(device->file(), &count))
        return false;
    if (count == 0)
        return true;
    const int64_t deadline_us = CurrentClock().now_us() + total_ms * 1000;
    DWORD moved = 0;
    const Device::Outcome outcome = device->Transfer(
        [&](OVERLAPPED* overlapped) {
            return ReadFile(device->file(), buffer, count, nullptr, overlapped);
        },
        &moved);
    *got = moved;
    return Finish(*device, outcome, moved, deadline_us);
}

bool Win32SerialPorts::Write(SerialHandle port, const void* buffer, uint32_t count,
                             uint32_t* written) {
    *written = 0;
    const std::shared_ptr<Device> device = table_.Find(port);
    if (!device)
        return false;
    int64_t total_ms = device->WriteTotalMs(count);
    if (total_ms == 0)
        total_ms = kGoneWriteMs;
    const int64_t deadline_us = CurrentClock().now_us() + total_ms * 1000;
    DWORD moved = 0;
    const Device::Outcome outcome = device->Transfer(
        [&](OVERLAPPED* overlapped) {
            return WriteFile(device->file(), buffer, count, nullptr, overlapped);
        },
        &moved);
    *written = moved;
    return Finish(*device, outcome, moved, deadline_us);
}

bool Win32SerialPorts::Close(SerialHandle port) {
    return table_.Close(port);
}

// ---- the lines a real modem is wired to ----

Win32SerialPorts::OwnedLines Win32SerialPorts::Owned(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = owned_.find(name);
    return it == owned_.end() ? OwnedLines{} : it->second;
}

void Win32SerialPorts::OwnLine(const std::wstring& name, ModemLine line, bool idle_asserted) {
    std::lock_guard<std::mutex> lock(mutex_);
    OwnedLines& lines = owned_[name];
    const unsigned bit = LineBit(line);
    lines.owned |= bit;
    lines.asserted = idle_asserted ? (lines.asserted | bit) : (lines.asserted & ~bit);
}

bool Win32SerialPorts::SetLine(const std::wstring& name, ModemLine line, bool asserted,
                               std::string* why) {
    const unsigned bit = LineBit(line);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = owned_.find(name); it != owned_.end() && (it->second.owned & bit) != 0)
            it->second.asserted =
                asserted ? (it->second.asserted | bit) : (it->second.asserted & ~bit);
    }
    const std::string shown = Narrow(name);
    const std::shared_ptr<Device> device = table_.FindByName(name);
    if (!device || device->closed()) {
        *why = shown + " is not open";
        return false;
    }
    const DWORD error = PutLines(device->file(), bit, asserted ? bit : 0u);
    if (error == 0)
        return true;
    const auto path = names_.find(name);
    *why = shown + " (" + (path == names_.end() ? shown : Narrow(path->second)) +
           "): " + ModemLineName(line) + " cannot be " + (asserted ? "asserted: " : "released: ") +
           SystemMessage(error);
    return false;
}

}  // namespace host::win32
