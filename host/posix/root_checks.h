// What the updater trusts in a device root before it touches anything in it, and the lock that
// keeps a second updater out of a root in use.
//
// A root is trusted when nobody but its user (or the system's superuser) may change it:
// - the root folder and its dev/ folder are owned by the effective user or by the superuser;
//   neither is writable by everyone (a sticky bit does not help: anyone could still create the
//   names the updater is about to create); a group-writable one must be the user's own;
// - dev/ is a real folder, not a symbolic link (dev/COM1 inside it may be one: it names the
//   serial device);
// - each of the root's own files (debug.log, power.log, board.regs, registry.db with its
//   journal files, updater.lock) is either missing or a regular file, never a symbolic link:
//   a link there is nothing the updater or the board made.
// The files themselves are later opened without following links, so a link planted after the
// check is refused then as well.
#pragma once

#include <optional>
#include <string>

namespace host::posix {

// The root as an absolute path without symbolic links, so that a link swapped under the run
// cannot move it; nothing when it cannot be resolved, with the reason in *error.
std::optional<std::string> ResolveRoot(const std::string& root, std::string* error);

// Why the (resolved) root must not be used, or nothing when it may.
std::optional<std::string> CheckDeviceRoot(const std::string& root);

// The instance lock: an exclusive lock on ROOT/updater.lock, held for the life of the object
// (in the updater, the process), with the holder's process id written into the file so that a
// second updater can name the one that runs.  It also takes the record lock that the Windows
// build's updater takes under Wine (host/win32/instance_lock.h), so that the two builds exclude
// each other on one root.
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
    int fd_ = -1;
};

}  // namespace host::posix
