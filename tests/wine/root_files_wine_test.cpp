// The device root's files shared between the two systems: the Win32 host layer under Wine (the
// root-peer program of the Windows build) beside the POSIX one in this process.
// - Both write the register file at once and every write is kept: the write counter ends at
//   the sum of both sides' writes.  Without the exclusion a write carries back a counter read
//   before the other side's write, and the count falls short.
// - Whichever system's updater holds a root, the other's is refused with the same text.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/posix/register_file.h"
#include "host/posix/root_checks.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

// Far beyond a Wine start and the peer's work; only a hung peer reaches it.
constexpr auto kBound = std::chrono::seconds(120);

class RootFilesWineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string folder = (fs::temp_directory_path() / "rootwine-XXXXXX").string();
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        folder_ = folder;
    }
    void TearDown() override {
        if (peer_ > 0) {
            kill(peer_, SIGKILL);
            testproc::Wait(peer_);
        }
        fs::remove_all(folder_);
    }

    // Starts root-peer with the arguments; a path argument is given as Wine's Z: path.
    void StartPeer(const std::vector<std::string>& args) {
        std::vector<std::string> command = {WINE_RUN, std::string(WIN32_BUILD_DIR) + "/wine-prefix",
                                            std::string(WIN32_BUILD_DIR) + "/tests/root-peer.exe"};
        command.insert(command.end(), args.begin(), args.end());
        peer_ = testproc::Spawn(command, folder_ + "/out", folder_ + "/err");
        ASSERT_GT(peer_, 0);
    }
    // The peer's exit status once it has ended, or -1 while it runs.
    int PeerEnded() {
        int status = 0;
        if (waitpid(peer_, &status, WNOHANG) == 0)
            return -1;
        peer_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    bool PastBound() const { return std::chrono::steady_clock::now() > start_ + kBound; }

    std::string folder_;
    pid_t peer_ = -1;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

TEST_F(RootFilesWineTest, RegisterWritesOfBothSystemsExcludeEachOther) {
    constexpr int kPeerWrites = 3000;
    const std::string path = folder_ + "/board.regs";
    host::posix::RegisterFile regs(path);
    ASSERT_TRUE(regs.ok()) << regs.error();
    StartPeer({"write-registers", "Z:" + path, std::to_string(kPeerWrites)});
    // Our writes go on for as long as the peer runs, so the two overlap whatever Wine's start
    // costs.
    uint32_t ours = 0;
    int status;
    while ((status = PeerEnded()) < 0) {
        ASSERT_FALSE(PastBound()) << "the peer did not end";
        regs.Write32(host::reg::kCpldMode, ++ours);
    }
    ASSERT_EQ(status, 0) << testproc::ReadFile(folder_ + "/err");
    EXPECT_EQ(regs.Read32(host::reg::kDvsControl), static_cast<uint32_t>(kPeerWrites));
    EXPECT_EQ(regs.Read32(host::reg::kCpldMode), ours);
    EXPECT_EQ(regs.WriteCount(), ours + kPeerWrites);
    EXPECT_EQ(regs.FailedAccesses(), 0u) << regs.LastFailure();
}

TEST_F(RootFilesWineTest, AnUpdaterOfEitherSystemHoldsTheRootAgainstTheOther) {
    const std::string running = " is running on the device root ";
    {
        host::posix::InstanceLock ours;
        std::string error;
        ASSERT_TRUE(ours.Acquire(folder_, &error)) << error;
        StartPeer({"hold-lock", "Z:" + folder_, "0"});
        int status;
        while ((status = PeerEnded()) < 0) {
            ASSERT_FALSE(PastBound()) << "the peer did not end";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(status, 1);
        // The peer's standard error is in text mode: its line ends in "\r\n".
        EXPECT_EQ(testproc::ReadFile(folder_ + "/err"), "root-peer: another updater (process " +
                                                            std::to_string(getpid()) + ")" +
                                                            running + "Z:" + folder_ + "\r\n");
    }
    StartPeer({"hold-lock", "Z:" + folder_, "60000"});
    while (testproc::ReadFile(folder_ + "/out").rfind("held", 0) != 0) {
        ASSERT_LT(PeerEnded(), 0) << testproc::ReadFile(folder_ + "/err");
        ASSERT_FALSE(PastBound()) << "the peer did not take the lock";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    host::posix::InstanceLock second;
    std::string error;
    EXPECT_FALSE(second.Acquire(folder_, &error));
    EXPECT_EQ(error.rfind("another updater (process ", 0), 0u) << error;
    EXPECT_NE(error.find(running + folder_), std::string::npos) << error;
}

}  // namespace
