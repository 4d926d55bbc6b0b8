// The shared register file: layout, sharing between objects and processes, refusal of files
// that are not register files, and loud failure on misuse.
#include "host/posix/register_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace reg = host::reg;
using host::posix::RegisterFile;

class RegisterFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "regfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/board.regs";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Contents() {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void WriteFile(const std::string& bytes) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(RegisterFileTest, NewFileHasTheDocumentedLayoutAndNarrowAccessesUseLowBits) {
    RegisterFile regs(path_);
    ASSERT_TRUE(regs.ok()) << regs.error();
    const std::string fresh = Contents();
    EXPECT_EQ(fresh, std::string("BREG\1\0\0\0\10\0\0\0", 12) + std::string(36, '\0'));

    regs.Write32(reg::kGpioBDat, 0x04030201);  // slot 6, offset 40
    regs.Write32(reg::kUart0Mcr, 0xAABBCCDD);
    regs.Write8(reg::kUart0Mcr, 0x11);
    EXPECT_EQ(Contents().substr(40, 4), "\x01\x02\x03\x04");
    EXPECT_EQ(regs.Peek(reg::kUart0Mcr), 0xAABBCC11u);
    EXPECT_EQ(regs.Read16(reg::kUart0Mcr), 0xCC11);
    EXPECT_EQ(regs.WriteCount(), 3u);
}

TEST_F(RegisterFileTest, ObjectsAndProcessesSeeEachOthersAccesses) {
    RegisterFile writer(path_);
    RegisterFile viewer(path_, RegisterFile::Access::kReadOnly);
    ASSERT_TRUE(writer.ok() && viewer.ok()) << writer.error() << viewer.error();
    writer.Write16(reg::kCpldMode, 6);
    writer.Write16(reg::kCpldMode, 6);  // the same value again is still seen as a write
    EXPECT_EQ(viewer.Peek(reg::kCpldMode), 6u);
    EXPECT_EQ(viewer.WriteCount(), 2u);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RegisterFile own(path_);
        const bool saw = own.ok() && own.Read16(reg::kCpldMode) == 6;
        own.Write32(reg::kGpioADat, 0x8000);
        _exit(saw ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child did not see our write";
    EXPECT_EQ(viewer.Peek(reg::kGpioADat), 0x8000u);
}

TEST_F(RegisterFileTest, ExistingFilesAreKeptAndForeignOnesRefusedUntouched) {
    RegisterFile missing(path_, RegisterFile::Access::kReadOnly);
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(fs::exists(path_)) << "a read-only view never creates the file";

    WriteFile("");  // as left by a creator that has not written the header yet
    std::string good;
    {
        RegisterFile regs(path_);
        ASSERT_TRUE(regs.ok()) << regs.error();
        regs.Write32(reg::kDvsControl, 0x12345679);
        good = Contents();
    }
    RegisterFile again(path_);
    EXPECT_EQ(again.Read32(reg::kDvsControl), 0x12345679u);

    std::string wrong_magic = good, wrong_version = good;
    wrong_magic[0] = 'X';
    wrong_version[4] = 2;
    for (const std::string& bytes :
         {std::string("not registers"), good + "x", wrong_magic, wrong_version}) {
        WriteFile(bytes);
        RegisterFile regs(path_);
        EXPECT_FALSE(regs.ok());
        EXPECT_FALSE(regs.error().empty());
        EXPECT_EQ(Contents(), bytes);
    }
}

// A file cut short under a run (or emptied, or regrown without its header) makes accesses fail,
// never fault: reads answer 0, writes neither extend nor repair it, and every failure is
// counted with its reason.  Once the file is whole again, accesses go through again.
TEST_F(RegisterFileTest, AFileCutShortFailsAccessesWithoutFaulting) {
    RegisterFile regs(path_);
    RegisterFile viewer(path_, RegisterFile::Access::kReadOnly);
    ASSERT_TRUE(regs.ok() && viewer.ok());
    regs.Write16(reg::kCpldMode, 6);
    const std::string whole = Contents();
    EXPECT_EQ(regs.FailedAccesses(), 0u);
    EXPECT_EQ(regs.LastFailure(), "");

    struct Cut {
        size_t size;
        const char* reason;
    };
    uint64_t failures = 0;
    for (const Cut& cut : {Cut{0, "cut short to 0 of 48 bytes"},
                           Cut{44, "cut short to 44 of 48 bytes"}, Cut{48, "its header is gone"}}) {
        SCOPED_TRACE(cut.size);
        if (cut.size == 48)
            WriteFile(std::string(48, '\0'));
        else
            ASSERT_EQ(truncate(path_.c_str(), static_cast<off_t>(cut.size)), 0);
        EXPECT_EQ(regs.Read16(reg::kCpldMode), 0);
        regs.Write16(reg::kCpldMode, 1);
        EXPECT_EQ(viewer.Peek(reg::kCpldMode), 0u);
        EXPECT_EQ(viewer.WriteCount(), 0u);
        failures += 2;
        EXPECT_EQ(regs.FailedAccesses(), failures);
        EXPECT_NE(regs.LastFailure().find(path_ + ": "), std::string::npos);
        EXPECT_NE(regs.LastFailure().find(cut.reason), std::string::npos) << regs.LastFailure();
        EXPECT_EQ(fs::file_size(path_), cut.size) << "a failed write changed the file";
    }

    WriteFile(whole);
    EXPECT_EQ(regs.Read16(reg::kCpldMode), 6);
    regs.Write16(reg::kCpldMode, 1);
    EXPECT_EQ(viewer.Peek(reg::kCpldMode), 1u);
    EXPECT_EQ(regs.FailedAccesses(), failures);
}

TEST_F(RegisterFileTest, ASymbolicLinkIsNeverFollowed) {
    const std::string target = dir_ + "/elsewhere";
    RegisterFile{target};
    fs::create_symlink(target, path_);
    for (RegisterFile::Access access :
         {RegisterFile::Access::kReadWrite, RegisterFile::Access::kReadOnly}) {
        RegisterFile regs(path_, access);
        EXPECT_FALSE(regs.ok());
        EXPECT_NE(regs.error().find("symbolic link"), std::string::npos) << regs.error();
    }
    fs::remove(path_);
    fs::create_symlink(dir_ + "/missing", path_);
    EXPECT_FALSE(RegisterFile(path_).ok());
    EXPECT_FALSE(fs::exists(dir_ + "/missing")) << "created through a dangling link";
    EXPECT_EQ(fs::file_size(target), RegisterFile::kFileSize);
}

TEST_F(RegisterFileTest, MisuseAbortsLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RegisterFile regs(path_);
    RegisterFile viewer(path_, RegisterFile::Access::kReadOnly);
    EXPECT_DEATH(regs.Read32(0xB1600008), "0xB1600008");
    EXPECT_DEATH(regs.Write16(0xAC000013, 1), "outside the board's table");
    EXPECT_DEATH(viewer.Write8(reg::kUart0Mcr, 0), "read-only");
}

}  // namespace
