#include "tests/faults/matrix.h"

#include <algorithm>
#include <cstdio>

#include "app/exit_codes.h"
#include "host/board.h"
#include "host/thread.h"
#include "host/ui.h"

namespace faults {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The record number of a replay line ("\nwrite[N]|..." or "\nread_[N]|..."), or 0.
int RecordOf(std::string_view text) {
    int record = 0;
    if (StartsWith(text, "\nwrite[") || StartsWith(text, "\nread_["))
        std::sscanf(std::string(text.substr(7)).c_str(), "%d", &record);
    return record;
}

}  // namespace

void MatrixBoard::At(Point point, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    triggers_.push_back({point, std::move(fn)});
}

void MatrixBoard::OnJournal(const std::string& entry) {
    uint32_t value = 0;
    if (std::sscanf(entry.c_str(), "set Progress=%u", &value) != 1)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({value, passes_, fs_phase_});
}

void MatrixBoard::OnLog(std::string_view text) {
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (StartsWith(text, "  Modem Download_Success (SW)"))
            fs_phase_ = true;
        if (text == "Start Reading:\r\n") {
            ++passes_;
            sw_passes_ += fs_phase_ ? 0 : 1;
        }
        const int record = RecordOf(text);
        for (Trigger& trigger : triggers_) {
            using Kind = Point::Kind;
            const Point& p = trigger.point;
            const bool reached =
                (p.kind == Kind::kHandshake && StartsWith(text, "\n---BENGO!---7A")) ||
                (p.kind == Kind::kSwRecord && !fs_phase_ && record == p.record) ||
                (p.kind == Kind::kFsRecord && fs_phase_ && record == p.record) ||
                (p.kind == Kind::kCompletion &&
                 StartsWith(text, "  Modem Download_Success  !!!!!!!"));
            if (reached && !trigger.fired) {
                trigger.fired = true;
                due.push_back(trigger.fn);
            }
        }
    }
    for (const auto& fn : due)
        fn();
}

void ExpectBoundedRun(sim::InProcessBoard& board) {
    EXPECT_TRUE(board.workers_ended()) << "workers still held the dialog after its end";
    EXPECT_LE(board.run_end_us(), kMaxRunUs);
    EXPECT_LE(host::PeakThreads(), kMaxThreads);
    size_t log_bytes = 0;
    for (const sim::TimedLog::Entry& entry : board.log().Entries())
        log_bytes += entry.text.size();
    EXPECT_LT(log_bytes, kMaxLogBytes);
}

void MatrixBoard::RunScenario(const Scenario& scenario) {
    Provision({.device_name = 0, .reboot = 0, .awrcwr = 3, .clk = 0});
    std::string error;
    ASSERT_TRUE(SetModemFaults(scenario.modem_faults, &error)) << error;
    host::ResetPeakThreads();
    log().SetHook([this](std::string_view text) { OnLog(text); });
    journal().SetHook([this](const std::string& entry) { OnJournal(entry); });
    if (scenario.arrange)
        scenario.arrange(*this);
    EXPECT_TRUE(RunDialog()) << "the run did not end by itself";
    ExpectEndState(scenario.expected);
}

void MatrixBoard::ExpectEndState(const Expected& expected) {
    EXPECT_EQ(UpdateOutcome(), expected.exit_status);
    EXPECT_FALSE(ui().IsOpen());
    ExpectBoundedRun(*this);
    EXPECT_EQ(Settings(L"Progress"), expected.progress.value_or(kMissing));
    if (expected.switched) {
        ExpectRestored(expected);
        ExpectProgressJournal(expected);
    } else {
        ExpectUntouched();
    }
}

// Progress as other programs see it: 0 at the start and again at every SW pass, never back to 0
// once the FS image has begun, rising within a pass, and one end value written last.  A
// failure's -1 comes after the restore has begun (AWRCWR back to 1).
void MatrixBoard::ExpectProgressJournal(const Expected& expected) {
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_GE(progress_.size(), 2u);
    EXPECT_EQ(progress_.front().value, 0u);
    int zeros = 0;
    for (size_t i = 0; i + 1 < progress_.size(); ++i) {
        const ProgressWrite& write = progress_[i];
        EXPECT_NE(write.value, *expected.progress) << "end value before the end, write " << i;
        if (write.value == 0) {
            ++zeros;
            EXPECT_FALSE(write.fs) << "Progress back to 0 in the FS image, write " << i;
        } else if (write.pass == progress_[i - 1].pass) {
            EXPECT_GE(write.value, progress_[i - 1].value) << "Progress fell, write " << i;
        }
    }
    EXPECT_EQ(zeros, 1 + sw_passes_) << "one 0 at the start and one per SW pass";
    EXPECT_EQ(progress_.back().value, *expected.progress);
    if (*expected.progress != kProgressFailed)
        return;
    const std::vector<std::string> texts = log().Texts();
    const auto restore = std::find(texts.begin(), texts.end(), "Close Serial connection\r\n");
    EXPECT_EQ(std::count(restore, texts.end(), "Start Reading:\r\n"), 0)
        << "a pass began after the failure exit";
    const std::vector<std::string> entries = journal().Entries();
    const auto failed = std::find(entries.begin(), entries.end(), "set Progress=4294967295");
    EXPECT_NE(std::find(entries.begin(), failed, "set AWRCWR=1"), failed)
        << "-1 published before the restore";
}

// Whatever the fault, the board goes back to its normal path and the device to its normal
// power state.
void MatrixBoard::ExpectRestored(const Expected& expected) {
    const std::vector<uint32_t> modes = Writes(host::reg::kCpldMode);
    if (!modes.empty()) {
        EXPECT_EQ(modes.back(), 1u) << "the modem path was left switched";
    }
    if (expected.awrcwr_restored) {
        EXPECT_EQ(Uart(L"AWRCWR"), 1u);
    }
    EXPECT_EQ(Uart(L"CLK"), 1u);
    EXPECT_FALSE(com1().NearIsOpen());
    for (const host::RecordingPower::Requirement& held : power().Requirements())
        EXPECT_TRUE(held.released_us.has_value()) << "the backlight was left held";
    const std::vector<uint32_t> dvs = Writes(host::reg::kDvsControl);
    ASSERT_FALSE(dvs.empty());
    EXPECT_EQ(dvs.back() & 1u, 0u) << "power saving was left off";
}

// A refused start touches nothing: no register, no driver value, no radio, no backlight.
void MatrixBoard::ExpectUntouched() {
    EXPECT_TRUE(Writes(host::reg::kCpldMode).empty());
    EXPECT_TRUE(Writes(host::reg::kDvsControl).empty());
    EXPECT_EQ(Uart(L"AWRCWR"), 3u);
    EXPECT_EQ(Uart(L"CLK"), 0u);
    EXPECT_TRUE(power().Requirements().empty());
    EXPECT_TRUE(at_commands().empty());
}

}  // namespace faults
