// The power manager's request log in the device root.
#include "host/posix/power_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/sim/virtual_clock.h"

namespace {

namespace fs = std::filesystem;
using host::posix::PowerLog;

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(PowerLog, EveryRequestIsAppendedAsOneTimedLineAtOnce) {
    std::string dir = (fs::temp_directory_path() / "powerlog-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string path = dir + "/power.log";
    std::ofstream(path) << "earlier run\n";
    host::VirtualClock clock;

    PowerLog power(path, clock);
    ASSERT_TRUE(power.ok());
    const host::PowerRequest handle = power.SetPowerRequirement(L"BKL1:", host::kDevicePowerD0);
    EXPECT_EQ(Lines(path).size(), 2u) << "the line must be in the file before the call returns";
    clock.sleep_ms(1500);
    power.IdleTimerReset();
    EXPECT_EQ(power.ReleasePowerRequirement(handle), 0u);
    EXPECT_EQ(power.ReleasePowerRequirement(handle), 87u);
    power.SetSystemPowerState(host::kPowerStateReset, host::kPowerForce);
    power.SetPowerRequirement(L"BK L\n1:", 4);  // a name cannot break the line's fields

    const std::vector<std::string> want = {
        "earlier run",
        "0 backlight-require BKL1: D0 handle=1",
        "1500000 idle-timer-reset",
        "1500000 backlight-release handle=1",
        "1500000 backlight-release handle=1 unknown",
        "1500000 system-reset state=0x00800000 options=0x00001000",
        "1500000 backlight-require BK?L?1: D4 handle=2",
    };
    EXPECT_EQ(Lines(path), want);

    PowerLog unwritable(dir + "/missing/power.log", clock);
    EXPECT_FALSE(unwritable.ok());
    EXPECT_NE(unwritable.SetPowerRequirement(L"BKL1:", 0), 0u) << "requests are still answered";
    fs::remove_all(dir);
}

}  // namespace
