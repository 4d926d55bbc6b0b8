// The registry on Windows: the system's own, through the registry calls of the Win32 API.
// Other programs of the device (and the UART driver) read and write the same keys with their
// own tools while an update runs, so nothing here is cached.
//
// The interface's HKEY_LOCAL_MACHINE (kHkeyLocalMachine, 0x80000002 as an unsigned number)
// is not the system's handle: on 64-bit Windows HKEY_LOCAL_MACHINE is the sign-extended
// 0xFFFFFFFF80000002.  Every call translates it to a base key chosen at construction, the
// real HKEY_LOCAL_MACHINE unless a test gives a scratch key of its own.
//
// Opened keys are handed out as numbers of a table kept here, never as the system's handles:
// the system reuses a closed handle's value at once, and a stale RegKey must reach nothing
// rather than another caller's key.  A key closed while another thread still uses it is closed
// in the system when that use ends.
//
// The system's answers are the interface's numbering already; those the interface does not
// know become the nearest of its own (a deleted key or a bad handle is kRegNotFound, a quota
// or a full disk kRegDiskFull, anything else kRegFailed).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "host/registry.h"

namespace host::win32 {

class Win32Registry final : public Registry {
  public:
    // kHkeyLocalMachine stands for root\base_path, created when missing (base_path empty: root
    // itself).  When the base cannot be had, ok() is false, error() holds the system's answer
    // and every call answers kRegFailed.
    explicit Win32Registry(HKEY root = HKEY_LOCAL_MACHINE, const std::wstring& base_path = L"");
    ~Win32Registry() override;
    Win32Registry(const Win32Registry&) = delete;
    Win32Registry& operator=(const Win32Registry&) = delete;

    bool ok() const { return base_ != nullptr; }
    LSTATUS error() const { return error_; }

    long CreateKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long OpenKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long CloseKey(RegKey key) override;
    long DeleteKey(RegKey root, const std::wstring& path) override;
    long SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                  uint32_t size) override;
    long QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                    uint32_t* size) override;
    long EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) override;

    // The interface's answer for one of the system's.
    static long Result(LSTATUS status);

  private:
    using Key = std::shared_ptr<std::remove_pointer_t<HKEY>>;
    struct Entry {
        Key key;
        bool is_base;  // the base key itself, which is never deleted through this object
    };
    // The open key behind a RegKey; kRegNotFound for one never handed out or closed.
    long Find(RegKey key, Entry* entry);
    long Open(RegKey root, const std::wstring& path, bool create, RegKey* key);
    RegKey Keep(HKEY opened, bool is_base);

    std::mutex mutex_;
    Key base_;
    LSTATUS error_ = ERROR_SUCCESS;
    std::map<RegKey, Entry> handles_;
    RegKey next_handle_ = 0x1000;
};

}  // namespace host::win32
