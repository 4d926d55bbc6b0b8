// The register bus of a host whose registers live in the device root's board.regs (see
// host/register_layout.h): what every host's register file does the same way, so that each
// keeps only its opening and its system calls.
//
// Every access takes this object's mutex, then the file's lock (shared to read, exclusive to
// write), reads the whole file and checks it; a write then puts the write counter and the slots
// up to the register's back in one write.  A file that is shorter, no longer carries the header
// or cannot be read fails the access (see RegisterBus): a read answers 0, a write changes
// nothing, and FailedAccesses() and LastFailure() say so.  A write never extends or repairs the
// file.
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

namespace host {

class RegisterFileBus : public RegisterBus {
  public:
    RegisterFileBus(const RegisterFileBus&) = delete;
    RegisterFileBus& operator=(const RegisterFileBus&) = delete;

    // Why the file was refused at open (empty when it was not).
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

  protected:
    using Image = register_layout::Image;

    RegisterFileBus(const std::string& path, bool writable) : path_(path), writable_(writable) {}
    ~RegisterFileBus() override = default;

    bool writable() const { return writable_; }

    // What each host does with its system's calls, all called under this object's mutex.
    virtual bool IsOpen() const = 0;
    // Takes the file's lock; false when the access must go ahead without it.
    virtual bool LockFile(bool exclusive) const = 0;
    virtual void UnlockFile() const = 0;
    // Bytes moved at an offset of the file, or nothing (the system's error left for Reason).
    virtual std::optional<size_t> ReadAt(void* data, size_t size, size_t offset) const = 0;
    virtual std::optional<size_t> WriteAt(const void* data, size_t size, size_t offset) = 0;
    // `what` and the system's text for the error of the call that has just failed.
    virtual std::string Reason(const char* what) const = 0;

    // For the host's opening, under its lock of the file, given the file's size: a fresh image
    // written into a file that is empty, and the header checked; false with error_ saying why.
    bool WriteFreshIfEmpty(uint64_t size);
    bool CheckHeader(uint64_t size);

    // Why the file was refused; set by the host's opening.
    std::string error_;

  private:
    // Under the caller's lock: the whole file, checked; false (the failure noted) otherwise.
    bool ReadImage(Image& image) const;
    // ReadImage under a shared lock of the file (taken when it is open).
    bool ReadLocked(Image& image) const;
    void NoteFailure(const std::string& reason) const;
    uint32_t Load(uint32_t address, int width) const;
    void Store(uint32_t address, int width, uint32_t value);

    std::string path_;
    bool writable_;
    // Serialises this object's accesses; the file lock keeps other openers out.
    mutable std::mutex mutex_;
    mutable uint64_t failures_ = 0;
    mutable std::string last_failure_;
};

}  // namespace host
