// What the modem model saw and did, for the virtual board's report: counters per image and
// overall, and a timeline of events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/modem_faults.h"

namespace sim {

enum class ModemEventKind {
    kPowerOn,         // the power-key pulse started the boot loader
    kPowerOnIgnored,  // a power-key pulse that a boot fault swallowed
    kReset,           // a reset pulse ended (the modem is off until the next power-key pulse)
    kCpldMode,        // value: the new mode
    kHandshake,       // 'Q' received: replay begins
    kSpeedChange,     // value: the new speed
    kImageIdentified,
    kImageComplete,
    kError,  // value: the record number (0 in the handshake); detail says what
    kFault,  // a fault knob acted; value: the record number where there is one
};

struct ModemEvent {
    int64_t time_us = 0;
    ModemEventKind kind = ModemEventKind::kError;
    uint32_t value = 0;
    std::optional<ImageKind> image;
    std::string detail;
};

// "12.345678 s  error at record 123: ..." and the like.
std::string DescribeEvent(const ModemEvent& event);
const char* ImageName(ImageKind image);

struct ImageStats {
    uint32_t passes = 0;  // replays begun ('Q' received) with this image
    // Write records whose bytes all matched, and read records answered with the right bytes.
    uint32_t records_confirmed = 0;
    uint64_t bytes_received = 0;  // write-record bytes that matched
    uint32_t completed = 0;       // passes that reached the image's last record
};

struct ModemReport {
    ImageStats sw;
    ImageStats fs;
    uint32_t handshakes = 0;
    uint32_t resets = 0;
    uint32_t power_ons = 0;
    uint32_t speed_changes = 0;
    uint32_t errors = 0;
    bool powered = false;
    uint32_t baud = 0;  // the model's own speed now
    std::vector<ModemEvent> events;
    uint64_t events_dropped = 0;  // past the timeline's limit

    const ImageStats& Of(ImageKind image) const { return image == ImageKind::kSw ? sw : fs; }
    ImageStats& Of(ImageKind image) { return image == ImageKind::kSw ? sw : fs; }
    // The events of one kind, in order.
    std::vector<ModemEvent> EventsOf(ModemEventKind kind) const;
};

}  // namespace sim
