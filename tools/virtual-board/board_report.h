// The board's report: what the command left on the board (registry, registers, power
// requests, loaded drivers, radio), what the modem model and the lines saw, and a timeline,
// as one JSON document.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/modem_report.h"
#include "sim/pty_line.h"
#include "sim/wine_registry.h"
#include "tools/virtual-board/at_recorder.h"
#include "tools/virtual-board/command.h"
#include "tools/virtual-board/command_watch.h"
#include "tools/virtual-board/fault_runner.h"

namespace vboard {

// The power manager's requests, from the device root's power log.
struct PowerFacts {
    uint32_t backlight_requests = 0;
    uint32_t backlight_held = 0;  // requests not released
    bool system_reset = false;
    uint64_t idle_timer_resets = 0;
};
PowerFacts ParsePowerLog(std::string_view text);
// "held", "released" or "never held".
const char* BacklightState(const PowerFacts& power);

struct DeviceFacts {
    std::optional<int32_t> progress;
    std::optional<uint32_t> awrcwr;
    std::optional<uint32_t> clk;
    bool registers_read = false;
    uint32_t cpld_mode = 0;
    uint32_t cpld_aux = 0;
    uint32_t uart0_mcr = 0;
    uint32_t port_a_data = 0;
    uint32_t port_b_data = 0;
    uint32_t dvs_word = 0;
    PowerFacts power;
    std::vector<std::string> drivers_loaded;  // names under Drivers\Active
    std::optional<uint32_t> radio;            // the phone radio's state; none: no radio
};
DeviceFacts ReadDeviceFacts(const std::string& root);
// The same with the registry values read from Wine's HKEY_LOCAL_MACHINE instead of the root's
// registry.db.
DeviceFacts ReadDeviceFacts(const std::string& root, const sim::WineRegistry& machine);

// A run of a Windows program under Wine.
struct WineFacts {
    std::string prefix;
    bool from_template = false;
    double setup_s = 0;        // making the prefix and importing the board's values
    double server_wait_s = 0;  // the Wine server's end after the command's, which saves its files
};

struct RunFacts {
    std::vector<std::string> command;
    std::string root;
    bool root_kept = false;
    bool reused = false;
    bool paced = false;
    std::vector<std::string> faults;
    std::optional<uint64_t> fsize_limit;
    CommandResult result;
    WatchFacts watch;
    // What the command added to the debug log; none when it is not a regular file.
    std::optional<uint64_t> debug_log_bytes;
    // Where the debug log of a failed command was kept when its temporary root went.
    std::optional<std::string> debug_log_kept;
    std::vector<AppliedFault> faults_applied;
    std::vector<std::string> faults_pending;
    std::vector<SentSignal> signals_sent;
    // board.regs was found short: by the board while it ran, or at the end.
    bool register_file_cut_short = false;
    std::optional<uint64_t> register_file_bytes;
    sim::ModemReport modem;
    sim::LineCounters line;
    std::vector<sim::SpeedChange> updater_speeds;
    std::vector<AtCommand> at_commands;
    std::string at_pending;
    std::optional<WineFacts> wine;
};

std::string ReportJson(const RunFacts& run, const DeviceFacts& device);

// The size of a regular file, without following a link; none for anything else.
std::optional<uint64_t> RegularFileSize(const std::string& path);

}  // namespace vboard
