// The registry: keys under a root, values of DWORD and string type, create-or-open, set,
// query with type, enumerate subkeys, delete, close.  Shared with the other programs of the
// device (they read "Progress") and with the UART driver (which owns "AWRCWR" and "CLK").
//
// Implementations: host/posix/sqlite_registry.h (an SQLite database in the device root, WAL mode,
// readable by other processes while an update runs), host/win32/registry_win32.h (the system's
// own registry on Windows) and host/sim/memory_registry.h (in memory, with fault knobs for
// tests).
#pragma once

#include <cstdint>
#include <string>

namespace host {

using RegKey = uintptr_t;
constexpr RegKey kHkeyLocalMachine = 0x80000002;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;

// Results, in the platform's numbering.
constexpr long kRegOk = 0;
constexpr long kRegNotFound = 2;
constexpr long kRegAccessDenied = 5;
constexpr long kRegDiskFull = 112;  // a write found no room (ERROR_DISK_FULL)
constexpr long kRegBusy = 170;      // another program holds the store's write lock (ERROR_BUSY)
constexpr long kRegMoreData = 234;
constexpr long kRegNoMoreItems = 259;
constexpr long kRegFailed = 1009;  // the store itself cannot be used

// A busy store refuses only for as long as another writer holds it: a caller that cannot wait
// may try again later, one that must write waits it out (bounded).  Reads are never busy.
class Registry {
  public:
    virtual ~Registry() = default;
    // Paths are relative to root and use '\' between key names, e.g. L"Drivers\\Active".
    virtual long CreateKey(RegKey root, const std::wstring& path, RegKey* key) = 0;
    virtual long OpenKey(RegKey root, const std::wstring& path, RegKey* key) = 0;
    virtual long CloseKey(RegKey key) = 0;
    virtual long DeleteKey(RegKey root, const std::wstring& path) = 0;
    // Strings are stored as wide characters: a REG_SZ value of n characters has
    // (n + 1) * sizeof(wchar_t) bytes, terminator included.
    virtual long SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                          uint32_t size) = 0;
    // *size holds the capacity in bytes on entry and the value's size on return.  A value
    // larger than the capacity answers kRegMoreData and leaves data untouched.  type may be
    // null.
    virtual long QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                            uint32_t* size) = 0;
    // Subkey names in a stable order.  *name_chars holds the capacity in characters,
    // terminator included; kRegMoreData when the name does not fit; kRegNoMoreItems past
    // the end.
    virtual long EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) = 0;
};

}  // namespace host
