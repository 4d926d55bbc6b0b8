// Interrupts (the host's SIGINT, SIGTERM and SIGHUP) during whole updates, in virtual time:
// refused once while the update prepares or downloads, a second within 10 s stops it through
// the failure exit, refused silently during the completion, ignored at the end, and before the
// start they close the dialog.
#include <memory>
#include <string_view>

#include "host/board.h"
#include "host/clock.h"
#include "host/framework.h"
#include "host/thread.h"
#include "tests/faults/matrix.h"
#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

using host::Interrupt;

struct Delivery {
    uint32_t after_ms;  // since the trigger
    Interrupt which;
};

enum class Ending { kStopped, kCompleted };

struct InterruptCase {
    const char* name;
    const char* faults;   // the modem model's
    const char* trigger;  // the first debug text starting with this sends the interrupts
    std::vector<Delivery> sent;
    Ending ending;
    std::vector<std::string> refusals;  // the "Can't close the Dlg (...)" lines, in order
    const char* stop_line;              // "Stop requested (...)", for a stop
};

void PrintTo(const InterruptCase& c, std::ostream* out) {
    *out << c.name;
}

// Sends the deliveries from a thread of its own, each at its time after the trigger.
struct Script {
    std::vector<Delivery> sent;
    std::vector<int64_t> sent_us;
};

uint32_t ScriptThread(void* param) {
    auto* script = static_cast<Script*>(param);
    host::Clock& clock = host::CurrentClock();
    const int64_t start_us = clock.now_us();
    for (const Delivery& delivery : script->sent) {
        const int64_t at_us = start_us + int64_t{delivery.after_ms} * 1000;
        clock.sleep_us(at_us - clock.now_us());
        script->sent_us.push_back(clock.now_us());
        host::PostInterrupt(delivery.which);
    }
    return 0;
}

class InterruptTest : public UpdateTest, public ::testing::WithParamInterface<InterruptCase> {
  protected:
    void SendAt(const std::string& trigger, std::vector<Delivery> sent) {
        script_.sent = std::move(sent);
        log().SetHook([this, trigger](std::string_view text) {
            if (text.starts_with(trigger) && !triggered_.exchange(true))
                host::StartThread(ScriptThread, &script_);
        });
    }

    std::vector<std::string> Refusals() {
        std::vector<std::string> lines;
        for (const std::string& text : log().Texts()) {
            if (text.starts_with("Can't close the Dlg"))
                lines.push_back(text);
        }
        return lines;
    }

    Script script_;
    std::atomic<bool> triggered_{false};
};

TEST_P(InterruptTest, RefusesTheFirstAndStopsOnASecondWithinTenSeconds) {
    const InterruptCase& c = GetParam();
    SendAt(c.trigger, c.sent);
    Run(c.faults);
    faults::ExpectBoundedRun(*this);

    ASSERT_TRUE(triggered_);
    ASSERT_EQ(script_.sent_us.size(), c.sent.size());
    ExpectClosedAndRestored();
    EXPECT_EQ(Refusals(), c.refusals);
    // The dialog shows why the first was refused.
    const std::vector<std::string> lines = ui().Lines();
    const bool noticed = std::count(lines.begin(), lines.end(),
                                    "notice \"The update cannot be stopped safely. A second "
                                    "interrupt within 10 s stops it and restores the board.\"");
    EXPECT_EQ(noticed, !c.refusals.empty());
    if (c.ending == Ending::kCompleted) {
        EXPECT_EQ(UpdateOutcome(), kExitSuccess);
        EXPECT_EQ(Settings(L"Progress"), 100u);
        EXPECT_EQ(report().fs.completed, 1u);
        EXPECT_EQ(log().Count("  Modem Download_Success  !!!!!!!    \r\n"), 1);
        EXPECT_EQ(log().CountStartingWith("Stop requested"), 0);
        EXPECT_EQ(log().Count("Update interrupted\r\n"), 0);
        return;
    }
    EXPECT_EQ(UpdateOutcome(), kExitFailure);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    EXPECT_EQ(ProgressFromFailure(), std::vector<std::string>{"set Progress=4294967295"});
    EXPECT_EQ(log().Count(c.stop_line), 1);
    // The outcome names the signal that the stop line names: "Stop requested (SIGTERM)\r\n".
    EXPECT_EQ(UpdateOutcomeNote() + ")\r\n", "stopped by " + std::string(c.stop_line).substr(16));
    EXPECT_EQ(log().Count("Update interrupted\r\n"), 1);
    EXPECT_EQ(log().Count("  Modem Download_Success  !!!!!!!    \r\n"), 0);
    EXPECT_EQ(journal().Count("set AWRCWR=1"), 1);
    EXPECT_TRUE(ui().Boxes().empty());
    // The stop is prompt: the preparation's hand-over (a few seconds) at most, then the
    // restore with the port's close.
    EXPECT_LT(run_end_us() - script_.sent_us.back(), 8'000'000);
    // Nothing switched the path again after the restore.
    EXPECT_EQ(Writes(host::reg::kCpldMode).back(), 1u);
}

const Interrupt kInt = Interrupt::kInterrupt;
const Interrupt kTerm = Interrupt::kTerminate;
const Interrupt kHup = Interrupt::kHangUp;
const std::string kRefusedTerm = "Can't close the Dlg (SIGTERM)\r\n";

INSTANTIATE_TEST_SUITE_P(
    Whole, InterruptTest,
    ::testing::Values(
        InterruptCase{"TwiceInThePreparation",
                      "",
                      "Open COM1:\r\n",
                      {{0, kTerm}, {300, kTerm}},
                      Ending::kStopped,
                      {kRefusedTerm},
                      "Stop requested (SIGTERM)\r\n"},
        InterruptCase{"TwiceInTheHandshake",
                      "",
                      "Start Reading:\r\n",
                      {{0, kInt}, {500, kInt}},
                      Ending::kStopped,
                      {"Can't close the Dlg (SIGINT)\r\n"},
                      "Stop requested (SIGINT)\r\n"},
        InterruptCase{"TwiceInTheReplay",
                      "",
                      "\nwrite[301]|",
                      {{0, kTerm}, {2000, kTerm}},
                      Ending::kStopped,
                      {kRefusedTerm},
                      "Stop requested (SIGTERM)\r\n"},
        InterruptCase{"HangUpThenInterruptInTheFsImage",
                      "",
                      "  Modem Download_Success (SW)",
                      {{300, kHup}, {900, kInt}},
                      Ending::kStopped,
                      {"Can't close the Dlg (SIGHUP)\r\n"},
                      "Stop requested (SIGINT)\r\n"},
        InterruptCase{"TwiceDuringAModemReset",
                      "never-boot",
                      "ResetThread ::Reset\r\n",
                      {{0, kTerm}, {10, kTerm}},
                      Ending::kStopped,
                      {kRefusedTerm},
                      "Stop requested (SIGTERM)\r\n"},
        InterruptCase{"SecondAfterTheWindowThenAThird",
                      "boot-after-resets=3",
                      "Start Reading:\r\n",
                      {{0, kTerm}, {10100, kTerm}, {15000, kTerm}},
                      Ending::kStopped,
                      {kRefusedTerm, kRefusedTerm},
                      "Stop requested (SIGTERM)\r\n"},
        InterruptCase{
            "Once", "", "\nwrite[301]|", {{0, kTerm}}, Ending::kCompleted, {kRefusedTerm}, nullptr},
        InterruptCase{"SecondAfterTheWindow",
                      "boot-after-resets=3",
                      "Start Reading:\r\n",
                      {{0, kHup}, {10100, kHup}},
                      Ending::kCompleted,
                      {"Can't close the Dlg (SIGHUP)\r\n", "Can't close the Dlg (SIGHUP)\r\n"},
                      nullptr},
        InterruptCase{"DuringTheCompletion",
                      "",
                      "  Modem Download_Success  !!!!!!!",
                      {{0, kTerm}, {100, kTerm}, {600, kInt}},
                      Ending::kCompleted,
                      {},
                      nullptr},
        InterruptCase{"AtTheEnd",
                      "",
                      "\nTurn on DVS(Power saving)",
                      {{0, kTerm}, {1, kTerm}},
                      Ending::kCompleted,
                      {},
                      nullptr}),
    [](const ::testing::TestParamInfo<InterruptCase>& test) { return test.param.name; });

// Before the window exists nothing has started: the dialog closes with "closed before the
// start" and the update never begins.
TEST_F(UpdateTest, InterruptBeforeTheStartClosesWithoutStarting) {
    host::PostInterrupt(Interrupt::kTerminate);
    Run();
    faults::ExpectBoundedRun(*this);

    EXPECT_EQ(modal_result(), host::kIdOk);
    EXPECT_TRUE(workers_ended());
    EXPECT_EQ(UpdateOutcome(), kExitClosedEarly);
    EXPECT_EQ(log().Count("Closed before the start (SIGTERM)\r\n"), 1);
    EXPECT_EQ(UpdateOutcomeNote(), "the dialog was closed by SIGTERM before the update started");
    EXPECT_TRUE(journal().Entries().empty());
    EXPECT_TRUE(Writes(host::reg::kCpldMode).empty());
    EXPECT_TRUE(power().Requirements().empty());
    EXPECT_EQ(report().sw.passes, 0u);
}

}  // namespace
}  // namespace update_test
