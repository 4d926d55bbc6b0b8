// Makes the firmware images that the build embeds: recorded conversations with the modem's
// boot loader, cut into records, with the sizes, counts and layout that the updater relies
// on.  The same kind always gives the same bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace fwgen {

enum class ImageKind { kSw, kFs };

std::vector<uint8_t> GenerateImage(ImageKind kind);

// The boot loader's certificate (DER) that the images carry in records 8 and 39.
std::span<const uint8_t> Certificate();

}  // namespace fwgen
