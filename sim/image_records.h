// An image's records indexed by number, for the modem model: it serves the records in order,
// by number, and never looks at more than one record's payload at a time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sim {

struct RecordRef {
    uint32_t offset = 0;  // of the payload
    uint32_t length = 0;
    uint8_t direction = 0;  // 1 the modem answers, 2 the updater writes
    uint8_t stage = 0;
};

class ImageRecords {
  public:
    ImageRecords() = default;
    // Indexes the records up to the first one that the updater's load step would refuse (a
    // payload past the end or beyond replay's buffers, a direction other than 1 or 2): the
    // model serves what it can.
    explicit ImageRecords(std::span<const uint8_t> image);

    uint32_t count() const { return static_cast<uint32_t>(records_.size()); }
    bool Has(uint32_t number) const { return number >= 1 && number <= count(); }
    // number from 1 to count().
    const RecordRef& At(uint32_t number) const { return records_[number - 1]; }
    std::span<const uint8_t> Payload(uint32_t number) const;

  private:
    std::span<const uint8_t> image_;
    std::vector<RecordRef> records_;
};

}  // namespace sim
