// The updater as a process against device roots it must not trust or share: planted links and
// folders others may write refuse the start untouched; a second updater in a root in use is
// refused at once; a register file cut short under a run ends it through a failure exit.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/vboard/json_reader.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string Program(const std::string& name) {
    return std::string(VBOARD_BIN_DIR) + "/" + name;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class RootSafetyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(Program("gsm-updater")))
            GTEST_SKIP() << "gsm-updater is not built";
        std::string pattern = ::testing::TempDir() + "/root-safety.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
        root_ = work_ / "root";
    }
    void TearDown() override {
        if (!work_.empty()) {
            fs::permissions(root_, fs::perms(0755));
            fs::remove_all(work_);
        }
    }

    // Runs args with `env` added, nothing on stdin, stdout and stderr in WORK/NAME.out and
    // WORK/NAME.err; answers the exit status, or -1 for a death by signal.
    int Spawn(const std::string& name, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> environment(env);
        for (char** entry = environ; *entry != nullptr; ++entry)
            environment.emplace_back(*entry);
        std::vector<char*> envp;
        for (const std::string& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        const std::string out = (work_ / (name + ".out")).string();
        const std::string err = (work_ / (name + ".err")).string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        const int failure = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failure != 0)
            return -2;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The virtual board around a shell script, on the kept root; the script finds the updater
    // in $U and this test's folder in $W.
    int RunBoard(const std::string& script, json::Value* report) {
        const fs::path report_path = work_ / "report.json";
        const int status = Spawn("board",
                                 {Program("virtual-board"), "--root", root_.string(), "--report",
                                  report_path.string(), "--", "sh", "-c", script},
                                 {"U=" + Program("gsm-updater"), "W=" + work_.string()});
        std::string error;
        if (fs::exists(report_path))
            *report = json::Parse(ReadFile(report_path), &error).value_or(json::Value{});
        return status;
    }

    void Provision() {
        json::Value report;
        ASSERT_EQ(RunBoard("true", &report), 0) << ReadFile(work_ / "board.err");
    }

    int RunUpdater(const std::string& name) {
        return Spawn(name, {Program("gsm-updater")}, {"UPDATER_ROOT=" + root_.string()});
    }

    // Every entry under the root with its kind and, for files, its contents.
    std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            const fs::path& path = entry.path();
            std::string state = entry.is_symlink() ? "link " + fs::read_symlink(path).string()
                                : entry.is_regular_file() ? "file " + ReadFile(path)
                                                          : "other";
            entries[fs::relative(path, root_).string()] = state;
        }
        return entries;
    }

    fs::path work_;
    fs::path root_;
};

// Shell lines that wait (at most 30 s) until the debug log holds a text.
std::string WaitForLog(const std::string& text) {
    return "i=0; until grep -q '" + text +
           "' \"$UPDATER_ROOT/debug.log\" 2>/dev/null; do i=$((i+1)); "
           "[ $i -gt 600 ] && break; sleep 0.05; done\n";
}

struct Refusal {
    const char* name;
    std::function<void(const fs::path& root, const fs::path& elsewhere)> plant;
    const char* reason;
};

TEST_F(RootSafetyTest, AnUntrustedRootRefusesTheStartAndIsLeftUntouched) {
    const std::vector<Refusal> refusals = {
        {"linked debug log",
         [](const fs::path& root, const fs::path& elsewhere) {
             fs::create_symlink(elsewhere, root / "debug.log");
         },
         "debug.log is a symbolic link"},
        {"linked power log",
         [](const fs::path& root, const fs::path& elsewhere) {
             fs::create_symlink(elsewhere, root / "power.log");
         },
         "power.log is a symbolic link"},
        {"linked store",
         [](const fs::path& root, const fs::path&) {
             fs::rename(root / "registry.db", root / "real.db");
             fs::create_symlink(root / "real.db", root / "registry.db");
         },
         "registry.db is a symbolic link"},
        {"linked lock file",
         [](const fs::path& root, const fs::path& elsewhere) {
             fs::create_symlink(elsewhere, root / "updater.lock");
         },
         "updater.lock is a symbolic link"},
        {"fifo as debug log",
         [](const fs::path& root, const fs::path&) {
             ASSERT_EQ(mkfifo((root / "debug.log").c_str(), 0644), 0);
         },
         "debug.log is not a regular file"},
        {"world-writable root",
         [](const fs::path& root, const fs::path&) { fs::permissions(root, fs::perms(0777)); },
         "root may be written by everyone"},
        {"sticky world-writable root",
         [](const fs::path& root, const fs::path&) { fs::permissions(root, fs::perms(01777)); },
         "root may be written by everyone"},
        {"world-writable dev",
         [](const fs::path& root, const fs::path&) {
             fs::permissions(root / "dev", fs::perms(0777));
         },
         "dev may be written by everyone"},
    };
    Provision();
    const fs::path elsewhere = work_ / "elsewhere";
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        fs::remove_all(root_);
        Provision();
        std::ofstream(elsewhere, std::ios::trunc) << "not the updater's\n";
        refusal.plant(root_, elsewhere);
        const std::map<std::string, std::string> before = Snapshot();

        EXPECT_EQ(RunUpdater("updater"), 2);
        const std::string err = ReadFile(work_ / "updater.err");
        EXPECT_NE(err.find(refusal.reason), std::string::npos) << err;
        EXPECT_NE(err.find("the update is not started"), std::string::npos) << err;
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(ReadFile(elsewhere), "not the updater's\n");
        fs::permissions(root_, fs::perms(0755));
    }
}

TEST_F(RootSafetyTest, ASecondUpdaterIsRefusedAtOnceNamingTheRunningOne) {
    json::Value report;
    const std::string script = "\"$U\" > \"$W/first.out\" 2>&1 & first=$!\n" +
                               WaitForLog("Open COM1:") +
                               "\"$U\" > \"$W/second.out\" 2> \"$W/second.err\"\n"
                               "echo $? > \"$W/second.status\"; echo $first > \"$W/first.pid\"\n"
                               "wait $first\n";
    ASSERT_EQ(RunBoard(script, &report), 0) << ReadFile(work_ / "board.err");
    ASSERT_TRUE((report.kind == json::Value::Kind::kObject));

    EXPECT_EQ(ReadFile(work_ / "second.status"), "2\n");
    std::string pid = ReadFile(work_ / "first.pid");
    pid.pop_back();
    const std::string err = ReadFile(work_ / "second.err");
    EXPECT_NE(err.find("another updater (process " + pid + ") is running on the device root"),
              std::string::npos)
        << err;
    // The running update went on undisturbed: one run in the log, and its success.
    EXPECT_EQ(report["exit_status"].Int(), 0);
    EXPECT_EQ(report["progress"].Int(), 100);
    EXPECT_EQ(report["board"]["cpld_mode"].Int(), 1);
    EXPECT_EQ(report["awrcwr"].Int(), 1);
    const std::string log = ReadFile(root_ / "debug.log");
    EXPECT_EQ(Count(log, "Open COM1:\r\n"), 1);
    EXPECT_EQ(Count(log, "AWRCWR=1\r\n"), 1);
}

TEST_F(RootSafetyTest, ARegisterFileCutShortEndsTheRunThroughTheFailureExit) {
    json::Value report;
    const std::string script = "\"$U\" > \"$W/updater.out\" 2> \"$W/updater.err\" & first=$!\n" +
                               WaitForLog("Open COM1:") +
                               ": > \"$UPDATER_ROOT/board.regs\"\n"
                               "wait $first\n";
    const int board = RunBoard(script, &report);
    EXPECT_NE(board, -1) << "the virtual board died: " << ReadFile(work_ / "board.err");
    ASSERT_TRUE((report.kind == json::Value::Kind::kObject)) << ReadFile(work_ / "board.err");

    EXPECT_EQ(report["exit_status"].Int(), 1) << ReadFile(work_ / "updater.err");
    EXPECT_TRUE(report["signal"].IsNull());
    EXPECT_EQ(report["progress"].Int(), -1);
    EXPECT_EQ(report["awrcwr"].Int(), 1);
    const std::string log = ReadFile(root_ / "debug.log");
    EXPECT_NE(
        log.find("Board register access failed in WriteUart0ModemControl: " +
                 fs::canonical(root_ / "board.regs").string() + ": cut short to 0 of 48 bytes\r\n"),
        std::string::npos)
        << log;
    EXPECT_EQ(Count(log, "Board access failed\r\n"), 1);
    EXPECT_EQ(Count(log, "CPLD Mode 001 not restored"), 1);
    EXPECT_EQ(Count(log, "Power on GSM Module"), 0);
}

}  // namespace
