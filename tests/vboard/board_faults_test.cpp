// The board's fault knobs as the command line gives them, and the board's pins over a
// register file that is cut short.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host/posix/register_file.h"
#include "host/real_clock.h"
#include "sim/board_pins.h"
#include "tools/virtual-board/options.h"

namespace {

using vboard::BoardFaults;
using vboard::Options;
using vboard::Point;
using Kind = vboard::Point::Kind;

Options Parse(const std::vector<std::string>& faults, std::string* error,
              std::vector<std::string> extra = {}) {
    std::vector<std::string> args = extra;
    for (const std::string& fault : faults)
        args.insert(args.end(), {"--fault", fault});
    args.insert(args.end(), {"--", "x"});
    Options options;
    if (!vboard::ParseOptions(args, &options, error))
        options.command.clear();
    return options;
}

Point At(Kind kind, uint32_t record, int64_t delay_us, const char* text) {
    return Point{kind, record, delay_us, text};
}

TEST(BoardFaultsTest, TakesEveryKnobAndItsPoint) {
    struct Case {
        std::string fault;
        std::function<void(const Options&)> check;
    };
    const std::vector<Case> cases = {
        {"unplug=handshake",
         [](const Options& o) {
             EXPECT_EQ(o.board_faults.unplug->point, At(Kind::kHandshake, 0, 0, "handshake"));
         }},
        {"unplug=sw:100",
         [](const Options& o) {
             EXPECT_EQ(o.board_faults.unplug->point, At(Kind::kSw, 100, 0, "sw:100"));
         }},
        {"unplug=fs:6+0.25",
         [](const Options& o) {
             EXPECT_EQ(o.board_faults.unplug->point, At(Kind::kFs, 6, 250'000, "fs:6+0.25"));
         }},
        {"store-lock=12+3",
         [](const Options& o) {
             EXPECT_EQ(o.board_faults.store_lock->start_us, 12'000'000);
             EXPECT_EQ(o.board_faults.store_lock->duration_us, 3'000'000);
         }},
        {"store-lock=0+0.5",
         [](const Options& o) { EXPECT_EQ(o.board_faults.store_lock->duration_us, 500'000); }},
        {"signal=TERM@sw:100x2",
         [](const Options& o) {
             ASSERT_EQ(o.board_faults.signals.size(), 1u);
             const vboard::SignalFault& s = o.board_faults.signals[0];
             EXPECT_EQ(s.signal, SIGTERM);
             EXPECT_EQ(s.times, 2u);
             EXPECT_EQ(s.point, At(Kind::kSw, 100, 0, "sw:100"));
         }},
        {"signal=SIGKILL@start",
         [](const Options& o) { EXPECT_EQ(o.board_faults.signals[0].signal, SIGKILL); }},
        {"signal=HUP@end+1,signal=INT@complete",
         [](const Options& o) {
             ASSERT_EQ(o.board_faults.signals.size(), 2u);
             EXPECT_EQ(o.board_faults.signals[0].point, At(Kind::kEnd, 0, 1'000'000, "end+1"));
             EXPECT_EQ(o.board_faults.signals[1].point.kind, Kind::kComplete);
         }},
        {"shrink-regs@fs:200",
         [](const Options& o) {
             EXPECT_EQ(o.board_faults.shrink_regs->point, At(Kind::kFs, 200, 0, "fs:200"));
         }},
        {"shrink-regs=start",
         [](const Options& o) { EXPECT_EQ(o.board_faults.shrink_regs->point.kind, Kind::kStart); }},
        {"disk-full=complete",
         [](const Options& o) {
             EXPECT_EQ(o.board_faults.disk_full->point.kind, Kind::kComplete);
         }},
        {" com1-held , wrong-answer=66@sw",
         [](const Options& o) {
             EXPECT_TRUE(o.board_faults.com1_held);
             EXPECT_EQ(o.faults.records.size(), 1u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::string error;
        const Options options = Parse({c.fault}, &error);
        ASSERT_FALSE(options.command.empty()) << error;
        EXPECT_EQ(options.fault_lists, std::vector<std::string>{c.fault});
        c.check(options);
    }
}

TEST(BoardFaultsTest, RefusesBadKnobsSayingWhy) {
    struct Case {
        std::vector<std::string> faults;
        std::string error;  // a part of the message
        std::vector<std::string> extra = {};
    };
    const std::vector<Case> cases = {
        {{"nosuchknob"}, "the faults are never-boot, boot-after-resets"},
        {{"nosuchknob"}, "signal, shrink-regs, disk-full, com1-held"},
        {{"unplug"}, "needs a value"},
        {{"unplug=later"}, "must be start, handshake, sw:N"},
        {{"unplug=sw:5"}, "records 1 to 5 are the handshake"},
        {{"unplug=sw:"}, "needs a record number"},
        {{"unplug=fs:12x"}, "needs a record number"},
        {{"unplug=start+"}, "needs seconds after '+'"},
        {{"unplug=start+-1"}, "needs seconds after '+'"},
        {{"unplug=handshake", "unplug=sw:7"}, "given more than once"},
        {{"unplug@handshake"}, "the value follows '='"},
        {{"store-lock=5"}, "START+DURATION"},
        {{"store-lock=1+0"}, "the duration above 0"},
        {{"store-lock=a+1"}, "START+DURATION"},
        {{"signal=TERM"}, "needs NAME@POINT"},
        {{"signal=USR1@start"}, "INT, TERM, HUP or KILL"},
        {{"signal=TERM@startx0"}, "xN needs a count from 1 to 10"},
        {{"signal=TERM@startx11"}, "xN needs a count from 1 to 10"},
        {{"signal=TERM@nowhere"}, "bad point 'nowhere'"},
        {{"com1-held=1"}, "takes no value"},
        {{"disk-full="}, "needs a value"},
        {{"com1-held"}, "not with --no-com1", {"--no-com1"}},
        {{"unplug=start"}, "not with --no-com1", {"--no-com1"}},
        {{}, "--reuse needs --root", {"--reuse"}},
        {{}, "no --device-name", {"--root", "r", "--reuse", "--device-name", "1"}},
        {{}, "not a number of bytes", {"--fsize-limit", "-1"}},
        {{}, "above 0", {"--time-limit", "0"}},
        {{}, "--device-name: 'xyz' is not a DWORD", {"--device-name", "xyz"}},
        {{}, "--reboot: '4294967296' is not a DWORD", {"--reboot=4294967296"}},
        {{}, "at least 1", {"--thread-limit", "0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.faults) + " " + ::testing::PrintToString(c.extra));
        std::string error;
        const Options options = Parse(c.faults, &error, c.extra);
        EXPECT_TRUE(options.command.empty());
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(BoardFaultsTest, TakesTheLimitsAndReuse) {
    std::string error;
    const Options options = Parse({}, &error,
                                  {"--root", "r", "--reuse", "--fsize-limit", "0x1000",
                                   "--time-limit", "2.5", "--thread-limit", "64"});
    ASSERT_FALSE(options.command.empty()) << error;
    EXPECT_TRUE(options.reuse);
    EXPECT_EQ(options.fsize_limit, 4096u);
    EXPECT_EQ(options.time_limit_us, 2'500'000);
    EXPECT_EQ(options.thread_limit, 64u);
}

// The board reads its pins from the register file every millisecond; a file cut short under
// it must stop the sampling, not fault.
TEST(RegisterFilePinsTest, StopsSamplingAFileCutShort) {
    const std::string path = ::testing::TempDir() + "/pins_cut_short.regs";
    std::filesystem::remove(path);
    host::posix::RegisterFile file(path);
    ASSERT_TRUE(file.ok()) << file.error();
    file.Write16(host::reg::kCpldMode, 6);
    host::RealClock clock;
    sim::RegisterFilePins pins(file, clock, path);
    EXPECT_EQ(pins.Levels().cpld_mode, 6);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    EXPECT_EQ(pins.Levels().cpld_mode, 6);  // as last seen
    EXPECT_TRUE(pins.TakeChanges().empty());
    EXPECT_TRUE(pins.cut_short());
    std::filesystem::remove(path);
}

}  // namespace
