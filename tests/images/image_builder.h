// Hand-made images for tests: records appended one by one, with raw headers for the broken
// ones.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace images_test {

class ImageBuilder {
  public:
    // A well-formed record with the given payload.
    ImageBuilder& Record(uint8_t direction, std::vector<uint8_t> payload, uint8_t stage = 5) {
        Header(direction, static_cast<uint32_t>(payload.size()), stage);
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return *this;
    }
    // A record of n filler bytes.
    ImageBuilder& Filled(uint8_t direction, uint32_t n, uint8_t stage = 5) {
        return Record(direction, std::vector<uint8_t>(n, 0x5A), stage);
    }
    // A header alone, whatever its length claims.
    ImageBuilder& Header(uint8_t direction, uint32_t length, uint8_t stage = 5) {
        bytes_.insert(bytes_.end(),
                      {0xBB, stage, 0x00, direction, static_cast<uint8_t>(length),
                       static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
                       static_cast<uint8_t>(length >> 24)});
        return *this;
    }
    ImageBuilder& Raw(std::initializer_list<uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

constexpr uint8_t kRead = 1;
constexpr uint8_t kWrite = 2;

}  // namespace images_test
