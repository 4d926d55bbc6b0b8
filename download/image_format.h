// The record format of a firmware image: the one walk that checks an image and gathers its
// facts, and the one encoder that writes records.  The load step uses the walk to refuse a
// broken image before anything is replayed from it; the fwimage tool uses the same code for
// `verify` and `info`; the image generator and the tests build their images with the encoder.
//
// An image is records back to back, with no header, trailer or padding.  A record is an 8-byte
// header followed by its payload:
//   0 marker (0xBB)  1 stage  2 reserved (0)  3 direction (1 read, 2 write)
//   4..7 payload length, least significant byte first.
// Headers start at any byte offset, so every multi-byte field is assembled byte by byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace image {

constexpr uint32_t kHeaderSize = 8;
constexpr uint8_t kMarker = 0xBB;
constexpr uint8_t kDirectionRead = 1;   // the modem must send the payload
constexpr uint8_t kDirectionWrite = 2;  // the updater sends the payload
// What replay can hold: a write payload goes into a 65,536-byte buffer, an expected answer
// into a 256-byte one.
constexpr uint32_t kMaxWritePayload = 65536;
constexpr uint32_t kMaxReadPayload = 256;

// Header field offsets.
constexpr uint32_t kMarkerOffset = 0;
constexpr uint32_t kStageOffset = 1;
constexpr uint32_t kReservedOffset = 2;
constexpr uint32_t kDirectionOffset = 3;
constexpr uint32_t kLengthOffset = 4;

// The payload length of the header at header[0..7].
inline uint32_t RecordLength(const uint8_t* header) {
    return uint32_t{header[kLengthOffset]} | uint32_t{header[kLengthOffset + 1]} << 8 |
           uint32_t{header[kLengthOffset + 2]} << 16 | uint32_t{header[kLengthOffset + 3]} << 24;
}

// Appends a record header claiming `length` payload bytes, whatever follows it: broken images
// for tests are built from headers alone.
void AppendHeader(std::vector<uint8_t>& image, uint8_t stage, uint8_t direction, uint32_t length);

// Appends a whole record: its header and the payload.
void AppendRecord(std::vector<uint8_t>& image, uint8_t stage, uint8_t direction,
                  std::span<const uint8_t> payload);

// Moves a cursor on by n and returns where it stood before.  The sum saturates at 2^32 - 1
// instead of wrapping: a wrapped cursor would land back inside the image and a walk would
// never end.  A concurrent jump to the end (another thread stopping the walk) is never
// overwritten, only moved on from.
inline uint32_t AdvanceCursor(std::atomic<uint32_t>& cursor, uint32_t n) {
    uint32_t old_pos = cursor.load();
    uint32_t new_pos;
    do {
        new_pos = old_pos > UINT32_MAX - n ? UINT32_MAX : old_pos + n;
    } while (!cursor.compare_exchange_weak(old_pos, new_pos));
    return old_pos;
}

enum class Fault {
    kNone,
    kEmpty,            // no record at all
    kTruncatedHeader,  // fewer than 8 bytes left where a header must start
    kBadDirection,     // neither read nor write
    kReadTooLarge,     // more than kMaxReadPayload
    kWriteTooLarge,    // more than kMaxWritePayload
    kPayloadPastEnd,   // the payload runs past the image's last byte
};

// Plain text for a fault, for log lines and the tool's messages.
const char* FaultText(Fault fault);

struct Check {
    bool ok = true;
    Fault fault = Fault::kNone;
    uint32_t record = 0;  // number of the first bad record, from 1
    uint32_t offset = 0;  // where its header starts
};

// One good record as the walk meets it.
struct RecordView {
    uint32_t number;  // from 1
    uint32_t offset;  // where its header starts
    uint8_t stage;
    uint8_t direction;
    uint32_t length;
};
using Visit = void (*)(void* context, const RecordView& record);

// Walks the records from the start, calls visit for each good one, and stops at the first bad
// one, which it reports.  Checking, fact gathering and the virtual modem's index share it.
Check WalkRecords(const uint8_t* image, uint32_t size, Visit visit, void* context);

// Whether the records tile the image exactly, each with a direction of 1 or 2 and a payload
// within the limits above.  Reads nothing outside image[0, size).  Allocates nothing.
Check VerifyImage(const uint8_t* image, uint32_t size);

struct StageRun {
    uint8_t stage = 0;
    uint32_t first = 0;  // record numbers, from 1
    uint32_t last = 0;
};

// The facts of an image, taken over the records before the first bad one (all of them for a
// good image).  Minima and maxima are 0 for a direction with no record.
struct Facts {
    uint32_t size = 0;
    uint32_t records = 0;
    uint32_t read_records = 0;
    uint32_t write_records = 0;
    uint32_t read_min = 0;
    uint32_t read_max = 0;
    uint32_t write_min = 0;
    uint32_t write_max = 0;
    uint32_t writes_100_or_more = 0;
    uint32_t writes_over_1000 = 0;
    uint32_t zero_length_records = 0;
    std::vector<StageRun> stages;  // runs of equal stage, in stream order
    uint8_t last_direction = 0;    // 0 when there is no record
    uint32_t last_length = 0;
    Check check;
};

Facts CollectFacts(const uint8_t* image, uint32_t size);

}  // namespace image
