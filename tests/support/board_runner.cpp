#include "tests/support/board_runner.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace testproc {

namespace fs = std::filesystem;

BoardRunner::BoardRunner() {
    std::string pattern = ::testing::TempDir() + "/board-run.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        work_ = pattern;
}

// A test may leave the root closed to its owner (a refused root): opened again to remove it.
BoardRunner::~BoardRunner() {
    if (work_.empty())
        return;
    std::error_code ignored;
    fs::permissions(root(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(work_, ignored);
}

std::optional<nlohmann::json> ReadReport(const fs::path& path, std::string* error) {
    if (!fs::exists(path)) {
        *error = "no report";
        return std::nullopt;
    }
    try {
        return nlohmann::json::parse(ReadFile(path));
    } catch (const nlohmann::json::parse_error& e) {
        *error = e.what();
        return std::nullopt;
    }
}

BoardRun BoardRunner::Run(std::vector<std::string> args, const std::vector<std::string>& command,
                          const std::vector<std::string>& env) {
    const fs::path report = work_ / "report.json";
    fs::remove(report);
    args.insert(args.begin(), Program("virtual-board"));
    args.insert(args.end(), {"--report", report.string(), "--"});
    args.insert(args.end(), command.begin(), command.end());
    BoardRun run;
    run.exit_code =
        testproc::Run(args, (work_ / "stdout.txt").string(), (work_ / "stderr.txt").string(), env);
    run.stderr_text = ReadFile(work_ / "stderr.txt");
    run.report = ReadReport(report, &run.report_error);
    return run;
}

BoardRun BoardRunner::RunUpdater(std::vector<std::string> args) {
    args.insert(args.end(), {"--root", root().string()});
    return Run(args, {Program("gsm-updater")});
}

}  // namespace testproc
