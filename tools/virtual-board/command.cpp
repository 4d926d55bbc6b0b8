// Starting and waiting for the command.
#include "tools/virtual-board/command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "host/posix/device_root.h"

extern char** environ;

namespace vboard {
namespace {

std::atomic<pid_t> g_child{0};
static_assert(std::atomic<pid_t>::is_always_lock_free, "used in a signal handler");

void ForwardSignal(int signal_number) {
    const pid_t child = g_child.load();
    if (child > 0)
        kill(child, signal_number);
}

constexpr int kIgnored[] = {SIGINT, SIGQUIT};
constexpr int kForwarded[] = {SIGTERM, SIGHUP};

// The board's handling of the signals while the command runs, and the way back.
class SignalScope {
  public:
    SignalScope() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction forward {};
        forward.sa_handler = ForwardSignal;
        sigemptyset(&forward.sa_mask);
        for (size_t i = 0; i < 2; ++i) {
            sigaction(kIgnored[i], &ignore, &saved_[i]);
            sigaction(kForwarded[i], &forward, &saved_[2 + i]);
        }
    }
    ~SignalScope() {
        for (size_t i = 0; i < 2; ++i) {
            sigaction(kIgnored[i], &saved_[i], nullptr);
            sigaction(kForwarded[i], &saved_[2 + i], nullptr);
        }
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

  private:
    struct sigaction saved_[4]{};
};

// The board's environment with UPDATER_ROOT set to root.
std::vector<std::string> Environment(const std::string& root) {
    const std::string prefix = std::string(host::posix::kRootVariable) + "=";
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0)
            entries.emplace_back(*entry);
    }
    entries.push_back(prefix + root);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The command starts with the default action for every signal the board changes and with
// nothing blocked.
bool SpawnAttributes(posix_spawnattr_t* attributes) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signal_number);
    sigset_t none;
    sigemptyset(&none);
    return posix_spawnattr_init(attributes) == 0 &&
           posix_spawnattr_setsigdefault(attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(attributes, &none) == 0 &&
           posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) ==
               0;
}

void Wait(pid_t child, CommandResult* result) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            result->exit_status = 1;
            return;
        }
    }
    if (WIFEXITED(status)) {
        result->exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result->signal = WTERMSIG(status);
        result->exit_status = 128 + result->signal;
    }
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& command, const std::string& root,
                         host::Clock& clock) {
    CommandResult result;
    std::vector<std::string> args = command;
    std::vector<std::string> environment = Environment(root);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(environment);
    posix_spawnattr_t attributes;
    if (!SpawnAttributes(&attributes)) {
        result.error = "cannot set up the command's start";
        return result;
    }
    SignalScope signals;
    result.start_us = clock.now_us();
    pid_t child = 0;
    const int failure =
        posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (failure != 0) {
        result.error = "cannot run " + command[0] + ": " + std::strerror(failure);
        return result;
    }
    result.started = true;
    g_child = child;
    Wait(child, &result);
    g_child = 0;
    result.end_us = clock.now_us();
    return result;
}

}  // namespace vboard
