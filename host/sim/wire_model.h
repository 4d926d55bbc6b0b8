// The serial line's physics, shared by the in-process link (SimLink, in virtual time) and the
// virtual board's pseudo-terminal line (in real time):
// - Every byte carries the speed of its sender.  A byte judged against a receiver set to
//   another speed arrives as Garble() of itself, never the byte itself and never dropped.  A
//   byte is judged against the speed the receiver has when the byte arrives.
// - Timed, every byte costs 10 bit times at its sender's speed: a burst's bytes arrive in
//   order at WireArrivalUs(), and a burst starts when the sender's previous one has ended.
//   Untimed, a burst arrives whole at the instant it is sent.
//
// A WireQueue is one direction of a line.  It does no locking: its owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace host {

// What a byte sent at sent_baud looks like to a receiver at received_baud (different).
uint8_t Garble(uint8_t byte, uint32_t sent_baud, uint32_t received_baud);
// When byte `index` (from 0) of a timed burst starting at start_us arrives.
int64_t WireArrivalUs(int64_t start_us, uint32_t baud, size_t index);
// How many of `size` bytes of a timed burst starting at start_us have arrived by t_us.
size_t WireArrivedBy(int64_t start_us, uint32_t baud, size_t size, int64_t t_us);
// The line's own time for `bytes` bytes at `baud`, in seconds.
double WireSeconds(uint64_t bytes, uint32_t baud);

class WireQueue {
  public:
    // Sends `size` bytes at `baud` after whatever the sender still has on the wire; returns
    // the burst's id (0 when size is 0).
    uint64_t Send(const uint8_t* data, size_t size, uint32_t baud, int64_t now_us, bool timed);
    // Judges every byte that has arrived by now_us against the receiver's speed; called before
    // the receiver's speed changes and before it takes bytes.  Returns how many were garbled.
    size_t Settle(int64_t now_us, uint32_t receiver_baud);
    // Copies out up to `max` settled bytes, in order.
    size_t Take(uint8_t* out, size_t max);
    // Settled bytes not yet taken.
    size_t Settled() const;
    // When the need-th byte not yet taken arrives; kForever when it has not been sent.
    int64_t CompleteAt(size_t need) const;
    // When the first byte not yet settled arrives; kForever when there is none.
    int64_t NextArrivalUs() const;
    // Cuts burst `id` to its first `keep` bytes (never below what was taken): the rest never
    // went out.
    void Truncate(uint64_t id, size_t keep);
    // Everything on the wire is lost.
    void Clear();

    bool empty() const { return bursts_.empty(); }
    // When the sender's last byte ends.
    int64_t line_free_us() const { return line_free_us_; }
    // Bumped whenever bytes are sent or lost: a waiting receiver looks again.
    uint64_t version() const { return version_; }

  private:
    struct Burst {
        std::vector<uint8_t> bytes;
        uint32_t baud = 0;     // the sender's speed
        int64_t start_us = 0;  // when the first bit went out
        bool timed = false;
        size_t settled = 0;  // bytes judged against the receiver's speed (in place)
        size_t taken = 0;    // bytes the receiver has read
        uint64_t id = 0;
    };

    static int64_t ArrivalUs(const Burst& burst, size_t index);
    static size_t ArrivedBy(const Burst& burst, int64_t t_us);

    std::deque<Burst> bursts_;
    int64_t line_free_us_ = 0;
    uint64_t version_ = 0;
    uint64_t next_id_ = 1;
};

}  // namespace host
