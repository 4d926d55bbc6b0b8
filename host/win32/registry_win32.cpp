// The Win32 registry.  Paths are checked with the rules every store shares before the system
// sees them, so that a path the other stores refuse ("\a", "a\\b") is refused here too rather
// than read the system's way.  Names compare without regard to case as the system folds it
// (every alphabet's capitals, where the other stores fold those of Latin-1, Greek and Cyrillic;
// the names the updater uses are ASCII), and subkeys enumerate in the system's own sorted,
// stable order.
#include "host/win32/registry_win32.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include "host/registry_names.h"

namespace host::win32 {
namespace {

// The longest key name the system allows, and its terminator.
constexpr DWORD kKeyNameChars = 256;

// Bytes past a copied string that make no wide terminator, whatever the string's alignment.
constexpr size_t kNoTerminator = 3;

bool IsStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

void CloseSystemKey(HKEY key) {
    RegCloseKey(key);
}

// The path in the system's form (trailing separators dropped); false for a path the shared
// rules refuse.
bool SystemPath(const std::wstring& path, std::wstring* joined) {
    std::vector<std::wstring> parts;
    if (!SplitKeyPath(path, &parts))
        return false;
    joined->clear();
    for (const auto& part : parts)
        joined->append(joined->empty() ? L"" : L"\\").append(part);
    return true;
}

}  // namespace

Win32Registry::Win32Registry(HKEY root, const std::wstring& base_path) {
    if (base_path.empty()) {
        base_ = Key(root, [](HKEY) {});  // a predefined key is not ours to close
        return;
    }
    HKEY opened = nullptr;
    error_ = RegCreateKeyExW(root, base_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, &opened, nullptr);
    if (error_ == ERROR_SUCCESS)
        base_ = Key(opened, CloseSystemKey);
}

Win32Registry::~Win32Registry() = default;

long Win32Registry::Result(LSTATUS status) {
    switch (status) {
        case ERROR_SUCCESS:
            return kRegOk;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_KEY_DELETED:     // the key went away under an open handle
        case ERROR_INVALID_HANDLE:  // as the other stores answer for a handle they never gave
            return kRegNotFound;
        case ERROR_ACCESS_DENIED:
            return kRegAccessDenied;
        case ERROR_MORE_DATA:
            return kRegMoreData;
        case ERROR_NO_MORE_ITEMS:
            return kRegNoMoreItems;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_NO_SYSTEM_RESOURCES:  // the registry's quota
        case ERROR_NOT_ENOUGH_QUOTA:
            return kRegDiskFull;
        case ERROR_BUSY:
        case ERROR_LOCK_VIOLATION:
        case ERROR_SHARING_VIOLATION:
            return kRegBusy;
        default:
            return kRegFailed;
    }
}

long Win32Registry::Find(RegKey key, Entry* entry) {
    if (!ok())
        return kRegFailed;
    if (key == kHkeyLocalMachine) {
        *entry = Entry{base_, true};
        return kRegOk;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = handles_.find(key);
    if (found == handles_.end())
        return kRegNotFound;
    *entry = found->second;
    return kRegOk;
}

RegKey Win32Registry::Keep(HKEY opened, bool is_base) {
    std::lock_guard<std::mutex> lock(mutex_);
    RegKey key = next_handle_++;
    if (key == kHkeyLocalMachine)
        key = next_handle_++;
    handles_[key] = Entry{Key(opened, CloseSystemKey), is_base};
    return key;
}

long Win32Registry::Open(RegKey root, const std::wstring& path, bool create, RegKey* key) {
    Entry parent;
    long result = Find(root, &parent);
    if (result != kRegOk)
        return result;
    std::wstring sub;
    if (!SystemPath(path, &sub))
        return kRegNotFound;
    HKEY opened = nullptr;
    LSTATUS status = ERROR_SUCCESS;
    if (create) {
        status = RegCreateKeyExW(parent.key.get(), sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &opened, nullptr);
    } else {
        status = RegOpenKeyExW(parent.key.get(), sub.c_str(), 0, KEY_ALL_ACCESS, &opened);
        // A key that may only be read (a driver's, for a user who is not its owner) is still
        // worth reading; writes through it are then refused as the system refuses them.
        if (status == ERROR_ACCESS_DENIED)
            status = RegOpenKeyExW(parent.key.get(), sub.c_str(), 0, KEY_READ, &opened);
    }
    if (status != ERROR_SUCCESS)
        return Result(status);
    *key = Keep(opened, parent.is_base && sub.empty());
    return kRegOk;
}

long Win32Registry::CreateKey(RegKey root, const std::wstring& path, RegKey* key) {
    return Open(root, path, true, key);
}

long Win32Registry::OpenKey(RegKey root, const std::wstring& path, RegKey* key) {
    return Open(root, path, false, key);
}

// The system's key is closed when the last call using it returns.
long Win32Registry::CloseKey(RegKey key) {
    if (!ok())
        return kRegFailed;
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.erase(key) == 1 ? kRegOk : kRegNotFound;
}

// RegDeleteTreeW empties the key (it takes the key itself too when it is named by a subkey
// path); RegDeleteKeyW then takes the key, which the tree delete may already have done.
long Win32Registry::DeleteKey(RegKey root, const std::wstring& path) {
    Entry parent;
    long result = Find(root, &parent);
    if (result != kRegOk)
        return result;
    std::wstring sub;
    if (!SystemPath(path, &sub))
        return kRegNotFound;
    if (sub.empty() && parent.is_base)
        return kRegAccessDenied;  // the root stays
    LSTATUS status = RegDeleteTreeW(parent.key.get(), sub.empty() ? nullptr : sub.c_str());
    if (status != ERROR_SUCCESS)
        return Result(status);
    status = RegDeleteKeyW(parent.key.get(), sub.c_str());
    return status == ERROR_FILE_NOT_FOUND ? kRegOk : Result(status);
}

long Win32Registry::SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                             uint32_t size) {
    Entry entry;
    long result = Find(key, &entry);
    if (result != kRegOk)
        return result;
    const auto* bytes = static_cast<const BYTE*>(data);
    if (bytes == nullptr)
        size = 0;
    if (!IsStringType(type) || size == 0)
        return Result(RegSetValueExW(entry.key.get(), name.c_str(), 0, type, bytes, size));
    // The system stretches a string without terminator over a terminator that happens to
    // follow it in memory, reading past the caller's bytes; behind a copy it finds none.
    std::vector<BYTE> copy(bytes, bytes + size);
    copy.insert(copy.end(), kNoTerminator, 0xFF);
    return Result(RegSetValueExW(entry.key.get(), name.c_str(), 0, type, copy.data(), size));
}

// Read through a buffer of the caller's capacity: the system leaves the caller's buffer
// undefined when the value does not fit, and may write a terminator past a string's bytes.
long Win32Registry::QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                               uint32_t* size) {
    Entry entry;
    long result = Find(key, &entry);
    if (result != kRegOk)
        return result;
    const DWORD capacity = data != nullptr && size != nullptr ? *size : 0;
    std::vector<BYTE> buffer(std::max<DWORD>(capacity, 1));
    DWORD stored = capacity;
    DWORD stored_type = 0;
    LSTATUS status = RegQueryValueExW(entry.key.get(), name.c_str(), nullptr, &stored_type,
                                      data != nullptr ? buffer.data() : nullptr, &stored);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
        return Result(status);
    if (type != nullptr)
        *type = stored_type;
    if (size != nullptr)
        *size = stored;
    if (status == ERROR_MORE_DATA)
        return kRegMoreData;
    if (data != nullptr)
        std::memcpy(data, buffer.data(), stored);
    return kRegOk;
}

long Win32Registry::EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) {
    Entry entry;
    long result = Find(key, &entry);
    if (result != kRegOk)
        return result;
    wchar_t child[kKeyNameChars];
    DWORD chars = kKeyNameChars;
    LSTATUS status =
        RegEnumKeyExW(entry.key.get(), index, child, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return Result(status);
    if (name == nullptr || name_chars == nullptr || chars + 1 > *name_chars)
        return kRegMoreData;
    std::wmemcpy(name, child, chars);
    name[chars] = L'\0';
    *name_chars = chars;
    return kRegOk;
}

}  // namespace host::win32
