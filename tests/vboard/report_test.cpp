// The board's command line, the power log as the report reads it, and the report's JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/virtual-board/board_report.h"
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

using Json = nlohmann::ordered_json;

// The report with every value replaced by its JSON type, and every array by its first element.
Json Shape(const Json& value) {
    if (value.is_object()) {
        Json shape = Json::object();
        for (const auto& [key, member] : value.items())
            shape[key] = Shape(member);
        return shape;
    }
    if (value.is_array())
        return value.empty() ? Json::array() : Json::array({Shape(value.front())});
    if (value.is_number_float())
        return "float";
    return value.is_number() ? "int" : value.type_name();
}

// Scripts read the report by field name, nesting and value type; none of them may change.
// Garbage on a line ends up in it as text, and it must stay valid JSON.
TEST(ReportTest, KeepsItsFieldsAndTypesAndStaysValidForAnyBytes) {
    const std::string garbage = "q\"b\\s\r\n\x01\x7f ok \xC3\xA9 \xFF\xC3";
    vboard::RunFacts run;
    run.command = {"gsm-updater"};
    run.faults = {"signal=TERM@start"};
    run.fsize_limit = 1000;
    run.result = {true, "", 143, 15, 1'000'000, 3'500'000, 0.25};
    run.watch.killed_for = "threads";
    run.debug_log_bytes = 10;
    run.faults_applied = {{"signal", "start", 1'000'000, "SIGTERM"}};
    run.faults_pending = {"unplug=end"};
    run.signals_sent = {{"TERM", "start", 1'000'000, true}};
    run.register_file_bytes = 48;
    run.at_commands = {{2'000'000, garbage}};
    run.modem.events = {{1'500'000, sim::ModemEventKind::kError, 7, sim::ImageKind::kSw, "x"}};
    vboard::DeviceFacts device;
    device.progress = -1;
    device.awrcwr = 1;
    device.clk = 1;
    device.registers_read = true;
    device.drivers_loaded = {"COM1:"};
    device.radio = 0;

    const Json report = Json::parse(vboard::ReportJson(run, device));
    const std::string command = report["at_commands"][0]["command"];
    // What is not UTF-8 becomes U+FFFD; the rest stays as it was.
    EXPECT_EQ(command.substr(0, 19), garbage.substr(0, 16) + "\xEF\xBF\xBD");
    EXPECT_EQ(report["progress"], -1);
    EXPECT_EQ(report["wall_s"], 2.5);
    EXPECT_EQ(Shape(report), Json::parse(R"({
      "command": ["string"], "root": "string", "root_kept": "boolean", "reused": "boolean",
      "faults": ["string"], "fsize_limit": "int", "exit_status": "int", "signal": "int",
      "wall_s": "float", "cpu_s": "float", "threads_max": "int", "thread_samples": "int",
      "killed_for": "string", "debug_log_bytes": "int",
      "faults_applied": [{"time_s": "float", "fault": "string", "point": "string",
                          "detail": "string"}],
      "faults_pending": ["string"],
      "signals_sent": [{"time_s": "float", "signal": "string", "point": "string",
                        "delivered": "boolean"}],
      "register_file_cut_short": "boolean", "register_file_bytes": "int",
      "progress": "int", "awrcwr": "int", "clk": "int",
      "board": {"cpld_mode": "int", "cpld_aux": "int", "uart0_mcr": "int",
                "reset_line": "string", "power_key": "string", "dvs_bit": "int"},
      "backlight": "string", "system_reset": "boolean", "idle_timer_resets": "int",
      "drivers_loaded": ["string"], "radio": "string",
      "at_commands": [{"time_s": "float", "command": "string"}], "at_unterminated": "string",
      "images": {"sw": {"passes": "int", "records_confirmed": "int", "bytes_received": "int",
                        "completed": "int"},
                 "fs": {"passes": "int", "records_confirmed": "int", "bytes_received": "int",
                        "completed": "int"}},
      "modem": {"handshakes": "int", "resets": "int", "power_ons": "int",
                "speed_changes": "int", "errors": "int", "powered": "boolean", "baud": "int",
                "events_dropped": "int"},
      "line": {"paced": "boolean", "updater_speed_changes": "int", "bytes_to_modem": "int",
               "bytes_from_modem": "int", "garbled_to_modem": "int",
               "garbled_from_modem": "int", "lost_from_modem": "int",
               "line_time_to_modem_s": "float", "line_time_from_modem_s": "float"},
      "timeline": [{"time_s": "float", "event": "string"}]})"));
    const Json& timeline = report["timeline"];
    const auto error = std::find_if(timeline.begin(), timeline.end(), [](const Json& entry) {
        return entry["event"] == "modem error";
    });
    ASSERT_NE(error, timeline.end());
    EXPECT_EQ(Shape(*error), Json::parse(R"({"time_s": "float", "event": "string",
        "value": "int", "image": "string", "detail": "string"})"));
}

}  // namespace
