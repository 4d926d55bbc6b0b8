// The shared register file on Win32: see the header.
#include "host/win32/register_file.h"

#include <cstring>

namespace host::win32 {
namespace {

using namespace register_layout;

// Reads or writes at an offset of a synchronous handle, as pread and pwrite do; the bytes moved,
// or nothing with GetLastError() set.
std::optional<DWORD> ReadAt(HANDLE handle, void* data, size_t size, size_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    DWORD got = 0;
    if (!ReadFile(handle, data, static_cast<DWORD>(size), &got, &at) &&
        GetLastError() != ERROR_HANDLE_EOF)
        return std::nullopt;
    return got;
}

std::optional<DWORD> WriteAt(HANDLE handle, const void* data, size_t size, size_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    DWORD put = 0;
    if (!WriteFile(handle, data, static_cast<DWORD>(size), &put, &at))
        return std::nullopt;
    return put;
}

// Attempts at the file's lock before an access goes ahead without it: a few yields, then about
// two seconds of one-millisecond sleeps.
constexpr int kLockSpins = 8;
constexpr int kLockTries = kLockSpins + 2000;

std::string Reason(const char* what) {
    return std::string(what) + ": " + SystemErrorText(GetLastError());
}

}  // namespace

RegisterFile::RegisterFile(const std::string& path, Access access) : access_(access), path_(path) {
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

bool RegisterFile::InitialiseIfEmpty() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) {
        error_ = Reason("cannot read the size");
        return false;
    }
    if (size.QuadPart != 0)
        return true;
    const Image image = FreshImage();
    if (WriteAt(file_.get(), image.data(), image.size(), 0) != image.size()) {
        error_ = Reason("cannot initialise");
        return false;
    }
    return true;
}

bool RegisterFile::Validate() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) {
        error_ = Reason("cannot read the size");
        return false;
    }
    unsigned char header[kHeaderSize] = {};
    if (size.QuadPart >= static_cast<LONGLONG>(kHeaderSize) &&
        ReadAt(file_.get(), header, sizeof header, 0) != sizeof header) {
        error_ = Reason("cannot read the header");
        return false;
    }
    if (auto refusal = RefusalOf(static_cast<uint64_t>(size.QuadPart), header)) {
        error_ = *refusal;
        return false;
    }
    return true;
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

void RegisterFile::NoteFailure(const std::string& reason) const {
    ++failures_;
    last_failure_ = path_ + ": " + reason;
}

bool RegisterFile::ReadImage(Image& image) const {
    if (!file_.ok()) {
        NoteFailure(error_.empty() ? "not open" : error_);
        return false;
    }
    const std::optional<DWORD> got = ReadAt(file_.get(), image.data(), image.size(), 0);
    if (!got) {
        NoteFailure(Reason("cannot read"));
        return false;
    }
    if (auto failure = FailureOf(*got, image)) {
        NoteFailure(*failure);
        return false;
    }
    return true;
}

uint32_t RegisterFile::Load(uint32_t address, int width) const {
    const size_t offset = SlotOffset(address, width, false, writable());
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = file_.ok() && LockFile(false);
    const bool read = ReadImage(image);
    if (locked)
        UnlockFile();
    return read ? register_layout::Load(image, offset, width) : 0;
}

void RegisterFile::Store(uint32_t address, int width, uint32_t value) {
    const size_t offset = SlotOffset(address, width, true, writable());
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = file_.ok() && LockFile(true);
    if (ReadImage(image)) {
        // The write counter and the slots up to this one in one write: the slots in between
        // go back as they were read under the lock.
        const size_t length = register_layout::Store(image, offset, width, value);
        const std::optional<DWORD> put =
            WriteAt(file_.get(), image.data() + kWriteCountOffset, length, kWriteCountOffset);
        if (put != length)
            NoteFailure(!put ? Reason("cannot write") : std::string("write cut short"));
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
    if (!file_.ok())
        return 0;
    Image image;
    const bool locked = LockFile(false);
    const bool read = ReadImage(image);
    if (locked)
        UnlockFile();
    return read ? WordAt(image, kWriteCountOffset) : 0;
}

}  // namespace host::win32
