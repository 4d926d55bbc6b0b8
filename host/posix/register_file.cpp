// The shared register file: see the header for its layout.
#include "host/posix/register_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host::posix {
namespace {

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;
constexpr size_t kCountOffset = 8;
constexpr size_t kWriteCountOffset = 12;

#ifdef F_OFD_SETLKW
// Locks of the open file description: two descriptors of one process exclude each other, and
// closing one never drops the other's lock.
constexpr int kSetLockWait = F_OFD_SETLKW;
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLockWait = F_SETLKW;
constexpr int kSetLock = F_SETLK;
#endif

[[noreturn]] void Fail(const char* what, uint32_t address, int width) {
    std::fprintf(stderr, "register file: %s of %d bits at 0x%08X\n", what, width,
                 static_cast<unsigned>(address));
    std::fflush(stderr);
    std::abort();
}

uint32_t MaskOf(int width) {
    return width == 32 ? ~uint32_t{0} : (uint32_t{1} << width) - 1;
}

uint32_t WordAt(const unsigned char* bytes, size_t offset) {
    uint32_t word;
    std::memcpy(&word, bytes + offset, sizeof word);
    return word;
}

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

RegisterFile::RegisterFile(const std::string& path, Access access) : access_(access), path_(path) {
    Open(path);
}

RegisterFile::~RegisterFile() {
    if (fd_ >= 0)
        close(fd_);
}

bool RegisterFile::Open(const std::string& path) {
    const bool writable = access_ == Access::kReadWrite;
    // A link in the device root is nothing the board made: the file is never reached through
    // one.
    const int flags = O_CLOEXEC | O_NOFOLLOW | (writable ? (O_RDWR | O_CREAT) : O_RDONLY);
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) {
        error_ = path + ": " +
                 (errno == ELOOP ? std::string("is a symbolic link") : Reason("cannot open"));
        return false;
    }
    // A file that another process has just created stays empty until that process has written
    // its header; the lock keeps us from judging (or initialising) it half made.
    flock(fd, writable ? LOCK_EX : LOCK_SH);
    const bool good = (!writable || InitialiseIfEmpty(fd)) && Validate(fd);
    flock(fd, LOCK_UN);
    if (!good) {
        error_ = path + ": " + error_;
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
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
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != static_cast<off_t>(kFileSize)) {
        error_ = "not a register file (size " + std::to_string(st.st_size) + ", expected " +
                 std::to_string(kFileSize) + ")";
        return false;
    }
    unsigned char header[kHeaderSize];
    if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        error_ = Reason("cannot read the header");
        return false;
    }
    if (WordAt(header, kMagicOffset) != kMagic) {
        error_ = "not a register file (wrong magic)";
        return false;
    }
    if (WordAt(header, kVersionOffset) != kVersion ||
        WordAt(header, kCountOffset) != kAddresses.size()) {
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

size_t RegisterFile::SlotOffset(uint32_t address, int width, bool write) const {
    std::optional<size_t> slot = SlotOf(address);
    if (!slot)
        Fail(write ? "write to an address outside the board's table"
                   : "read of an address outside the board's table",
             address, width);
    if (write && access_ == Access::kReadOnly)
        Fail("write through a read-only view", address, width);
    return kHeaderSize + 4 * *slot;
}

bool RegisterFile::LockFile(short type) const {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    int result;
    do {
        result = fcntl(fd_, kSetLockWait, &lock);
    } while (result != 0 && errno == EINTR);
    // Without a lock (a file system that has none) an access still goes ahead: it may then
    // meet half of a concurrent write, which is all the lock protects against.
    return result == 0;
}

void RegisterFile::UnlockFile() const {
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    fcntl(fd_, kSetLock, &lock);
}

void RegisterFile::NoteFailure(const std::string& reason) const {
    ++failures_;
    last_failure_ = path_ + ": " + reason;
}

bool RegisterFile::ReadImage(Image& image) const {
    if (fd_ < 0) {
        NoteFailure(error_.empty() ? "not open" : error_);
        return false;
    }
    const ssize_t got = pread(fd_, image.data(), image.size(), 0);
    if (got < 0) {
        NoteFailure(Reason("cannot read"));
        return false;
    }
    if (got != static_cast<ssize_t>(image.size())) {
        NoteFailure("cut short to " + std::to_string(got) + " of " + std::to_string(kFileSize) +
                    " bytes");
        return false;
    }
    if (WordAt(image.data(), kMagicOffset) != kMagic ||
        WordAt(image.data(), kVersionOffset) != kVersion) {
        NoteFailure("no longer a register file (its header is gone)");
        return false;
    }
    return true;
}

uint32_t RegisterFile::Load(uint32_t address, int width) const {
    const size_t offset = SlotOffset(address, width, false);
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = fd_ >= 0 && LockFile(F_RDLCK);
    const bool read = ReadImage(image);
    if (locked)
        UnlockFile();
    return read ? WordAt(image.data(), offset) & MaskOf(width) : 0;
}

void RegisterFile::Store(uint32_t address, int width, uint32_t value) {
    const size_t offset = SlotOffset(address, width, true);
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = fd_ >= 0 && LockFile(F_WRLCK);
    if (ReadImage(image)) {
        const uint32_t mask = MaskOf(width);
        const uint32_t slot = (WordAt(image.data(), offset) & ~mask) | (value & mask);
        const uint32_t count = WordAt(image.data(), kWriteCountOffset) + 1;
        std::memcpy(image.data() + offset, &slot, sizeof slot);
        std::memcpy(image.data() + kWriteCountOffset, &count, sizeof count);
        // The write counter and the slots up to this one in one write: the slots in between
        // go back as they were read under the lock.
        const size_t length = offset + 4 - kWriteCountOffset;
        const ssize_t put = pwrite(fd_, image.data() + kWriteCountOffset, length,
                                   static_cast<off_t>(kWriteCountOffset));
        if (put != static_cast<ssize_t>(length))
            NoteFailure(put < 0 ? Reason("cannot write") : std::string("write cut short"));
    }
    if (locked)
        UnlockFile();
}

uint8_t RegisterFile::Read8(uint32_t address) {
    return static_cast<uint8_t>(Load(address, 8));
}

uint16_t RegisterFile::Read16(uint32_t address) {
    return static_cast<uint16_t>(Load(address, 16));
}

uint32_t RegisterFile::Read32(uint32_t address) {
    return Load(address, 32);
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

uint64_t RegisterFile::FailedAccesses() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failures_;
}

std::string RegisterFile::LastFailure() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_failure_;
}

uint32_t RegisterFile::Peek(uint32_t address) const {
    return Load(address, 32);
}

uint32_t RegisterFile::WriteCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ < 0)
        return 0;
    Image image;
    const bool locked = LockFile(F_RDLCK);
    const bool read = ReadImage(image);
    if (locked)
        UnlockFile();
    return read ? WordAt(image.data(), kWriteCountOffset) : 0;
}

}  // namespace host::posix
