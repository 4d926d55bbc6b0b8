// The download tests' fixture: the in-process board with images made by hand (or the generated
// ones), the modem model or a test's own script at the far end of "COM1:", and the download
// run from ReadThread's start to every thread's end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/board.h"
#include "tests/images/image_builder.h"
#include "tests/support/inprocess_board.h"

namespace download_test {

using sim::Bytes;
using sim::FarEnd;

using images_test::kBootAnswer;
using images_test::kRead;
using images_test::kWrite;
using ImageBuilder = images_test::HandshakeImage;
constexpr uint32_t kProgressFailed = 0xFFFFFFFF;

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
