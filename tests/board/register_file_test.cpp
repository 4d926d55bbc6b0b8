// The shared register file on a POSIX host: the cases every host's register file passes, and a
// symbolic link never followed.
#include "host/posix/register_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/board/register_file_cases.h"

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

    std::string dir_;
    std::string path_;
};

TEST(PosixRegisterFileTest, KeepsTheBoardsLayout) {
    register_file_cases::ExpectTheBoardsLayout<RegisterFile>();
}

TEST(PosixRegisterFileTest, RefusesForeignFilesUntouched) {
    register_file_cases::ExpectForeignFilesRefusedUntouched<RegisterFile>();
}

TEST(PosixRegisterFileTest, FailsAccessesToAFileDamagedUnderARun) {
    register_file_cases::ExpectDamageUnderARunFailsAccesses<RegisterFile>();
}

TEST(PosixRegisterFileTest, TwoOpenersInOneProcessExcludeEachOther) {
    register_file_cases::ExpectTwoOpenersToExcludeEachOther<RegisterFile>();
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
