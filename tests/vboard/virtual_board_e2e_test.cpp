// What a script gets from `virtual-board -- gsm-updater`: the updater's lines and the board's
// report on streams of their own, each read back whole (the lines by their grammar, the report
// as JSON), the root named when the run ends, and a failed run's debug log kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
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
using testproc::ReadFile;

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
    streams.out = ReadFile(out);
    streams.err = ReadFile(err);
    return streams;
}

// The board's own lines ("virtual-board: ...") and the updater's lines, without the
// updater's messages on standard error ("gsm-updater: ...").
void Split(const std::string& text, std::string* board, std::string* lines) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("virtual-board: ", 0) == 0)
            *board += line + "\n";
        else if (line.rfind("gsm-updater: ", 0) != 0)
            *lines += line + "\n";
    }
}

nlohmann::json Json(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

bool HasProgress(const std::vector<lines::Event>& events, const char* phase, const char* percent,
                 const char* remaining) {
    for (const lines::Event& event : events) {
        if (event.name == "progress" && event.at("phase") == phase &&
            event.at("percent") == percent && event.at("remaining") == remaining)
            return true;
    }
    return false;
}

// A whole update as a script reads it: the lines say the dialog in order, the bar never goes
// back, and the run ends in the success box and the close.
void ExpectWholeUpdate(const std::vector<lines::Event>& events) {
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().name, "open");
    EXPECT_TRUE(HasProgress(events, "SW", "3", "7m43s"));   // the first step of the SW image
    EXPECT_TRUE(HasProgress(events, "FS", "66", "2m40s"));  // the FS image's first record
    int percent = 0;
    std::string last_progress;
    for (const lines::Event& event : events) {
        if (event.name != "progress")
            continue;
        EXPECT_GE(std::stoi(event.at("percent")), percent);
        percent = std::stoi(event.at("percent"));
        last_progress = event.at("phase") + " " + event.at("percent");
    }
    EXPECT_EQ(last_progress, "FS 100");
    std::vector<std::string> tail;
    for (const lines::Event& event : events) {
        if (event.name == "box")
            tail.push_back(event.at("caption") + "|" + event.at("text") + "|" + event.at("answer"));
        else if (event.name == "close")
            tail.push_back(event.name);
        else if (event.name == "outcome")
            tail.push_back(event.at("exit") + "|" + event.at("text"));
    }
    EXPECT_EQ(tail, (std::vector<std::string>{"Success!!|GSM upgrade Success!|OK", "close",
                                              "0|success: the modem was updated"}));
    EXPECT_EQ(events.back().name, "outcome");
}

TEST(VirtualBoardE2eTest, LinesOnOutputAndTheReportOnErrorReadBackApart) {
    testproc::BoardRunner work;
    ASSERT_TRUE(work.ok());
    const Streams run = RunBoard(work, {"--", Program("gsm-updater")});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    std::vector<std::string> bad;
    const std::vector<lines::Event> events = lines::ParseAll(run.out, &bad);
    EXPECT_EQ(bad, std::vector<std::string>{});
    ExpectWholeUpdate(events);

    // Standard error: the board's lines, then the report, which ends the stream.
    const size_t report_at = run.err.find("\n{\n");
    ASSERT_NE(report_at, std::string::npos) << run.err;
    const nlohmann::json report = Json(run.err.substr(report_at + 1));
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

    const nlohmann::json report = Json(run.out);
    ASSERT_FALSE(report.is_discarded()) << run.out;
    EXPECT_EQ(report.at("exit_status"), 1);
    ASSERT_TRUE(report.at("debug_log_kept").is_string()) << report.dump(2);
    const fs::path kept = report.at("debug_log_kept").get<std::string>();
    EXPECT_EQ(kept.parent_path(), work.work());
    EXPECT_EQ(kept.filename().string().rfind("virtual-board-debug.", 0), 0u) << kept;
    EXPECT_EQ(kept.extension(), ".log");
    EXPECT_NE(ReadFile(kept).find("Open COM1 failed\r\n"), std::string::npos);

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
    std::vector<std::string> bad;
    const std::vector<lines::Event> events = lines::ParseAll(command, &bad);
    EXPECT_EQ(bad, std::vector<std::string>{});
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().name, "open");
}

// Answers that need no run, through the tools' one convention.
TEST(VirtualBoardE2eTest, AnswersAndUsageErrors) {
    testproc::BoardRunner work;
    ASSERT_TRUE(work.ok());
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* out_has;
        const char* err;
    };
    const Case cases[] = {
        {{"--fault", "help"}, 0, "  unplug=POINT ", ""},
        {{"--version"}, 0, "virtual-board ", ""},
        {{"--fault", "nosuchknob", "--", "true"},
         2,
         "",
         "virtual-board: --fault: unknown fault 'nosuchknob'; 'virtual-board --fault help' lists "
         "the faults\nTry 'virtual-board --help'.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Streams run = RunBoard(work, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_NE(run.out.find(c.out_has), std::string::npos) << run.out;
        EXPECT_EQ(run.err, c.err);
    }
}

}  // namespace
