// The loaded-driver table under "Drivers\Active", as the implementations of Radio keep it.
#include "host/radio.h"

#include <vector>

namespace host {
namespace {

// Long enough for any key name a store holds; a longer one is passed over.
constexpr uint32_t kSubkeyChars = 256;

std::wstring DriverPath(const std::wstring& subkey) {
    return std::wstring(kActiveDriversKey) + L"\\" + subkey;
}

bool ReadDword(Registry& registry, RegKey key, const std::wstring& name, uint32_t* value) {
    uint32_t type = 0;
    uint32_t size = sizeof *value;
    return registry.QueryValue(key, name, &type, value, &size) == kRegOk && type == kRegDword &&
           size == sizeof *value;
}

std::wstring ReadString(Registry& registry, RegKey key, const std::wstring& name) {
    uint32_t type = 0;
    uint32_t size = 0;
    if (registry.QueryValue(key, name, &type, nullptr, &size) != kRegOk || type != kRegSz)
        return {};
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (registry.QueryValue(key, name, nullptr, text.data(), &size) != kRegOk)
        return {};
    return std::wstring(text.data());  // up to the terminator
}

// Whether the driver in subkey has `handle`; its name when it has.
bool HasHandle(Registry& registry, const std::wstring& subkey, uint32_t handle,
               std::wstring* name) {
    RegKey key = 0;
    if (registry.OpenKey(kHkeyLocalMachine, DriverPath(subkey), &key) != kRegOk)
        return false;
    uint32_t value = 0;
    const bool match = ReadDword(registry, key, L"Hnd", &value) && value == handle;
    if (match)
        *name = ReadString(registry, key, L"Name");
    registry.CloseKey(key);
    return match;
}

}  // namespace

bool RegisterActiveDriver(Registry& registry, const std::wstring& subkey, const std::wstring& name,
                          uint32_t handle) {
    RegKey key = 0;
    if (registry.CreateKey(kHkeyLocalMachine, DriverPath(subkey), &key) != kRegOk)
        return false;
    const auto name_bytes = static_cast<uint32_t>((name.size() + 1) * sizeof(wchar_t));
    const bool ok = registry.SetValue(key, L"Name", kRegSz, name.c_str(), name_bytes) == kRegOk &&
                    registry.SetValue(key, L"Hnd", kRegDword, &handle, sizeof handle) == kRegOk;
    registry.CloseKey(key);
    return ok;
}

bool UnregisterActiveDriver(Registry& registry, uint32_t handle, std::wstring* name) {
    RegKey active = 0;
    if (registry.OpenKey(kHkeyLocalMachine, kActiveDriversKey, &active) != kRegOk)
        return false;
    std::wstring subkey;
    bool found = false;
    for (uint32_t index = 0; !found; ++index) {
        wchar_t buffer[kSubkeyChars];
        uint32_t chars = kSubkeyChars;
        const long result = registry.EnumKey(active, index, buffer, &chars);
        if (result == kRegMoreData)
            continue;
        if (result != kRegOk)
            break;
        subkey.assign(buffer, chars);
        found = HasHandle(registry, subkey, handle, name);
    }
    registry.CloseKey(active);
    return found && registry.DeleteKey(kHkeyLocalMachine, DriverPath(subkey)) == kRegOk;
}

}  // namespace host
