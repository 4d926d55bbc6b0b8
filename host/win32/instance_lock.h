// The instance lock on a Win32 host: one updater per device root.  An exclusive LockFileEx on
// ROOT/updater.lock, held for the life of the object (in the updater, the process; the system
// drops it when the process ends, however it ends), with the holder's process id written into
// the file so that a second updater can name the one that runs.
//
// The lock covers a byte range far beyond the process id (Win32 locks are mandatory: a locked
// range cannot be read through another handle), so a second updater can still read who holds
// it.  Share modes are no guard here: under Wine a second opener with share mode 0 is not
// refused, while byte-range locks are kept.  Under Wine the range is a record lock of the
// machine, which the Linux build's updater takes as well (host/posix/root_checks.h): the two
// builds exclude each other on one root.
#pragma once

#include <string>

#include "host/win32/root_file.h"

namespace host::win32 {

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock at once or not at all; false with the reason in *error, naming the
    // running updater's process id when another holds the lock.
    bool Acquire(const std::string& root, std::string* error);

  private:
    RootFile file_;
};

}  // namespace host::win32
