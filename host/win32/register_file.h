// The board's registers on a Win32 host: the device root's board.regs, in the layout of
// host/register_layout.h, read and written through a handle held for the object's life, so that
// the virtual board (a process of the machine that runs Wine) sees every access the moment it
// happens.
//
// The file is not mapped, although a mapping is the nearest thing to the device's plain memory:
// - a file cut short under a run would make a mapped access fault (an in-page error) where a
//   read can fail and say so;
// - the virtual board watches the pins through file-change notifications, which writes through
//   a shared mapping do not raise;
// - a write changes the write counter and a slot together, which a watcher must never see
//   half done; a mapping would need the same lock around every access anyway.
// So every access locks the file (LockFileEx: shared to read, exclusive to write, per handle, so
// two objects in one process exclude each other too), reads the whole file, checks it and, for
// a write, writes the counter and the slots up to the register's back in one WriteFile.  Under
// Wine these locks are the machine's record locks, so the board's own locked reads exclude
// them as well.  A file that is shorter, no longer carries the header or cannot be read fails
// the access (see RegisterBus): a read answers 0, a write changes nothing, and FailedAccesses()
// and LastFailure() say so.  A write never extends or repairs the file.
//
// An address outside the table is a programming error: it is reported on stderr and aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "host/board.h"
#include "host/register_layout.h"
#include "host/win32/root_file.h"

namespace host::win32 {

class RegisterFile final : public RegisterBus {
  public:
    static constexpr size_t kFileSize = register_layout::kFileSize;

    enum class Access { kReadWrite, kReadOnly };

    // Read-write: creates the file (sized, zeroed, with its header) when it is missing or
    // empty; never truncates or rewrites one that has contents.  Read-only: never creates.
    // A file of another size, magic or version is refused, and so is a symbolic link: ok() is
    // false and error() says why.
    explicit RegisterFile(const std::string& path, Access access = Access::kReadWrite);
    RegisterFile(const RegisterFile&) = delete;
    RegisterFile& operator=(const RegisterFile&) = delete;

    // Whether the file was opened and found sound; says nothing of later accesses.
    bool ok() const { return file_.ok(); }
    const std::string& error() const { return error_; }

    uint8_t Read8(uint32_t address) override;
    uint16_t Read16(uint32_t address) override;
    uint32_t Read32(uint32_t address) override;
    void Write8(uint32_t address, uint8_t value) override;
    void Write16(uint32_t address, uint16_t value) override;
    void Write32(uint32_t address, uint32_t value) override;
    uint64_t FailedAccesses() const override;
    std::string LastFailure() const override;

    // For watchers: the whole slot of a register, and the number of writes so far (0 when
    // the file cannot be read; FailedAccesses() tells).
    uint32_t Peek(uint32_t address) const;
    uint32_t WriteCount() const;

  private:
    using Image = register_layout::Image;

    bool Open(const std::string& path);
    bool InitialiseIfEmpty();
    bool Validate();
    bool writable() const { return access_ == Access::kReadWrite; }
    // Under the caller's lock: the whole file, checked; false (the failure noted) otherwise.
    bool ReadImage(Image& image) const;
    bool LockFile(bool exclusive) const;
    void UnlockFile() const;
    void NoteFailure(const std::string& reason) const;
    uint32_t Load(uint32_t address, int width) const;
    void Store(uint32_t address, int width, uint32_t value);

    Access access_;
    std::string path_;
    RootFile file_;
    std::string error_;
    // Serialises this object's accesses; the file lock keeps other handles out.
    mutable std::mutex mutex_;
    mutable uint64_t failures_ = 0;
    mutable std::string last_failure_;
};

}  // namespace host::win32
