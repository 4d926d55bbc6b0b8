// The updater's command line, run as the built program: --help and --version answer, anything
// else is a usage error, and none of them reads or makes anything in the device root; a start
// without a root is refused with its outcome line first.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;
using testproc::Program;
using testproc::ReadFile;

constexpr const char* kStoreBytes = "the store as it was";

struct ArgumentCase {
    const char* name;
    std::vector<std::string> args;
    bool root_set;  // UPDATER_ROOT names the work folder's root; otherwise it is empty
    int status;
    const char* stdout_begins;  // what standard output begins with ("" for nothing)
    const char* stderr_text;    // all of standard error, or only its beginning (prefix)
    bool stderr_prefix = false;
};

void PrintTo(const ArgumentCase& c, std::ostream* out) {
    *out << c.name;
}

class ArgumentsTest : public ::testing::TestWithParam<ArgumentCase> {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "/updater-args.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
        fs::create_directory(root());
        std::ofstream(root() / "registry.db") << kStoreBytes;
    }
    void TearDown() override { fs::remove_all(work_); }

    fs::path root() const { return work_ / "root"; }

    std::vector<std::string> RootEntries() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(root()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path work_;
};

TEST_P(ArgumentsTest, AnswersWithoutTouchingTheRoot) {
    const ArgumentCase& c = GetParam();
    std::vector<std::string> command = {Program("gsm-updater")};
    command.insert(command.end(), c.args.begin(), c.args.end());
    const std::string root_setting = "UPDATER_ROOT=" + (c.root_set ? root().string() : "");
    const int status =
        testproc::Run(command, (work_ / "out").string(), (work_ / "err").string(), {root_setting});
    EXPECT_EQ(status, c.status);
    const std::string out = ReadFile(work_ / "out");
    const std::string err = ReadFile(work_ / "err");
    EXPECT_TRUE(out.starts_with(c.stdout_begins)) << out;
    EXPECT_EQ(out.empty(), *c.stdout_begins == '\0') << out;
    if (c.stderr_prefix)
        EXPECT_TRUE(err.starts_with(c.stderr_text)) << err;
    else
        EXPECT_EQ(err, c.stderr_text);
    // Nothing made (no debug.log, no lock), nothing rewritten.
    EXPECT_EQ(RootEntries(), std::vector<std::string>{"registry.db"});
    EXPECT_EQ(ReadFile(root() / "registry.db"), kStoreBytes);
}

const ArgumentCase kCases[] = {
    {"Help", {"--help"}, true, 0, "usage: gsm-updater [--help | --version]\n", ""},
    {"Version", {"--version"}, true, 0, "gsm-updater ", ""},
    {"UnknownOption",
     {"--frob"},
     true,
     2,
     "",
     "gsm-updater: unknown option '--frob' (it takes no arguments)\nTry 'gsm-updater --help'.\n"},
    {"Operand",
     {"COM1"},
     true,
     2,
     "",
     "gsm-updater: unexpected argument 'COM1' (it takes no arguments)\nTry 'gsm-updater "
     "--help'.\n"},
    {"HelpWithAnOperand",
     {"--help", "now"},
     true,
     2,
     "",
     "gsm-updater: unexpected argument 'now' (it takes no arguments)\nTry 'gsm-updater --help'.\n"},
    {"NoRoot",
     {},
     false,
     2,
     "",
     "gsm-updater: refused: UPDATER_ROOT is not set; the update was not started (exit 2)\n",
     true},
};

INSTANTIATE_TEST_SUITE_P(Updater, ArgumentsTest, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace update_test
