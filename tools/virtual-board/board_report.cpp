// Gathering the board's state after the run, and writing the report.
#include "tools/virtual-board/board_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/board.h"
#include "host/debug_log.h"
#include "host/device_root.h"
#include "host/store_radio.h"
#include "host/posix/register_file.h"
#include "host/posix/sqlite_registry.h"
#include "host/radio.h"
#include "sim/board_pins.h"
#include "tools/virtual-board/provision.h"

namespace vboard {
namespace {

// ---- the device root ----

std::optional<uint32_t> ReadDword(host::Registry& registry, const wchar_t* key_path,
                                  const wchar_t* name) {
    host::RegKey key = 0;
    if (registry.OpenKey(host::kHkeyLocalMachine, key_path, &key) != host::kRegOk)
        return std::nullopt;
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    const long result = registry.QueryValue(key, name, &type, &value, &size);
    registry.CloseKey(key);
    if (result != host::kRegOk || type != host::kRegDword || size != sizeof value)
        return std::nullopt;
    return value;
}

std::string ReadName(host::Registry& registry, const std::wstring& key_path) {
    host::RegKey key = 0;
    if (registry.OpenKey(host::kHkeyLocalMachine, key_path, &key) != host::kRegOk)
        return {};
    wchar_t name[256] = {};
    uint32_t size = sizeof name - sizeof(wchar_t);
    uint32_t type = 0;
    const long result = registry.QueryValue(key, L"Name", &type, name, &size);
    registry.CloseKey(key);
    return result == host::kRegOk && type == host::kRegSz ? host::Narrow(name) : std::string();
}

std::vector<std::string> LoadedDrivers(host::Registry& registry) {
    std::vector<std::string> names;
    host::RegKey active = 0;
    if (registry.OpenKey(host::kHkeyLocalMachine, host::kActiveDriversKey, &active) != host::kRegOk)
        return names;
    for (uint32_t index = 0;; ++index) {
        wchar_t subkey[256];
        uint32_t chars = 256;
        const long result = registry.EnumKey(active, index, subkey, &chars);
        if (result == host::kRegMoreData)
            continue;
        if (result != host::kRegOk)
            break;
        const std::wstring path =
            std::wstring(host::kActiveDriversKey) + L"\\" + std::wstring(subkey, chars);
        names.push_back(ReadName(registry, path));
    }
    registry.CloseKey(active);
    return names;
}

void ReadRegistry(const std::string& root, DeviceFacts* facts) {
    host::posix::SqliteRegistry registry(host::RegistryPath(root));
    if (!registry.ok())
        return;
    if (auto progress = ReadDword(registry, kSettingsKey, L"Progress"))
        facts->progress = static_cast<int32_t>(*progress);
    facts->awrcwr = ReadDword(registry, kUartKey, L"AWRCWR");
    facts->clk = ReadDword(registry, kUartKey, L"CLK");
    facts->radio = ReadDword(registry, host::kPhoneStateKey, host::kPhoneRadioValue);
    facts->drivers_loaded = LoadedDrivers(registry);
}

void ReadRegisters(const std::string& root, DeviceFacts* facts) {
    const host::posix::RegisterFile file(host::RegisterFilePath(root),
                                         host::posix::RegisterFile::Access::kReadOnly);
    if (!file.ok())
        return;
    facts->registers_read = true;
    facts->cpld_mode = file.Peek(host::reg::kCpldMode) & 0xFFFF;
    facts->cpld_aux = file.Peek(host::reg::kCpldAux) & 0xFFFF;
    facts->uart0_mcr = file.Peek(host::reg::kUart0Mcr) & 0xFF;
    facts->port_a_data = file.Peek(host::reg::kGpioADat);
    facts->port_b_data = file.Peek(host::reg::kGpioBDat);
    facts->dvs_word = file.Peek(host::reg::kDvsControl);
}

// ---- the report ----

using Json = nlohmann::ordered_json;

const char* Level(bool high) {
    return high ? "high" : "low";
}

// A number of seconds to the given decimals: a report shows what a person can read.
double Fixed(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

double Seconds(int64_t time_us) {
    return Fixed(static_cast<double>(time_us) / 1e6, 6);
}

template <typename T>
Json Optional(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json Board(const DeviceFacts& device) {
    if (!device.registers_read)
        return nullptr;
    return {{"cpld_mode", device.cpld_mode},
            {"cpld_aux", device.cpld_aux},
            {"uart0_mcr", device.uart0_mcr},
            {"reset_line", Level(device.port_a_data & sim::kResetLineBit)},
            {"power_key", Level(device.port_b_data & sim::kPowerKeyBit)},
            {"dvs_bit", device.dvs_word & 1}};
}

Json Image(const sim::ImageStats& stats) {
    return {{"passes", stats.passes},
            {"records_confirmed", stats.records_confirmed},
            {"bytes_received", stats.bytes_received},
            {"completed", stats.completed}};
}

void WriteModem(Json& json, const RunFacts& run) {
    const sim::ModemReport& modem = run.modem;
    json["images"] = {{"sw", Image(modem.sw)}, {"fs", Image(modem.fs)}};
    json["modem"] = {{"handshakes", modem.handshakes},
                     {"resets", modem.resets},
                     {"power_ons", modem.power_ons},
                     {"speed_changes", modem.speed_changes},
                     {"errors", modem.errors},
                     {"powered", modem.powered},
                     {"baud", modem.baud},
                     {"events_dropped", modem.events_dropped}};
}

void WriteLine(Json& json, const RunFacts& run) {
    const sim::LineCounters& line = run.line;
    json["line"] = {{"paced", run.paced},
                    {"updater_speed_changes", run.updater_speeds.size()},
                    {"bytes_to_modem", line.bytes_to_modem},
                    {"bytes_from_modem", line.bytes_from_modem},
                    {"garbled_to_modem", line.garbled_to_modem},
                    {"garbled_from_modem", line.garbled_from_modem},
                    {"lost_from_modem", line.lost_from_modem},
                    {"line_time_to_modem_s", Fixed(line.line_time_to_modem_s, 3)},
                    {"line_time_from_modem_s", Fixed(line.line_time_from_modem_s, 3)}};
}

void WriteAtCommands(Json& json, const RunFacts& run) {
    Json& commands = json["at_commands"] = Json::array();
    for (const AtCommand& command : run.at_commands)
        commands.push_back({{"time_s", Seconds(command.time_us)}, {"command", command.text}});
    json["at_unterminated"] = run.at_pending;
}

// ---- the timeline ----

struct Entry {
    int64_t time_us = 0;
    std::string event;
    std::optional<int64_t> value;
    std::string image;
    std::string detail;
};

const char* EventName(sim::ModemEventKind kind) {
    using Kind = sim::ModemEventKind;
    switch (kind) {
        case Kind::kPowerOn:
            return "modem power-on";
        case Kind::kPowerOnIgnored:
            return "modem power-key pulse ignored";
        case Kind::kReset:
            return "modem reset";
        case Kind::kCpldMode:
            return "CPLD mode";
        case Kind::kHandshake:
            return "handshake";
        case Kind::kSpeedChange:
            return "modem speed";
        case Kind::kImageIdentified:
            return "image identified";
        case Kind::kImageComplete:
            return "image complete";
        case Kind::kError:
            return "modem error";
        case Kind::kFault:
            return "fault";
    }
    return "modem event";
}

bool HasValue(sim::ModemEventKind kind) {
    using Kind = sim::ModemEventKind;
    return kind == Kind::kCpldMode || kind == Kind::kSpeedChange || kind == Kind::kError ||
           kind == Kind::kFault || kind == Kind::kImageIdentified;
}

std::vector<Entry> Timeline(const RunFacts& run) {
    std::vector<Entry> entries;
    if (run.result.started) {
        entries.push_back({run.result.start_us, "command started", {}, "", ""});
        entries.push_back({run.result.end_us, "command ended", run.result.exit_status, "", ""});
    }
    for (const sim::ModemEvent& event : run.modem.events) {
        Entry entry{event.time_us, EventName(event.kind), {}, "", event.detail};
        if (HasValue(event.kind))
            entry.value = event.value;
        if (event.image)
            entry.image = sim::ImageName(*event.image);
        entries.push_back(std::move(entry));
    }
    for (const sim::SpeedChange& change : run.updater_speeds)
        entries.push_back({change.time_us, "updater speed", change.baud, "", ""});
    for (const AtCommand& command : run.at_commands)
        entries.push_back({command.time_us, "AT command", {}, "", command.text});
    for (const AppliedFault& fault : run.faults_applied)
        entries.push_back(
            {fault.time_us, "board fault", {}, "", fault.fault + ": " + fault.detail});
    for (const SentSignal& sent : run.signals_sent)
        entries.push_back({sent.time_us, "signal", {}, "", "SIG" + sent.name});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.time_us < b.time_us; });
    return entries;
}

void WriteTimeline(Json& json, const RunFacts& run) {
    Json& timeline = json["timeline"] = Json::array();
    for (const Entry& entry : Timeline(run)) {
        Json item = {{"time_s", Seconds(entry.time_us)}, {"event", entry.event}};
        if (entry.value)
            item["value"] = *entry.value;
        if (!entry.image.empty())
            item["image"] = entry.image;
        if (!entry.detail.empty())
            item["detail"] = entry.detail;
        timeline.push_back(std::move(item));
    }
}

void WriteRun(Json& json, const RunFacts& run) {
    json["command"] = run.command;
    json["root"] = run.root;
    json["root_kept"] = run.root_kept;
    json["reused"] = run.reused;
    json["faults"] = run.faults;
    json["fsize_limit"] = Optional(run.fsize_limit);
    json["exit_status"] = run.result.exit_status;
    json["signal"] = run.result.signal != 0 ? Json(run.result.signal) : Json(nullptr);
    json["wall_s"] = Fixed(Seconds(run.result.end_us - run.result.start_us), 3);
    json["cpu_s"] = Fixed(run.result.cpu_s, 3);
    json["threads_max"] = run.watch.threads_max;
    json["thread_samples"] = run.watch.samples;
    json["killed_for"] = run.watch.killed_for.empty() ? Json(nullptr) : Json(run.watch.killed_for);
    json["debug_log_bytes"] = Optional(run.debug_log_bytes);
    json["debug_log_kept"] = Optional(run.debug_log_kept);
}

void WriteFaults(Json& json, const RunFacts& run) {
    Json& applied = json["faults_applied"] = Json::array();
    for (const AppliedFault& fault : run.faults_applied) {
        applied.push_back({{"time_s", Seconds(fault.time_us)},
                           {"fault", fault.fault},
                           {"point", fault.point},
                           {"detail", fault.detail}});
    }
    json["faults_pending"] = run.faults_pending;
    Json& signals = json["signals_sent"] = Json::array();
    for (const SentSignal& sent : run.signals_sent) {
        signals.push_back({{"time_s", Seconds(sent.time_us)},
                           {"signal", sent.name},
                           {"point", sent.point},
                           {"delivered", sent.delivered}});
    }
    json["register_file_cut_short"] = run.register_file_cut_short;
    json["register_file_bytes"] = Optional(run.register_file_bytes);
}

void WriteDevice(Json& json, const DeviceFacts& device) {
    json["progress"] = Optional(device.progress);
    json["awrcwr"] = Optional(device.awrcwr);
    json["clk"] = Optional(device.clk);
    json["board"] = Board(device);
    json["backlight"] = BacklightState(device.power);
    json["system_reset"] = device.power.system_reset;
    json["idle_timer_resets"] = device.power.idle_timer_resets;
    json["drivers_loaded"] = device.drivers_loaded;
    json["radio"] = !device.radio ? "absent" : *device.radio != 0 ? "on" : "off";
}

}  // namespace

PowerFacts ParsePowerLog(std::string_view text) {
    PowerFacts facts;
    std::set<std::string> held;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string time;
        std::string request;
        fields >> time >> request;
        std::string handle;
        for (std::string field; fields >> field;) {
            if (field.rfind("handle=", 0) == 0)
                handle = field.substr(7);
        }
        if (request == "backlight-require") {
            ++facts.backlight_requests;
            held.insert(handle);
        } else if (request == "backlight-release") {
            held.erase(handle);
        } else if (request == "system-reset") {
            facts.system_reset = true;
        } else if (request == "idle-timer-reset") {
            ++facts.idle_timer_resets;
        }
    }
    facts.backlight_held = static_cast<uint32_t>(held.size());
    return facts;
}

const char* BacklightState(const PowerFacts& power) {
    if (power.backlight_held > 0)
        return "held";
    return power.backlight_requests > 0 ? "released" : "never held";
}

std::optional<uint64_t> RegularFileSize(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

DeviceFacts ReadDeviceFacts(const std::string& root) {
    DeviceFacts facts;
    ReadRegistry(root, &facts);
    ReadRegisters(root, &facts);
    std::ifstream log(host::PowerLogPath(root), std::ios::binary);
    if (log) {
        const std::string text{std::istreambuf_iterator<char>(log), {}};
        facts.power = ParsePowerLog(text);
    }
    return facts;
}

std::string ReportJson(const RunFacts& run, const DeviceFacts& device) {
    Json json = Json::object();
    WriteRun(json, run);
    WriteFaults(json, run);
    WriteDevice(json, device);
    WriteAtCommands(json, run);
    WriteModem(json, run);
    WriteLine(json, run);
    WriteTimeline(json, run);
    // Texts the command wrote (AT commands) need not be UTF-8: bytes that are not become
    // U+FFFD, so that the report is always valid JSON.
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace vboard
