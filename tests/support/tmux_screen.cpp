#include "tests/support/tmux_screen.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/support/process.h"

namespace testproc {
namespace {

std::string Joined(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty())
            line.push_back(' ');
        line.push_back('\'');
        for (char c : word) {
            if (c == '\'')
                line.append("'\\''");  // close, an escaped quote, reopen
            else
                line.push_back(c);
        }
        line.push_back('\'');
    }
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
                     std::to_string(rows), Joined(command)});
}

// The server leaves its socket behind when it is killed.
TmuxScreen::~TmuxScreen() {
    Tmux({"kill-server"});
    unlink(socket_.c_str());
}

// No configuration file: the session looks the same on every machine.
std::string TmuxScreen::Command(const std::vector<std::string>& args) const {
    return "tmux -S " + Joined({socket_}) + " -f /dev/null " + Joined(args) + " 2>/dev/null";
}

bool TmuxScreen::Tmux(const std::vector<std::string>& args) {
    return system(Command(args).c_str()) == 0;
}

bool TmuxScreen::WaitFor(const std::function<bool(const std::string&)>& holds, int timeout_ms,
                         std::string* screen, bool attributes, int poll_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<std::string> capture = {"capture-pane", "-p", "-t", "test"};
    if (attributes)
        capture.emplace_back("-e");
    while (true) {
        *screen = Output(Command(capture));
        if (holds(*screen))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

bool TmuxScreen::Resize(int cols, int rows) {
    return Tmux(
        {"resize-window", "-t", "test", "-x", std::to_string(cols), "-y", std::to_string(rows)});
}

bool TmuxScreen::SendKeys(const std::string& key) {
    return Tmux({"send-keys", "-t", "test", key});
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
