// The shared register file: see the header for its layout.
#include "host/posix/register_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace host::posix {
namespace {

using namespace register_layout;

#ifdef F_OFD_SETLKW
// Locks of the open file description: two descriptors of one process exclude each other, and
// closing one never drops the other's lock.
constexpr int kSetLockWait = F_OFD_SETLKW;
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLockWait = F_SETLKW;
constexpr int kSetLock = F_SETLK;
#endif

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
    const Image image = FreshImage();
    if (pwrite(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
        error_ = Reason("cannot initialise");
        return false;
    }
    return true;
}

bool RegisterFile::Validate(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = "not a register file (not a regular file)";
        return false;
    }
    unsigned char header[kHeaderSize] = {};
    if (st.st_size >= static_cast<off_t>(kHeaderSize) &&
        pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        error_ = Reason("cannot read the header");
        return false;
    }
    if (auto refusal = RefusalOf(static_cast<uint64_t>(st.st_size), header)) {
        error_ = *refusal;
        return false;
    }
    return true;
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
    if (auto failure = FailureOf(static_cast<size_t>(got), image)) {
        NoteFailure(*failure);
        return false;
    }
    return true;
}

uint32_t RegisterFile::Load(uint32_t address, int width) const {
    const size_t offset = SlotOffset(address, width, false, access_ == Access::kReadWrite);
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = fd_ >= 0 && LockFile(F_RDLCK);
    const bool read = ReadImage(image);
    if (locked)
        UnlockFile();
    return read ? register_layout::Load(image, offset, width) : 0;
}

void RegisterFile::Store(uint32_t address, int width, uint32_t value) {
    const size_t offset = SlotOffset(address, width, true, access_ == Access::kReadWrite);
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = fd_ >= 0 && LockFile(F_WRLCK);
    if (ReadImage(image)) {
        // The write counter and the slots up to this one in one write: the slots in between
        // go back as they were read under the lock.
        const size_t length = register_layout::Store(image, offset, width, value);
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
    return read ? WordAt(image, kWriteCountOffset) : 0;
}

}  // namespace host::posix
