// Hand-made images for tests: records appended one by one through the record encoder, with
// bare headers and raw bytes for the broken ones.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "download/image_format.h"

namespace images_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kRead = image::kDirectionRead;
constexpr uint8_t kWrite = image::kDirectionWrite;
// The boot loader's identification, the third record of the handshake.
const Bytes kBootAnswer = {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};

class ImageBuilder {
  public:
    // A well-formed record with the given payload.
    ImageBuilder& Add(uint8_t direction, const Bytes& payload, uint8_t stage = 5) {
        image::AppendRecord(bytes_, stage, direction, payload);
        return *this;
    }
    // A record of n filler bytes.
    ImageBuilder& Filled(uint8_t direction, uint32_t n, uint8_t stage = 5) {
        return Add(direction, Bytes(n, 0x5A), stage);
    }
    // A header alone, whatever its length claims.
    ImageBuilder& Header(uint8_t direction, uint32_t length, uint8_t stage = 5) {
        image::AppendHeader(bytes_, stage, direction, length);
        return *this;
    }
    ImageBuilder& Raw(const Bytes& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }
    Bytes Take() { return std::move(bytes_); }

  private:
    Bytes bytes_;
};

// An image that begins with the five records of the boot handshake, as every image the modem
// accepts does; a test appends the rest.
class HandshakeImage : public ImageBuilder {
  public:
    HandshakeImage() {
        Add(kRead, {0x7A}, 0).Add(kWrite, {0x3F}, 0).Add(kRead, kBootAnswer, 0);
        Add(kWrite, {0x53, 0x36}, 0).Add(kWrite, {0x51}, 0);
    }
};

}  // namespace images_test
