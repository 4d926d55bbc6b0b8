// The shared register file: files that are not register files are refused untouched, and a
// symbolic link is never followed.
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

}  // namespace
