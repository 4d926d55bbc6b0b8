// The shared register file on a Win32 host: the cases every host's register file passes.
#include "host/win32/register_file.h"

#include <gtest/gtest.h>

#include "tests/board/register_file_cases.h"

namespace {

using host::win32::RegisterFile;

TEST(Win32RegisterFileTest, KeepsTheBoardsLayout) {
    register_file_cases::ExpectTheBoardsLayout<RegisterFile>();
}

TEST(Win32RegisterFileTest, RefusesForeignFilesUntouched) {
    register_file_cases::ExpectForeignFilesRefusedUntouched<RegisterFile>();
}

TEST(Win32RegisterFileTest, FailsAccessesToAFileDamagedUnderARun) {
    register_file_cases::ExpectDamageUnderARunFailsAccesses<RegisterFile>();
}

TEST(Win32RegisterFileTest, TwoOpenersInOneProcessExcludeEachOther) {
    register_file_cases::ExpectTwoOpenersToExcludeEachOther<RegisterFile>();
}

TEST(Win32RegisterFileTest, AFolderIsNoRegisterFile) {
    register_file_cases::ScratchFolder folder;
    const std::string path = folder.File("board.regs");
    std::filesystem::create_directory(path);
    RegisterFile regs(path);
    EXPECT_FALSE(regs.ok());
    EXPECT_EQ(regs.Read32(host::reg::kCpldMode), 0u);
    EXPECT_EQ(regs.FailedAccesses(), 1u);
}

}  // namespace
