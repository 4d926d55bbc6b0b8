// Making, filling and reading a Wine prefix.
#include "sim/wine_prefix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "sim/child_environment.h"

namespace sim {
namespace fs = std::filesystem;
namespace {

// Put in every prefix made here: only such a folder is ever erased.
constexpr const char* kMarker = "virtual-board-prefix";
// In the template: the `wine --version` that made it.
constexpr const char* kStamp = "virtual-board-wine-version";
// Where the helper steps' output goes, in the prefix.
constexpr const char* kLog = "virtual-board-wine.log";
constexpr const char* kImportFile = "virtual-board.reg";
// How often a bounded wait looks at its child or its lock.
constexpr int64_t kPollUs = 10'000;
// How long an ended server may take to write its files and go.
constexpr int64_t kKillLimitUs = 10'000'000;

struct Outputs {
    std::string out;  // "" inherits
    std::string err;
    int out_fd = -1;  // wins over out
};

// Starts the program with standard input from /dev/null; -1 with the reason in *error.
pid_t Spawn(std::vector<std::string> args, const std::vector<std::string>& extra,
            const Outputs& outputs, std::string* error) {
    std::vector<std::string> env = EnvironmentWith(extra);
    std::vector<char*> argv = NullTerminated(args);
    std::vector<char*> envp = NullTerminated(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int flags = O_WRONLY | O_CREAT | O_APPEND;
    if (outputs.out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outputs.out_fd, STDOUT_FILENO);
    else if (!outputs.out.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputs.out.c_str(), flags, 0644);
    if (!outputs.err.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, outputs.err.c_str(), flags, 0644);
    pid_t pid = -1;
    const int failure = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        *error = "cannot run " + args[0] + ": " + std::strerror(failure);
        return -1;
    }
    return pid;
}

// Waits for the child until deadline_us; past it the child is killed.  Its exit status, 128 +
// N for signal N, or nothing when it was killed for its time.
std::optional<int> WaitBounded(pid_t pid, host::Clock& clock, int64_t deadline_us) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 && errno != EINTR)
            return std::nullopt;
        if (clock.now_us() >= deadline_us) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        clock.sleep_us(kPollUs);
    }
}

std::string Seconds(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", static_cast<double>(us) / 1e6);
    return text;
}

// What the program printed on standard output, or nothing.
std::optional<std::string> Capture(const std::vector<std::string>& args, host::Clock& clock,
                                   int64_t limit_us, std::string* error) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    const pid_t pid =
        Spawn(args, {"WINEDEBUG=-all"}, {.out = "", .err = "", .out_fd = pipe_fds[1]}, error);
    close(pipe_fds[1]);
    std::optional<int> status;
    if (pid > 0)
        status = WaitBounded(pid, clock, clock.now_us() + limit_us);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(pipe_fds[0]);
    if (pid < 0)
        return std::nullopt;
    if (status != 0) {
        *error = args[0] + " failed";
        return std::nullopt;
    }
    return text;
}

bool WriteFile(const fs::path& path, const std::string& bytes, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Wine only reads its program images, so a copy may share them.
bool IsProgramImage(const fs::path& path) {
    char magic[2] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

bool CopyTree(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code failure;
    fs::create_directories(to, failure);
    for (auto it = fs::recursive_directory_iterator(from, failure);
         !failure && it != fs::recursive_directory_iterator(); it.increment(failure)) {
        const fs::path target = to / it->path().lexically_relative(from);
        const fs::file_status status = it->symlink_status(failure);
        if (failure)
            break;
        if (fs::is_symlink(status)) {
            fs::create_symlink(fs::read_symlink(it->path(), failure), target, failure);
        } else if (fs::is_directory(status)) {
            fs::create_directory(target, failure);
        } else if (IsProgramImage(it->path())) {
            fs::create_hard_link(it->path(), target, failure);
            if (failure)  // another file system: a plain copy
                fs::copy_file(it->path(), target, failure);
        } else {
            fs::copy_file(it->path(), target, failure);
        }
    }
    if (failure) {
        *error = "cannot copy " + from.string() + " to " + to.string() + ": " + failure.message();
        return false;
    }
    return true;
}

std::string CacheFolder(const std::string& configured) {
    if (!configured.empty())
        return configured;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && *cache == '/')
        return std::string(cache) + "/virtual-board";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : "/tmp") + "/.cache/virtual-board";
}

// An exclusive lock on a file, taken within the time or not at all; let go with the object.
class FileLock {
  public:
    FileLock(const std::string& path, host::Clock& clock, int64_t limit_us, std::string* error) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return;
        }
        const int64_t deadline = clock.now_us() + limit_us;
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (clock.now_us() >= deadline) {
                *error = "another run held " + path + " for " + Seconds(limit_us);
                return;
            }
            clock.sleep_us(kPollUs * 10);
        }
        held_ = true;
    }
    ~FileLock() {
        if (fd_ >= 0)
            close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return held_; }

  private:
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace

std::vector<RegEntry> PortEntries(const std::string& root) {
    const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports";
    return {{key, "COM1", root + "/dev/COM1"}, {key, "COM2", root + "/dev/VEI1"}};
}

WinePrefix::WinePrefix(std::string path, host::Clock& clock, WinePrefixOptions options)
    : path_(std::move(path)), clock_(clock), options_(std::move(options)) {}

int64_t WinePrefix::StepLimit() const {
    if (options_.deadline_us == host::kForever)
        return options_.step_limit_us;
    // At least a moment, so that a late step is cut at once rather than never bounded.
    return std::max<int64_t>(
        1, std::min(options_.step_limit_us, options_.deadline_us - clock_.now_us()));
}

std::string WinePrefix::TemplatePath() const {
    return CacheFolder(options_.cache) + "/wine-template";
}

std::vector<std::string> WinePrefix::Environment(const std::string& root) const {
    std::vector<std::string> env = {"WINEPREFIX=" + path_, "WINEDEBUG=-all"};
    if (!root.empty())
        env.push_back("UPDATER_ROOT=" + root);
    return env;
}

std::vector<std::string> WinePrefix::Command(const std::vector<std::string>& program) {
    std::vector<std::string> command = {"wine"};
    command.insert(command.end(), program.begin(), program.end());
    return command;
}

int WinePrefix::Run(const std::vector<std::string>& program, const std::string& root,
                    int64_t limit_us, const std::string& out_path, const std::string& err_path,
                    std::string* error) {
    const pid_t pid = Spawn(Command(program), Environment(root), {out_path, err_path}, error);
    if (pid < 0)
        return -1;
    const std::optional<int> status = WaitBounded(pid, clock_, clock_.now_us() + limit_us);
    if (!status) {
        KillServer();
        *error = program[0] + " was still running " + Over(limit_us) + " and was killed";
        return -1;
    }
    return *status;
}

bool WinePrefix::WaitForServer(int64_t limit_us, std::string* error) {
    const pid_t pid = Spawn({"wineserver", "-w"}, Environment(), {}, error);
    if (pid < 0)
        return false;
    if (!WaitBounded(pid, clock_, clock_.now_us() + limit_us)) {
        KillServer();
        *error = "the Wine server of " + path_ + " was still running " + Over(limit_us) +
                 " and was killed";
        return false;
    }
    return true;
}

void WinePrefix::KillServer() {
    // -k only asks: the server then writes its files and goes, which -w waits for.
    for (const char* how : {"-k", "-w"}) {
        std::string ignored;
        const pid_t pid =
            Spawn({"wineserver", how}, Environment(), {"/dev/null", "/dev/null"}, &ignored);
        if (pid > 0)
            WaitBounded(pid, clock_, clock_.now_us() + kKillLimitUs);
    }
}

std::string WinePrefix::Over(int64_t limit_us) const {
    if (options_.deadline_us != host::kForever && clock_.now_us() >= options_.deadline_us)
        return "at the run's time limit";
    return "after " + Seconds(limit_us);
}

bool WinePrefix::MakeFresh(const std::string& folder, std::string* error) {
    // No Mono or Gecko installer: the first start would offer to fetch them.
    const std::vector<std::string> env = {"WINEPREFIX=" + folder, "WINEDEBUG=-all",
                                          "WINEDLLOVERRIDES=mscoree,mshtml="};
    std::error_code failure;
    fs::create_directories(folder, failure);
    const std::string log = folder + "/" + kLog;
    const pid_t pid = Spawn({"wineboot", "-i"}, env, {log, log}, error);
    if (pid < 0)
        return false;
    const std::optional<int> status = WaitBounded(pid, clock_, clock_.now_us() + StepLimit());
    WinePrefix made(folder, clock_, options_);
    if (!made.WaitForServer(StepLimit(), error))
        return false;
    if (status != 0 || !fs::exists(folder + "/system.reg")) {
        *error = "the first start of the Wine prefix " + folder + " failed (see " + log + ")";
        return false;
    }
    return true;
}

// Made under the lock, in a folder of its own, and put in place whole.
bool WinePrefix::EnsureTemplate(std::string* error) {
    const std::string folder = TemplatePath();
    const std::optional<std::string> version =
        Capture({"wine", "--version"}, clock_, StepLimit(), error);
    if (!version)
        return false;
    if (ReadFile(folder + "/" + kStamp) == *version && fs::exists(folder + "/system.reg"))
        return true;
    const std::string fresh = folder + ".new";
    std::error_code failure;
    fs::remove_all(fresh, failure);
    if (!MakeFresh(fresh, error) || !WriteFile(fresh + "/" + kStamp, *version, error))
        return false;
    fs::remove_all(folder, failure);
    fs::rename(fresh, folder, failure);
    if (failure) {
        *error = "cannot put the Wine template in " + folder + ": " + failure.message();
        return false;
    }
    return true;
}

bool WinePrefix::Clear(std::string* error) {
    std::error_code failure;
    if (!fs::exists(path_, failure))
        return true;
    if (!fs::is_empty(path_, failure) && !fs::exists(path_ + "/" + kMarker, failure)) {
        *error = path_ + " is not a Wine prefix made by the virtual board: it is left as it is";
        return false;
    }
    KillServer();
    fs::remove_all(path_, failure);
    if (failure) {
        *error = "cannot erase " + path_ + ": " + failure.message();
        return false;
    }
    return true;
}

bool WinePrefix::Make(std::string* error) {
    if (!Clear(error))
        return false;
    from_template_ = options_.use_template;
    if (!options_.use_template) {
        if (!MakeFresh(path_, error))
            return false;
    } else {
        std::error_code failure;
        fs::create_directories(CacheFolder(options_.cache), failure);
        const FileLock lock(TemplatePath() + ".lock", clock_, StepLimit(), error);
        if (!lock.held() || !EnsureTemplate(error) || !CopyTree(TemplatePath(), path_, error))
            return false;
        fs::remove(path_ + "/" + kStamp, failure);
        // Never an update of the prefix: it would rewrite the shared images in place.
        if (!WriteFile(path_ + "/.update-timestamp", "disable\n", error))
            return false;
    }
    return WriteFile(path_ + "/" + kMarker, "", error);
}

bool WinePrefix::Import(const std::vector<RegEntry>& entries, std::string* error) {
    std::vector<RegEntry> all = entries;
    if (options_.headless)
        all.push_back({"HKEY_CURRENT_USER\\Software\\Wine\\Drivers", "Graphics", "null"});
    else  // a virtual X server has no window manager: Wine then draws the windows' frames
        all.push_back({"HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver", "Decorated", "N"});
    const std::optional<std::string> text = RegFileText(all, error);
    if (!text || !WriteFile(path_ + "/drive_c/" + kImportFile, Utf16LeWithBom(*text), error))
        return false;
    const std::string log = path_ + "/" + kLog;
    const int status =
        Run({"regedit", "/S", std::string("C:\\") + kImportFile}, "", StepLimit(), log, log, error);
    if (status < 0 || !WaitForServer(StepLimit(), error))
        return false;
    // regedit answers 0 whatever became of the file: the registry itself says.
    WineRegistry machine;
    WineRegistry user;
    if (!ReadMachine(&machine, error) || !ReadUser(&user, error))
        return false;
    for (const RegEntry& entry : all) {
        const bool is_machine = entry.key.rfind("HKEY_LOCAL_MACHINE\\", 0) == 0;
        const WineRegistry& registry = is_machine ? machine : user;
        const std::string key = entry.key.substr(entry.key.find('\\') + 1);
        const bool found =
            std::holds_alternative<uint32_t>(entry.value)
                ? registry.Dword(key, entry.name) == std::get<uint32_t>(entry.value)
                : registry.String(key, entry.name) == std::get<std::string>(entry.value);
        if (!found) {
            *error = "the import into " + path_ + " did not set " + entry.key + "\\" + entry.name +
                     " (see " + log + ")";
            return false;
        }
    }
    return true;
}

bool WinePrefix::ReadMachine(WineRegistry* registry, std::string* error) const {
    return registry->Load(path_ + "/system.reg", error);
}

bool WinePrefix::ReadUser(WineRegistry* registry, std::string* error) const {
    return registry->Load(path_ + "/user.reg", error);
}

}  // namespace sim
