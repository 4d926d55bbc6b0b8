// The device root's own files in-process: the instance lock, the group-writable rule, and the
// debug and power logs that say once when they are lost.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host/posix/debug_log_file.h"
#include "host/posix/power_log.h"
#include "host/posix/root_checks.h"
#include "host/sim/virtual_clock.h"

namespace {

namespace fs = std::filesystem;
using host::posix::InstanceLock;

class RootFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "/root-files.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        report_ = std::tmpfile();
        ASSERT_NE(report_, nullptr);
    }
    void TearDown() override {
        std::fclose(report_);
        fs::remove_all(root_);
    }
    std::string Reported() {
        std::fflush(report_);
        std::rewind(report_);
        std::string text;
        for (int c; (c = std::fgetc(report_)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

    std::string root_;
    std::FILE* report_ = nullptr;
};

TEST_F(RootFilesTest, TheInstanceLockAdmitsOneHolderAndNamesIt) {
    std::string error;
    {
        InstanceLock first;
        ASSERT_TRUE(first.Acquire(root_, &error)) << error;
        InstanceLock second;
        EXPECT_FALSE(second.Acquire(root_, &error));
        EXPECT_EQ(error, "another updater (process " + std::to_string(getpid()) +
                             ") is running on the device root " + root_);
    }
    InstanceLock after;
    EXPECT_TRUE(after.Acquire(root_, &error)) << "the lock outlived its holder: " << error;
}

TEST_F(RootFilesTest, AGroupWritableRootIsTrustedOnlyWhenItIsTheUsers) {
    fs::create_directory(root_ + "/dev");
    ASSERT_EQ(chmod(root_.c_str(), 0775), 0);
    EXPECT_EQ(host::posix::CheckDeviceRoot(root_), std::nullopt);
    if (geteuid() != 0)
        GTEST_SKIP() << "giving the root to another user needs the superuser";
    ASSERT_EQ(chown(root_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(host::posix::CheckDeviceRoot(root_).value_or(""),
              root_ + " belongs to another user (uid 65534)");
}

struct LostLog {
    const char* name;
    const char* path;  // relative to the root, or absolute
    bool link;         // a symbolic link to a file outside the root
    const char* reason;
};

TEST_F(RootFilesTest, ALostLogIsReportedOnceAndTheRunGoesOn) {
    const std::string outside = root_ + "/outside";
    for (const LostLog& lost : {LostLog{"link", "debug.log", true, "it is a symbolic link"},
                                LostLog{"device full", "/dev/full", false, "No space left"}}) {
        SCOPED_TRACE(lost.name);
        std::ofstream(outside, std::ios::trunc) << "kept\n";
        std::string path = lost.path[0] == '/' ? lost.path : root_ + "/" + lost.path;
        if (lost.link)
            fs::create_symlink(outside, path);
        std::rewind(report_);
        ASSERT_EQ(ftruncate(fileno(report_), 0), 0);
        {
            host::posix::DebugLogFile log(path, report_);
            for (int i = 0; i < 3; ++i)
                log.Write("Open COM1:\r\n");
            EXPECT_FALSE(log.ok());
        }
        const std::string reported = Reported();
        EXPECT_EQ(reported.find("gsm-updater: the debug log " + path + " cannot be written: "), 0u)
            << reported;
        EXPECT_NE(reported.find(lost.reason), std::string::npos) << reported;
        EXPECT_NE(reported.find("; the update goes on without it\n"), std::string::npos);
        EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 1) << reported;
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(outside).rdbuf()), {}),
                  "kept\n");
        if (lost.link)
            fs::remove(path);
    }
}

}  // namespace
