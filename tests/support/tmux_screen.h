// A program on a terminal of a given size, as a person sees it: a detached tmux session on a
// server of its own, whose screen a test reads, resizes and types into.  Every wait is bounded.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testproc {

class TmuxScreen {
  public:
    static bool Available();

    // Starts `command` in a detached session of cols x rows.
    TmuxScreen(int cols, int rows, const std::vector<std::string>& command);
    // Kills the server, and with it whatever still runs on its terminal.
    ~TmuxScreen();
    TmuxScreen(const TmuxScreen&) = delete;
    TmuxScreen& operator=(const TmuxScreen&) = delete;

    bool ok() const { return started_; }
    // Reads the screen (one line a row; with `attributes`, with the escape sequences of colours
    // and video attributes) every `poll_ms` until `holds` is true of it or `timeout_ms` have
    // gone by; the last screen read in *screen.
    bool WaitFor(const std::function<bool(const std::string&)>& holds, int timeout_ms,
                 std::string* screen, bool attributes = false, int poll_ms = 100);
    bool Resize(int cols, int rows);
    // tmux key names: "x", "Enter", "C-c".
    bool SendKeys(const std::string& key);

  private:
    // The shell command that runs tmux with `args` on this server.
    std::string Command(const std::vector<std::string>& args) const;
    bool Tmux(const std::vector<std::string>& args);

    std::string socket_;
    bool started_ = false;
};

// The screen as one line: rows joined and runs of blanks made one, so that a text wrapped over
// rows or placed anywhere still reads as written.
std::string Flat(const std::string& screen);
// The screen's rows, trailing blanks removed.
std::vector<std::string> Rows(const std::string& screen);

}  // namespace testproc
