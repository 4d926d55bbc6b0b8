// The power manager's log lines, which the virtual board parses whichever host wrote them, and
// the handles they name.
#include "host/power_request_log.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/sim/virtual_clock.h"

namespace {

class Lines final : public host::PowerRequestLog {
  public:
    explicit Lines(host::Clock& clock) : PowerRequestLog(clock) {}
    std::vector<std::string> lines;

  private:
    void AppendLine(const std::string& line) override { lines.push_back(line); }
};

TEST(PowerRequestLogTest, WritesOneLinePerRequestAtItsTime) {
    host::VirtualClock clock;
    Lines log(clock);
    const struct {
        const char* what;
        std::function<uint32_t()> request;
        uint32_t answer;
        const char* line;
    } steps[] = {
        {"backlight held",
         [&] { return static_cast<uint32_t>(log.SetPowerRequirement(L"BKL1:", 0)); }, 1,
         "backlight-require BKL1: D0 handle=1"},
        {"a name with blanks and controls",
         [&] { return static_cast<uint32_t>(log.SetPowerRequirement(L"a b\tc\x7F", 4)); }, 2,
         "backlight-require a?b?c? D4 handle=2"},
        {"no name", [&] { return static_cast<uint32_t>(log.SetPowerRequirement(L"", 0)); }, 3,
         "backlight-require ? D0 handle=3"},
        {"released", [&] { return log.ReleasePowerRequirement(1); }, 0,
         "backlight-release handle=1"},
        {"released twice", [&] { return log.ReleasePowerRequirement(1); }, 87,
         "backlight-release handle=1 unknown"},
        {"never held", [&] { return log.ReleasePowerRequirement(9); }, 87,
         "backlight-release handle=9 unknown"},
        {"forced reset", [&] { return log.SetSystemPowerState(0x00800000, 0x00001000); }, 0,
         "system-reset state=0x00800000 options=0x00001000"},
        {"another state", [&] { return log.SetSystemPowerState(0x00010000, 0); }, 0,
         "system-power-state state=0x00010000 options=0x00000000"},
        {"idle timer",
         [&] {
             log.IdleTimerReset();
             return 0u;
         },
         0, "idle-timer-reset"},
    };
    int64_t time_us = 0;
    for (const auto& step : steps) {
        clock.sleep_us(1250);
        time_us += 1250;
        log.lines.clear();
        EXPECT_EQ(step.request(), step.answer) << step.what;
        EXPECT_EQ(log.lines,
                  std::vector<std::string>{std::to_string(time_us) + " " + step.line + "\n"})
            << step.what;
    }
}

}  // namespace
