// Board register accesses that fail during a run (a register file cut short under the updater):
// in the preparation, in the power-on pulse, in a watchdog reset and in the restore itself.
// Each ends through a failure exit with the failed operation and its reason in the log, and
// never claims a restore that did not happen.
#include <memory>
#include <optional>

#include "host/board.h"
#include "tests/faults/matrix.h"
#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

constexpr const char* kReason = "board.regs: cut short to 0 of 48 bytes";
constexpr const char* kNotRestored =
    "CPLD Mode 001 not restored: the modem path may still be switched\r\n";

// The access from which the bus fails: the `occurrence`th access to `address` (any address
// when it is 0), of one kind and value when given.
struct Trigger {
    uint32_t address = 0;
    std::optional<host::BusAccess::Kind> kind;
    std::optional<uint32_t> value;
    int occurrence = 1;
};

struct BoardFaultCase {
    const char* name;
    Trigger trigger;
    uint64_t failures;  // accesses that fail once triggered
    const char* modem;  // the modem model's faults
    bool com1_missing;
    const char* operation;  // the board operation that reports the failure first
    const char* exit_line;  // the failure exit taken
    bool read_thread;       // ReadThread had been started
    int resets;             // watchdog resets started
    bool restored;          // the restore's CPLD mode 001 went through
};

void PrintTo(const BoardFaultCase& c, std::ostream* out) {
    *out << c.name;
}

std::function<bool(const host::BusAccess&)> Matcher(const Trigger& t) {
    auto seen = std::make_shared<int>(0);
    return [t, seen](const host::BusAccess& access) {
        const bool match = (t.address == 0 || access.address == t.address) &&
                           (!t.kind || access.kind == *t.kind) &&
                           (!t.value || access.value == *t.value);
        return match && ++*seen == t.occurrence;
    };
}

class BoardFaultTest : public UpdateTest, public ::testing::WithParamInterface<BoardFaultCase> {
  protected:
    std::string FirstBoardFailure() {
        for (const std::string& text : log().Texts()) {
            if (text.starts_with("Board register access failed in "))
                return text;
        }
        return "";
    }
};

TEST_P(BoardFaultTest, EndsThroughAFailureExitWithTheReasonLogged) {
    const BoardFaultCase& c = GetParam();
    if (c.com1_missing)
        com1().Unplug();
    bus().FailFrom(Matcher(c.trigger), kReason, c.failures);
    Run(c.modem);
    faults::ExpectBoundedRun(*this);

    // Closed through the guard, every worker gone, the failure published.
    EXPECT_EQ(modal_result(), host::kIdOk);
    EXPECT_TRUE(workers_ended());
    EXPECT_FALSE(ui().IsOpen());
    // A restore that did not switch the modem path back is never reported as one.
    EXPECT_EQ(UpdateOutcome(), c.restored ? kExitFailure : kExitNotRestored);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    EXPECT_EQ(Uart(L"AWRCWR"), 1u);
    EXPECT_FALSE(com1().NearIsOpen());
    ASSERT_EQ(power().Requirements().size(), 1u);
    EXPECT_TRUE(power().Requirements()[0].released_us.has_value());
    EXPECT_EQ(log().Count("  Modem Download_Success  !!!!!!!    \r\n"), 0);

    EXPECT_EQ(log().Count(c.exit_line), 1);
    EXPECT_EQ(FirstBoardFailure(), std::string("Board register access failed in ") + c.operation +
                                       ": " + kReason + "\r\n");
    EXPECT_EQ(log().Count("ReadThread \r\n"), c.read_thread ? 1 : 0);
    EXPECT_EQ(log().Count("ResetThread ::Reset\r\n"), c.resets);
    EXPECT_EQ(log().Count("Reset times >  N \r\n"), 0);

    // The restore is claimed only when its write went through.
    const std::vector<uint32_t> modes = Writes(host::reg::kCpldMode);
    EXPECT_EQ(!modes.empty() && modes.back() == 1u, c.restored);
    EXPECT_EQ(log().Count(kNotRestored), c.restored ? 0 : 1);
    // A read-modify-write whose read failed wrote nothing back: the power-saving word's other
    // bits survive every write.
    for (uint32_t word : Writes(host::reg::kDvsControl))
        EXPECT_EQ(word & kDvsOtherBits, kDvsOtherBits);
}

using Kind = host::BusAccess::Kind;
constexpr uint64_t kForGood = UINT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Board, BoardFaultTest,
    ::testing::Values(BoardFaultCase{"PowerSavingWordGone",
                                     {0, {}, {}, 1},
                                     kForGood,
                                     "",
                                     false,
                                     "SetDvsControl",
                                     "Board access failed\r\n",
                                     false,
                                     0,
                                     false},
                      BoardFaultCase{"OneFailedReadOfThePowerSavingWord",
                                     {0, {}, {}, 1},
                                     1,
                                     "",
                                     false,
                                     "SetDvsControl",
                                     "Board access failed\r\n",
                                     false,
                                     0,
                                     true},
                      BoardFaultCase{"CpldSwitchFails",
                                     {host::reg::kCpldMode, Kind::kWrite, {}, 1},
                                     kForGood,
                                     "",
                                     false,
                                     "SwitchCpldMode",
                                     "Board access failed\r\n",
                                     false,
                                     0,
                                     false},
                      BoardFaultCase{"PowerOnPulseFails",
                                     {host::reg::kGpioBDat, Kind::kWrite, {}, 2},
                                     kForGood,
                                     "",
                                     false,
                                     "PowerOnGsmModule",
                                     "Board access failed\r\n",
                                     true,
                                     0,
                                     false},
                      BoardFaultCase{"ResetPulseFails",
                                     {host::reg::kCpldMode, Kind::kWrite, {}, 2},
                                     kForGood,
                                     "never-boot",
                                     false,
                                     "ResetGsmModule",
                                     "Board access failed\r\n",
                                     true,
                                     1,
                                     false},
                      BoardFaultCase{"RestoreFails",
                                     {host::reg::kCpldMode, Kind::kWrite, 1, 1},
                                     kForGood,
                                     "",
                                     true,
                                     "SwitchCpldMode",
                                     "Open COM1 failed\r\n",
                                     false,
                                     0,
                                     false}),
    [](const ::testing::TestParamInfo<BoardFaultCase>& test) { return test.param.name; });

}  // namespace
}  // namespace update_test
