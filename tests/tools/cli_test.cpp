// The built programs' command lines, run as a person or a script runs them: the one
// convention of --help, --version and usage errors, and paths that cannot be used.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

// A program that does not end within this is a failure, never a hung test.
constexpr auto kBound = std::chrono::seconds(20);

struct Outcome {
    bool ended = false;  // within kBound
    int status = -1;     // the exit status when it exited
    int signal = 0;      // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// Runs args with no device root in the environment, so that no program can touch one.
Outcome RunBounded(const std::vector<std::string>& args, const std::string& root = "") {
    const std::string scratch = ::testing::TempDir() + "cli_test_" + std::to_string(getpid());
    const std::string out_path = scratch + ".out";
    const std::string err_path = scratch + ".err";
    Outcome outcome;
    const pid_t pid = testproc::Spawn(args, out_path, err_path, {"UPDATER_ROOT=" + root});
    if (pid < 0)
        return outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    outcome.ended = true;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    outcome.out = testproc::ReadFile(out_path);
    outcome.err = testproc::ReadFile(err_path);
    fs::remove(out_path);
    fs::remove(err_path);
    return outcome;
}

// virtual-board and gsm-updater are part of the table: every program meets the convention.
class EveryProgram : public ::testing::TestWithParam<std::string> {
  protected:
    Outcome Run(const std::string& arg) { return RunBounded({testproc::Program(GetParam()), arg}); }
};

TEST_P(EveryProgram, HelpPrintsTheUsageOnStandardOutput) {
    const Outcome r = Run("--help");
    ASSERT_TRUE(r.ended) << "--help did not end";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("usage: " + GetParam(), 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_P(EveryProgram, VersionPrintsNameAndVersion) {
    const Outcome r = Run("--version");
    ASSERT_TRUE(r.ended) << "--version did not end";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex(GetParam() + " [0-9]+\\.[0-9]+\\.[0-9]+.*\n")))
        << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_P(EveryProgram, AnUnknownOptionIsAUsageErrorThatNamesIt) {
    const Outcome r = Run("--frobnicate");
    ASSERT_TRUE(r.ended) << "a bad argument did not end";
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.rfind(GetParam() + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("--frobnicate"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Try '" + GetParam() + " --help'.\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Tools, EveryProgram,
                         ::testing::Values("fwimage", "regtool", "dialog-demo", "virtual-board",
                                           "gsm-updater"),
                         [](const auto& program) {
                             std::string name = program.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// Each usage error names what was wrong, then where to look; nothing runs.
TEST(ToolUsage, EveryUsageErrorNamesWhatWasWrong) {
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{"regtool"}, "no command given"},
        {{"regtool", "frob"}, "unknown command 'frob'"},
        {{"regtool", "get", "Software"}, "get: missing operand NAME"},
        {{"regtool", "set", "Software", "Reboot"}, "set: missing operand VALUE"},
        {{"regtool", "dump", "x"}, "dump: extra argument 'x'"},
        {{"regtool", "set", "Software", "Reboot", "dword:x"},
         "VALUE: 'dword:x' is not dword:N (a 32-bit number) or string:TEXT"},
        {{"dialog-demo", "foo"}, "extra argument 'foo'"},
        {{"dialog-demo", "--speed"}, "--speed: missing value"},
        {{"dialog-demo", "--record-ms", "x"}, "--record-ms: 'x' is not a DWORD"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args[0] = testproc::Program(args[0]);
        const Outcome r = RunBounded(args, "/nonexistent");
        ASSERT_TRUE(r.ended) << c.problem;
        EXPECT_EQ(r.status, 2) << c.problem;
        EXPECT_EQ(r.err, c.args[0] + ": " + c.problem + "\nTry '" + c.args[0] + " --help'.\n");
        EXPECT_EQ(r.out, "");
    }
}

// A scratch folder: "dir/" a folder, "root/" an empty device root, "dbdir/registry.db/" a
// folder in the store's place, "locked" and "root_locked/registry.db" files nobody but the
// superuser may read, "readonly/" a folder nobody but the superuser may write.
class Scratch {
  public:
    Scratch() {
        std::string pattern = ::testing::TempDir() + "cli_pathsXXXXXX";
        path_ = mkdtemp(pattern.data());
        fs::create_directories(path_ + "/dir");
        fs::create_directories(path_ + "/root");
        fs::create_directories(path_ + "/dbdir/registry.db");
        fs::create_directories(path_ + "/root_locked");
        fs::create_directories(path_ + "/readonly");
        for (const char* file : {"/locked", "/root_locked/registry.db"}) {
            close(open((path_ + file).c_str(), O_WRONLY | O_CREAT, 0644));
            chmod((path_ + file).c_str(), 0);
        }
        chmod((path_ + "/readonly").c_str(), 0555);
    }
    ~Scratch() {
        chmod((path_ + "/readonly").c_str(), 0755);
        fs::remove_all(path_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // text with every "{S}" replaced by the folder's path.
    std::string Expand(std::string text) const {
        for (size_t at = text.find("{S}"); at != text.npos; at = text.find("{S}", at))
            text.replace(at, 3, path_);
        return text;
    }
    // Every path below the folder, to tell that nothing was created.
    std::set<std::string> Listing() const {
        std::set<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(path_))
            paths.insert(entry.path().string());
        return paths;
    }

  private:
    std::string path_;
};

struct PathCase {
    std::string name;
    std::vector<std::string> args;  // the program first; "{S}" is the scratch folder
    std::string root;               // UPDATER_ROOT
    std::string error;              // the whole of standard error
};

// Every path that cannot be used is status 1 with the system's reason, never a crash, and
// leaves nothing behind: no store in a mistyped root, no half-written image.
void ExpectReported(const std::vector<PathCase>& cases) {
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        const std::set<std::string> before = scratch.Listing();
        std::vector<std::string> args;
        for (const std::string& arg : c.args)
            args.push_back(scratch.Expand(arg));
        args[0] = testproc::Program(args[0]);
        const Outcome r = RunBounded(args, c.root.empty() ? "" : scratch.Expand(c.root));
        ASSERT_TRUE(r.ended) << "did not end";
        EXPECT_EQ(r.signal, 0) << "ended by a signal";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, scratch.Expand(c.error) + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(scratch.Listing(), before) << "something was created";
    }
}

TEST(ToolPaths, AnUnusablePathIsReportedWithTheSystemsReason) {
    ExpectReported({
        {"info on a folder",
         {"fwimage", "info", "{S}/dir"},
         "",
         "fwimage: {S}/dir: Is a directory"},
        {"verify on a folder",
         {"fwimage", "verify", "{S}/dir"},
         "",
         "fwimage: {S}/dir: Is a directory"},
        {"verify a missing file",
         {"fwimage", "verify", "{S}/none.bin"},
         "",
         "fwimage: {S}/none.bin: No such file or directory"},
        {"info on a file that fails to read",
         {"fwimage", "info", "/proc/self/mem"},
         "",
         "fwimage: /proc/self/mem: Input/output error"},
        {"generate to a folder",
         {"fwimage", "generate", "sw", "{S}/dir"},
         "",
         "fwimage: {S}/dir: Is a directory"},
        {"generate into a missing folder",
         {"fwimage", "generate", "fs", "{S}/none/fs.bin"},
         "",
         "fwimage: {S}/none/fs.bin: No such file or directory"},
        {"get in a mistyped root",
         {"regtool", "get", "Software", "Progress"},
         "{S}/rot",
         "regtool: no registry store at {S}/rot/registry.db: No such file or directory"},
        {"dump a root without a store",
         {"regtool", "dump"},
         "{S}/root",
         "regtool: no registry store at {S}/root/registry.db: No such file or directory"},
        {"delete in a root without a store",
         {"regtool", "delete", "Software"},
         "{S}/root",
         "regtool: no registry store at {S}/root/registry.db: No such file or directory"},
        {"set in a mistyped root",
         {"regtool", "set", "Software", "Reboot", "dword:1"},
         "{S}/rot",
         "regtool: cannot open {S}/rot/registry.db: No such file or directory"},
        {"set in a root that is a file",
         {"regtool", "set", "Software", "Reboot", "dword:1"},
         "{S}/locked",
         "regtool: cannot open {S}/locked/registry.db: Not a directory"},
        {"get from a folder in the store's place",
         {"regtool", "get", "Software", "Progress"},
         "{S}/dbdir",
         "regtool: cannot open {S}/dbdir/registry.db: Is a directory"},
    });
}

TEST(ToolPaths, APathThatPermissionsHoldBackIsReportedWithTheSystemsReason) {
    if (geteuid() == 0)
        GTEST_SKIP() << "running as the superuser, whom no permission holds back";
    ExpectReported({
        {"verify an unreadable file",
         {"fwimage", "verify", "{S}/locked"},
         "",
         "fwimage: {S}/locked: Permission denied"},
        {"generate into a folder that cannot be written",
         {"fwimage", "generate", "fs", "{S}/readonly/fs.bin"},
         "",
         "fwimage: {S}/readonly/fs.bin: Permission denied"},
        {"get from an unreadable store",
         {"regtool", "get", "Software", "Progress"},
         "{S}/root_locked",
         "regtool: cannot open {S}/root_locked/registry.db: Permission denied"},
        {"set in a root that cannot be written",
         {"regtool", "set", "Software", "Reboot", "dword:1"},
         "{S}/readonly",
         "regtool: cannot open {S}/readonly/registry.db: Permission denied"},
    });
}

}  // namespace
