// The board's command line, the power log as the report reads it, and the report's JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/vboard/json_reader.h"
#include "tools/virtual-board/board_report.h"
#include "tools/virtual-board/json_writer.h"
#include "tools/virtual-board/options.h"

namespace {

using vboard::Options;

TEST(OptionsTest, TakesEveryOptionAndLeavesTheCommandAlone) {
    Options options;
    std::string error;
    ASSERT_TRUE(
        vboard::ParseOptions({"--root", "/r", "--pace", "--device-name", "0xE21", "--reboot=1",
                              "--fault", "wrong-answer=66@sw", "--fault=latency-ms=5", "--no-com1",
                              "--report", "out.json", "--", "gsm-updater", "--pace"},
                             &options, &error))
        << error;
    EXPECT_EQ(options.root, "/r");
    EXPECT_TRUE(options.pace);
    EXPECT_EQ(options.device_name, 3617u);
    EXPECT_EQ(options.reboot, 1u);
    EXPECT_EQ(options.faults.records.size(), 1u);
    EXPECT_EQ(options.faults.extra_latency_ms, 5u);
    EXPECT_EQ(options.fault_lists.size(), 2u);
    EXPECT_FALSE(options.com1);
    EXPECT_TRUE(options.vei1);
    EXPECT_EQ(options.report_path, "out.json");
    EXPECT_EQ(options.command, (std::vector<std::string>{"gsm-updater", "--pace"}));

    Options bare;
    ASSERT_TRUE(vboard::ParseOptions({"sh", "-c", "exit 0"}, &bare, &error));
    EXPECT_EQ(bare.command.size(), 3u);
    EXPECT_FALSE(bare.root);
}

TEST(OptionsTest, RefusesWhatItCannotUse) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--pace", "--"},
        {"--fault", "wrong-answer=2", "--", "x"},  // records 1 to 5 are the handshake
        {"--fault", "bogus", "--", "x"},
        {"--reboot", "-1", "--", "x"},
        {"--device-name", "4294967296", "--", "x"},
        {"--device-name", "12abc", "--", "x"},
        {"--root"},
        {"--root=", "--", "x"},
        {"--pace=yes", "--", "x"},
        {"--frobnicate", "--", "x"},
    };
    for (const auto& args : bad) {
        Options options;
        std::string error;
        EXPECT_FALSE(vboard::ParseOptions(args, &options, &error))
            << ::testing::PrintToString(args);
        EXPECT_FALSE(error.empty());
    }
}

TEST(PowerLogTest, TellsHeldFromReleasedAndFindsTheReset) {
    const char* released =
        "100 backlight-require BKL1: D0 handle=1\n"
        "200 idle-timer-reset\n"
        "300 idle-timer-reset\n"
        "400 backlight-release handle=7 unknown\n"
        "500 backlight-release handle=1\n";
    const vboard::PowerFacts facts = vboard::ParsePowerLog(released);
    EXPECT_STREQ(vboard::BacklightState(facts), "released");
    EXPECT_EQ(facts.idle_timer_resets, 2u);
    EXPECT_FALSE(facts.system_reset);

    const std::string held = std::string(released) +
                             "600 backlight-require BKL1: D0 handle=2\n"
                             "700 system-reset state=0x00800000 options=0x00001000\n";
    const vboard::PowerFacts later = vboard::ParsePowerLog(held);
    EXPECT_STREQ(vboard::BacklightState(later), "held");
    EXPECT_TRUE(later.system_reset);
    EXPECT_STREQ(vboard::BacklightState(vboard::ParsePowerLog("")), "never held");
}

// Garbage on a line ends up in the report as text: the document must stay valid JSON.
TEST(JsonWriterTest, WritesValidJsonForAnyBytesAndAnyNesting) {
    const std::string raw = "q\"b\\s\r\n\x01\x7f ok \xC3\xA9 \xFF\xC3";
    vboard::JsonWriter writer;
    writer.BeginObject()
        .Key("text")
        .String(raw)
        .Key("empty")
        .BeginArray()
        .EndArray()
        .Key("rows")
        .BeginArray()
        .BeginObject(vboard::JsonWriter::Layout::kInline)
        .Key("t")
        .Fixed(1.5, 3)
        .Key("n")
        .Int(-1)
        .EndObject()
        .BeginObject(vboard::JsonWriter::Layout::kInline)
        .EndObject()
        .Null()
        .Bool(false)
        .EndArray()
        .EndObject();
    std::string error;
    const auto document = json::Parse(writer.Take(), &error);
    ASSERT_TRUE(document) << error;
    // Bytes that are not UTF-8 come back as the code points of their values.
    EXPECT_EQ((*document)["text"].string, "q\"b\\s\r\n\x01\x7f ok \xC3\xA9 \xC3\xBF\xC3\x83");
    EXPECT_EQ((*document)["empty"].size(), 0u);
    const json::Value& rows = (*document)["rows"];
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0]["t"].number, 1.5);
    EXPECT_EQ(rows[0]["n"].Int(), -1);
    EXPECT_EQ(rows[1].size(), 0u);
    EXPECT_TRUE(rows[2].IsNull());
}

}  // namespace
