// CRegSettings over the host registry.
#include "platform/reg_settings.h"

#include "host/platform.h"
#include "host/ui.h"

CRegSettings::CRegSettings() : CRegSettings(host::kHkeyLocalMachine, kSettingsKeyPath) {}

CRegSettings::CRegSettings(host::RegKey root, const std::wstring& path)
    : m_hRootKey(root), m_strPath(path) {
    host::RegKey key = 0;
    if (host::CurrentRegistry().CreateKey(m_hRootKey, m_strPath, &key) != host::kRegOk) {
        m_hKey = 0;
        host::CurrentUi().ShowMessageBox(L"CreateKey failed!", L"", host::kMbOk);
        return;
    }
    m_hKey = key;
}

CRegSettings::~CRegSettings() {
    if (m_hKey != 0) {
        host::CurrentRegistry().CloseKey(m_hKey);
        m_hKey = 0;
    }
}

bool CRegSettings::SetDWORD(const std::wstring& name, uint32_t value) {
    if (m_hKey == 0)
        return false;
    return host::CurrentRegistry().SetValue(m_hKey, name, host::kRegDword, &value, sizeof value) ==
           host::kRegOk;
}

bool CRegSettings::GetDWORD(const std::wstring& name, uint32_t* destination) {
    if (m_hKey == 0)
        return false;
    // Read into a local first: a short value of another type must not overwrite the
    // caller's default.
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    long result = host::CurrentRegistry().QueryValue(m_hKey, name, &type, &value, &size);
    if (result != host::kRegOk || type != host::kRegDword || size != sizeof value)
        return false;
    *destination = value;
    return true;
}
