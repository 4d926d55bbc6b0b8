// The download tests' fixture: the in-process board with images made by hand (or the generated
// ones), the modem model or a test's own script at the far end of "COM1:", and the download
// run from ReadThread's start to every thread's end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/board.h"
#include "tests/support/inprocess_board.h"

namespace download_test {

using sim::Bytes;
using sim::FarEnd;

constexpr uint8_t kRead = 1;
constexpr uint8_t kWrite = 2;
constexpr uint32_t kProgressFailed = 0xFFFFFFFF;
const Bytes kBootAnswer = {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};

// Images made by hand: the five handshake records, then what a test appends.
class ImageBuilder {
  public:
    ImageBuilder() {
        Add(kRead, {0x7A}, 0).Add(kWrite, {0x3F}, 0).Add(kRead, kBootAnswer, 0);
        Add(kWrite, {0x53, 0x36}, 0).Add(kWrite, {0x51}, 0);
    }
    ImageBuilder& Add(uint8_t direction, const Bytes& payload, uint8_t stage = 5) {
        Header(direction, static_cast<uint32_t>(payload.size()), stage);
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return *this;
    }
    // A header whose length and direction need not fit anything, then `payload`.
    ImageBuilder& Raw(uint8_t direction, uint32_t length, const Bytes& payload) {
        Header(direction, length, 5);
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return *this;
    }
    Bytes Take() { return std::move(bytes_); }

  private:
    void Header(uint8_t direction, uint32_t n, uint8_t stage) {
        bytes_.insert(bytes_.end(), {0xBB, stage, 0x00, direction, static_cast<uint8_t>(n),
                                     static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                                     static_cast<uint8_t>(n >> 24)});
    }

    Bytes bytes_;
};

class DownloadTest : public ::testing::Test, public sim::InProcessBoard {
  protected:
    void Faults(const std::string& faults) {
        std::string error;
        ASSERT_TRUE(SetModemFaults(faults, &error)) << error;
    }
    void RunUpdate() { EXPECT_TRUE(RunDownload()) << "the download did not end by itself"; }
    std::vector<uint32_t> CpldModes() { return Writes(host::reg::kCpldMode); }
    int ResetPulses() { return RisingEdges(host::reg::kGpioADat, sim::kResetLineBit); }
};

}  // namespace download_test
