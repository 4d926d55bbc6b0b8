// Simulated serial links; see the header for the line's rules.
//
// Locking: a link's mutex_ guards its state and is taken inside the clock's lock (in wait
// predicates and update functions), never around a call into the clock.  Every change that a
// waiter's predicate reads (queued bytes, the session, the plug, the state counter) is made
// through the clock's update so that waiters re-check.
#include "host/sim/sim_serial.h"

#include <algorithm>
#include <cstring>

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"

namespace host {
namespace {

std::string OpenFailureText(const std::wstring& name, bool known, uint32_t code) {
    std::string device = "sim:" + Narrow(name);
    if (device.back() == ':')
        device.pop_back();
    if (!known)
        return device + ": no such device";
    if (code == kErrorFileNotFound)
        return device + ": not connected";
    if (code == kErrorAccessDenied)
        return device + ": held by another program";
    return device + ": open error " + std::to_string(code);
}

using Lock = std::lock_guard<std::mutex>;

std::wstring DeviceKey(const std::wstring& name) {
    std::wstring key = name;
    if (!key.empty() && key.back() == L':')
        key.pop_back();
    for (wchar_t& c : key) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return key;
}

bool ValidState(const SerialState& state) {
    return state.baud != 0 && state.byte_size >= 5 && state.byte_size <= 8 && state.parity <= 4 &&
           state.stop_bits <= 2;
}

}  // namespace

// ---- the line ----

// Takes back the bytes of a near write that never went out (the port closed under it).
void SimLink::Unsend(uint64_t burst_id, size_t keep) {
    CurrentClock().update([&] {
        Lock lock(mutex_);
        to_far_.Truncate(burst_id, keep);
    });
}

template <typename Alive>
size_t SimLink::Receive(WireQueue& wire, const uint32_t& receiver_baud, uint8_t* out, size_t count,
                        int64_t deadline_us, Alive alive, bool* dead) {
    Clock& clock = CurrentClock();
    size_t done = 0;
    *dead = false;
    for (;;) {
        const int64_t now_us = clock.now_us();
        int64_t complete_us = kForever;
        uint64_t seen = 0;
        {
            Lock lock(mutex_);
            if (!alive()) {
                *dead = true;
                return done;
            }
            wire.Settle(now_us, receiver_baud);
            done += wire.Take(out + done, count - done);
            if (done == count)
                return done;
            complete_us = wire.CompleteAt(count - done);
            seen = wire.version();
        }
        if (now_us >= deadline_us)
            return done;
        // Wake when the last byte needed is due, or when anything new is sent.
        clock.wait_until_us(std::min(deadline_us, complete_us), [&] {
            Lock lock(mutex_);
            return wire.version() != seen || !alive();
        });
    }
}

// ---- the far end ----

void SimLink::FarWrite(const void* data, size_t size) {
    Clock& clock = CurrentClock();
    const int64_t now_us = clock.now_us();
    clock.update([&] {
        Lock lock(mutex_);
        if (plugged_ && session_ != kInvalidSerial)
            to_near_.Send(static_cast<const uint8_t*>(data), size, far_baud_, now_us, wire_time_);
    });
}

// An unplugged line brings nothing until the deadline (or the plug): a far end that polls it
// keeps its pace instead of spinning.
size_t SimLink::FarRead(void* buffer, size_t max, int64_t deadline_us) {
    bool dead = false;
    const size_t got = Receive(
        to_far_, far_baud_, static_cast<uint8_t*>(buffer), max, deadline_us,
        [this] { return plugged_; }, &dead);
    if (dead && got == 0) {
        CurrentClock().wait_until_us(deadline_us, [this] {
            Lock lock(mutex_);
            return plugged_;
        });
    }
    return got;
}

size_t SimLink::FarAvailable() {
    const int64_t now_us = CurrentClock().now_us();
    Lock lock(mutex_);
    to_far_.Settle(now_us, far_baud_);
    return to_far_.Settled();
}

void SimLink::SetFarBaud(uint32_t baud) {
    const int64_t now_us = CurrentClock().now_us();
    Lock lock(mutex_);
    to_far_.Settle(now_us, far_baud_);
    far_baud_ = baud;
}

uint32_t SimLink::FarBaud() {
    Lock lock(mutex_);
    return far_baud_;
}

SerialState SimLink::NearState() {
    Lock lock(mutex_);
    return near_;
}

uint64_t SimLink::NearStateChanges() {
    Lock lock(mutex_);
    return state_changes_;
}

bool SimLink::WaitNearStateChange(uint64_t seen_changes, int64_t deadline_us) {
    return CurrentClock().wait_until_us(deadline_us, [&] {
        Lock lock(mutex_);
        return state_changes_ != seen_changes;
    });
}

bool SimLink::NearIsOpen() {
    Lock lock(mutex_);
    return session_ != kInvalidSerial;
}

SerialTimeouts SimLink::NearTimeouts() {
    Lock lock(mutex_);
    return timeouts_;
}

uint32_t SimLink::NearRxQueueBytes() {
    Lock lock(mutex_);
    return rx_queue_bytes_;
}

uint32_t SimLink::NearTxQueueBytes() {
    Lock lock(mutex_);
    return tx_queue_bytes_;
}

void SimLink::SetWireTime(bool enabled) {
    Lock lock(mutex_);
    wire_time_ = enabled;
}

void SimLink::Unplug() {
    CurrentClock().update([&] {
        Lock lock(mutex_);
        plugged_ = false;
        if (session_ != kInvalidSerial)
            lost_ = session_;
        session_ = kInvalidSerial;
        to_near_.Clear();
        to_far_.Clear();
    });
}

void SimLink::Plug() {
    CurrentClock().update([&] {
        Lock lock(mutex_);
        plugged_ = true;
    });
}

void SimLink::FailOpen(uint32_t error) {
    Lock lock(mutex_);
    fail_open_ = error;
}

void SimLink::FailGetState(bool fail) {
    Lock lock(mutex_);
    fail_get_state_ = fail;
}

void SimLink::FailSetState(bool fail) {
    Lock lock(mutex_);
    fail_set_state_ = fail;
}

void SimLink::IgnoreSpeed(bool ignore) {
    Lock lock(mutex_);
    ignore_speed_ = ignore;
}

void SimLink::LimitNextWrite(uint32_t bytes) {
    Lock lock(mutex_);
    write_limit_ = bytes;
}

// ---- the near end ----

uint32_t SimLink::NearOpen(SerialHandle handle) {
    uint32_t error = 0;
    CurrentClock().update([&] {
        Lock lock(mutex_);
        if (!plugged_)
            error = kErrorFileNotFound;
        else if (fail_open_ != 0)
            error = fail_open_;
        else if (session_ != kInvalidSerial)
            error = kErrorAccessDenied;
        else
            session_ = handle;
    });
    return error;
}

void SimLink::NearClose(SerialHandle handle) {
    CurrentClock().update([&] {
        Lock lock(mutex_);
        if (lost_ == handle)
            lost_ = kInvalidSerial;
        if (session_ != handle)
            return;
        session_ = kInvalidSerial;
        to_near_.Clear();  // a closing port drops what it has not read
    });
}

bool SimLink::WaitOutLoss(SerialHandle handle, int64_t deadline_us) {
    Clock& clock = CurrentClock();
    {
        Lock lock(mutex_);
        if (lost_ != handle)
            return false;
    }
    clock.wait_until_us(deadline_us, [&] {
        Lock lock(mutex_);
        return lost_ != handle;
    });
    return false;
}

bool SimLink::NearAlive(SerialHandle handle) {
    Lock lock(mutex_);
    return AliveLocked(handle);
}

bool SimLink::NearGetState(SerialHandle handle, SerialState* state) {
    Lock lock(mutex_);
    if (!AliveLocked(handle) || fail_get_state_)
        return false;
    *state = near_;
    return true;
}

bool SimLink::NearSetState(SerialHandle handle, const SerialState& state) {
    if (!ValidState(state))
        return false;
    Clock& clock = CurrentClock();
    const int64_t now_us = clock.now_us();
    bool ok = false;
    clock.update([&] {
        Lock lock(mutex_);
        if (!AliveLocked(handle) || fail_set_state_)
            return;
        to_near_.Settle(now_us, near_.baud);
        const uint32_t baud = ignore_speed_ ? near_.baud : state.baud;
        near_ = state;
        near_.baud = baud;
        ++state_changes_;
        ok = true;
    });
    return ok;
}

// A lost handle still takes time-outs: they are the port's own, and its calls go on keeping
// them.
bool SimLink::NearSetTimeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
    Lock lock(mutex_);
    if (!AliveLocked(handle) && lost_ != handle)
        return false;
    timeouts_ = timeouts;
    return true;
}

bool SimLink::NearSetQueues(SerialHandle handle, uint32_t rx_bytes, uint32_t tx_bytes) {
    Lock lock(mutex_);
    if (!AliveLocked(handle))
        return false;
    rx_queue_bytes_ = rx_bytes;
    tx_queue_bytes_ = tx_bytes;
    return true;
}

bool SimLink::NearRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t* got) {
    int64_t total_ms = 0;
    {
        Lock lock(mutex_);
        total_ms = TotalMs(timeouts_.read_multiplier_ms, timeouts_.read_constant_ms, count);
    }
    const int64_t deadline_us = CurrentClock().now_us() + total_ms * 1000;
    bool dead = false;
    *got = static_cast<uint32_t>(Receive(
        to_near_, near_.baud, static_cast<uint8_t*>(buffer), count, deadline_us,
        [this, handle] { return AliveLocked(handle); }, &dead));
    if (!dead || *got > 0)
        return true;
    return WaitOutLoss(handle, deadline_us);
}

bool SimLink::NearWrite(SerialHandle handle, const void* buffer, uint32_t count,
                        uint32_t* written) {
    *written = 0;
    Clock& clock = CurrentClock();
    const int64_t now_us = clock.now_us();
    bool alive = false;
    size_t accepted = 0;
    int64_t start_us = now_us;
    int64_t return_us = now_us;
    uint32_t baud = 0;
    uint64_t burst_id = 0;
    bool timed = false;
    int64_t limit_us = kForever;
    clock.update([&] {
        Lock lock(mutex_);
        const int64_t total_ms =
            TotalMs(timeouts_.write_multiplier_ms, timeouts_.write_constant_ms, count);
        limit_us = total_ms == 0 ? kForever : now_us + total_ms * 1000;
        if (!AliveLocked(handle))
            return;
        alive = true;
        accepted = count;
        if (write_limit_) {
            accepted = std::min<size_t>(accepted, *write_limit_);
            write_limit_.reset();
        }
        baud = near_.baud;
        start_us = std::max(now_us, to_far_.line_free_us());
        timed = wire_time_;
        if (timed)
            accepted = std::min(accepted, WireArrivedBy(start_us, baud, accepted, limit_us));
        burst_id = to_far_.Send(static_cast<const uint8_t*>(buffer), accepted, baud, now_us, timed);
        const int64_t sent_us = accepted == 0 ? start_us : to_far_.line_free_us();
        // A short write ends only at its time-out: the rest of it could not be sent.
        return_us = (accepted == count || limit_us == kForever) ? sent_us : limit_us;
    });
    if (!alive)
        return WaitOutLoss(handle, limit_us == kForever ? now_us + kLostWriteMs * 1000 : limit_us);
    if (return_us > now_us) {
        const bool died = clock.wait_until_us(return_us, [&] {
            Lock lock(mutex_);
            return !AliveLocked(handle);
        });
        if (died) {
            // Closed or unplugged under the write: only the bytes already on the wire count.
            const int64_t died_us = clock.now_us();
            if (start_us > died_us)
                accepted = 0;
            else if (timed)
                accepted = WireArrivedBy(start_us, baud, accepted, died_us);
            Unsend(burst_id, accepted);
            *written = static_cast<uint32_t>(accepted);
            return WaitOutLoss(handle, return_us);
        }
    }
    *written = static_cast<uint32_t>(accepted);
    return true;
}

// ---- the device table ----

std::shared_ptr<SimLink> SimSerialPorts::AddDevice(const std::wstring& name) {
    Lock lock(mutex_);
    std::shared_ptr<SimLink>& link = devices_[DeviceKey(name)];
    if (!link)
        link = std::make_shared<SimLink>();
    return link;
}

std::shared_ptr<SimLink> SimSerialPorts::Device(const std::wstring& name) {
    Lock lock(mutex_);
    auto it = devices_.find(DeviceKey(name));
    return it == devices_.end() ? nullptr : it->second;
}

void SimSerialPorts::SetOpenObserver(std::function<void(const std::wstring&)> observer) {
    Lock lock(mutex_);
    open_observer_ = std::move(observer);
}

SerialHandle SimSerialPorts::Open(const std::wstring& name, uint32_t* error) {
    std::shared_ptr<SimLink> link = Device(name);
    const SerialHandle handle = handles_.Reserve();  // used up even when the open fails
    std::function<void(const std::wstring&)> observer;
    {
        Lock lock(mutex_);
        observer = open_observer_;
    }
    if (observer)
        observer(name);
    const uint32_t code = link ? link->NearOpen(handle) : kErrorFileNotFound;
    {
        Lock lock(mutex_);
        last_open_failure_ =
            code == 0 ? std::string() : OpenFailureText(name, link != nullptr, code);
    }
    if (code != 0) {
        if (error != nullptr)
            *error = code;
        return kInvalidSerial;
    }
    handles_.Insert(handle, std::move(link));
    return handle;
}

std::string SimSerialPorts::LastOpenFailure() const {
    Lock lock(mutex_);
    return last_open_failure_;
}

bool SimSerialPorts::GetState(SerialHandle port, SerialState* state) {
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearGetState(port, state);
}

bool SimSerialPorts::SetState(SerialHandle port, const SerialState& state) {
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearSetState(port, state);
}

bool SimSerialPorts::SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) {
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearSetTimeouts(port, timeouts);
}

bool SimSerialPorts::SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) {
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearSetQueues(port, rx_bytes, tx_bytes);
}

// The simulated line makes no framing or overrun errors: nothing to clear.
bool SimSerialPorts::ClearErrors(SerialHandle port) {
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearAlive(port);
}

bool SimSerialPorts::Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearRead(port, buffer, count, got);
}

bool SimSerialPorts::Write(SerialHandle port, const void* buffer, uint32_t count,
                           uint32_t* written) {
    *written = 0;
    std::shared_ptr<SimLink> link = handles_.Find(port);
    return link && link->NearWrite(port, buffer, count, written);
}

// A handle of an unplugged device still closes: only the device is gone.
bool SimSerialPorts::Close(SerialHandle port) {
    const std::shared_ptr<SimLink> link = handles_.Remove(port);
    if (!link)
        return false;
    link->NearClose(port);
    return true;
}

}  // namespace host
