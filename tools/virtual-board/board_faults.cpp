// The board's fault items and their points.
#include "tools/virtual-board/board_faults.h"

#include <optional>

#include "tools/common/numbers.h"

namespace vboard {
namespace {

constexpr uint32_t kFirstReplayedRecord = 6;
constexpr uint32_t kMaxSignalTimes = 10;
constexpr double kMaxSeconds = 3600;

struct SignalName {
    std::string_view name;
    int signal;
};
constexpr SignalName kSignals[] = {
    {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"KILL", SIGKILL}};

bool Fail(std::string* error, std::string_view item, std::string_view why) {
    *error = "bad fault '" + std::string(item) + "': " + std::string(why);
    return false;
}

bool ParseUint(std::string_view text, uint32_t* value) {
    const std::optional<uint32_t> number = tools::ParseDword(text);
    *value = number.value_or(0);
    return number.has_value();
}

// Seconds, 0 to an hour, as microseconds.
bool ParseSeconds(std::string_view text, int64_t* us) {
    const std::optional<int64_t> parsed = tools::ParseSeconds(text, kMaxSeconds);
    *us = parsed.value_or(0);
    return parsed.has_value();
}

bool BadPoint(std::string* error, std::string_view point, std::string_view why) {
    *error = "bad point '" + std::string(point) + "': " + std::string(why);
    return false;
}

bool ParseRecordPoint(std::string_view number, Point* point, std::string* error,
                      std::string_view text) {
    if (!ParseUint(number, &point->record))
        return BadPoint(error, text, "needs a record number after ':'");
    if (point->record < kFirstReplayedRecord)
        return BadPoint(error, text, "records 1 to 5 are the handshake and are not replayed");
    return true;
}

bool ParseSignal(std::string_view value, SignalFault* fault, std::string* error,
                 std::string_view item) {
    const size_t at = value.find('@');
    if (at == std::string_view::npos)
        return Fail(error, item, "needs NAME@POINT");
    std::string_view name = value.substr(0, at);
    if (name.substr(0, 3) == "SIG")
        name.remove_prefix(3);
    bool known = false;
    for (const SignalName& candidate : kSignals) {
        if (candidate.name == name) {
            fault->signal = candidate.signal;
            fault->name = std::string(name);
            known = true;
        }
    }
    if (!known)
        return Fail(error, item, "the signal must be INT, TERM, HUP or KILL");
    std::string_view point = value.substr(at + 1);
    // A trailing "xN": N times.
    const size_t x = point.rfind('x');
    if (x != std::string_view::npos) {
        if (!ParseUint(point.substr(x + 1), &fault->times) || fault->times < 1 ||
            fault->times > kMaxSignalTimes)
            return Fail(error, item, "xN needs a count from 1 to 10");
        point = point.substr(0, x);
    }
    return ParsePoint(point, &fault->point, error);
}

bool TakePoint(std::string_view value, std::optional<PointFault>* fault, std::string* error,
               std::string_view item) {
    if (*fault)
        return Fail(error, item, "given more than once");
    PointFault parsed;
    if (!ParsePoint(value, &parsed.point, error))
        return false;
    parsed.text = std::string(item);
    *fault = std::move(parsed);
    return true;
}

bool TakeStoreLock(std::string_view value, BoardFaults* faults, std::string* error,
                   std::string_view item) {
    if (faults->store_lock)
        return Fail(error, item, "given more than once");
    StoreLock lock;
    const size_t plus = value.find('+');
    if (plus == std::string_view::npos || !ParseSeconds(value.substr(0, plus), &lock.start_us) ||
        !ParseSeconds(value.substr(plus + 1), &lock.duration_us) || lock.duration_us <= 0)
        return Fail(error, item, "needs START+DURATION in seconds, the duration above 0");
    lock.text = std::string(item);
    lock.point = "start+" + std::string(value.substr(0, plus));
    faults->store_lock = lock;
    return true;
}

// The name of an item: up to '=' or '@', whichever comes first.
std::string_view NameOf(std::string_view item) {
    return item.substr(0, item.find_first_of("=@"));
}

}  // namespace

const std::vector<std::string_view> kBoardFaultNames = {
    "unplug", "store-lock", "signal", "shrink-regs", "disk-full", "com1-held",
};

bool IsBoardFault(std::string_view item) {
    const std::string_view name = NameOf(item);
    for (std::string_view known : kBoardFaultNames) {
        if (known == name)
            return true;
    }
    return false;
}

bool ParsePoint(std::string_view text, Point* point, std::string* error) {
    Point parsed;
    parsed.text = std::string(text);
    std::string_view base = text;
    const size_t plus = text.find('+');
    if (plus != std::string_view::npos) {
        if (!ParseSeconds(text.substr(plus + 1), &parsed.delay_us))
            return BadPoint(error, text, "needs seconds after '+'");
        base = text.substr(0, plus);
    }
    using Kind = Point::Kind;
    if (base == "start") {
        parsed.kind = Kind::kStart;
    } else if (base == "handshake") {
        parsed.kind = Kind::kHandshake;
    } else if (base == "complete") {
        parsed.kind = Kind::kComplete;
    } else if (base == "end") {
        parsed.kind = Kind::kEnd;
    } else if (base.substr(0, 3) == "sw:" || base.substr(0, 3) == "fs:") {
        parsed.kind = base[0] == 's' ? Kind::kSw : Kind::kFs;
        if (!ParseRecordPoint(base.substr(3), &parsed, error, text))
            return false;
    } else {
        return BadPoint(error, text,
                        "must be start, handshake, sw:N, fs:N, complete or end, "
                        "optionally +SECONDS");
    }
    *point = std::move(parsed);
    return true;
}

bool ParseBoardFault(std::string_view item, BoardFaults* faults, std::string* error) {
    const std::string_view name = NameOf(item);
    const bool has_value = name.size() < item.size();
    const std::string_view value = has_value ? item.substr(name.size() + 1) : std::string_view();
    if (name == "com1-held") {
        if (has_value)
            return Fail(error, item, "takes no value");
        faults->com1_held = true;
        return true;
    }
    if (!has_value || value.empty())
        return Fail(error, item, "needs a value");
    // Only shrink-regs is spelled with '@' as well.
    if (item[name.size()] == '@' && name != "shrink-regs")
        return Fail(error, item, "the value follows '='");
    if (name == "unplug")
        return TakePoint(value, &faults->unplug, error, item);
    if (name == "shrink-regs")
        return TakePoint(value, &faults->shrink_regs, error, item);
    if (name == "disk-full")
        return TakePoint(value, &faults->disk_full, error, item);
    if (name == "store-lock")
        return TakeStoreLock(value, faults, error, item);
    if (name == "signal") {
        SignalFault fault;
        if (!ParseSignal(value, &fault, error, item))
            return false;
        fault.text = std::string(item);
        faults->signals.push_back(std::move(fault));
        return true;
    }
    return Fail(error, item, "not a board fault");
}

}  // namespace vboard
