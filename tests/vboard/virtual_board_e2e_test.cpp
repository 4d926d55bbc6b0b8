// What a script gets from `virtual-board -- gsm-updater`: the updater's lines and the board's
// report on streams of their own, each read back whole (the lines by their grammar, the report
// as JSON), the root named when the run ends, and a failed run's debug log kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/board_runner.h"
#include "tests/support/line_events.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using testproc::Program;

struct Streams {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// The board with `args`, its temporary roots and kept logs in the work folder.
Streams RunBoard(const testproc::BoardRunner& work, std::vector<std::string> args) {
    args.insert(args.begin(), Program("virtual-board"));
    const fs::path out = work.work() / "out.txt";
    const fs::path err = work.work() / "err.txt";
    Streams streams;
    streams.exit_code =
        testproc::Run(args, out.string(), err.string(), {"TMPDIR=" + work.work().string()});
    streams.out = testproc::ReadFile(out);
    streams.err = testproc::ReadFile(err);
    return streams;
}

// The board's own lines ("virtual-board: ...") apart from the updater's lines, without the
// updater's messages ("gsm-updater: ...").
void Split(const std::string& text, std::string* board, std::string* lines) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("virtual-board: ", 0) == 0)
            *board += line + "\n";
        else if (line.rfind("gsm-updater: ", 0) != 0)
            *lines += line + "\n";
    }
}

// The lines read by the grammar: every event but progress, with its fields; the progress as
// "PHASE PERCENT" each time the phase changes and at the end, the percent never going back.
std::vector<std::string> ReadLines(const std::string& text, std::vector<std::string>* progress) {
    std::vector<std::string> bad;
    std::vector<std::string> said;
    std::string phase;
    int percent = 0;
    for (const lines::Event& event : lines::ParseAll(text, &bad)) {
        std::string line = event.name;
        for (const auto& [key, value] : event.fields)
            line += " " + key + "=" + value;
        if (event.name != "progress") {
            said.push_back(line);
            continue;
        }
        EXPECT_GE(std::stoi(event.at("percent")), percent) << line;
        percent = std::stoi(event.at("percent"));
        if (event.at("phase") != phase)
            progress->push_back(event.at("phase") + " " + event.at("percent"));
        phase = event.at("phase");
    }
    progress->push_back(phase + " " + std::to_string(percent));
    EXPECT_EQ(bad, std::vector<std::string>{});
    return said;
}

TEST(VirtualBoardE2eTest, LinesOnOutputAndTheReportOnErrorReadBackApart) {
    testproc::BoardRunner work;
    ASSERT_TRUE(work.ok());
    const Streams run = RunBoard(work, {"--", Program("gsm-updater")});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    std::vector<std::string> progress;
    const std::vector<std::string> said = ReadLines(run.out, &progress);
    ASSERT_GE(said.size(), 3u) << run.out;
    EXPECT_EQ(said.front().rfind("open title=", 0), 0u) << said.front();
    EXPECT_EQ(progress, (std::vector<std::string>{"SW 0", "FS 66", "FS 100"}));
    EXPECT_EQ(
        std::vector<std::string>(said.end() - 3, said.end()),
        (std::vector<std::string>{"box answer=OK caption=Success!! text=GSM upgrade Success!",
                                  "close", "outcome exit=0 text=success: the modem was updated"}));

    // Standard error: the board's lines, then the report, which ends the stream.
    const size_t report_at = run.err.find("\n{\n");
    ASSERT_NE(report_at, std::string::npos) << run.err;
    const auto report = nlohmann::json::parse(run.err.substr(report_at + 1), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << run.err;
    EXPECT_EQ(report.at("exit_status"), 0);
    EXPECT_TRUE(report.at("debug_log_kept").is_null());
    const std::string root = report.at("root").get<std::string>();
    EXPECT_EQ(fs::path(root).parent_path(), work.work());
    std::string board;
    std::string command;
    Split(run.err.substr(0, report_at + 1), &board, &command);
    EXPECT_EQ(board, "virtual-board: UPDATER_ROOT=" + root +
                         "\nvirtual-board: removed the temporary device root " + root + "\n");
    EXPECT_FALSE(fs::exists(root));
}

TEST(VirtualBoardE2eTest, AFailedRunKeepsItsDebugLogAndTheReportStandsAloneOnOutput) {
    testproc::BoardRunner work;
    ASSERT_TRUE(work.ok());
    const Streams run =
        RunBoard(work, {"--report", "-", "--no-com1", "--", Program("gsm-updater")});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    const auto report = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << run.out;
    EXPECT_EQ(report.at("exit_status"), 1);
    ASSERT_TRUE(report.at("debug_log_kept").is_string()) << report.dump(2);
    const fs::path kept = report.at("debug_log_kept").get<std::string>();
    EXPECT_EQ(kept.parent_path(), work.work());
    EXPECT_EQ(kept.filename().string().rfind("virtual-board-debug.", 0), 0u) << kept;
    EXPECT_EQ(kept.extension(), ".log");
    EXPECT_NE(testproc::ReadFile(kept).find("Open COM1 failed\r\n"), std::string::npos);

    std::string board;
    std::string command;
    Split(run.err, &board, &command);
    const std::string root = report.at("root").get<std::string>();
    EXPECT_EQ(board, "virtual-board: UPDATER_ROOT=" + root +
                         "\nvirtual-board: the command failed (exit status 1); its debug log is "
                         "kept in " +
                         kept.string() + "\nvirtual-board: removed the temporary device root " +
                         root + "\n");
    EXPECT_FALSE(fs::exists(root));
    // The command's lines moved to standard error, whole.
    std::vector<std::string> progress;
    const std::vector<std::string> said = ReadLines(command, &progress);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.front().rfind("open title=", 0), 0u) << said.front();
}

}  // namespace
