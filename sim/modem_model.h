// The modem's boot loader as the far end of COM1: the stand-in for the modem on the virtual
// board, driven by the two firmware images themselves (each a recorded conversation with the
// loader).  It runs on its own thread, in virtual time in-process or in real time in the
// virtual board program, and behaves as follows.
//
// Power.  The modem starts off.  A power-key pulse (GPB4 held high for at least
// power_key_min_ms, 500, then low) starts the boot loader, also when it is already running (it
// starts afresh).  A reset pulse (GPA15 high, then low) stops it at once: from the rising edge
// it is off and silent, and it needs the power-key pulse that the board's reset sequence gives
// after the reset line has gone low.  A power-key pulse while the reset line is high does
// nothing.  Pulses are judged by their edges and the times the edges were seen, so a pulse is
// measured right even when the model looks at it a little later.
//
// The CPLD.  The modem reaches COM1 only while the CPLD mode register holds 6 (mode 110).  In
// any other mode what it sends is lost and what arrives is thrown away; its own state goes on.
//
// Speed.  The loader starts at 9600 baud.  It keeps its own speed on the line, and the line
// garbles every byte that travels between different speeds, both ways.
//
// Handshake.  After a start the loader sends 'z' every beacon_interval_ms (50), the first one
// boot_delay_ms (50) after the power key went low.  Every beacon starts 137 us late (and the
// interval is 137 us longer than beacon_interval_ms), so that
// no 'z' comes a whole number of milliseconds after the event that started it: the updater's
// polls time out whole milliseconds after the same events, and a 'z' arriving at the very
// instant a poll times out would leave to thread scheduling which came first.  The first '?'
// that arrives
// after a 'z' has gone out ends the beacon and is answered, answer_latency_ms (1) later, with
// the identification: the payload of record 3 (C8 02 04 01 FF FF FF FF).  Other bytes are
// ignored.  Until 'S' '6' a further '?' gets the identification again once the last one has
// gone out (its bytes at the loader's speed): with wire time a 'z' can cross the first '?' on
// the line and arrive in front of the identification, where the updater does not recognise
// it, and the updater's '?' for that 'z' asks again.  A '?' that comes while the
// identification is still going out answers an earlier 'z' (the updater answers every 'z' of
// a poll) and is ignored, so that no second identification trails into the replay.  'S' '6'
// switches the loader's speed to 460800 at once, and 'Q' ends the handshake and begins a
// replay.
//
// Replay.  From 'Q' on the loader follows the image from record 6: it takes each write
// record's bytes and checks them against the record (a wrong byte is an error), and answers
// each read record with its payload, answer_latency_ms after the last byte it received or
// sent.  Records 1 to 64 are the same in both images, so the loader keeps both images as
// candidates and drops the one whose write bytes do not match; the first write of stage 5
// (record 65) tells them apart.  While both are still candidates it resolves any other
// difference (a read record to answer, records of another length or direction, an image that
// ends) in favour of the image that the session order suggests: the SW image, or the FS image
// when the last image completed was the SW image.  When the last record of the image has been
// answered, the image is complete.
//
// After an image, and after an error, the loader goes back to its 'z' beacon at its current
// speed.  After a wrong byte it first waits for the line to stay quiet for one beacon interval,
// throwing away what still comes (the rest of the updater's write).  Silence of
// silence_timeout_ms (6000) while it waits for the updater (after the identification, after
// 'S' '6', or for a write record) is also an error: 6 s is longer than the 51 reads of 100 ms
// with which the updater gives up a record, so a record that the updater is still trying to
// read sees no 'z' before it gives up.
//
// Faults (ModemFaults, see modem_faults.h): a boot that never comes or only after N resets;
// the identification split (halves id_split_pause_ms, 150, apart), shifted by a 0x00 or with a
// wrong last byte; 'S' '6' ignored; the beacon back at 9600 after an image; stray bytes
// (0x55, or 0x5A where the answer begins with 0x55) before an answer; an answer with its first
// non-zero byte inverted (so that neither a late byte nor an empty read of 0x00 can complete
// it); no answer; a write taken only in half; extra latency.  A partial write is set up on the
// line while the loader answers the read record before it, the one moment when the updater's
// next write is surely that record; where no read record comes before it (record 6), it cannot
// be, and the model says so in its timeline.
//
// Threads and time.  Start() runs the loader on its own thread, registered with the clock;
// every wait goes through the clock, with a deadline whenever the loader has anything to do,
// so the same run gives the same bytes at the same instants.  (A modem that is off waits for
// its pins alone.)  A source of pins that announces its changes (the recording bus) wakes the
// model at once; one that does not (the register file) is looked at every millisecond.
// While the model waits for bytes it looks at its pins and at Stop() at least every 50 ms
// (every poll interval of a sampled source).  Stop() ends the thread within that time; in
// virtual time it lets the clock run that far.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "sim/board_pins.h"
#include "sim/image_records.h"
#include "sim/modem_faults.h"
#include "sim/modem_line.h"
#include "sim/modem_report.h"

namespace sim {

constexpr uint32_t kBootBaud = 9600;
constexpr uint32_t kFastBaud = 460800;

// A point of the session that the loader has reached, for an observer that acts at a phase
// (the virtual board's faults of the machine around the updater).
struct ModemPoint {
    enum class Kind {
        kBeaconAnswered,   // a '?' answered a 'z': the updater is in the handshake
        kRecordConfirmed,  // a record of the image confirmed (a read record: answered)
        kImageComplete,    // the last record of the image answered
    };
    Kind kind = Kind::kBeaconAnswered;
    ImageKind image = ImageKind::kSw;
    uint32_t record = 0;  // kRecordConfirmed: the record's number, from 1
};

struct ModemOptions {
    uint32_t beacon_interval_ms = 50;
    uint32_t boot_delay_ms = 50;
    uint32_t power_key_min_ms = 500;
    uint32_t answer_latency_ms = 1;
    uint32_t silence_timeout_ms = 6000;
    uint32_t id_split_pause_ms = 150;
    ModemFaults faults;
    // Called on the model's thread as each point is reached, before the loader acts on it
    // (before the identification goes out, before a read record's answer); it must not call
    // the model.
    std::function<void(const ModemPoint&)> on_point;
};

class ModemModel {
  public:
    // The images are used in place and must outlive the model; either may be empty.
    ModemModel(ModemLine& line, BoardPins& pins, host::Clock& clock,
               std::span<const uint8_t> sw_image, std::span<const uint8_t> fs_image,
               ModemOptions options = {});
    ~ModemModel();
    ModemModel(const ModemModel&) = delete;
    ModemModel& operator=(const ModemModel&) = delete;

    void Start();
    void Stop();

    // A copy of the counters and the timeline; safe while the model runs.
    ModemReport Report() const;

  private:
    enum class State { kOff, kBeacon, kIdentified, kAwaitQ, kReplay, kRecover };
    struct Output {
        int64_t at_us = 0;
        std::vector<uint8_t> bytes;
    };
    // One replay, from 'Q' to the image's end or an error.  The image followed is the
    // primary candidate; what the pass has counted moves with it if the other one wins.
    struct Pass {
        uint32_t record = 0;  // the current record, from 1
        uint32_t offset = 0;  // bytes of the current write record taken
        bool live[2] = {false, false};
        ImageKind primary = ImageKind::kSw;
        uint32_t confirmed = 0;
        uint64_t bytes = 0;
    };

    void Run();
    void RunOnce();
    // Pins.
    void ApplyPins();
    void ApplyPinChange(const PinChange& change);
    void PowerKeyPulse(int64_t time_us);
    void Boot(int64_t time_us);
    void PowerOff();
    bool Talking() const;
    // Time.
    int64_t StateDueUs() const;
    int64_t NextDueUs() const;
    void OnDue(int64_t now_us);
    void Listen(int64_t until_us);
    size_t WantedBytes() const;
    // Output.
    void Schedule(std::vector<uint8_t> bytes, int64_t delay_us);
    void FlushOutput(int64_t now_us);
    void Send(const uint8_t* bytes, size_t size, int64_t now_us);
    void ChangeBaud(uint32_t baud);
    int64_t LatencyUs() const;
    // Handshake.
    size_t Dispatch(const uint8_t* bytes, size_t size);
    size_t OnBeaconBytes(const uint8_t* bytes, size_t size);
    size_t OnIdentifiedBytes(const uint8_t* bytes, size_t size);
    size_t OnAwaitQBytes(const uint8_t* bytes, size_t size);
    void SendIdentification();
    void StartBeacon(int64_t first_z_us);
    // Replay.
    void BeginPass();
    void EnterRecord();
    bool ResolveCandidates();
    void Identify(ImageKind image, const char* how);
    void AnswerRecord(uint32_t attempt);
    void ArmPartialWrite();
    size_t OnWriteBytes(const uint8_t* bytes, size_t size);
    void CompleteImage();
    void Error(uint32_t record, std::string detail, State next);
    // Bookkeeping.
    void Confirm();
    void Reached(ModemPoint::Kind kind, ImageKind image = ImageKind::kSw, uint32_t record = 0);
    const ImageRecords& Records(ImageKind image) const;
    ImageKind Preferred() const;
    uint32_t Reach(ImageKind image, uint32_t record);
    void AddEvent(ModemEventKind kind, uint32_t value, std::optional<ImageKind> image,
                  std::string detail, int64_t time_us = -1);
    template <typename Fn>
    void Count(Fn fn);

    ModemLine& line_;
    BoardPins& pins_;
    host::Clock& clock_;
    const ModemOptions options_;
    ImageRecords images_[2];
    std::vector<uint8_t> identification_;
    int64_t attention_us_;

    // Steering between threads; changed through the clock so that waits re-check.
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> pin_version_{0};
    std::thread thread_;

    // The model's own state, touched by its thread alone.
    State state_ = State::kOff;
    PinLevels levels_;
    uint64_t path_changes_ = 0;  // CPLD mode or reset line changes applied
    int64_t key_high_since_us_ = -1;
    uint32_t baud_ = kBootBaud;
    uint32_t beacon_baud_ = kBootBaud;
    int64_t next_z_us_ = 0;
    bool z_sent_ = false;
    bool s_seen_ = false;
    int64_t last_heard_us_ = 0;
    int64_t last_sent_us_ = 0;
    std::deque<Output> output_;
    int64_t output_tail_us_ = 0;
    uint32_t identifications_ = 0;
    int64_t identification_done_us_ = 0;  // when the last one has gone out
    uint32_t resets_seen_ = 0;
    ImageKind last_completed_ = ImageKind::kFs;
    Pass pass_;
    uint32_t armed_record_ = 0;         // the record a partial write was set up for
    std::vector<uint32_t> reached_[2];  // per record: times reached in this image
    std::vector<uint8_t> buffer_;

    mutable std::mutex report_mutex_;
    ModemReport report_;
};

}  // namespace sim
