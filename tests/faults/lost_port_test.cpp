// Whole updates whose serial device goes away (an adapter pulled) at different points: each
// ends through the failure exit at the pace of a silent modem, with one reset at a time, a
// handful of threads, a bounded log and the loss said once.
#include <numeric>

#include "host/thread.h"
#include "tests/faults/matrix.h"
#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

struct LostPortCase {
    const char* name;
    const char* after;  // the device goes once a text holding this is logged after `armed_by`
    const char* armed_by;
    bool beacon;  // the device goes while a beacon is answered
};

void PrintTo(const LostPortCase& c, std::ostream* out) {
    *out << c.name;
}

class LostPortTest : public UpdateTest, public ::testing::WithParamInterface<LostPortCase> {
  protected:
    // Unplugs COM1: on the ReadThread, right after the text, and notes when.
    void UnplugAt(const LostPortCase& c) {
        log().SetHook([this, c](std::string_view text) {
            armed_ = armed_ || c.armed_by == nullptr || text == c.armed_by;
            if (unplugged_us_ < 0 && armed_ && text.find(c.after) != std::string_view::npos) {
                unplugged_us_ = clock().now_us();
                com1().Unplug();
            }
        });
    }
    size_t LogBytes() {
        size_t bytes = 0;
        for (const std::string& text : log().Texts())
            bytes += text.size();
        return bytes;
    }

    bool armed_ = false;
    int64_t unplugged_us_ = -1;
};

TEST_P(LostPortTest, EndsThroughTheFailureExitLikeASilentModem) {
    const LostPortCase& c = GetParam();
    host::ResetPeakThreads();
    UnplugAt(c);
    Run();
    faults::ExpectBoundedRun(*this);

    ASSERT_GE(unplugged_us_, 0) << "the device never went";
    ExpectClosedAndRestored();
    EXPECT_EQ(UpdateOutcome(), kExitFailure);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    EXPECT_EQ(log().Count("COM1: device lost\r\n"), 1);
    // The outcome names the lost device, not only the silence it caused.
    EXPECT_EQ(UpdateOutcomeNote(),
              std::string("the modem never answered the boot handshake of the ") +
                  (c.armed_by != nullptr ? "FS" : "SW") +
                  " image (8 resets); COM1: the device was lost (hang-up or I/O error)");
    // The '?' is retried for a second at most (ten writes of 100 ms), then polling goes on;
    // further beacons of the same read get one write each.
    const std::vector<int64_t> refused = log().TimesUs("\nsend '?' dwWritelen=[0]");
    EXPECT_EQ(refused.empty(), !c.beacon);
    if (c.beacon) {
        EXPECT_LE(refused.size(), 12u);
        EXPECT_LE(refused.back() - unplugged_us_, 1'200'000);
    }
    // The pass after the loss polls at 100 ms a poll: eight resets, one at a time, and the
    // give-up about a minute into the pass.
    EXPECT_EQ(log().Count("ResetThread ::Reset\r\n"), 8);
    EXPECT_EQ(log().Count("ResetThread busy\r\n"), 0);
    EXPECT_EQ(log().Count("Reset times >  N \r\n"), 1);
    const int64_t gave_up_us = log().TimesUs("Reset times >  N \r\n")[0];
    EXPECT_NEAR(static_cast<double>(gave_up_us - log().TimesUs("Start Reading:\r\n").back()),
                66'000'000, 1'500'000);
    EXPECT_LT(gave_up_us - unplugged_us_, 80'000'000);
    EXPECT_LE(host::PeakThreads(), 6);  // prepare, countdown, read, reset and the board's two
    EXPECT_LT(LogBytes(), 1'000'000u);
}

INSTANTIATE_TEST_SUITE_P(
    Whole, LostPortTest,
    ::testing::Values(LostPortCase{"AtTheHandshake", "Start Reading:\r\n", nullptr, false},
                      LostPortCase{"WhileAnsweringABeacon", "\n---BENGO!---7A", nullptr, true},
                      LostPortCase{"MidSw", "[300]|", nullptr, false},
                      LostPortCase{"MidFs", "[300]|",
                                   "  Modem Download_Success (SW)   !!!!!!!   \r\n", false}),
    [](const ::testing::TestParamInfo<LostPortCase>& test) { return test.param.name; });

}  // namespace
}  // namespace update_test
