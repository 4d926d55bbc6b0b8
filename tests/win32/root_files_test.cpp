// The device root's other files on a Win32 host: the logs append exactly what they are given
// (no text-mode line ends), and one updater holds a root.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "host/sim/virtual_clock.h"
#include "host/win32/debug_log_file.h"
#include "host/win32/instance_lock.h"
#include "host/win32/power_log.h"
#include "tests/board/register_file_cases.h"

namespace {

using register_file_cases::Contents;
using register_file_cases::ScratchFolder;
using register_file_cases::WriteFile;

TEST(Win32RootFilesTest, LogsAppendTheirTextsByteForByte) {
    ScratchFolder folder;
    const std::string debug_path = folder.File("debug.log");
    const std::string power_path = folder.File("power.log");
    WriteFile(debug_path, "earlier run\r\n");
    WriteFile(power_path, "5 idle-timer-reset\n");
    {
        host::win32::DebugLogFile debug(debug_path);
        ASSERT_TRUE(debug.ok());
        debug.Write("Power on GSM Module\r\n");
        debug.Write("\nTurn off DVS(Power saving)");
        host::VirtualClock clock;
        host::win32::PowerLog power(power_path, clock);
        ASSERT_TRUE(power.ok());
        clock.sleep_us(2500000);
        power.SetPowerRequirement(L"BKL1:", 0);
        // Another writer's line in between: every line still lands at the end.
        WriteFile(debug_path, Contents(debug_path) + "[board]\n");
        power.IdleTimerReset();
        debug.Write("Reset times >  1 \r\n");
    }
    EXPECT_EQ(Contents(debug_path),
              "earlier run\r\nPower on GSM Module\r\n\nTurn off DVS(Power "
              "saving)[board]\nReset times >  1 \r\n");
    EXPECT_EQ(Contents(power_path),
              "5 idle-timer-reset\n2500000 backlight-require BKL1: D0 handle=1\n"
              "2500000 idle-timer-reset\n");
}

TEST(Win32RootFilesTest, OneUpdaterHoldsARoot) {
    ScratchFolder folder;
    const std::string root = folder.File("root");
    std::filesystem::create_directory(root);
    std::string error;
    {
        host::win32::InstanceLock first;
        ASSERT_TRUE(first.Acquire(root, &error)) << error;
        EXPECT_EQ(Contents(root + "/updater.lock"), std::to_string(GetCurrentProcessId()) + "\n");
        host::win32::InstanceLock second;
        EXPECT_FALSE(second.Acquire(root, &error));
        EXPECT_EQ(error, "another updater (process " + std::to_string(GetCurrentProcessId()) +
                             ") is running on the device root " + root);
    }
    WriteFile(root + "/updater.lock", "999999\nleft by a crashed run");
    host::win32::InstanceLock after;
    EXPECT_TRUE(after.Acquire(root, &error)) << "released with its holder: " << error;
    EXPECT_EQ(Contents(root + "/updater.lock"), std::to_string(GetCurrentProcessId()) + "\n");

    const std::string folder_root = folder.File("other");
    std::filesystem::create_directories(folder_root + "/updater.lock");
    host::win32::InstanceLock refused;
    EXPECT_FALSE(refused.Acquire(folder_root, &error));
    EXPECT_EQ(error.rfind("cannot open the lock file " + folder_root + "/updater.lock: ", 0), 0u)
        << error;
}

}  // namespace
