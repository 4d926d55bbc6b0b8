// Starting and waiting for the command.
#include "tools/virtual-board/command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "host/device_root.h"
#include "sim/child_environment.h"

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

// The board's environment with UPDATER_ROOT set to root and the extra entries added.
std::vector<std::string> Environment(const std::string& root, std::vector<std::string> extra) {
    extra.push_back(std::string(host::kRootVariable) + "=" + root);
    return sim::EnvironmentWith(extra);
}

// The program's path: as given when it holds a '/', else the first executable file of that
// name on PATH.  Found before the fork, as the child may only make async-signal-safe calls.
std::string ProgramPath(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr && *path != '\0' ? path : "/bin:/usr/bin";
    for (;;) {
        const size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos)
            return name;  // execve then says why it cannot run
        dirs.remove_prefix(colon + 1);
    }
}

// In the child, between fork and exec: async-signal-safe calls only.  The errno of a failed
// exec goes back through the pipe.
[[noreturn]] void BecomeCommand(const char* path, char* const* argv, char* const* envp,
                                const CommandOptions& options, int report_fd) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    for (int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(signal_number, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.output_to_stderr)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    if (options.file_size_limit) {
        const rlimit limit{*options.file_size_limit, *options.file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    execve(path, argv, envp);
    const int failure = errno;
    [[maybe_unused]] ssize_t ignored = write(report_fd, &failure, sizeof failure);
    _exit(127);
}

// The errno of the child's failed exec, or 0 once the pipe closes on a successful one.
int ExecFailure(int report_fd) {
    int failure = 0;
    ssize_t n = 0;
    do {
        n = read(report_fd, &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof failure) ? failure : 0;
}

// Waits without reaping, tells the caller, then reaps with the child's resource usage.
void Wait(pid_t child, const CommandOptions& options, CommandResult* result) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    g_child = 0;
    if (options.ended)
        options.ended();
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            result->exit_status = 1;
            return;
        }
    }
    result->cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status)) {
        result->exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result->signal = WTERMSIG(status);
        result->exit_status = 128 + result->signal;
    }
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& command, const std::string& root,
                         host::Clock& clock, const CommandOptions& options) {
    CommandResult result;
    std::vector<std::string> args = command;
    std::vector<std::string> environment = Environment(root, options.environment);
    std::vector<char*> argv = sim::NullTerminated(args);
    std::vector<char*> envp = sim::NullTerminated(environment);
    const std::string path = ProgramPath(command[0]);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.error = std::string("cannot start the command: ") + std::strerror(errno);
        return result;
    }
    SignalScope signals;
    result.start_us = clock.now_us();
    const pid_t child = fork();
    if (child == 0)
        BecomeCommand(path.c_str(), argv.data(), envp.data(), options, report[1]);
    close(report[1]);
    if (child < 0) {
        result.error = std::string("cannot start the command: ") + std::strerror(errno);
        close(report[0]);
        return result;
    }
    const int failure = ExecFailure(report[0]);
    close(report[0]);
    if (failure != 0) {
        waitpid(child, nullptr, 0);
        result.error = "cannot run " + command[0] + ": " + std::strerror(failure);
        return result;
    }
    result.started = true;
    g_child = child;
    if (options.started)
        options.started(child, result.start_us);
    Wait(child, options, &result);
    result.end_us = clock.now_us();
    return result;
}

}  // namespace vboard
