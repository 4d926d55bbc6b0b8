// The console on Windows: the operator's requests to stop (Ctrl-C, Ctrl-Break, the console
// window closed, log-off or shut-down) handed to the application as interrupts, standard
// output and error in binary mode, and whether standard output is a console.
#pragma once

#include <string>

namespace host::win32 {

// Installs the console control handler.  A request becomes an interrupt for the application
// (host::PostInterrupt); the handler never ends the process itself.  For a closed console
// window or a shut-down, after which the system ends the process when the handler returns,
// the handler waits for the process to end on its own (the application restores the board
// first), as long as the system lets it.
void StartInterruptReceiver();

// Binary mode for standard output and error: the C runtime's text mode would write every
// "\n" of a line that already ends in "\r\n" as "\r\r\n".
void UseBinaryStdio();

// Whether standard output is a console (a person is watching a window) rather than a pipe or
// a file (a script reads it).
bool StdoutIsConsole();
// Whether the process has a standard output at all (a program started from the desktop has
// none).
bool HasStdout();

}  // namespace host::win32
