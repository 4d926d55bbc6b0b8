// The signal receiver.  The signals stay blocked in every thread and one thread takes them with
// sigwaitinfo, so that no handler runs at an arbitrary point of another thread and the
// receiver may lock, log and post like any other thread.
#include "host/posix/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "host/debug_log.h"
#include "host/framework.h"
#include "host/platform.h"
#include "host/posix/terminal_ui.h"

namespace host::posix {
namespace {

// The watched front-end; the lock is held while the receiver uses it, so that one that
// stops being watched (also from its destructor) is never used afterwards.
std::mutex g_terminal_mutex;
TerminalUi* g_terminal = nullptr;
// The controlling terminal as it was at the start, held open to tell a hang-up from a SIGHUP
// that someone sent; -1 when the program had none.
int g_controlling_tty = -1;

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, signal_number);
    return signals;
}

Interrupt ToInterrupt(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return Interrupt::kInterrupt;
        case SIGTERM:
            return Interrupt::kTerminate;
        default:
            return Interrupt::kHangUp;
    }
}

bool TerminalLost() {
    {
        std::lock_guard<std::mutex> lock(g_terminal_mutex);
        if (g_terminal != nullptr && g_terminal->TerminalLost())
            return true;
    }
    return g_controlling_tty >= 0 && !TerminalAnswers(g_controlling_tty);
}

void OnTerminalLost() {
    {
        std::lock_guard<std::mutex> lock(g_terminal_mutex);
        if (g_terminal != nullptr)
            g_terminal->OnTerminalLost();
    }
    if (Current().log != nullptr)
        DebugOut("Terminal lost (SIGHUP): the update goes on without a screen\r\n");
}

void Receive(sigset_t signals) {
    for (;;) {
        const int signal_number = sigwaitinfo(&signals, nullptr);
        if (signal_number < 0)
            continue;  // EINTR: a stop and continue, or a debugger
        if (signal_number == SIGHUP && TerminalLost()) {
            OnTerminalLost();
            continue;
        }
        PostInterrupt(ToInterrupt(signal_number));
    }
}

}  // namespace

void StartInterruptReceiver() {
    static bool started = false;
    if (started)
        return;
    started = true;
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    g_controlling_tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::thread(Receive, signals).detach();
}

void WatchTerminal(TerminalUi* terminal) {
    std::lock_guard<std::mutex> lock(g_terminal_mutex);
    g_terminal = terminal;
}

void ForgetTerminal(TerminalUi* terminal) {
    std::lock_guard<std::mutex> lock(g_terminal_mutex);
    if (g_terminal == terminal)
        g_terminal = nullptr;
}

}  // namespace host::posix
