// The register file shared between the two systems: the Win32 register file under Wine and the
// POSIX one beside it write the same file at once, and their locks keep every write: the write
// counter ends at the sum of both sides' writes.  Without the exclusion a write carries back a
// counter read before the other side's write, and the count falls short.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/posix/register_file.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using host::posix::RegisterFile;

constexpr int kWindowsWrites = 3000;
// Far beyond a Wine start and the writes; only a hung writer reaches it.
constexpr auto kBound = std::chrono::seconds(120);

TEST(RegisterFileWineTest, LocksOfBothSystemsExcludeEachOther) {
    std::string folder = (fs::temp_directory_path() / "regwine-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string path = folder + "/board.regs";
    RegisterFile regs(path);
    ASSERT_TRUE(regs.ok()) << regs.error();

    const pid_t writer =
        testproc::Spawn({WINE_RUN, std::string(WIN32_BUILD_DIR) + "/wine-prefix",
                         std::string(WIN32_BUILD_DIR) + "/tests/register-writer.exe", "Z:" + path,
                         std::to_string(kWindowsWrites)},
                        folder + "/out", folder + "/err");
    ASSERT_GT(writer, 0);
    // Our writes go on for as long as the other side runs, so the two overlap whatever Wine's
    // start costs.
    uint32_t ours = 0;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(writer, SIGKILL);
            waitpid(writer, &status, 0);
            FAIL() << "the Win32 writer did not end within the bound";
        }
        regs.Write32(host::reg::kCpldMode, ++ours);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << testproc::ReadFile(folder + "/err");
    EXPECT_EQ(regs.Read32(host::reg::kDvsControl), static_cast<uint32_t>(kWindowsWrites));
    EXPECT_EQ(regs.Read32(host::reg::kCpldMode), ours);
    EXPECT_EQ(regs.WriteCount(), ours + kWindowsWrites);
    EXPECT_EQ(regs.FailedAccesses(), 0u) << regs.LastFailure();
    fs::remove_all(folder);
}

}  // namespace
