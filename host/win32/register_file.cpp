// The shared register file on Win32: see the header.
#include "host/win32/register_file.h"

namespace host::win32 {
namespace {

// Attempts at the file's lock before an access goes ahead without it: a few yields, then about
// two seconds of one-millisecond sleeps.
constexpr int kLockSpins = 8;
constexpr int kLockTries = kLockSpins + 2000;

std::string SystemReason(const char* what) {
    return std::string(what) + ": " + SystemErrorText(GetLastError());
}

}  // namespace

RegisterFile::RegisterFile(const std::string& path, Access access)
    : RegisterFileBus(path, access == Access::kReadWrite) {
    Open(path);
}

bool RegisterFile::Open(const std::string& path) {
    std::string why;
    const DWORD rights = GENERIC_READ | (writable() ? GENERIC_WRITE : 0);
    if (!file_.Open(path, rights, writable() ? OPEN_ALWAYS : OPEN_EXISTING, &why)) {
        error_ = path + ": " + (why == "it is a symbolic link" ? "is a symbolic link" : why);
        return false;
    }
    // A file that another process has just created stays empty until that process has written
    // its header; the lock keeps us from judging (or initialising) it half made.
    const bool locked = LockFile(writable());
    const bool good = (!writable() || InitialiseIfEmpty()) && Validate();
    if (locked)
        UnlockFile();
    if (!good) {
        error_ = path + ": " + error_;
        file_.Close();
        return false;
    }
    return true;
}

std::optional<uint64_t> RegisterFile::Size() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) {
        error_ = SystemReason("cannot read the size");
        return std::nullopt;
    }
    return static_cast<uint64_t>(size.QuadPart);
}

bool RegisterFile::InitialiseIfEmpty() {
    const std::optional<uint64_t> size = Size();
    return size && WriteFreshIfEmpty(*size);
}

bool RegisterFile::Validate() {
    const std::optional<uint64_t> size = Size();
    return size && CheckHeader(*size);
}

bool RegisterFile::LockFile(bool exclusive) const {
    // Not a waiting lock: under Wine a waiting lock that meets a lock of a process outside Wine
    // (the virtual board's) retries only every 100 ms, which would stretch the pulses the board
    // times.  Both sides hold their locks for one access, so retrying at once, then every
    // millisecond, gets the lock within about a millisecond of its release.  The wait is on
    // another process, not on the system's time, hence the real Sleep.  After kLockTries the
    // access goes ahead without the lock, as on a file system that has none: it may then meet
    // half of a concurrent write, which is all the lock protects against.
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    for (int attempt = 0; attempt < kLockTries; ++attempt) {
        OVERLAPPED range{};
        if (LockFileEx(file_.get(), flags, 0, kFileSize, 0, &range))
            return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION)
            return false;
        if (attempt < kLockSpins)
            SwitchToThread();
        else
            Sleep(1);
    }
    return false;
}

void RegisterFile::UnlockFile() const {
    OVERLAPPED range{};
    UnlockFileEx(file_.get(), 0, kFileSize, 0, &range);
}

// At an offset of a synchronous handle, as pread and pwrite do.
std::optional<size_t> RegisterFile::ReadAt(void* data, size_t size, size_t offset) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    DWORD got = 0;
    if (!ReadFile(file_.get(), data, static_cast<DWORD>(size), &got, &at) &&
        GetLastError() != ERROR_HANDLE_EOF)
        return std::nullopt;
    return got;
}

std::optional<size_t> RegisterFile::WriteAt(const void* data, size_t size, size_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    DWORD put = 0;
    if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &put, &at))
        return std::nullopt;
    return put;
}

std::string RegisterFile::Reason(const char* what) const {
    return SystemReason(what);
}

}  // namespace host::win32
