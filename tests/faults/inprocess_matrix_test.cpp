// The fault matrix in virtual time: every row is a whole update from OnInitDialog to the closed
// dialog under one fault, held to the end state of matrix.h.
#include "tests/faults/matrix.h"

#include "app/exit_codes.h"
#include "download/download.h"
#include "host/thread.h"

namespace faults {
namespace {

const Expected kSucceeds{.exit_status = kExitSuccess, .progress = 100};
const Expected kFails{.exit_status = kExitFailure, .progress = kProgressFailed};

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
    // The eighth reset's give-up while the replay runs: it must stop the replay for good.
    {"GiveUpDuringTheReplay", "",
     [](MatrixBoard& board) {
         board.At(Point::Sw(300), [&board] {
             board.dialog().m_nResetCount = 7;
             board.dialog().m_bResetRunning = true;
             host::StartThread(ResetThread, &board.dialog());
         });
     },
     kFails},
};

TEST_P(MatrixTest, EndsCleanly) {
    board_.RunScenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modem, MatrixTest, ::testing::ValuesIn(kModemScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faults
