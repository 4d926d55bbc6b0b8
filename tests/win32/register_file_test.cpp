// The shared register file on a Win32 host: its system calls under the cases every host passes
// (the layout itself is shared code, checked by the POSIX host's run).
#include "host/win32/register_file.h"

#include <gtest/gtest.h>

#include "tests/board/register_file_cases.h"

namespace {

using host::win32::RegisterFile;

TEST(Win32RegisterFileTest, RefusesForeignFilesUntouched) {
    register_file_cases::ExpectForeignFilesRefusedUntouched<RegisterFile>();
}

TEST(Win32RegisterFileTest, FailsAccessesToAFileDamagedUnderARun) {
    register_file_cases::ExpectDamageUnderARunFailsAccesses<RegisterFile>();
}

TEST(Win32RegisterFileTest, TwoOpenersInOneProcessExcludeEachOther) {
    register_file_cases::ExpectTwoOpenersToExcludeEachOther<RegisterFile>();
}

}  // namespace
