// Runs the command under test with UPDATER_ROOT set, the terminal passed through (standard
// input, output and error inherited, the same process group, so that the terminal dialog works
// under the board), and waits for it.
//
// While it runs, the board ignores the terminal's interrupt and quit keys (the command gets
// them, as it shares the terminal) and hands a termination or hang-up request on to it, so
// that the board outlives the command and can still report.
//
// The command starts with the default action for every signal but SIGXFSZ, which it ignores,
// so that a write past its file-size limit fails with EFBIG as on a full disk instead of
// killing it.  The limit (RLIMIT_FSIZE) is set in the child before the program is loaded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
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
    double cpu_s = 0;  // user and system time of the command (and of the children it waited for)
};

struct CommandOptions {
    std::optional<uint64_t> file_size_limit;  // bytes
    // The command's standard output goes to the board's standard error (which the board's
    // report then does not share).
    bool output_to_stderr = false;
    // NAME=VALUE entries added to the board's environment (they win over its own).
    std::vector<std::string> environment;
    // The program is running (it has been loaded): its pid and the start time.
    std::function<void(pid_t, int64_t)> started;
    // It has ended and is not yet reaped: its pid still names it.
    std::function<void()> ended;
};

CommandResult RunCommand(const std::vector<std::string>& command, const std::string& root,
                         host::Clock& clock, const CommandOptions& options = {});

}  // namespace vboard
