// The fault matrix in virtual time: every row is a whole update from OnInitDialog to the closed
// dialog under one fault, held to the end state of matrix.h.
#include "tests/faults/matrix.h"

#include "app/exit_codes.h"
#include "app/teardown.h"
#include "host/thread.h"

namespace faults {
namespace {

const Expected kSucceeds{.exit_status = kExitSuccess, .progress = 100};
const Expected kFails{.exit_status = kExitFailure, .progress = kProgressFailed};

// The eighth reset's give-up as ResetThread makes it, without the pulses before it.
uint32_t GiveUp(void* dlg) {
    TakeFailureExit(static_cast<CUpdaterDlg*>(dlg), FailureExit::kEighthReset);
    return 0;
}

// ---- the modem's own faults, at several phases ----

const Scenario kModemScenarios[] = {
    {"NoFault", "", nullptr, kSucceeds},
    {"NeverBoots", "never-boot", nullptr, kFails},
    {"BootsOnTheThirdReset", "boot-after-resets=3", nullptr, kSucceeds},
    {"IdentificationAlwaysWrong", "id-wrong", nullptr, kFails},
    {"IdentificationSplitTwice", "id-split=2", nullptr, kSucceeds},
    {"IgnoresTheSpeedChange", "ignore-speed", nullptr, kFails},
    {"WrongAnswerEarlyInSwOnce", "wrong-answer=66@sw", nullptr, kSucceeds},
    {"WrongAnswerLateInSwAlways", "wrong-answer=1600:always@sw", nullptr, kFails},
    {"WrongAnswerInFsFiveTimes", "wrong-answer=700:5@fs", nullptr, kSucceeds},
    {"NoAnswerInFsAlways", "no-answer=700:always@fs", nullptr, kFails},
    {"StrayBytesBeforeAnAnswer", "stray-before=66,stray-bytes=40", nullptr, kSucceeds},
    {"PartialWriteInSwAlways", "partial-write=101:always@sw", nullptr, kFails},
    {"SlowAnswers", "latency-ms=40", nullptr, kSucceeds},
    // The give-up lands inside a 64512-byte write (record 389, 1.4 s on the wire): the write
    // cut short by the restore is no reason for another attempt.
    {"GiveUpInsideALongWrite", "",
     [](MatrixBoard& board) {
         board.SetWireTime(true);
         board.At(Point::Sw(389), [&board] { host::StartThread(GiveUp, &board.dialog()); });
     },
     kFails},
};

TEST_P(MatrixTest, EndsCleanly) {
    board_.RunScenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modem, MatrixTest, ::testing::ValuesIn(kModemScenarios),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace faults
