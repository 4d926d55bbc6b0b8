// The board's registers on the host: a small file in the device root (board.regs), read and
// written through a descriptor held for the object's life, so that the virtual board and tests
// in other processes see every access the moment it happens.
//
// The layout (a header, a write counter and one 32-bit slot per register, 48 bytes) and the
// checks of the contents are host/register_layout.h's, and the accesses host/register_file_bus.h's,
// shared with the other hosts.  Every access holds a lock on the file (shared to read, exclusive
// to write, taken by open file description so that two objects in one process exclude each other
// too), so a process or thread reading concurrently sees either the old or the new value, never
// half a write.
//
// The file is not mapped: a file cut short under a run would make a mapped access fault.
// Instead every access reads the whole file and checks it (see RegisterFileBus).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/register_file_bus.h"
#include "host/register_layout.h"

namespace host::posix {

class RegisterFile final : public RegisterFileBus {
  public:
    static constexpr uint32_t kMagic = register_layout::kMagic;
    static constexpr uint32_t kVersion = register_layout::kVersion;
    static constexpr auto kAddresses = register_layout::kAddresses;
    static constexpr size_t kHeaderSize = register_layout::kHeaderSize;
    static constexpr size_t kFileSize = register_layout::kFileSize;

    enum class Access { kReadWrite, kReadOnly };

    // Read-write: creates the file (sized, zeroed, with its header) when it is missing or
    // empty; never truncates or rewrites one that has contents.  Read-only: never creates.
    // A file of another size, magic or version is refused, and so is a symbolic link: ok() is
    // false and error() says why.
    explicit RegisterFile(const std::string& path, Access access = Access::kReadWrite);
    ~RegisterFile() override;
    RegisterFile(const RegisterFile&) = delete;
    RegisterFile& operator=(const RegisterFile&) = delete;

    // Whether the file was opened and found sound; says nothing of later accesses.
    bool ok() const { return fd_ >= 0; }

    // Slot index of a register's address, or nothing for an address outside the table.
    static std::optional<size_t> SlotOf(uint32_t address) {
        return register_layout::SlotOf(address);
    }

  private:
    bool Open(const std::string& path);
    bool InitialiseIfEmpty();
    bool Validate();

    bool IsOpen() const override { return fd_ >= 0; }
    bool LockFile(bool exclusive) const override;
    void UnlockFile() const override;
    std::optional<size_t> ReadAt(void* data, size_t size, size_t offset) const override;
    std::optional<size_t> WriteAt(const void* data, size_t size, size_t offset) override;
    std::string Reason(const char* what) const override;

    int fd_ = -1;
};

}  // namespace host::posix
