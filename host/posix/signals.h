// The signals that ask the program to stop, received on a thread of their own and handed to the
// application as interrupts (host/interrupt.h, host::PostInterrupt): SIGINT, SIGTERM and
// SIGHUP.  No handler ends the process on the program's behalf, neither the system's default
// nor the screen library's: the application decides (refuse, stop through its failure exit,
// close before the start).
//
// A SIGHUP whose terminal is gone is a lost terminal, not an operator's request: the terminal
// front-end stops drawing and the run goes on.  SIGPIPE is ignored, so that a reader of
// standard output that goes away cannot end the program in the middle of an update.
#pragma once

namespace host::posix {

class TerminalUi;

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in every thread started
// after it), ignores SIGPIPE and starts the receiving thread, which lives as long as the
// process.  Call once, from main's thread, before any other thread starts.
void StartInterruptReceiver();

// The terminal front-end to tell when the terminal is lost; null for none.  A front-end that
// ends forgets itself (ForgetTerminal), and is not used once that has returned.
void WatchTerminal(TerminalUi* terminal);
void ForgetTerminal(TerminalUi* terminal);

}  // namespace host::posix
