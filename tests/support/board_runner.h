// Runs the built virtual board around a command in a work folder of the test's own, over real
// pseudo-terminals in real time, and reads back its report.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testproc {

struct BoardRun {
    int exit_code = -1;  // the board's own status
    std::string stderr_text;
    std::optional<nlohmann::json> report;
    std::string report_error;
};

// The board's report in the file at `path`, or nothing with the reason in *error.
std::optional<nlohmann::json> ReadReport(const std::filesystem::path& path, std::string* error);

class BoardRunner {
  public:
    // Makes a fresh work folder below the test's temporary folder, removed with the object.
    BoardRunner();
    ~BoardRunner();
    BoardRunner(const BoardRunner&) = delete;
    BoardRunner& operator=(const BoardRunner&) = delete;

    bool ok() const { return !work_.empty(); }
    const std::filesystem::path& work() const { return work_; }
    // The device root that RunUpdater keeps: WORK/root.
    std::filesystem::path root() const { return work_ / "root"; }

    // virtual-board ARGS --report WORK/report.json -- COMMAND, with nothing on its standard
    // input, its output in WORK/stdout.txt and WORK/stderr.txt and `env` added.
    BoardRun Run(std::vector<std::string> args, const std::vector<std::string>& command,
                 const std::vector<std::string>& env = {});
    // The updater under the board, in the kept root.
    BoardRun RunUpdater(std::vector<std::string> args);

  private:
    std::filesystem::path work_;
};

}  // namespace testproc
