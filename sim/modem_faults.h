// Faults the modem model can be told to make, each deterministic, and their text form for the
// virtual board's command line.
//
// A fault list is a comma-separated list of items (blanks around items are ignored; an empty list
// means no fault):
//   never-boot             the power key never starts the boot loader
//   boot-after-resets=N    it starts only on the power-key pulse of the Nth reset or later
//   id-split[=N]           the identification comes in two halves, a pause longer than a
//                          100 ms poll between them
//   id-shifted[=N]         the identification comes one byte late (a 0x00 before it)
//   id-wrong[=N]           the identification's last byte is 0x00 instead of 0xFF
//                          (id faults: the first N identifications, or every one without =N)
//   ignore-speed           'S' '6' is taken but the speed stays where it is
//   restart-9600           after an image the beacon starts again at 9600 baud
//   stray-bytes=N          how many stray bytes stray-before sends (1 unless given)
//   latency-ms=N           every answer N ms later than the model's own latency
// and the record faults, RECORD counting from 1 in the image (6 or more: records 1 to 5 are
// the handshake):
//   stray-before=RECORD    stray bytes before the answer of a read record
//   wrong-answer=RECORD    one byte of the answer wrong (its first non-zero byte inverted)
//   no-answer=RECORD       no answer at all
//   partial-write=RECORD   only half of the write record taken, the rest refused
// A record fault applies at the first attempt of its record unless followed by ":M" (the first
// M attempts) or ":always"; an attempt is the model reaching that record in that image, once
// per pass, counted over the model's life.  "@sw" or "@fs" at the end limits it to one image;
// without it, it applies to both. Example: "wrong-answer=700:2@sw,latency-ms=5".
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class ImageKind { kSw, kFs };

// For counts of "the first N": every one.
constexpr uint32_t kAlways = std::numeric_limits<uint32_t>::max();

struct RecordFault {
    enum class Kind { kStrayBefore, kWrongAnswer, kNoAnswer, kPartialWrite };
    enum class Image { kBoth, kSw, kFs };

    Kind kind = Kind::kWrongAnswer;
    uint32_t record = 0;    // from 1
    uint32_t attempts = 1;  // the first `attempts` attempts, or kAlways
    Image image = Image::kBoth;

    bool Applies(ImageKind which, uint32_t record_number, uint32_t attempt) const;
    bool operator==(const RecordFault&) const = default;
};

struct ModemFaults {
    bool never_boot = false;
    uint32_t boot_after_resets = 0;
    // Identifications affected, counted over the model's life: 0 none, kAlways every one.
    uint32_t id_split = 0;
    uint32_t id_shifted = 0;
    uint32_t id_wrong = 0;
    bool ignore_speed = false;
    bool restart_9600 = false;
    uint32_t stray_bytes = 1;
    uint32_t extra_latency_ms = 0;
    std::vector<RecordFault> records;

    // The first record fault of a kind that applies, or nullptr.
    const RecordFault* Find(RecordFault::Kind kind, ImageKind which, uint32_t record_number,
                            uint32_t attempt) const;
    bool operator==(const ModemFaults&) const = default;
};

// The names of the faults above, in the order listed, for a usage message.
extern const std::vector<std::string_view> kModemFaultNames;

// Adds the faults of `list` to *faults.  On a bad list returns false, leaves *faults as it was
// and says why in *error.
bool ParseFaults(std::string_view list, ModemFaults* faults, std::string* error);

}  // namespace sim
