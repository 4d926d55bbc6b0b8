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
// a write, writes the counter and the slots up to the register's back in one WriteFile (see
// RegisterFileBus, shared with the other hosts).  Under Wine these locks are the machine's record
// locks, so the board's own locked reads exclude them as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/register_file_bus.h"
#include "host/register_layout.h"
#include "host/win32/root_file.h"

namespace host::win32 {

class RegisterFile final : public RegisterFileBus {
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

  private:
    bool Open(const std::string& path);
    // The file's size; nothing (error() saying why) when it cannot be had.
    std::optional<uint64_t> Size();
    bool InitialiseIfEmpty();
    bool Validate();

    bool IsOpen() const override { return file_.ok(); }
    bool LockFile(bool exclusive) const override;
    void UnlockFile() const override;
    std::optional<size_t> ReadAt(void* data, size_t size, size_t offset) const override;
    std::optional<size_t> WriteAt(const void* data, size_t size, size_t offset) override;
    std::string Reason(const char* what) const override;

    RootFile file_;
};

}  // namespace host::win32
