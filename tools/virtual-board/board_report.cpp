// Gathering the board's state after the run, and writing the report.
#include "tools/virtual-board/board_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "host/board.h"
#include "host/debug_log.h"
#include "host/posix/device_root.h"
#include "host/posix/radio_store.h"
#include "host/posix/register_file.h"
#include "host/posix/sqlite_registry.h"
#include "host/radio.h"
#include "sim/board_pins.h"
#include "tools/virtual-board/json_writer.h"
#include "tools/virtual-board/provision.h"

namespace vboard {
namespace {

using Layout = JsonWriter::Layout;

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
    host::posix::SqliteRegistry registry(host::posix::RegistryPath(root));
    if (!registry.ok())
        return;
    if (auto progress = ReadDword(registry, kSettingsKey, L"Progress"))
        facts->progress = static_cast<int32_t>(*progress);
    facts->awrcwr = ReadDword(registry, kUartKey, L"AWRCWR");
    facts->clk = ReadDword(registry, kUartKey, L"CLK");
    facts->radio = ReadDword(registry, host::posix::kPhoneStateKey, host::posix::kPhoneRadioValue);
    facts->drivers_loaded = LoadedDrivers(registry);
}

void ReadRegisters(const std::string& root, DeviceFacts* facts) {
    const host::posix::RegisterFile file(host::posix::RegisterFilePath(root),
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

const char* Level(bool high) {
    return high ? "high" : "low";
}

void WriteStrings(JsonWriter& json, const std::vector<std::string>& strings) {
    json.BeginArray(Layout::kInline);
    for (const std::string& text : strings)
        json.String(text);
    json.EndArray();
}

double Seconds(int64_t time_us) {
    return static_cast<double>(time_us) / 1e6;
}

void WriteBoard(JsonWriter& json, const DeviceFacts& device) {
    json.Key("board");
    if (!device.registers_read) {
        json.Null();
        return;
    }
    json.BeginObject()
        .Key("cpld_mode")
        .Uint(device.cpld_mode)
        .Key("cpld_aux")
        .Uint(device.cpld_aux)
        .Key("uart0_mcr")
        .Uint(device.uart0_mcr)
        .Key("reset_line")
        .String(Level(device.port_a_data & sim::kResetLineBit))
        .Key("power_key")
        .String(Level(device.port_b_data & sim::kPowerKeyBit))
        .Key("dvs_bit")
        .Uint(device.dvs_word & 1)
        .EndObject();
}

template <typename T>
void OptionalNumber(JsonWriter& json, const char* key, const std::optional<T>& value) {
    json.Key(key);
    if (value)
        json.Int(static_cast<int64_t>(*value));
    else
        json.Null();
}

void WriteImage(JsonWriter& json, const char* key, const sim::ImageStats& stats) {
    json.Key(key)
        .BeginObject(Layout::kInline)
        .Key("passes")
        .Uint(stats.passes)
        .Key("records_confirmed")
        .Uint(stats.records_confirmed)
        .Key("bytes_received")
        .Uint(stats.bytes_received)
        .Key("completed")
        .Uint(stats.completed)
        .EndObject();
}

void WriteModem(JsonWriter& json, const RunFacts& run) {
    const sim::ModemReport& modem = run.modem;
    json.Key("images").BeginObject();
    WriteImage(json, "sw", modem.sw);
    WriteImage(json, "fs", modem.fs);
    json.EndObject();
    json.Key("modem")
        .BeginObject()
        .Key("handshakes")
        .Uint(modem.handshakes)
        .Key("resets")
        .Uint(modem.resets)
        .Key("power_ons")
        .Uint(modem.power_ons)
        .Key("speed_changes")
        .Uint(modem.speed_changes)
        .Key("errors")
        .Uint(modem.errors)
        .Key("powered")
        .Bool(modem.powered)
        .Key("baud")
        .Uint(modem.baud)
        .Key("events_dropped")
        .Uint(modem.events_dropped)
        .EndObject();
}

void WriteLine(JsonWriter& json, const RunFacts& run) {
    const sim::LineCounters& line = run.line;
    json.Key("line")
        .BeginObject()
        .Key("paced")
        .Bool(run.paced)
        .Key("updater_speed_changes")
        .Uint(run.updater_speeds.size())
        .Key("bytes_to_modem")
        .Uint(line.bytes_to_modem)
        .Key("bytes_from_modem")
        .Uint(line.bytes_from_modem)
        .Key("garbled_to_modem")
        .Uint(line.garbled_to_modem)
        .Key("garbled_from_modem")
        .Uint(line.garbled_from_modem)
        .Key("lost_from_modem")
        .Uint(line.lost_from_modem)
        .Key("line_time_to_modem_s")
        .Fixed(line.line_time_to_modem_s, 3)
        .Key("line_time_from_modem_s")
        .Fixed(line.line_time_from_modem_s, 3)
        .EndObject();
}

void WriteAtCommands(JsonWriter& json, const RunFacts& run) {
    json.Key("at_commands").BeginArray();
    for (const AtCommand& command : run.at_commands) {
        json.BeginObject(Layout::kInline)
            .Key("time_s")
            .Fixed(Seconds(command.time_us), 6)
            .Key("command")
            .String(command.text)
            .EndObject();
    }
    json.EndArray();
    json.Key("at_unterminated").String(run.at_pending);
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

void WriteTimeline(JsonWriter& json, const RunFacts& run) {
    json.Key("timeline").BeginArray();
    for (const Entry& entry : Timeline(run)) {
        json.BeginObject(Layout::kInline)
            .Key("time_s")
            .Fixed(Seconds(entry.time_us), 6)
            .Key("event")
            .String(entry.event);
        if (entry.value)
            json.Key("value").Int(*entry.value);
        if (!entry.image.empty())
            json.Key("image").String(entry.image);
        if (!entry.detail.empty())
            json.Key("detail").String(entry.detail);
        json.EndObject();
    }
    json.EndArray();
}

void WriteRun(JsonWriter& json, const RunFacts& run) {
    json.Key("command");
    WriteStrings(json, run.command);
    json.Key("root").String(run.root).Key("root_kept").Bool(run.root_kept);
    json.Key("reused").Bool(run.reused);
    json.Key("faults");
    WriteStrings(json, run.faults);
    OptionalNumber(json, "fsize_limit", run.fsize_limit);
    json.Key("exit_status").Int(run.result.exit_status);
    json.Key("signal");
    if (run.result.signal != 0)
        json.Int(run.result.signal);
    else
        json.Null();
    json.Key("wall_s").Fixed(Seconds(run.result.end_us - run.result.start_us), 3);
    json.Key("cpu_s").Fixed(run.result.cpu_s, 3);
    json.Key("threads_max").Uint(run.watch.threads_max);
    json.Key("thread_samples").Uint(run.watch.samples);
    json.Key("killed_for");
    if (run.watch.killed_for.empty())
        json.Null();
    else
        json.String(run.watch.killed_for);
    OptionalNumber(json, "debug_log_bytes", run.debug_log_bytes);
}

void WriteFaults(JsonWriter& json, const RunFacts& run) {
    json.Key("faults_applied").BeginArray();
    for (const AppliedFault& fault : run.faults_applied) {
        json.BeginObject(Layout::kInline)
            .Key("time_s")
            .Fixed(Seconds(fault.time_us), 6)
            .Key("fault")
            .String(fault.fault)
            .Key("point")
            .String(fault.point)
            .Key("detail")
            .String(fault.detail)
            .EndObject();
    }
    json.EndArray();
    json.Key("faults_pending");
    WriteStrings(json, run.faults_pending);
    json.Key("signals_sent").BeginArray();
    for (const SentSignal& sent : run.signals_sent) {
        json.BeginObject(Layout::kInline)
            .Key("time_s")
            .Fixed(Seconds(sent.time_us), 6)
            .Key("signal")
            .String(sent.name)
            .Key("point")
            .String(sent.point)
            .Key("delivered")
            .Bool(sent.delivered)
            .EndObject();
    }
    json.EndArray();
    json.Key("register_file_cut_short").Bool(run.register_file_cut_short);
    OptionalNumber(json, "register_file_bytes", run.register_file_bytes);
}

void WriteDevice(JsonWriter& json, const DeviceFacts& device) {
    OptionalNumber(json, "progress", device.progress);
    OptionalNumber(json, "awrcwr", device.awrcwr);
    OptionalNumber(json, "clk", device.clk);
    WriteBoard(json, device);
    json.Key("backlight").String(BacklightState(device.power));
    json.Key("system_reset").Bool(device.power.system_reset);
    json.Key("idle_timer_resets").Uint(device.power.idle_timer_resets);
    json.Key("drivers_loaded");
    WriteStrings(json, device.drivers_loaded);
    json.Key("radio").String(!device.radio ? "absent" : *device.radio != 0 ? "on" : "off");
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
    std::ifstream log(host::posix::PowerLogPath(root), std::ios::binary);
    if (log) {
        const std::string text{std::istreambuf_iterator<char>(log), {}};
        facts.power = ParsePowerLog(text);
    }
    return facts;
}

std::string ReportJson(const RunFacts& run, const DeviceFacts& device) {
    JsonWriter json;
    json.BeginObject();
    WriteRun(json, run);
    WriteFaults(json, run);
    WriteDevice(json, device);
    WriteAtCommands(json, run);
    WriteModem(json, run);
    WriteLine(json, run);
    WriteTimeline(json, run);
    json.EndObject();
    return json.Take();
}

}  // namespace vboard
