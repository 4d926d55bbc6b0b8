// CRegSettings: one open registry key and 32-bit values under it.  A key that cannot be
// created or opened shows "CreateKey failed!" once; the object stays usable and every read
// and write then returns false.
#pragma once

#include <cstdint>
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

    host::RegKey m_hKey = 0;
    host::RegKey m_hRootKey = 0;
    std::wstring m_strPath;
};

// Paths of the two keys the updater keeps open.
inline const wchar_t* const kSettingsKeyPath = L"Software\\QZX\\Kelvaro";
inline const wchar_t* const kUartKeyPath = L"Drivers\\BuiltIn\\2440UART0";
