// The shared register file: see the header for its layout.
#include "host/posix/register_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host::posix {
namespace {

static_assert(std::atomic_ref<uint32_t>::is_always_lock_free,
              "the register file is shared between processes: its words must be lock-free");

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;
constexpr size_t kCountOffset = 8;
constexpr size_t kWriteCountOffset = 12;

[[noreturn]] void Fail(const char* what, uint32_t address, int width) {
    std::fprintf(stderr, "register file: %s of %d bits at 0x%08X\n", what, width,
                 static_cast<unsigned>(address));
    std::fflush(stderr);
    std::abort();
}

uint32_t MaskOf(int width) {
    return width == 32 ? ~uint32_t{0} : (uint32_t{1} << width) - 1;
}

uint32_t HeaderWord(const unsigned char* header, size_t offset) {
    uint32_t word;
    std::memcpy(&word, header + offset, sizeof word);
    return word;
}

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

RegisterFile::RegisterFile(const std::string& path, Access access) : access_(access) {
    Map(path);
}

RegisterFile::~RegisterFile() {
    if (base_ != nullptr)
        munmap(base_, kFileSize);
}

bool RegisterFile::Map(const std::string& path) {
    const bool writable = access_ == Access::kReadWrite;
    int fd = open(path.c_str(), writable ? (O_RDWR | O_CREAT | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC),
                  0644);
    if (fd < 0) {
        error_ = path + ": " + Reason("cannot open");
        return false;
    }
    // A file that another process has just created stays empty until that process has written
    // its header; the lock keeps us from judging (or initialising) it half made.
    flock(fd, writable ? LOCK_EX : LOCK_SH);
    bool good = (!writable || InitialiseIfEmpty(fd)) && Validate(fd);
    if (good) {
        void* base = mmap(nullptr, kFileSize, writable ? (PROT_READ | PROT_WRITE) : PROT_READ,
                          MAP_SHARED, fd, 0);
        if (base == MAP_FAILED) {
            error_ = Reason("cannot map");
            good = false;
        } else {
            base_ = base;
        }
    }
    if (!good)
        error_ = path + ": " + error_;
    flock(fd, LOCK_UN);
    close(fd);
    return good;
}

bool RegisterFile::InitialiseIfEmpty(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error_ = Reason("cannot stat");
        return false;
    }
    if (st.st_size != 0)
        return true;
    unsigned char image[kFileSize] = {};
    const uint32_t header[] = {kMagic, kVersion, static_cast<uint32_t>(kAddresses.size()), 0};
    std::memcpy(image, header, sizeof header);
    if (pwrite(fd, image, sizeof image, 0) != static_cast<ssize_t>(sizeof image)) {
        error_ = Reason("cannot initialise");
        return false;
    }
    return true;
}

bool RegisterFile::Validate(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(kFileSize)) {
        error_ = "not a register file (size " + std::to_string(st.st_size) + ", expected " +
                 std::to_string(kFileSize) + ")";
        return false;
    }
    unsigned char header[kHeaderSize];
    if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        error_ = Reason("cannot read the header");
        return false;
    }
    if (HeaderWord(header, kMagicOffset) != kMagic) {
        error_ = "not a register file (wrong magic)";
        return false;
    }
    if (HeaderWord(header, kVersionOffset) != kVersion ||
        HeaderWord(header, kCountOffset) != kAddresses.size()) {
        error_ = "register file of another version or layout";
        return false;
    }
    return true;
}

std::optional<size_t> RegisterFile::SlotOf(uint32_t address) {
    for (size_t i = 0; i < kAddresses.size(); ++i) {
        if (kAddresses[i] == address)
            return i;
    }
    return std::nullopt;
}

uint32_t* RegisterFile::Word(size_t offset) const {
    return reinterpret_cast<uint32_t*>(static_cast<unsigned char*>(base_) + offset);
}

uint32_t* RegisterFile::SlotFor(uint32_t address, int width, bool write) const {
    if (base_ == nullptr)
        Fail(write ? "write to an unmapped register file" : "read of an unmapped register file",
             address, width);
    std::optional<size_t> slot = SlotOf(address);
    if (!slot)
        Fail(write ? "write to an address outside the board's table"
                   : "read of an address outside the board's table",
             address, width);
    if (write && access_ == Access::kReadOnly)
        Fail("write through a read-only view", address, width);
    return Word(kHeaderSize + 4 * *slot);
}

void RegisterFile::Store(uint32_t address, int width, uint32_t value) {
    std::atomic_ref<uint32_t> slot(*SlotFor(address, width, true));
    const uint32_t mask = MaskOf(width);
    uint32_t old = slot.load();
    while (!slot.compare_exchange_weak(old, (old & ~mask) | (value & mask))) {
    }
    std::atomic_ref<uint32_t>(*Word(kWriteCountOffset)).fetch_add(1);
}

uint8_t RegisterFile::Read8(uint32_t address) {
    return static_cast<uint8_t>(std::atomic_ref<uint32_t>(*SlotFor(address, 8, false)).load());
}

uint16_t RegisterFile::Read16(uint32_t address) {
    return static_cast<uint16_t>(std::atomic_ref<uint32_t>(*SlotFor(address, 16, false)).load());
}

uint32_t RegisterFile::Read32(uint32_t address) {
    return std::atomic_ref<uint32_t>(*SlotFor(address, 32, false)).load();
}

void RegisterFile::Write8(uint32_t address, uint8_t value) {
    Store(address, 8, value);
}

void RegisterFile::Write16(uint32_t address, uint16_t value) {
    Store(address, 16, value);
}

void RegisterFile::Write32(uint32_t address, uint32_t value) {
    Store(address, 32, value);
}

uint32_t RegisterFile::Peek(uint32_t address) const {
    return std::atomic_ref<uint32_t>(*SlotFor(address, 32, false)).load();
}

uint32_t RegisterFile::WriteCount() const {
    if (base_ == nullptr)
        return 0;
    return std::atomic_ref<uint32_t>(*Word(kWriteCountOffset)).load();
}

}  // namespace host::posix
