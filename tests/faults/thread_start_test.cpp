// Whole updates in which a worker thread cannot be started: before anything is switched the
// start is refused; after, the failure exit restores what the preparation had switched.
#include "app/prepare.h"
#include "download/download.h"
#include "download/progress.h"
#include "host/board.h"
#include "host/thread.h"
#include "tests/faults/matrix.h"
#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

struct ThreadStartCase {
    const char* name;
    host::ThreadProc proc;
    const char* faults;  // the modem model's
    bool radio_off;      // the radio stack was shut down before the failure
    bool download_path;  // CPLD mode 110 was set
    int watchdog_steps;
};

void PrintTo(const ThreadStartCase& c, std::ostream* out) {
    *out << c.name;
}

class ThreadStartTest : public UpdateTest, public ::testing::WithParamInterface<ThreadStartCase> {
  protected:
    void TearDown() override { host::FailThreadStart(0); }
};

TEST_P(ThreadStartTest, EndsThroughTheFailureExitWithTheBoardRestored) {
    const ThreadStartCase& c = GetParam();
    host::FailThreadStart(1, c.proc);
    Run(c.faults);
    faults::ExpectBoundedRun(*this);

    ExpectClosedAndRestored();
    EXPECT_EQ(UpdateOutcome(), kExitFailure);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    EXPECT_EQ(log().Count(std::string("Start ") + c.name + " failed\r\n"), 1);
    EXPECT_EQ(UpdateOutcomeNote(), std::string(c.name) + " could not be started");
    EXPECT_EQ(log().Count("Turn GSM OFF\r\n"), c.radio_off ? 1 : 0);
    const std::vector<uint32_t> modes =
        c.download_path ? std::vector<uint32_t>{6, 1} : std::vector<uint32_t>{1};
    EXPECT_EQ(Writes(host::reg::kCpldMode), modes);
    EXPECT_EQ(log().Count("ResetThread ::Reset\r\n"), c.watchdog_steps);
    EXPECT_EQ(RisingEdges(host::reg::kGpioADat, sim::kResetLineBit), 0);
    EXPECT_FALSE(com1().NearIsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Whole, ThreadStartTest,
    ::testing::Values(ThreadStartCase{"CountdownThread", CountdownThread, "", false, false, 0},
                      ThreadStartCase{"ReadThread", ReadThread, "", true, true, 0},
                      ThreadStartCase{"ResetThread", ResetThread, "never-boot", true, true, 1}),
    [](const ::testing::TestParamInfo<ThreadStartCase>& test) { return test.param.name; });

// Nothing is switched yet when PrepareThread cannot start: the start is refused and the dialog
// ends at once, touching nothing.
TEST_F(UpdateTest, PrepareThreadThatCannotStartRefusesTheStart) {
    host::FailThreadStart(1, PrepareThread);
    Run();
    faults::ExpectBoundedRun(*this);
    host::FailThreadStart(0);

    EXPECT_EQ(modal_result(), host::kIdOk);
    EXPECT_TRUE(workers_ended());
    EXPECT_EQ(UpdateOutcome(), kExitRefused);
    EXPECT_EQ(UpdateOutcomeNote(), "PrepareThread could not be started; nothing was touched");
    EXPECT_EQ(log().Texts(), std::vector<std::string>{"Start PrepareThread failed\r\n"});
    EXPECT_TRUE(journal().Entries().empty());
    EXPECT_TRUE(bus().Accesses().empty());
    EXPECT_TRUE(power().Requirements().empty());
    EXPECT_EQ(Settings(L"Progress"), kMissing);
}

}  // namespace
}  // namespace update_test
