// CRegSettings: one open registry key and 32-bit values under it.  A key that cannot be
// created or opened shows "CreateKey failed!" once; the object stays usable, its reads and
// writes return false, and each of them tries to open the key again first.
//
// Another program may hold the store's write lock for a while (the store then answers
// kRegBusy).  Construction, SetDWORD and GetDWORD wait that out on the installed clock, up to
// kStoreWaitMs, and log a wait that took long; TrySetDWORD never waits.  A key that stayed
// busy through its construction shows no box: it is opened at its next use.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "host/registry.h"

class CRegSettings {
  public:
    CRegSettings();  // HKEY_LOCAL_MACHINE\Software\QZX\Kelvaro
    CRegSettings(host::RegKey root, const std::wstring& path);
    virtual ~CRegSettings();
    CRegSettings(const CRegSettings&) = delete;
    CRegSettings& operator=(const CRegSettings&) = delete;

    bool SetDWORD(const std::wstring& name, uint32_t value);
    bool GetDWORD(const std::wstring& name, uint32_t* destination);
    // SetDWORD with the registry's answer: kRegOk, kRegBusy when the store stayed busy for
    // the whole wait, kRegDiskFull, ...
    long WriteDWORD(const std::wstring& name, uint32_t value);
    // One attempt, without waiting: for a writer that must never be held up.
    long TrySetDWORD(const std::wstring& name, uint32_t value);
    // The answer to the last write of name through this object (kRegOk before any): whether
    // the store holds what was last written, whichever thread wrote it.
    long LastWriteResult(const std::wstring& name);

    // Longest wait for a busy store, and the pause between two attempts.
    static constexpr uint32_t kStoreWaitMs = 10000;
    static constexpr uint32_t kStoreRetryMs = 20;
    // A wait at least this long is logged.
    static constexpr uint32_t kLongWaitMs = 1000;

    host::RegKey m_hKey = 0;
    host::RegKey m_hRootKey = 0;
    std::wstring m_strPath;

  private:
    // The open key, opened now if it was not: kRegOk with *key set, or the store's answer.
    long OpenedKey(host::RegKey* key);
    long Set(const std::wstring& name, uint32_t value);
    long Get(const std::wstring& name, uint32_t* destination);
    // Repeats call while the store answers busy, up to kStoreWaitMs; what names the call in
    // the log.
    template <typename Call>
    long WaitOutBusy(const std::string& what, Call call);

    std::mutex m_keyLock;  // guards m_hKey while a worker may open it late, and m_failedWrites
    std::map<std::wstring, long> m_failedWrites;  // names whose last write failed, and why
};

// Paths of the two keys the updater keeps open.
inline const wchar_t* const kSettingsKeyPath = L"Software\\QZX\\Kelvaro";
inline const wchar_t* const kUartKeyPath = L"Drivers\\BuiltIn\\2440UART0";
