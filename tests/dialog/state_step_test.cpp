// The dialog's state runs -1 -> 0 -> 1 (again at every pass) -> 2; the close guard and the
// countdown steer by it.  Any other step is a fault in the code and stops the process.
#include "tests/dialog/dialog_fixture.h"

namespace dialog_test {
namespace {

class StateStepDeathTest : public DialogFixture {};

TEST_F(StateStepDeathTest, StepsTheDesignDoesNotAllowAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Step {
        int32_t from;
        int32_t to;
    };
    // A download without preparation, a completion without a download, a pass after the
    // completion, a second preparation.
    for (const Step step : {Step{-1, 1}, Step{0, 2}, Step{2, 1}, Step{1, 0}, Step{-1, 2}}) {
        SCOPED_TRACE(std::to_string(step.from) + " -> " + std::to_string(step.to));
        CUpdaterDlg dlg;
        dlg.m_nState = step.from;
        EXPECT_DEATH(dlg.SetState(step.to),
                     R"(Check failed: IsStateStep\(from, nState\) at .*updater_dlg\.cpp:.+)");
    }
}

}  // namespace
}  // namespace dialog_test
