// The whole-update tests' fixture: the in-process board with the generated images and the
// modem model, a run from the dialog's OnInitDialog to its end, and the end state every run
// shares.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "host/thread.h"
#include "tests/support/inprocess_board.h"

namespace update_test {

constexpr uint32_t kProgressFailed = 0xFFFFFFFF;

class UpdateTest : public ::testing::Test, public sim::InProcessBoard {
  public:
    // Each run's thread peak is its own.
    void SetUp() override { host::ResetPeakThreads(); }
    // Runs the dialog to its end with the modem model's faults (in its text form).
    void Run(const std::string& faults = "");
    // Progress entries of the journal from the first -1 on.
    std::vector<std::string> ProgressFromFailure();
    // Subkeys left under "Drivers\Active".
    std::vector<std::wstring> ActiveSubkeys();

    // The end every run shares: the dialog closed through the close guard with the workers
    // gone, the board's modem path and the UART driver restored, the port closed, the
    // backlight released and power saving back on.
    void ExpectClosedAndRestored();
    // The same but for the UART driver's values, which a store that fails cannot restore.
    void ExpectClosedAndRestoredBoard();
    // A confirmed download of both images, ended by the completion.
    void ExpectDownloadCompleted();
};

}  // namespace update_test
