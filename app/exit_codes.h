// How the process ends, for the scripts that start the updater: its exit status says how the
// update ended.  The run records its outcome as it ends; the application answers it as the
// exit code.
#pragma once

constexpr int kExitSuccess = 0;      // both images confirmed (success box or device restart)
constexpr int kExitFailure = 1;      // a failure exit ran: Progress is -1, the board restored
constexpr int kExitRefused = 2;      // the start was refused (no device root, no services)
constexpr int kExitClosedEarly = 3;  // the dialog was closed before the update started

// The outcome of this run so far; kExitFailure until a run records another, so that an end
// that recorded nothing is never taken for a success.
int UpdateOutcome();
void SetUpdateOutcome(int code);
