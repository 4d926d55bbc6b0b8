// How the process ends, for the scripts that start the updater: its exit status says how the
// update ended.  The run records its outcome as it ends; the application answers it as the
// exit code.
#pragma once

#include <string>

constexpr int kExitSuccess = 0;      // both images confirmed (success box or device restart)
constexpr int kExitFailure = 1;      // a failure exit ran: Progress is -1, the board restored
constexpr int kExitRefused = 2;      // the start was refused (no device root, no services)
constexpr int kExitClosedEarly = 3;  // the dialog was closed before the update started
// The modem update ended (succeeded or failed) but the device's settings could not all be
// restored or published: AWRCWR not set back to 1, or the final Progress (100 or -1) not
// written.  The outcome's note says which, and how the update itself ended.
constexpr int kExitNotRestored = 4;

// The outcome of this run so far; kExitFailure until a run records another, so that an end
// that recorded nothing is never taken for a success.
int UpdateOutcome();
// Records the outcome with a note for the user: a few plain words saying how the run ended
// and why ("the modem was updated", "COM1: could not be opened: ...").  With
// kExitNotRestored it says how the update ended and which setting did not land.
void SetUpdateOutcome(int code, const std::string& note = {});
std::string UpdateOutcomeNote();
