// CRegSettings over the host registry.
#include "platform/reg_settings.h"

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/ui.h"

CRegSettings::CRegSettings() : CRegSettings(host::kHkeyLocalMachine, kSettingsKeyPath) {}

CRegSettings::CRegSettings(host::RegKey root, const std::wstring& path)
    : m_hRootKey(root), m_strPath(path) {
    host::RegKey key = 0;
    const long result =
        WaitOutBusy("open " + host::Narrow(m_strPath), [&] { return OpenedKey(&key); });
    // A store that only stayed busy is not a failure to tell: the key opens at its next use.
    if (result != host::kRegOk && result != host::kRegBusy)
        host::CurrentUi().ShowMessageBox(L"CreateKey failed!", L"", host::kMbOk);
}

CRegSettings::~CRegSettings() {
    if (m_hKey != 0) {
        host::CurrentRegistry().CloseKey(m_hKey);
        m_hKey = 0;
    }
}

long CRegSettings::OpenedKey(host::RegKey* key) {
    std::lock_guard<std::mutex> lock(m_keyLock);
    if (m_hKey == 0) {
        host::RegKey opened = 0;
        const long result = host::CurrentRegistry().CreateKey(m_hRootKey, m_strPath, &opened);
        if (result != host::kRegOk)
            return result;
        m_hKey = opened;
    }
    *key = m_hKey;
    return host::kRegOk;
}

template <typename Call>
long CRegSettings::WaitOutBusy(const std::string& what, Call call) {
    long result = call();
    if (result != host::kRegBusy)
        return result;
    host::Clock& clock = host::CurrentClock();
    const int64_t start_ms = clock.now_ms();
    uint32_t waited_ms = 0;
    while (result == host::kRegBusy && waited_ms < kStoreWaitMs) {
        host::Sleep(kStoreRetryMs);
        result = call();
        waited_ms = static_cast<uint32_t>(clock.now_ms() - start_ms);
    }
    if (result == host::kRegBusy)
        host::DebugOut("\nRegistry busy for %u ms: %s not done\r\n", waited_ms, what.c_str());
    else if (waited_ms >= kLongWaitMs)
        host::DebugOut("\nRegistry busy for %u ms before %s\r\n", waited_ms, what.c_str());
    return result;
}

long CRegSettings::Set(const std::wstring& name, uint32_t value) {
    host::RegKey key = 0;
    long result = OpenedKey(&key);
    if (result == host::kRegOk)
        result = host::CurrentRegistry().SetValue(key, name, host::kRegDword, &value, sizeof value);
    std::lock_guard<std::mutex> lock(m_keyLock);
    if (result == host::kRegOk)
        m_failedWrites.erase(name);
    else
        m_failedWrites[name] = result;
    return result;
}

long CRegSettings::LastWriteResult(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(m_keyLock);
    auto failed = m_failedWrites.find(name);
    return failed == m_failedWrites.end() ? host::kRegOk : failed->second;
}

long CRegSettings::Get(const std::wstring& name, uint32_t* destination) {
    host::RegKey key = 0;
    long result = OpenedKey(&key);
    if (result != host::kRegOk)
        return result;
    // Read into a local first: a short value of another type must not overwrite the
    // caller's default.
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    result = host::CurrentRegistry().QueryValue(key, name, &type, &value, &size);
    if (result != host::kRegOk)
        return result;
    if (type != host::kRegDword || size != sizeof value)
        return host::kRegNotFound;
    *destination = value;
    return host::kRegOk;
}

long CRegSettings::WriteDWORD(const std::wstring& name, uint32_t value) {
    return WaitOutBusy("set " + host::Narrow(name), [&] { return Set(name, value); });
}

bool CRegSettings::SetDWORD(const std::wstring& name, uint32_t value) {
    return WriteDWORD(name, value) == host::kRegOk;
}

long CRegSettings::TrySetDWORD(const std::wstring& name, uint32_t value) {
    return Set(name, value);
}

bool CRegSettings::GetDWORD(const std::wstring& name, uint32_t* destination) {
    return WaitOutBusy("get " + host::Narrow(name), [&] { return Get(name, destination); }) ==
           host::kRegOk;
}
