// The in-memory registry.  Key and value names compare without regard to case, as the
// platform's registry does; subkeys enumerate in the order of their folded names.
#include "host/sim/memory_registry.h"

#include <cstring>
#include <cwctype>

namespace host {

std::wstring MemoryRegistry::Fold(const std::wstring& path) {
    std::wstring folded = path;
    for (auto& c : folded)
        c = static_cast<wchar_t>(std::towlower(c));
    while (!folded.empty() && folded.back() == L'\\')
        folded.pop_back();
    return folded;
}

long MemoryRegistry::OpenLocked(RegKey root, const std::wstring& path, bool create, RegKey* key) {
    if (fail_all_)
        return kRegFailed;
    std::wstring base;
    if (root != kHkeyLocalMachine) {
        auto it = handles_.find(root);
        if (it == handles_.end())
            return kRegNotFound;
        base = it->second;
    }
    std::wstring full = base.empty() ? Fold(path) : path.empty() ? base : base + L"\\" + Fold(path);
    if (fail_open_.count(full) != 0)
        return kRegAccessDenied;
    if (keys_.count(full) == 0) {
        if (!create)
            return kRegNotFound;
        // Create every missing key on the way, as the platform does, keeping the names'
        // spelling for enumeration.
        std::wstring display = base.empty() ? path : display_[base] + L"\\" + path;
        display.resize(full.size());
        for (size_t pos = 0; pos != std::wstring::npos;) {
            pos = full.find(L'\\', pos + 1);
            std::wstring prefix = full.substr(0, pos);
            if (keys_.emplace(prefix, Values{}).second) {
                display_[prefix] = display.substr(0, prefix.size());
            }
        }
    }
    *key = next_handle_++;
    handles_[*key] = full;
    return kRegOk;
}

long MemoryRegistry::CreateKey(RegKey root, const std::wstring& path, RegKey* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return OpenLocked(root, path, true, key);
}

long MemoryRegistry::OpenKey(RegKey root, const std::wstring& path, RegKey* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return OpenLocked(root, path, false, key);
}

long MemoryRegistry::CloseKey(RegKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.erase(key) == 1 ? kRegOk : kRegNotFound;
}

long MemoryRegistry::DeleteKey(RegKey root, const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_all_)
        return kRegFailed;
    if (root != kHkeyLocalMachine)
        return kRegAccessDenied;
    std::wstring full = Fold(path);
    if (keys_.erase(full) == 0)
        return kRegNotFound;
    for (auto it = keys_.begin(); it != keys_.end();) {
        bool below = it->first.rfind(full + L"\\", 0) == 0;
        it = below ? keys_.erase(it) : std::next(it);
    }
    return kRegOk;
}

long MemoryRegistry::SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                              uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_all_)
        return kRegFailed;
    auto handle = handles_.find(key);
    if (handle == handles_.end())
        return kRegNotFound;
    auto found = keys_.find(handle->second);
    if (found == keys_.end())
        return kRegNotFound;  // deleted under an open handle
    const auto* bytes = static_cast<const uint8_t*>(data);
    found->second[Fold(name)] = Value{type, std::vector<uint8_t>(bytes, bytes + size)};
    return kRegOk;
}

long MemoryRegistry::QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                                uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_all_)
        return kRegFailed;
    auto handle = handles_.find(key);
    if (handle == handles_.end())
        return kRegNotFound;
    auto found = keys_.find(handle->second);
    if (found == keys_.end())
        return kRegNotFound;
    auto value = found->second.find(Fold(name));
    if (value == found->second.end())
        return kRegNotFound;
    if (type != nullptr)
        *type = value->second.type;
    auto stored = static_cast<uint32_t>(value->second.data.size());
    uint32_t capacity = *size;
    *size = stored;
    if (data == nullptr)
        return kRegOk;
    if (stored > capacity)
        return kRegMoreData;
    std::memcpy(data, value->second.data.data(), stored);
    return kRegOk;
}

long MemoryRegistry::EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_all_)
        return kRegFailed;
    auto handle = handles_.find(key);
    if (handle == handles_.end())
        return kRegNotFound;
    const std::wstring prefix = handle->second + L"\\";
    uint32_t seen = 0;
    for (const auto& [path, values] : keys_) {
        if (path.rfind(prefix, 0) != 0 || path.find(L'\\', prefix.size()) != std::wstring::npos) {
            continue;
        }
        if (seen++ != index)
            continue;
        std::wstring display = display_[path].substr(prefix.size());
        if (display.size() + 1 > *name_chars)
            return kRegMoreData;
        std::wmemcpy(name, display.c_str(), display.size() + 1);
        *name_chars = static_cast<uint32_t>(display.size());
        return kRegOk;
    }
    return kRegNoMoreItems;
}

void MemoryRegistry::PutDword(const std::wstring& path, const std::wstring& name, uint32_t value) {
    RegKey key = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    bool fail = fail_all_;
    fail_all_ = false;
    OpenLocked(kHkeyLocalMachine, path, true, &key);
    fail_all_ = fail;
    auto& stored = keys_[handles_[key]][Fold(name)];
    handles_.erase(key);
    stored.type = kRegDword;
    stored.data.assign(reinterpret_cast<const uint8_t*>(&value),
                       reinterpret_cast<const uint8_t*>(&value) + sizeof value);
}

void MemoryRegistry::PutString(const std::wstring& path, const std::wstring& name,
                               const std::wstring& value) {
    RegKey key = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    bool fail = fail_all_;
    fail_all_ = false;
    OpenLocked(kHkeyLocalMachine, path, true, &key);
    fail_all_ = fail;
    auto& stored = keys_[handles_[key]][Fold(name)];
    handles_.erase(key);
    stored.type = kRegSz;
    const auto* bytes = reinterpret_cast<const uint8_t*>(value.c_str());
    stored.data.assign(bytes, bytes + (value.size() + 1) * sizeof(wchar_t));
}

bool MemoryRegistry::GetDwordAt(const std::wstring& path, const std::wstring& name,
                                uint32_t* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto key = keys_.find(Fold(path));
    if (key == keys_.end())
        return false;
    auto found = key->second.find(Fold(name));
    if (found == key->second.end() || found->second.type != kRegDword ||
        found->second.data.size() != sizeof(uint32_t)) {
        return false;
    }
    std::memcpy(value, found->second.data.data(), sizeof(uint32_t));
    return true;
}

bool MemoryRegistry::HasKey(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.count(Fold(path)) != 0;
}

void MemoryRegistry::FailAll(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_all_ = fail;
}

void MemoryRegistry::FailOpen(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_open_.insert(Fold(path));
}

int MemoryRegistry::OpenHandles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(handles_.size());
}

}  // namespace host
