// The modem's boot loader; see the header for its behaviour.
//
// One thread runs a loop: take the pin changes, send what is due, fire the state's timer, and
// otherwise either read the line (until the next thing due, at most one attention interval) or
// wait on the clock for a pin change.  Pin changes are applied before anything is sent, so
// nothing goes out after a reset edge however late the model looks at it.
#include "sim/modem_model.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "download/image_format.h"

namespace sim {
namespace {

constexpr uint8_t kZ = 0x7A;
constexpr uint8_t kQuery = 0x3F;
constexpr uint8_t kSpeedCommand = 0x53;  // 'S'
constexpr uint8_t kSpeedFast = 0x36;     // '6'
constexpr uint8_t kQuit = 0x51;          // 'Q': ends the handshake
constexpr uint32_t kFirstReplayedRecord = 6;
constexpr uint32_t kIdentificationRecord = 3;
constexpr int64_t kAttentionUs = 50'000;
// A beacon's first 'z' comes this much after its due time, so that no 'z' ever comes a whole
// number of milliseconds after the event that started the beacon.  The updater's polls time
// out a whole number of milliseconds after the same events, and a 'z' arriving at the very
// instant a poll times out would leave it to thread scheduling which of the two came first.
constexpr int64_t kBeaconPhaseUs = 137;
constexpr size_t kBufferBytes = 65536;
constexpr size_t kMaxEvents = 100'000;

int Index(ImageKind image) {
    return image == ImageKind::kSw ? 0 : 1;
}

ImageKind Other(ImageKind image) {
    return image == ImageKind::kSw ? ImageKind::kFs : ImageKind::kSw;
}

int64_t Ms(uint32_t ms) {
    return int64_t{ms} * 1000;
}

std::vector<uint8_t> IdentificationOf(const ImageRecords (&images)[2]) {
    for (const ImageRecords& records : images) {
        if (records.Has(kIdentificationRecord) &&
            records.At(kIdentificationRecord).direction == image::kDirectionRead) {
            auto payload = records.Payload(kIdentificationRecord);
            if (!payload.empty())
                return {payload.begin(), payload.end()};
        }
    }
    return {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
}

std::string Hex(uint8_t byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 15];
}

bool SameRecord(const ImageRecords& a, const ImageRecords& b, uint32_t number) {
    if (!a.Has(number) || !b.Has(number))
        return false;
    const RecordRef& x = a.At(number);
    const RecordRef& y = b.At(number);
    if (x.direction != y.direction || x.length != y.length)
        return false;
    // Write bytes are compared as they arrive; a read must be settled before it is answered.
    if (x.direction == image::kDirectionWrite)
        return true;
    auto p = a.Payload(number);
    auto q = b.Payload(number);
    return std::equal(p.begin(), p.end(), q.begin());
}

// A beacon interval of 0 would never let the next 'z' come after the last one.
ModemOptions Sanitized(ModemOptions options) {
    options.beacon_interval_ms = std::max<uint32_t>(options.beacon_interval_ms, 1);
    return options;
}

}  // namespace

ModemModel::ModemModel(ModemLine& line, BoardPins& pins, host::Clock& clock,
                       std::span<const uint8_t> sw_image, std::span<const uint8_t> fs_image,
                       ModemOptions options)
    : line_(line),
      pins_(pins),
      clock_(clock),
      options_(Sanitized(std::move(options))),
      images_{ImageRecords(sw_image), ImageRecords(fs_image)},
      identification_(IdentificationOf(images_)),
      attention_us_(pins.poll_interval_us() > 0 ? std::min(kAttentionUs, pins.poll_interval_us())
                                                : kAttentionUs),
      buffer_(kBufferBytes) {
    for (int i = 0; i < 2; ++i)
        reached_[i].assign(images_[i].count() + 1, 0);
    report_.baud = baud_;
}

ModemModel::~ModemModel() {
    Stop();
}

void ModemModel::Start() {
    if (thread_.joinable())
        return;
    stop_ = false;
    finished_ = false;
    pins_.TakeChanges();
    levels_ = pins_.Levels();
    key_high_since_us_ = levels_.power_key ? clock_.now_us() : -1;
    pins_.SetListener([this] { clock_.update([this] { pin_version_.fetch_add(1); }); });
    clock_.add_pending_thread();
    try {
        thread_ = std::thread([this] {
            clock_.begin_pending_thread();
            Run();
            clock_.update([this] { finished_ = true; });
            clock_.unregister_thread();
        });
    } catch (const std::system_error&) {
        clock_.unregister_thread();
        pins_.SetListener(nullptr);
    }
}

// The thread may be inside a read of the line, which ends within one attention interval:
// the wait lets the clock get there.
void ModemModel::Stop() {
    if (!thread_.joinable())
        return;
    clock_.update([this] { stop_ = true; });
    clock_.wait_until_us(host::kForever, [this] { return finished_.load(); });
    thread_.join();
    pins_.SetListener(nullptr);
}

ModemReport ModemModel::Report() const {
    std::lock_guard<std::mutex> lock(report_mutex_);
    return report_;
}

// ---- the loop ----

void ModemModel::Run() {
    line_.SetBaud(baud_);
    while (!stop_.load())
        RunOnce();
}

void ModemModel::RunOnce() {
    // Taken before the changes, so that a change made from here on ends the wait below.
    const uint64_t pins_seen = pin_version_.load();
    ApplyPins();
    const int64_t now_us = clock_.now_us();
    FlushOutput(now_us);
    if (StateDueUs() <= now_us) {
        OnDue(now_us);
        return;
    }
    if (WantedBytes() > 0) {
        Listen(std::min(NextDueUs(), now_us + attention_us_));
        return;
    }
    int64_t until_us = NextDueUs();
    if (pins_.poll_interval_us() > 0)
        until_us = std::min(until_us, now_us + pins_.poll_interval_us());
    clock_.wait_until_us(until_us,
                         [&] { return stop_.load() || pin_version_.load() != pins_seen; });
}

int64_t ModemModel::StateDueUs() const {
    switch (state_) {
        case State::kOff:
            return host::kForever;
        case State::kBeacon:
            return next_z_us_;
        case State::kIdentified:
        case State::kAwaitQ:
        case State::kReplay:
            return std::max({last_heard_us_, last_sent_us_, output_tail_us_}) +
                   Ms(options_.silence_timeout_ms);
        case State::kRecover:
            return last_heard_us_ + Ms(options_.beacon_interval_ms);
    }
    return host::kForever;
}

int64_t ModemModel::NextDueUs() const {
    const int64_t output_us = output_.empty() ? host::kForever : output_.front().at_us;
    return std::min(StateDueUs(), output_us);
}

void ModemModel::OnDue(int64_t now_us) {
    switch (state_) {
        case State::kOff:
            return;
        case State::kBeacon: {
            if (baud_ != beacon_baud_)
                ChangeBaud(beacon_baud_);
            const uint8_t z = kZ;
            Send(&z, 1, now_us);
            z_sent_ = true;
            // The beacon drifts against the millisecond grid as well, by the same offset on
            // every interval, so that it cannot fall into step with polls that a replay read
            // ended at a byte's arrival.
            const int64_t interval_us = Ms(options_.beacon_interval_ms) + kBeaconPhaseUs;
            while (next_z_us_ <= now_us)
                next_z_us_ += interval_us;
            return;
        }
        case State::kIdentified:
            return Error(0, "no speed request after the identification", State::kBeacon);
        case State::kAwaitQ:
            return Error(0, "no 'Q' after the speed request", State::kBeacon);
        case State::kReplay:
            return Error(pass_.record,
                         "silence with " + std::to_string(pass_.offset) + " of " +
                             std::to_string(Records(pass_.primary).At(pass_.record).length) +
                             " bytes of the write record taken",
                         State::kBeacon);
        case State::kRecover:
            return StartBeacon(now_us);
    }
}

size_t ModemModel::WantedBytes() const {
    switch (state_) {
        case State::kOff:
            return 0;
        case State::kReplay:
            return Records(pass_.primary).At(pass_.record).length - pass_.offset;
        default:
            return buffer_.size();
    }
}

// A whole write record is asked for at once, so that with wire time the line wakes the model
// once for it rather than once per byte; elsewhere the first byte ends the read.
void ModemModel::Listen(int64_t until_us) {
    const uint64_t path_changes_before = path_changes_;
    const size_t want = std::min(WantedBytes(), buffer_.size());
    uint8_t* buffer = buffer_.data();
    size_t got = 0;
    if (state_ == State::kReplay) {
        got = line_.Read(buffer, want, until_us);
    } else {
        got = line_.Read(buffer, 1, until_us);
        if (got > 0)
            got += line_.Read(buffer + 1, want - 1, 0);
    }
    if (got == 0)
        return;
    // A reset or a CPLD switch while the bytes came: some of them may have come while the modem
    // could not hear them, and which ones cannot be told, so none of them is heard.
    ApplyPins();
    if (!Talking() || path_changes_ != path_changes_before)
        return;
    last_heard_us_ = clock_.now_us();
    size_t done = 0;
    while (done < got) {
        const size_t used = Dispatch(buffer + done, got - done);
        if (used == 0)
            break;
        done += used;
    }
}

// ---- pins ----

void ModemModel::ApplyPins() {
    for (const PinChange& change : pins_.TakeChanges())
        ApplyPinChange(change);
}

void ModemModel::ApplyPinChange(const PinChange& change) {
    const PinLevels before = levels_;
    const PinLevels& now = change.levels;
    levels_ = now;
    if (now.cpld_mode != before.cpld_mode || now.reset != before.reset)
        ++path_changes_;
    if (now.cpld_mode != before.cpld_mode)
        AddEvent(ModemEventKind::kCpldMode, now.cpld_mode, {}, "", change.time_us);
    if (now.reset && !before.reset)
        PowerOff();
    if (!now.reset && before.reset) {
        ++resets_seen_;
        Count([](ModemReport& r) { ++r.resets; });
        AddEvent(ModemEventKind::kReset, 0, {}, "", change.time_us);
    }
    if (now.power_key && !before.power_key)
        key_high_since_us_ = change.time_us;
    if (!now.power_key && before.power_key) {
        const bool long_enough = key_high_since_us_ >= 0 && change.time_us - key_high_since_us_ >=
                                                                Ms(options_.power_key_min_ms);
        key_high_since_us_ = -1;
        if (long_enough && !now.reset)
            PowerKeyPulse(change.time_us);
    }
}

void ModemModel::PowerKeyPulse(int64_t time_us) {
    const ModemFaults& faults = options_.faults;
    if (faults.never_boot) {
        AddEvent(ModemEventKind::kPowerOnIgnored, 0, {}, "never-boot", time_us);
        return;
    }
    if (resets_seen_ < faults.boot_after_resets) {
        AddEvent(ModemEventKind::kPowerOnIgnored, 0, {},
                 "boot-after-resets: " + std::to_string(resets_seen_) + " of " +
                     std::to_string(faults.boot_after_resets) + " resets seen",
                 time_us);
        return;
    }
    Boot(time_us);
}

void ModemModel::Boot(int64_t time_us) {
    PowerOff();
    // What reached the line before the start was not for the boot loader.
    while (line_.Read(buffer_.data(), buffer_.size(), 0) > 0) {
    }
    beacon_baud_ = kBootBaud;
    Count([](ModemReport& r) {
        ++r.power_ons;
        r.powered = true;
    });
    AddEvent(ModemEventKind::kPowerOn, 0, {}, "", time_us);
    StartBeacon(time_us + Ms(options_.boot_delay_ms));
}

void ModemModel::PowerOff() {
    state_ = State::kOff;
    output_.clear();
    output_tail_us_ = 0;
    ChangeBaud(kBootBaud);
    Count([](ModemReport& r) { r.powered = false; });
}

bool ModemModel::Talking() const {
    return state_ != State::kOff && levels_.cpld_mode == kCpldModeDownload;
}

// ---- output ----

void ModemModel::Schedule(std::vector<uint8_t> bytes, int64_t delay_us) {
    const int64_t at_us = std::max(clock_.now_us(), output_tail_us_) + delay_us;
    output_tail_us_ = at_us;
    output_.push_back({at_us, std::move(bytes)});
}

void ModemModel::FlushOutput(int64_t now_us) {
    while (!output_.empty() && output_.front().at_us <= now_us) {
        const Output& out = output_.front();
        Send(out.bytes.data(), out.bytes.size(), now_us);
        output_.pop_front();
    }
}

void ModemModel::Send(const uint8_t* bytes, size_t size, int64_t now_us) {
    if (Talking() && size > 0)
        line_.Write(bytes, size);
    last_sent_us_ = now_us;
}

void ModemModel::ChangeBaud(uint32_t baud) {
    if (baud == baud_)
        return;
    line_.SetBaud(baud);
    baud_ = baud;
    Count([baud](ModemReport& r) {
        ++r.speed_changes;
        r.baud = baud;
    });
    AddEvent(ModemEventKind::kSpeedChange, baud, {}, "");
}

int64_t ModemModel::LatencyUs() const {
    return Ms(options_.answer_latency_ms) + Ms(options_.faults.extra_latency_ms);
}

// ---- handshake ----

void ModemModel::StartBeacon(int64_t first_z_us) {
    state_ = State::kBeacon;
    next_z_us_ = first_z_us + kBeaconPhaseUs;
    z_sent_ = false;
    s_seen_ = false;
}

size_t ModemModel::Dispatch(const uint8_t* bytes, size_t size) {
    switch (state_) {
        case State::kBeacon:
            return OnBeaconBytes(bytes, size);
        case State::kIdentified:
            return OnIdentifiedBytes(bytes, size);
        case State::kAwaitQ:
            return OnAwaitQBytes(bytes, size);
        case State::kReplay:
            return OnWriteBytes(bytes, size);
        case State::kOff:
        case State::kRecover:
            return size;
    }
    return size;
}

size_t ModemModel::OnBeaconBytes(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == kQuery && z_sent_) {
            Reached(ModemPoint::Kind::kBeaconAnswered);
            SendIdentification();
            state_ = State::kIdentified;
            s_seen_ = false;
            return i + 1;
        }
    }
    return size;
}

// A '?' after the identification has gone out answers a 'z' that crossed the first '?' on
// the wire: the updater saw that 'z' in front of the identification, did not recognise it, and
// asks again.  A '?' that comes while the identification is still going out answers a 'z'
// from before it (the updater answers every 'z' of a poll) and gets nothing: a second
// identification then would trail into the updater's replay.
size_t ModemModel::OnIdentifiedBytes(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == kQuery) {
            if (clock_.now_us() >= identification_done_us_)
                SendIdentification();
            s_seen_ = false;
            continue;
        }
        if (s_seen_ && bytes[i] == kSpeedFast) {
            if (options_.faults.ignore_speed)
                AddEvent(ModemEventKind::kFault, 0, {},
                         "'S' '6' ignored: the speed stays " + std::to_string(baud_));
            else
                ChangeBaud(kFastBaud);
            beacon_baud_ = baud_;
            state_ = State::kAwaitQ;
            return i + 1;
        }
        s_seen_ = bytes[i] == kSpeedCommand;
    }
    return size;
}

size_t ModemModel::OnAwaitQBytes(const uint8_t* bytes, size_t size) {
    const uint8_t* q = std::find(bytes, bytes + size, kQuit);
    if (q == bytes + size)
        return size;
    BeginPass();
    return static_cast<size_t>(q - bytes) + 1;
}

void ModemModel::SendIdentification() {
    const uint32_t n = ++identifications_;
    const ModemFaults& faults = options_.faults;
    std::vector<uint8_t> id = identification_;
    std::string how;
    if (n <= faults.id_wrong) {
        id.back() = 0x00;
        how += " wrong";
    }
    if (n <= faults.id_shifted) {
        id.insert(id.begin(), 0x00);
        how += " shifted";
    }
    size_t last_part = id.size();
    if (n <= faults.id_split && id.size() > 1) {
        const auto half = static_cast<std::ptrdiff_t>(id.size() / 2);
        last_part = id.size() - id.size() / 2;
        Schedule({id.begin(), id.begin() + half}, LatencyUs());
        Schedule({id.begin() + half, id.end()}, Ms(options_.id_split_pause_ms));
        how += " split";
    } else {
        Schedule(std::move(id), LatencyUs());
    }
    // Ten bit times a byte at the loader's own speed.
    identification_done_us_ =
        output_tail_us_ + static_cast<int64_t>(last_part) * 10'000'000 / baud_;
    if (!how.empty())
        AddEvent(ModemEventKind::kFault, 0, {}, "identification" + how);
}

// ---- replay ----

void ModemModel::BeginPass() {
    Count([](ModemReport& r) { ++r.handshakes; });
    AddEvent(ModemEventKind::kHandshake, 0, {}, "");
    pass_ = Pass{};
    pass_.record = kFirstReplayedRecord;
    for (int i = 0; i < 2; ++i)
        pass_.live[i] = images_[i].count() > 0;
    if (!pass_.live[0] && !pass_.live[1])
        return Error(0, "no image to follow", State::kBeacon);
    pass_.primary = Preferred();
    Count([this](ModemReport& r) { ++r.Of(pass_.primary).passes; });
    state_ = State::kReplay;
    EnterRecord();
}

// Moves through read records (answering them) to the next write record, or to the end.
void ModemModel::EnterRecord() {
    for (;;) {
        if (!ResolveCandidates())
            return CompleteImage();
        const ImageKind image = pass_.primary;
        const uint32_t number = pass_.record;
        const RecordRef& record = Records(image).At(number);
        const uint32_t attempt = Reach(image, number);
        if (record.direction == image::kDirectionWrite) {
            pass_.offset = 0;
            if (options_.faults.Find(RecordFault::Kind::kPartialWrite, image, number, attempt) &&
                armed_record_ != number)
                AddEvent(ModemEventKind::kFault, number, image,
                         "partial write not possible: no read record before it");
            armed_record_ = 0;
            if (record.length > 0)
                return;
            Confirm();  // nothing to take
        } else {
            AnswerRecord(attempt);
        }
        ++pass_.record;
    }
}

// Settles a difference between the two candidates at the current record that write bytes
// cannot settle; false when the image followed has no record left.
bool ModemModel::ResolveCandidates() {
    if (pass_.live[0] && pass_.live[1] && !SameRecord(images_[0], images_[1], pass_.record))
        Identify(Preferred(), "by the session order");
    return Records(pass_.primary).Has(pass_.record);
}

void ModemModel::Identify(ImageKind image, const char* how) {
    pass_.live[Index(Other(image))] = false;
    if (image != pass_.primary) {
        // What this pass has counted so far belongs to the other image.
        const ImageKind from = pass_.primary;
        const Pass& pass = pass_;
        Count([&](ModemReport& r) {
            ImageStats& a = r.Of(from);
            ImageStats& b = r.Of(image);
            --a.passes;
            ++b.passes;
            a.records_confirmed -= pass.confirmed;
            b.records_confirmed += pass.confirmed;
            a.bytes_received -= pass.bytes;
            b.bytes_received += pass.bytes;
        });
        pass_.primary = image;
    }
    AddEvent(ModemEventKind::kImageIdentified, pass_.record, image,
             std::string(how) + " at record " + std::to_string(pass_.record));
}

void ModemModel::AnswerRecord(uint32_t attempt) {
    const ImageKind image = pass_.primary;
    const uint32_t number = pass_.record;
    const auto payload = Records(image).Payload(number);
    const ModemFaults& faults = options_.faults;
    using Kind = RecordFault::Kind;
    if (faults.Find(Kind::kNoAnswer, image, number, attempt)) {
        AddEvent(ModemEventKind::kFault, number, image, "no answer");
        return;
    }
    std::vector<uint8_t> out;
    if (faults.Find(Kind::kStrayBefore, image, number, attempt)) {
        const uint8_t stray = !payload.empty() && payload[0] == 0x55 ? 0x5A : 0x55;
        out.assign(faults.stray_bytes, stray);
        AddEvent(ModemEventKind::kFault, number, image,
                 std::to_string(faults.stray_bytes) + " stray bytes before the answer");
    }
    const size_t start = out.size();
    out.insert(out.end(), payload.begin(), payload.end());
    bool intact = true;
    if (faults.Find(Kind::kWrongAnswer, image, number, attempt) && !payload.empty()) {
        const auto nonzero =
            std::find_if(payload.begin(), payload.end(), [](uint8_t b) { return b != 0; });
        const size_t at = nonzero == payload.end() ? 0 : nonzero - payload.begin();
        out[start + at] ^= 0xFF;
        intact = false;
        AddEvent(ModemEventKind::kFault, number, image,
                 "answer byte " + std::to_string(at) + " inverted");
    }
    if (intact) {
        ArmPartialWrite();
        Confirm();
    }
    if (!out.empty())
        Schedule(std::move(out), LatencyUs());
}

// Before the answer goes out the updater writes nothing, and after it its next write is the
// record that follows: the one moment when the line's limit surely meets that record.
void ModemModel::ArmPartialWrite() {
    const ImageKind image = pass_.primary;
    const uint32_t next = pass_.record + 1;
    const ImageRecords& records = Records(image);
    if (!records.Has(next) || records.At(next).direction != image::kDirectionWrite)
        return;
    const uint32_t attempt =
        next < reached_[Index(image)].size() ? reached_[Index(image)][next] + 1 : 1;
    if (!options_.faults.Find(RecordFault::Kind::kPartialWrite, image, next, attempt))
        return;
    const uint32_t length = records.At(next).length;
    const uint32_t limit = length / 2;
    if (!line_.LimitNextWrite(limit)) {
        AddEvent(ModemEventKind::kFault, next, image, "partial write not possible on this line");
        armed_record_ = next;  // said once
        return;
    }
    armed_record_ = next;
    AddEvent(ModemEventKind::kFault, next, image,
             "write taken only up to " + std::to_string(limit) + " of " + std::to_string(length) +
                 " bytes");
}

size_t ModemModel::OnWriteBytes(const uint8_t* bytes, size_t size) {
    const uint32_t number = pass_.record;
    const uint32_t length = Records(pass_.primary).At(number).length;
    const size_t take = std::min<size_t>(size, length - pass_.offset);
    size_t mismatch[2] = {take, take};
    for (int i = 0; i < 2; ++i) {
        if (!pass_.live[i])
            continue;
        const auto expected = images_[i].Payload(number).subspan(pass_.offset, take);
        const auto diff = std::mismatch(expected.begin(), expected.end(), bytes);
        mismatch[i] = static_cast<size_t>(diff.first - expected.begin());
    }
    const bool ok[2] = {pass_.live[0] && mismatch[0] == take, pass_.live[1] && mismatch[1] == take};
    if (!ok[0] && !ok[1]) {
        const int i = Index(pass_.primary);
        const size_t at = mismatch[i];
        const uint8_t want = images_[i].Payload(number)[pass_.offset + at];
        Error(number,
              "wrong byte " + Hex(bytes[at]) + " at offset " + std::to_string(pass_.offset + at) +
                  " of " + std::to_string(length) + ", expected " + Hex(want),
              State::kRecover);
        return size;  // the rest of it goes with the write
    }
    if (pass_.live[0] && pass_.live[1] && ok[0] != ok[1])
        Identify(ok[0] ? ImageKind::kSw : ImageKind::kFs, "by its write bytes");
    pass_.offset += static_cast<uint32_t>(take);
    pass_.bytes += take;
    Count([this, take](ModemReport& r) { r.Of(pass_.primary).bytes_received += take; });
    if (pass_.offset == length) {
        Confirm();
        ++pass_.record;
        EnterRecord();
    }
    return take;
}

void ModemModel::CompleteImage() {
    const ImageKind image = pass_.primary;
    last_completed_ = image;
    Count([image](ModemReport& r) { ++r.Of(image).completed; });
    Reached(ModemPoint::Kind::kImageComplete, image);
    AddEvent(ModemEventKind::kImageComplete, 0, image, "");
    if (options_.faults.restart_9600 && beacon_baud_ != kBootBaud) {
        beacon_baud_ = kBootBaud;
        AddEvent(ModemEventKind::kFault, 0, image, "beacon back at 9600");
    }
    const int64_t now_us = clock_.now_us();
    StartBeacon(std::max(now_us, output_tail_us_) + Ms(options_.beacon_interval_ms));
}

void ModemModel::Error(uint32_t record, std::string detail, State next) {
    std::optional<ImageKind> image;
    if (state_ == State::kReplay)
        image = pass_.primary;
    Count([](ModemReport& r) { ++r.errors; });
    AddEvent(ModemEventKind::kError, record, image, std::move(detail));
    const int64_t now_us = clock_.now_us();
    if (next == State::kRecover) {
        state_ = State::kRecover;
        last_heard_us_ = now_us;
    } else {
        StartBeacon(now_us);
    }
}

// ---- bookkeeping ----

void ModemModel::Confirm() {
    ++pass_.confirmed;
    Count([this](ModemReport& r) { ++r.Of(pass_.primary).records_confirmed; });
    Reached(ModemPoint::Kind::kRecordConfirmed, pass_.primary, pass_.record);
}

void ModemModel::Reached(ModemPoint::Kind kind, ImageKind image, uint32_t record) {
    if (options_.on_point)
        options_.on_point(ModemPoint{kind, image, record});
}

const ImageRecords& ModemModel::Records(ImageKind image) const {
    return images_[Index(image)];
}

ImageKind ModemModel::Preferred() const {
    const ImageKind expected = Other(last_completed_);
    if (pass_.live[Index(expected)] || !pass_.live[Index(Other(expected))])
        return expected;
    return Other(expected);
}

uint32_t ModemModel::Reach(ImageKind image, uint32_t record) {
    std::vector<uint32_t>& reached = reached_[Index(image)];
    return record < reached.size() ? ++reached[record] : 1;
}

void ModemModel::AddEvent(ModemEventKind kind, uint32_t value, std::optional<ImageKind> image,
                          std::string detail, int64_t time_us) {
    ModemEvent event;
    event.time_us = time_us >= 0 ? time_us : clock_.now_us();
    event.kind = kind;
    event.value = value;
    event.image = image;
    event.detail = std::move(detail);
    std::lock_guard<std::mutex> lock(report_mutex_);
    if (report_.events.size() < kMaxEvents)
        report_.events.push_back(std::move(event));
    else
        ++report_.events_dropped;
}

template <typename Fn>
void ModemModel::Count(Fn fn) {
    std::lock_guard<std::mutex> lock(report_mutex_);
    fn(report_);
}

}  // namespace sim
