// The fault list parser.
#include "sim/modem_faults.h"

#include <charconv>

namespace sim {
namespace {

constexpr uint32_t kFirstReplayedRecord = 6;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A decimal number of at least `min`, digits only.
bool ParseNumber(std::string_view text, uint32_t min, uint32_t* value) {
    if (text.empty())
        return false;
    uint32_t parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size() || parsed < min)
        return false;
    *value = parsed;
    return true;
}

struct Entry {
    std::string_view name;
    std::string_view value;
    bool has_value = false;
};

Entry SplitEntry(std::string_view text) {
    Entry item;
    const size_t eq = text.find('=');
    item.name = text.substr(0, eq);
    if (eq != std::string_view::npos) {
        item.value = text.substr(eq + 1);
        item.has_value = true;
    }
    return item;
}

class Parser {
  public:
    Parser(ModemFaults* faults, std::string* error) : faults_(faults), error_(error) {}

    bool Take(std::string_view text);

  private:
    bool Fail(std::string_view item, const char* why) {
        *error_ = "bad fault '" + std::string(item) + "': " + why;
        return false;
    }
    bool Flag(const Entry& item, bool* flag);
    bool Number(const Entry& item, uint32_t min, uint32_t* value);
    bool IdFault(const Entry& item, uint32_t* count);
    bool Record(const Entry& item, RecordFault::Kind kind);

    ModemFaults* faults_;
    std::string* error_;
    std::string_view text_;
};

bool Parser::Flag(const Entry& item, bool* flag) {
    if (item.has_value)
        return Fail(text_, "takes no value");
    *flag = true;
    return true;
}

bool Parser::Number(const Entry& item, uint32_t min, uint32_t* value) {
    if (!item.has_value)
        return Fail(text_, "needs a value");
    if (!ParseNumber(item.value, min, value))
        return Fail(text_, min > 0 ? "needs a whole number of at least 1" : "needs a whole number");
    return true;
}

bool Parser::IdFault(const Entry& item, uint32_t* count) {
    if (!item.has_value) {
        *count = kAlways;
        return true;
    }
    return Number(item, 1, count);
}

// RECORD[:M|:always][@sw|@fs]
bool Parser::Record(const Entry& item, RecordFault::Kind kind) {
    if (!item.has_value)
        return Fail(text_, "needs a record number");
    RecordFault fault;
    fault.kind = kind;
    std::string_view value = item.value;
    const size_t at = value.find('@');
    if (at != std::string_view::npos) {
        const std::string_view image = value.substr(at + 1);
        if (image == "sw")
            fault.image = RecordFault::Image::kSw;
        else if (image == "fs")
            fault.image = RecordFault::Image::kFs;
        else
            return Fail(text_, "the image after '@' must be sw or fs");
        value = value.substr(0, at);
    }
    const size_t colon = value.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view attempts = value.substr(colon + 1);
        if (attempts == "always")
            fault.attempts = kAlways;
        else if (!ParseNumber(attempts, 1, &fault.attempts))
            return Fail(text_, "attempts after ':' must be a number of at least 1 or 'always'");
        value = value.substr(0, colon);
    }
    if (!ParseNumber(value, 1, &fault.record))
        return Fail(text_, "needs a record number");
    if (fault.record < kFirstReplayedRecord)
        return Fail(text_, "records 1 to 5 are the handshake and are not replayed");
    faults_->records.push_back(fault);
    return true;
}

bool Parser::Take(std::string_view text) {
    text_ = text;
    const Entry item = SplitEntry(text);
    const std::string_view name = item.name;
    using Kind = RecordFault::Kind;
    if (name == "never-boot")
        return Flag(item, &faults_->never_boot);
    if (name == "boot-after-resets")
        return Number(item, 1, &faults_->boot_after_resets);
    if (name == "id-split")
        return IdFault(item, &faults_->id_split);
    if (name == "id-shifted")
        return IdFault(item, &faults_->id_shifted);
    if (name == "id-wrong")
        return IdFault(item, &faults_->id_wrong);
    if (name == "ignore-speed")
        return Flag(item, &faults_->ignore_speed);
    if (name == "restart-9600")
        return Flag(item, &faults_->restart_9600);
    if (name == "stray-bytes")
        return Number(item, 1, &faults_->stray_bytes);
    if (name == "latency-ms")
        return Number(item, 0, &faults_->extra_latency_ms);
    if (name == "stray-before")
        return Record(item, Kind::kStrayBefore);
    if (name == "wrong-answer")
        return Record(item, Kind::kWrongAnswer);
    if (name == "no-answer")
        return Record(item, Kind::kNoAnswer);
    if (name == "partial-write")
        return Record(item, Kind::kPartialWrite);
    return Fail(text, "unknown fault");
}

}  // namespace

const std::vector<std::string_view> kModemFaultNames = {
    "never-boot",   "boot-after-resets", "id-split",      "id-shifted", "id-wrong",
    "ignore-speed", "restart-9600",      "stray-bytes",   "latency-ms", "stray-before",
    "wrong-answer", "no-answer",         "partial-write",
};

bool RecordFault::Applies(ImageKind which, uint32_t record_number, uint32_t attempt) const {
    if (record_number != record || attempt > attempts)
        return false;
    return image == Image::kBoth || (image == Image::kSw) == (which == ImageKind::kSw);
}

const RecordFault* ModemFaults::Find(RecordFault::Kind kind, ImageKind which,
                                     uint32_t record_number, uint32_t attempt) const {
    for (const RecordFault& fault : records) {
        if (fault.kind == kind && fault.Applies(which, record_number, attempt))
            return &fault;
    }
    return nullptr;
}

bool ParseFaults(std::string_view list, ModemFaults* faults, std::string* error) {
    ModemFaults parsed = *faults;
    Parser parser(&parsed, error);
    if (Trim(list).empty())
        return true;
    for (;;) {
        const size_t comma = list.find(',');
        const std::string_view item = Trim(list.substr(0, comma));
        if (item.empty()) {
            *error = "empty fault in '" + std::string(list) + "'";
            return false;
        }
        if (!parser.Take(item))
            return false;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    *faults = std::move(parsed);
    return true;
}

}  // namespace sim
