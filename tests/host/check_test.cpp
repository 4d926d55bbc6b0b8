// A broken invariant stops the process with one line naming the condition and where it is, in
// the debug output as well as on standard error, so that a run's log says why it ended.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/virtual_clock.h"

namespace {

TEST(CheckDeathTest, UnbalancedThreadEndAbortsWithTheLineInBothOutputs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = testing::TempDir() + "check_test.log";
    std::filesystem::remove(path);
    const char* expected = R"(Check failed: registered_ > 0 at .*host/sim/virtual_clock\.cpp:.+)";
    EXPECT_DEATH(
        {
            host::FileLog log(path);
            host::Platform platform;
            platform.log = &log;
            host::ScopedPlatform installed(platform);
            host::VirtualClock clock;
            clock.unregister_thread();  // an end without a start
        },
        expected);
    std::stringstream text;
    {
        std::ifstream in(path, std::ios::binary);  // the line end as written
        text << in.rdbuf();
    }
    EXPECT_TRUE(testing::internal::RE::PartialMatch(text.str(), expected)) << text.str();
    EXPECT_EQ(text.str().find("\r\n"), text.str().size() - 2) << "one line";
    std::filesystem::remove(path);
}

}  // namespace
