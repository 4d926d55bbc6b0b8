// Runs the command under test with UPDATER_ROOT set, the terminal passed through (standard
// input, output and error inherited, the same process group, so that the terminal dialog works
// under the board), and waits for it.
//
// While it runs, the board ignores the terminal's interrupt and quit keys (the command gets
// them, as it shares the terminal) and hands a termination or hang-up request on to it, so
// that the board outlives the command and can still report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/clock.h"

namespace vboard {

struct CommandResult {
    bool started = false;
    std::string error;    // why it could not be started
    int exit_status = 0;  // the command's status; 128 + N when it died of signal N
    int signal = 0;       // the signal it died of, or 0
    int64_t start_us = 0;
    int64_t end_us = 0;
};

CommandResult RunCommand(const std::vector<std::string>& command, const std::string& root,
                         host::Clock& clock);

}  // namespace vboard
