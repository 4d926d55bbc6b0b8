// Console requests, standard streams.
#include "host/win32/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "host/framework.h"
#include "host/interrupt.h"

namespace host::win32 {
namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            PostInterrupt(Interrupt::kInterrupt);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            PostInterrupt(Interrupt::kHangUp);
            break;
        default:  // log-off, shut-down
            PostInterrupt(Interrupt::kTerminate);
            break;
    }
    // The system ends the process once this returns: wait for the application to end it,
    // having restored the board, until the system's own limit ends it anyway.
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void StartInterruptReceiver() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void UseBinaryStdio() {
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool StdoutIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool HasStdout() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE;
}

}  // namespace host::win32
