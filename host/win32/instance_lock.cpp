// The instance lock on Win32.
#include "host/win32/instance_lock.h"

#include <cstdlib>
#include <optional>

namespace host::win32 {
namespace {

// The locked range: one byte at 2^62, past anything the file will ever hold.
constexpr DWORD kLockOffsetHigh = 0x40000000;

OVERLAPPED LockRange() {
    OVERLAPPED range{};
    range.OffsetHigh = kLockOffsetHigh;
    return range;
}

// The process id written in a lock file, or nothing when it holds none yet.
std::optional<long> HolderOf(HANDLE file) {
    char text[32] = {};
    OVERLAPPED at{};
    DWORD got = 0;
    if (!ReadFile(file, text, sizeof text - 1, &got, &at) || got == 0)
        return std::nullopt;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0)
        return std::nullopt;
    return pid;
}

bool WritePid(HANDLE file) {
    const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
    OVERLAPPED at{};
    DWORD put = 0;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = 0;
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) &&
           WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &put, &at) &&
           put == pid.size();
}

}  // namespace

InstanceLock::~InstanceLock() {
    if (file_.ok()) {
        OVERLAPPED range = LockRange();
        UnlockFileEx(file_.get(), 0, 1, 0, &range);
    }
}

bool InstanceLock::Acquire(const std::string& root, std::string* error) {
    const std::string path = root + "/updater.lock";
    std::string why;
    if (!file_.Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, &why)) {
        *error = "cannot open the lock file " + path + ": " + why;
        return false;
    }
    OVERLAPPED range = LockRange();
    if (!LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &range)) {
        const DWORD code = GetLastError();
        const std::optional<long> holder =
            code == ERROR_LOCK_VIOLATION ? HolderOf(file_.get()) : std::nullopt;
        *error = code == ERROR_LOCK_VIOLATION
                     ? "another updater" +
                           (holder ? " (process " + std::to_string(*holder) + ")" : std::string()) +
                           " is running on the device root " + root
                     : "cannot lock " + path + ": " + SystemErrorText(code);
        file_.Close();
        return false;
    }
    // Ours now: whatever an earlier holder left is replaced by our process id.
    if (!WritePid(file_.get())) {
        *error = "cannot write the lock file " + path + ": " + SystemErrorText(GetLastError());
        UnlockFileEx(file_.get(), 0, 1, 0, &range);
        file_.Close();
        return false;
    }
    return true;
}

}  // namespace host::win32
