#include "tests/support/tmux_screen.h"

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

namespace testproc {
namespace {

std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Joined(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + Quoted(word);
    return line;
}

// A server socket no other test, run or person uses.
std::string NewSocket() {
    static std::atomic<int> next{0};
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/updater-tmux-" +
           std::to_string(getpid()) + "-" + std::to_string(next++);
}

}  // namespace

bool TmuxScreen::Available() {
    return system("tmux -V >/dev/null 2>&1") == 0;
}

TmuxScreen::TmuxScreen(int cols, int rows, const std::vector<std::string>& command)
    : socket_(NewSocket()) {
    started_ = Tmux({"new-session", "-d", "-s", "test", "-x", std::to_string(cols), "-y",
                     std::to_string(rows), Joined(command)}) == 0;
}

// The server leaves its socket behind when it is killed.
TmuxScreen::~TmuxScreen() {
    Tmux({"kill-server"});
    unlink(socket_.c_str());
}

int TmuxScreen::Tmux(const std::vector<std::string>& args, std::string* out) {
    // No configuration file: the session looks the same on every machine.
    const std::string command =
        "tmux -S " + Quoted(socket_) + " -f /dev/null " + Joined(args) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, got);
    const int status = pclose(pipe);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool TmuxScreen::WaitFor(const std::function<bool(const std::string&)>& holds, int timeout_ms,
                         std::string* screen, bool attributes, int poll_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<std::string> capture = {"capture-pane", "-p", "-t", "test"};
    if (attributes)
        capture.emplace_back("-e");
    while (true) {
        if (Tmux(capture, screen) != 0)
            screen->clear();
        if (holds(*screen))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

bool TmuxScreen::Resize(int cols, int rows) {
    return Tmux({"resize-window", "-t", "test", "-x", std::to_string(cols), "-y",
                 std::to_string(rows)}) == 0;
}

bool TmuxScreen::SendKeys(const std::string& key) {
    return Tmux({"send-keys", "-t", "test", key}) == 0;
}

std::string Flat(const std::string& screen) {
    std::string flat;
    for (char c : screen) {
        const char cell = c == '\n' ? ' ' : c;
        if (cell != ' ' || (!flat.empty() && flat.back() != ' '))
            flat += cell;
    }
    return flat;
}

std::vector<std::string> Rows(const std::string& screen) {
    std::vector<std::string> rows;
    std::istringstream in(screen);
    for (std::string row; std::getline(in, row);) {
        row.erase(row.find_last_not_of(' ') + 1);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace testproc
