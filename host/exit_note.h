// How the run ended, in a few words for standard error when the process ends: the system
// records its exit status and a note saying why (which setting could not be restored, which
// record the modem answered wrongly, why COM1: could not be opened); the host's start prints
// them as one outcome line after the application has ended, since the system itself never
// writes to standard error.
#pragma once

#include <optional>
#include <string>

namespace host {

void SetExitOutcome(int code, const std::string& note);
// Empty when nothing was recorded.
std::string ExitNote();
// The status last recorded; nothing before the first record.
std::optional<int> RecordedExitStatus();

// The outcome line for exit status `code` and the recorded note, without a line end:
//   "gsm-updater: VERDICT: NOTE (exit CODE)"
// VERDICT by status: 0 "success", 1 "failed", 2 "refused", 3 "closed", 4 "not restored",
// any other "ended".  Stable for scripts: grep for "^gsm-updater: success:".
std::string OutcomeLine(int code);
// The same without the program's name and the status: "VERDICT: NOTE".
std::string OutcomeText(int code);

}  // namespace host
