// The walk over an image's records: checking and fact gathering share it, so that what the load
// step accepts and what the tool reports can never disagree.
#include "download/image_format.h"

#include <algorithm>

#include "host/check.h"

namespace image {
namespace {

Fault CheckRecord(uint32_t offset, uint32_t size, uint8_t direction, uint32_t length) {
    if (direction != kDirectionRead && direction != kDirectionWrite)
        return Fault::kBadDirection;
    if (direction == kDirectionRead && length > kMaxReadPayload)
        return Fault::kReadTooLarge;
    if (direction == kDirectionWrite && length > kMaxWritePayload)
        return Fault::kWriteTooLarge;
    // offset + 8 <= size holds here; compare without forming a sum that could wrap.
    if (length > size - offset - kHeaderSize)
        return Fault::kPayloadPastEnd;
    return Fault::kNone;
}

}  // namespace

Check WalkRecords(const uint8_t* image, uint32_t size, Visit visit, void* context) {
    Check check;
    uint32_t offset = 0;
    uint32_t number = 0;
    while (offset < size) {
        ++number;
        Fault fault = Fault::kTruncatedHeader;
        if (size - offset >= kHeaderSize) {
            const uint8_t* header = image + offset;
            uint8_t direction = header[kDirectionOffset];
            uint32_t length = RecordLength(header);
            fault = CheckRecord(offset, size, direction, length);
            if (fault == Fault::kNone) {
                visit(context, {number, offset, header[kStageOffset], direction, length});
                const uint32_t next = offset + kHeaderSize + length;
                // A good record lies wholly inside the image, so the walk moves forward
                // and never past the end: what the load step relies on to accept an image.
                HOST_CHECK(next > offset && next <= size);
                offset = next;
                continue;
            }
        }
        return {false, fault, number, offset};
    }
    if (number == 0)
        return {false, Fault::kEmpty, 1, 0};
    return check;
}

namespace {

void Tally(Facts& facts, const RecordView& record) {
    ++facts.records;
    uint32_t n = record.length;
    if (n == 0)
        ++facts.zero_length_records;
    if (record.direction == kDirectionRead) {
        facts.read_min = facts.read_records == 0 ? n : std::min(facts.read_min, n);
        facts.read_max = std::max(facts.read_max, n);
        ++facts.read_records;
    } else {
        facts.write_min = facts.write_records == 0 ? n : std::min(facts.write_min, n);
        facts.write_max = std::max(facts.write_max, n);
        ++facts.write_records;
        facts.writes_100_or_more += n >= 100 ? 1 : 0;
        facts.writes_over_1000 += n > 1000 ? 1 : 0;
    }
    if (facts.stages.empty() || facts.stages.back().stage != record.stage)
        facts.stages.push_back({record.stage, record.number, record.number});
    facts.stages.back().last = record.number;
    facts.last_direction = record.direction;
    facts.last_length = n;
}

}  // namespace

void AppendHeader(std::vector<uint8_t>& image, uint8_t stage, uint8_t direction, uint32_t length) {
    uint8_t header[kHeaderSize] = {};
    header[kMarkerOffset] = kMarker;
    header[kStageOffset] = stage;
    header[kDirectionOffset] = direction;
    for (uint32_t i = 0; i < 4; ++i)
        header[kLengthOffset + i] = static_cast<uint8_t>(length >> (8 * i));
    image.insert(image.end(), header, header + kHeaderSize);
}

void AppendRecord(std::vector<uint8_t>& image, uint8_t stage, uint8_t direction,
                  std::span<const uint8_t> payload) {
    AppendHeader(image, stage, direction, static_cast<uint32_t>(payload.size()));
    image.insert(image.end(), payload.begin(), payload.end());
}

const char* FaultText(Fault fault) {
    switch (fault) {
        case Fault::kNone:
            return "good";
        case Fault::kEmpty:
            return "the image holds no record";
        case Fault::kTruncatedHeader:
            return "fewer than 8 header bytes before the end of the image";
        case Fault::kBadDirection:
            return "direction is neither 1 (read) nor 2 (write)";
        case Fault::kReadTooLarge:
            return "read payload longer than 256 bytes";
        case Fault::kWriteTooLarge:
            return "write payload longer than 65536 bytes";
        case Fault::kPayloadPastEnd:
            return "payload runs past the end of the image";
    }
    return "unknown fault";
}

Check VerifyImage(const uint8_t* image, uint32_t size) {
    return WalkRecords(
        image, size, [](void*, const RecordView&) {}, nullptr);
}

Facts CollectFacts(const uint8_t* image, uint32_t size) {
    Facts facts;
    facts.size = size;
    facts.check = WalkRecords(
        image, size,
        [](void* context, const RecordView& record) {
            Tally(*static_cast<Facts*>(context), record);
        },
        &facts);
    return facts;
}

}  // namespace image
