// The updater as a process against device roots it must not trust: planted links and folders
// others may write refuse the start and leave the root untouched.  (A second updater and a
// register file cut short under a run are rows of the fault matrix.)
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

#include "tests/support/board_runner.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using testproc::Program;
using testproc::ReadFile;

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
        return testproc::Run(args, (work_ / (name + ".out")).string(),
                             (work_ / (name + ".err")).string(), env);
    }

    // The virtual board around a shell script, on the kept root; the script finds the updater
    // in $U and this test's folder in $W.
    int RunBoard(const std::string& script, nlohmann::json* report) {
        const fs::path report_path = work_ / "report.json";
        const int status = Spawn("board",
                                 {Program("virtual-board"), "--root", root_.string(), "--report",
                                  report_path.string(), "--", "sh", "-c", script},
                                 {"U=" + Program("gsm-updater"), "W=" + work_.string()});
        std::string error;
        *report = testproc::ReadReport(report_path, &error).value_or(nlohmann::json{});
        return status;
    }

    void Provision() {
        nlohmann::json report;
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

}  // namespace
