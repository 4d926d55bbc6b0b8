// The register file's layout and checks: see the header.
#include "host/register_layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host::register_layout {
namespace {

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;
constexpr size_t kCountOffset = 8;

[[noreturn]] void Fail(const char* what, uint32_t address, int width) {
    std::fprintf(stderr, "register file: %s of %d bits at 0x%08X\n", what, width,
                 static_cast<unsigned>(address));
    std::fflush(stderr);
    std::abort();
}

uint32_t WordIn(const unsigned char* bytes, size_t offset) {
    uint32_t word;
    std::memcpy(&word, bytes + offset, sizeof word);
    return word;
}

uint32_t MaskOf(int width) {
    return width == 32 ? ~uint32_t{0} : (uint32_t{1} << width) - 1;
}

}  // namespace

std::optional<size_t> SlotOf(uint32_t address) {
    for (size_t i = 0; i < kAddresses.size(); ++i) {
        if (kAddresses[i] == address)
            return i;
    }
    return std::nullopt;
}

size_t SlotOffset(uint32_t address, int width, bool write, bool writable) {
    std::optional<size_t> slot = SlotOf(address);
    if (!slot)
        Fail(write ? "write to an address outside the board's table"
                   : "read of an address outside the board's table",
             address, width);
    if (write && !writable)
        Fail("write through a read-only view", address, width);
    return kHeaderSize + 4 * *slot;
}

Image FreshImage() {
    Image image{};
    const uint32_t header[] = {kMagic, kVersion, static_cast<uint32_t>(kAddresses.size()), 0};
    std::memcpy(image.data(), header, sizeof header);
    return image;
}

std::optional<std::string> RefusalOf(uint64_t size, const unsigned char* header) {
    if (size != kFileSize)
        return "not a register file (size " + std::to_string(size) + ", expected " +
               std::to_string(kFileSize) + ")";
    if (WordIn(header, kMagicOffset) != kMagic)
        return "not a register file (wrong magic)";
    if (WordIn(header, kVersionOffset) != kVersion ||
        WordIn(header, kCountOffset) != kAddresses.size())
        return "register file of another version or layout";
    return std::nullopt;
}

std::optional<std::string> FailureOf(size_t got, const Image& image) {
    if (got != kFileSize)
        return "cut short to " + std::to_string(got) + " of " + std::to_string(kFileSize) +
               " bytes";
    if (WordAt(image, kMagicOffset) != kMagic || WordAt(image, kVersionOffset) != kVersion)
        return "no longer a register file (its header is gone)";
    return std::nullopt;
}

uint32_t WordAt(const Image& image, size_t offset) {
    return WordIn(image.data(), offset);
}

uint32_t Load(const Image& image, size_t offset, int width) {
    return WordAt(image, offset) & MaskOf(width);
}

size_t Store(Image& image, size_t offset, int width, uint32_t value) {
    const uint32_t mask = MaskOf(width);
    const uint32_t slot = (WordAt(image, offset) & ~mask) | (value & mask);
    const uint32_t count = WordAt(image, kWriteCountOffset) + 1;
    std::memcpy(image.data() + offset, &slot, sizeof slot);
    std::memcpy(image.data() + kWriteCountOffset, &count, sizeof count);
    return offset + 4 - kWriteCountOffset;
}

}  // namespace host::register_layout
