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

#ifdef F_OFD_SETLKW
// Locks of the open file description: two descriptors of one process exclude each other, and
// closing one never drops the other's lock.
constexpr int kSetLockWait = F_OFD_SETLKW;
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLockWait = F_SETLKW;
constexpr int kSetLock = F_SETLK;
#endif

std::string SystemReason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

RegisterFile::RegisterFile(const std::string& path, Access access)
    : RegisterFileBus(path, access == Access::kReadWrite) {
    Open(path);
}

RegisterFile::~RegisterFile() {
    if (fd_ >= 0)
        close(fd_);
}

bool RegisterFile::Open(const std::string& path) {
    const bool writable = this->writable();
    // A link in the device root is nothing the board made: the file is never reached through
    // one.
    const int flags = O_CLOEXEC | O_NOFOLLOW | (writable ? (O_RDWR | O_CREAT) : O_RDONLY);
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) {
        error_ = path + ": " +
                 (errno == ELOOP ? std::string("is a symbolic link") : SystemReason("cannot open"));
        return false;
    }
    // A file that another process has just created stays empty until that process has written
    // its header; the lock keeps us from judging (or initialising) it half made.
    fd_ = fd;
    flock(fd, writable ? LOCK_EX : LOCK_SH);
    const bool good = (!writable || InitialiseIfEmpty()) && Validate();
    flock(fd, LOCK_UN);
    if (!good) {
        error_ = path + ": " + error_;
        close(fd);
        fd_ = -1;
        return false;
    }
    return true;
}

bool RegisterFile::InitialiseIfEmpty() {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        error_ = SystemReason("cannot stat");
        return false;
    }
    return WriteFreshIfEmpty(static_cast<uint64_t>(st.st_size));
}

bool RegisterFile::Validate() {
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = "not a register file (not a regular file)";
        return false;
    }
    return CheckHeader(static_cast<uint64_t>(st.st_size));
}

bool RegisterFile::LockFile(bool exclusive) const {
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
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

std::optional<size_t> RegisterFile::ReadAt(void* data, size_t size, size_t offset) const {
    const ssize_t got = pread(fd_, data, size, static_cast<off_t>(offset));
    if (got < 0)
        return std::nullopt;
    return static_cast<size_t>(got);
}

std::optional<size_t> RegisterFile::WriteAt(const void* data, size_t size, size_t offset) {
    const ssize_t put = pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (put < 0)
        return std::nullopt;
    return static_cast<size_t>(put);
}

std::string RegisterFile::Reason(const char* what) const {
    return SystemReason(what);
}

}  // namespace host::posix
