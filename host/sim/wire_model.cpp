// The serial line's physics; see the header.
#include "host/sim/wire_model.h"

#include <algorithm>
#include <cstring>

#include "host/clock.h"

namespace host {
namespace {

constexpr int64_t kBitTimeScale = int64_t{10} * 1'000'000;  // 10 bits, in microseconds at 1 baud

}  // namespace

uint8_t Garble(uint8_t byte, uint32_t sent_baud, uint32_t received_baud) {
    uint32_t h = sent_baud * 0x9E3779B1u ^ (received_baud + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    uint8_t mask = static_cast<uint8_t>(h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24));
    if (mask == 0)
        mask = 0xA5;  // a byte must never survive a speed mismatch unchanged
    return static_cast<uint8_t>(byte ^ mask);
}

int64_t WireArrivalUs(int64_t start_us, uint32_t baud, size_t index) {
    const int64_t rate = std::max<uint32_t>(baud, 1);
    const int64_t bits = static_cast<int64_t>(index + 1) * kBitTimeScale;
    return start_us + (bits + rate - 1) / rate;
}

// Byte i arrives at start + ceil((i + 1) * 10 bits / baud), so the count is
// floor(dt * baud / 10 bits).
size_t WireArrivedBy(int64_t start_us, uint32_t baud, size_t size, int64_t t_us) {
    if (size == 0 || t_us < start_us)
        return 0;
    if (t_us >= WireArrivalUs(start_us, baud, size - 1))
        return size;
    return static_cast<size_t>((t_us - start_us) * std::max<uint32_t>(baud, 1) / kBitTimeScale);
}

double WireSeconds(uint64_t bytes, uint32_t baud) {
    return baud == 0 ? 0.0 : static_cast<double>(bytes) * 10.0 / baud;
}

int64_t WireQueue::ArrivalUs(const Burst& burst, size_t index) {
    return burst.timed ? WireArrivalUs(burst.start_us, burst.baud, index) : burst.start_us;
}

size_t WireQueue::ArrivedBy(const Burst& burst, int64_t t_us) {
    if (!burst.timed)
        return t_us >= burst.start_us ? burst.bytes.size() : 0;
    return WireArrivedBy(burst.start_us, burst.baud, burst.bytes.size(), t_us);
}

uint64_t WireQueue::Send(const uint8_t* data, size_t size, uint32_t baud, int64_t now_us,
                         bool timed) {
    if (size == 0)
        return 0;
    Burst burst;
    burst.id = next_id_++;
    burst.bytes.assign(data, data + size);
    burst.baud = baud;
    burst.start_us = std::max(now_us, line_free_us_);
    burst.timed = timed;
    line_free_us_ = ArrivalUs(burst, size - 1);
    bursts_.push_back(std::move(burst));
    ++version_;
    return next_id_ - 1;
}

size_t WireQueue::Settle(int64_t now_us, uint32_t receiver_baud) {
    size_t garbled = 0;
    for (Burst& burst : bursts_) {
        const size_t arrived = ArrivedBy(burst, now_us);
        if (burst.baud != receiver_baud) {
            for (size_t i = burst.settled; i < arrived; ++i)
                burst.bytes[i] = Garble(burst.bytes[i], burst.baud, receiver_baud);
            garbled += arrived - std::min(arrived, burst.settled);
        }
        burst.settled = std::max(burst.settled, arrived);
        if (arrived < burst.bytes.size())
            break;
    }
    return garbled;
}

size_t WireQueue::Take(uint8_t* out, size_t max) {
    size_t n = 0;
    while (n < max && !bursts_.empty()) {
        Burst& burst = bursts_.front();
        const size_t m = std::min(burst.settled - burst.taken, max - n);
        std::memcpy(out + n, burst.bytes.data() + burst.taken, m);
        burst.taken += m;
        n += m;
        if (burst.taken < burst.bytes.size())
            break;
        bursts_.pop_front();
    }
    return n;
}

size_t WireQueue::Settled() const {
    size_t n = 0;
    for (const Burst& burst : bursts_)
        n += burst.settled - burst.taken;
    return n;
}

int64_t WireQueue::CompleteAt(size_t need) const {
    for (const Burst& burst : bursts_) {
        const size_t waiting = burst.bytes.size() - burst.taken;
        if (need <= waiting)
            return ArrivalUs(burst, burst.taken + need - 1);
        need -= waiting;
    }
    return kForever;
}

int64_t WireQueue::NextArrivalUs() const {
    for (const Burst& burst : bursts_) {
        if (burst.settled < burst.bytes.size())
            return ArrivalUs(burst, burst.settled);
    }
    return kForever;
}

void WireQueue::Truncate(uint64_t id, size_t keep) {
    auto it = std::find_if(bursts_.begin(), bursts_.end(),
                           [&](const Burst& burst) { return burst.id == id; });
    if (it == bursts_.end() || keep >= it->bytes.size())
        return;
    it->bytes.resize(std::max(keep, it->taken));
    it->settled = std::min(it->settled, it->bytes.size());
    if (std::next(it) == bursts_.end())
        line_free_us_ = it->bytes.empty() ? it->start_us : ArrivalUs(*it, it->bytes.size() - 1);
    if (it->bytes.empty())
        bursts_.erase(it);
}

void WireQueue::Clear() {
    bursts_.clear();
    line_free_us_ = 0;
    ++version_;
}

}  // namespace host
