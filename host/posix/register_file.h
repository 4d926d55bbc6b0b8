// The board's registers on the host: a small file in the device root (board.regs), read and
// written through a descriptor held for the object's life, so that the virtual board and tests
// in other processes see every access the moment it happens.
//
// The layout (a header, a write counter and one 32-bit slot per register, 48 bytes) and the
// checks of the contents are host/register_layout.h's, shared with the other hosts.  Every access
// holds a lock on the file (shared to read, exclusive to write, taken by open file description so
// that two objects in one process exclude each other too), so a process or thread reading
// concurrently sees either the old or the new value, never half a write.
//
// The file is not mapped: a file cut short under a run would make a mapped access fault.
// Instead every access reads the whole file and checks it; one that is shorter, no longer
// carries the header or cannot be read fails (see RegisterBus): a read answers 0, a write
// changes nothing, and FailedAccesses() and LastFailure() say so.  A write never extends or
// repairs the file.
//
// An address outside the table is a programming error: it is reported on stderr and aborts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "host/board.h"
#include "host/register_layout.h"

namespace host::posix {

class RegisterFile final : public RegisterBus {
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
    const std::string& error() const { return error_; }

    // Slot index of a register's address, or nothing for an address outside the table.
    static std::optional<size_t> SlotOf(uint32_t address) {
        return register_layout::SlotOf(address);
    }

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
    bool InitialiseIfEmpty(int fd);
    bool Validate(int fd);
    // Under the caller's lock: the whole file, checked; false (the failure noted) otherwise.
    bool ReadImage(Image& image) const;
    bool LockFile(short type) const;
    void UnlockFile() const;
    void NoteFailure(const std::string& reason) const;
    uint32_t Load(uint32_t address, int width) const;
    void Store(uint32_t address, int width, uint32_t value);

    Access access_;
    std::string path_;
    int fd_ = -1;
    std::string error_;
    // Serialises this object's accesses; the file lock keeps other descriptors out.
    mutable std::mutex mutex_;
    mutable uint64_t failures_ = 0;
    mutable std::string last_failure_;
};

}  // namespace host::posix
