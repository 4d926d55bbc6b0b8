// The built programs' command lines, run as a person or a script runs them: the one
// convention of --help, --version and usage errors, and paths that cannot be used. None of
// them makes or changes anything: no store in a mistyped root, no half-written image.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;  // 137: still running after 20 s, then killed
    std::string out;
    std::string err;
};

Outcome RunBounded(std::vector<std::string> args, const std::string& root) {
    const std::string scratch = ::testing::TempDir() + "cli_test_" + std::to_string(getpid());
    args.insert(args.begin(), {"/usr/bin/timeout", "-s", "KILL", "20"});
    const int status =
        testproc::Run(args, scratch + ".out", scratch + ".err", {"UPDATER_ROOT=" + root});
    return {status, testproc::ReadFile(scratch + ".out"), testproc::ReadFile(scratch + ".err")};
}

// A scratch folder: "root/" a device root whose store holds known bytes, "dir/" an empty
// folder, "dbdir/registry.db/" a folder in the store's place, "locked" and
// "root_locked/registry.db" files only the superuser may read, "readonly/" a folder only the
// superuser may write.
class Scratch {
  public:
    Scratch() {
        std::string pattern = ::testing::TempDir() + "cli_pathsXXXXXX";
        path_ = mkdtemp(pattern.data());
        for (const char* dir : {"/root", "/dir", "/dbdir/registry.db", "/root_locked", "/readonly"})
            fs::create_directories(path_ + dir);
        std::ofstream(path_ + "/root/registry.db") << "the store as it was";
        for (const char* file : {"/locked", "/root_locked/registry.db"}) {
            std::ofstream(path_ + file).close();
            fs::permissions(path_ + file, fs::perms::none);
        }
        fs::permissions(path_ + "/readonly", fs::perms::owner_write, fs::perm_options::remove);
    }
    ~Scratch() {
        fs::permissions(path_ + "/readonly", fs::perms::owner_all);
        fs::remove_all(path_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // text with every "{S}" replaced by the folder's path.
    std::string operator()(std::string text) const {
        for (size_t at = text.find("{S}"); at != text.npos; at = text.find("{S}", at))
            text.replace(at, 3, path_);
        return text;
    }
    // Every path below the folder with a hash of what it holds, to tell that nothing was made
    // or changed.
    std::map<std::string, size_t> Listing() const {
        std::map<std::string, size_t> paths;
        for (const auto& entry : fs::recursive_directory_iterator(path_))
            paths[entry.path()] = entry.is_regular_file()
                                      ? std::hash<std::string>{}(testproc::ReadFile(entry.path()))
                                      : 0;
        return paths;
    }

  private:
    std::string path_;
};

// The device root holds a store, which --help, --version and a bad argument leave alone.
class EveryProgram : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryProgram, AnswersHelpVersionAndABadArgumentWithoutTouchingTheRoot) {
    const std::string& name = GetParam();
    const struct {
        const char* arg;
        int status;
        std::string out, err;  // regular expressions
    } cases[] = {
        {"--help", 0, "usage: " + name + "[\\s\\S]*", ""},
        {"--version", 0, name + " [0-9]+\\.[0-9]+\\.[0-9]+.*\n", ""},
        {"--frobnicate", 2, "", name + ": .*--frobnicate.*\nTry '" + name + " --help'\\.\n"},
    };
    Scratch scratch;
    const auto before = scratch.Listing();
    for (const auto& c : cases) {
        const Outcome r = RunBounded({testproc::Program(name), c.arg}, scratch("{S}/root"));
        EXPECT_EQ(r.status, c.status) << c.arg << ": " << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << c.arg << ": " << r.out;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << c.arg << ": " << r.err;
    }
    EXPECT_EQ(scratch.Listing(), before) << "the device root was touched";
}

INSTANTIATE_TEST_SUITE_P(Tools, EveryProgram,
                         ::testing::Values("fwimage", "regtool", "dialog-demo", "virtual-board",
                                           "gsm-updater"),
                         [](const auto& program) {
                             std::string name = program.param;
                             std::erase(name, '-');
                             return name;
                         });

struct Case {
    std::vector<std::string> args;  // the program first; "{S}" is the scratch folder
    std::string problem;            // standard error's first line, after "PROGRAM: "
    std::string root = "{S}/root";  // UPDATER_ROOT
};

// status 2 is a usage error, then where to look; 1 a path that cannot be used.
void ExpectReported(int status, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        Scratch scratch;
        const auto before = scratch.Listing();
        std::vector<std::string> args;
        for (const std::string& arg : c.args)
            args.push_back(scratch(arg));
        args[0] = testproc::Program(args[0]);
        const Outcome r = RunBounded(args, scratch(c.root));
        const std::string& name = c.args[0];
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, name + ": " + scratch(c.problem) + "\n" +
                             (status == 2 ? "Try '" + name + " --help'.\n" : ""));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(scratch.Listing(), before) << "something was made or changed";
    }
}

TEST(ToolUsage, EveryUsageErrorNamesWhatWasWrong) {
    ExpectReported(
        2,
        {{{"fwimage"}, "no command given"},
         {{"fwimage", "frobnicate", "x"}, "unknown command 'frobnicate'"},
         {{"fwimage", "info"}, "info: missing operand FILE"},
         {{"fwimage", "generate", "sw"}, "generate: missing operand FILE"},
         {{"fwimage", "verify", "a", "b"}, "verify: extra argument 'b'"},
         {{"fwimage", "generate", "xx", "{S}/f"}, "generate: 'xx' is not an image kind (sw or fs)"},
         {{"regtool", "set", "Software", "Reboot"}, "set: missing operand VALUE"},
         {{"regtool", "set", "Software", "Reboot", "dword:x"},
          "VALUE: 'dword:x' is not dword:N (a 32-bit number) or string:TEXT"},
         {{"dialog-demo", "--speed"}, "--speed: missing value"},
         {{"gsm-updater", "COM1"}, "unexpected argument 'COM1' (it takes no arguments)"},
         {{"gsm-updater", "--help", "now"}, "unexpected argument 'now' (it takes no arguments)"}});
}

// Every path that cannot be used is status 1 with the system's reason, never a crash.
TEST(ToolPaths, AnUnusablePathIsReportedWithTheSystemsReason) {
    const std::string no_store =
        "no registry store at {S}/dir/registry.db: No such file or directory";
    std::vector<Case> cases = {
        {{"fwimage", "info", "{S}/dir"}, "{S}/dir: Is a directory"},
        {{"fwimage", "verify", "{S}/none.bin"}, "{S}/none.bin: No such file or directory"},
        {{"fwimage", "info", "/proc/self/mem"}, "/proc/self/mem: Input/output error"},
        {{"fwimage", "generate", "sw", "{S}/dir"}, "{S}/dir: Is a directory"},
        {{"fwimage", "generate", "fs", "{S}/none/fs.bin"},
         "{S}/none/fs.bin: No such file or directory"},
        {{"regtool", "delete", "Software"}, no_store, "{S}/dir"},
        {{"regtool", "get", "Software", "Progress"},
         "no registry store at {S}/rot/registry.db: No such file or directory",
         "{S}/rot"},
        {{"regtool", "set", "Software", "Reboot", "dword:1"},
         "cannot open {S}/rot/registry.db: No such file or directory",
         "{S}/rot"},
        {{"regtool", "set", "Software", "Reboot", "dword:1"},
         "cannot open {S}/locked/registry.db: Not a directory",
         "{S}/locked"},
        {{"regtool", "get", "Software", "Progress"},
         "cannot open {S}/dbdir/registry.db: Is a directory",
         "{S}/dbdir"},
    };
    if (geteuid() != 0) {  // permissions hold back everyone but the superuser
        cases.insert(cases.end(),
                     {{{"fwimage", "verify", "{S}/locked"}, "{S}/locked: Permission denied"},
                      {{"fwimage", "generate", "fs", "{S}/readonly/fs.bin"},
                       "{S}/readonly/fs.bin: Permission denied"},
                      {{"regtool", "get", "Software", "Progress"},
                       "cannot open {S}/root_locked/registry.db: Permission denied",
                       "{S}/root_locked"},
                      {{"regtool", "set", "Software", "Reboot", "dword:1"},
                       "cannot open {S}/readonly/registry.db: Permission denied",
                       "{S}/readonly"}});
    }
    ExpectReported(1, cases);
}

// Without a device root the updater refuses to start, its outcome line first.
TEST(ToolPaths, TheUpdaterWithoutARootRefusesToStart) {
    const Outcome r = RunBounded({testproc::Program("gsm-updater")}, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(
        r.err.starts_with("gsm-updater: refused: UPDATER_ROOT is not set; the update was "
                          "not started (exit 2)\n"))
        << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
