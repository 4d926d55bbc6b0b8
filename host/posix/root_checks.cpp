// Trust checks of the device root and the instance lock.
#include "host/posix/root_checks.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/device_root.h"

namespace host::posix {
namespace {

constexpr uid_t kSuperuser = 0;

std::string Errno() {
    return std::strerror(errno);
}

// Why a folder that others could change must not be trusted, or nothing.
std::optional<std::string> CheckFolder(const std::string& path, const struct stat& st) {
    const uid_t user = geteuid();
    if (st.st_uid != user && st.st_uid != kSuperuser)
        return path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & S_IWOTH) != 0)
        return path + " may be written by everyone";
    if ((st.st_mode & S_IWGRP) != 0 && st.st_uid != user)
        return path + " may be written by its group";
    return std::nullopt;
}

// The root's own files: each missing or a regular file, never a link.
std::optional<std::string> CheckOwnFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? std::nullopt : std::optional(path + ": " + Errno());
    if (S_ISLNK(st.st_mode))
        return path + " is a symbolic link";
    if (!S_ISREG(st.st_mode))
        return path + " is not a regular file";
    return std::nullopt;
}

// The process id written in a lock file, or nothing when it holds none yet.
std::optional<long> HolderOf(int fd) {
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    if (got <= 0)
        return std::nullopt;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0)
        return std::nullopt;
    return pid;
}

}  // namespace

std::optional<std::string> ResolveRoot(const std::string& root, std::string* error) {
    char resolved[PATH_MAX];
    if (realpath(root.c_str(), resolved) == nullptr) {
        *error = root + ": " + Errno();
        return std::nullopt;
    }
    return std::string(resolved);
}

std::optional<std::string> CheckDeviceRoot(const std::string& root) {
    struct stat st {};
    if (stat(root.c_str(), &st) != 0)
        return root + ": " + Errno();
    if (auto refused = CheckFolder(root, st))
        return refused;
    const std::string dev = root + "/dev";
    if (lstat(dev.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            return dev + " is a symbolic link";
        if (auto refused = CheckFolder(dev, st))
            return refused;
    }
    const std::string registry = RegistryPath(root);
    for (const std::string& file :
         {DebugLogPath(root), PowerLogPath(root), RegisterFilePath(root), registry,
          registry + "-wal", registry + "-shm", registry + "-journal", LockFilePath(root),
          ModemLinesPath(root)}) {
        if (auto refused = CheckOwnFile(file))
            return refused;
    }
    return std::nullopt;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        close(fd_);
}

bool InstanceLock::Acquire(const std::string& root, std::string* error) {
    const std::string path = LockFilePath(root);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open the lock file " + path + ": " +
                 (errno == ELOOP ? std::string("it is a symbolic link") : Errno());
        return false;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool held = errno == EWOULDBLOCK;
        const std::optional<long> holder = held ? HolderOf(fd) : std::nullopt;
        *error = held
                     ? "another updater" +
                           (holder ? " (process " + std::to_string(*holder) + ")" : std::string()) +
                           " is running on the device root " + root
                     : "cannot lock " + path + ": " + Errno();
        close(fd);
        return false;
    }
    // Ours now: whatever an earlier holder left is replaced by our process id.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        *error = "cannot write the lock file " + path + ": " + Errno();
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace host::posix
