// The in-memory registry.  It follows the SQLite store's rules exactly, so that a test on
// one holds for the other: key and value names compare without regard to case (the same
// locale-free folding), subkeys enumerate in the order of their folded names, an open key
// handle may serve as a root, and a path with an empty name in it is refused.
#include "host/sim/memory_registry.h"

#include "host/registry_names.h"

#include <algorithm>
#include <cstring>

namespace host {
namespace {

std::wstring Child(const std::wstring& parent, const std::wstring& name) {
    return parent.empty() ? name : parent + L"\\" + name;
}

// The folded full path of path below base.
bool FoldPath(const std::wstring& base, const std::wstring& path, std::wstring* full) {
    std::vector<std::wstring> parts;
    if (!SplitKeyPath(path, &parts))
        return false;
    *full = base;
    for (const auto& part : parts)
        *full = Child(*full, FoldRegistryName(part));
    return true;
}

bool IsBelow(const std::wstring& path, const std::wstring& key) {
    return path.size() > key.size() && path.compare(0, key.size(), key) == 0 &&
           (key.empty() || path[key.size()] == L'\\');
}

}  // namespace

long MemoryRegistry::BaseLocked(RegKey root, std::wstring* base) {
    if (root == kHkeyLocalMachine) {
        base->clear();
        return kRegOk;
    }
    auto it = handles_.find(root);
    if (it == handles_.end())
        return kRegNotFound;
    *base = it->second;
    return kRegOk;
}

std::wstring MemoryRegistry::EnsureLocked(const std::wstring& base,
                                          const std::vector<std::wstring>& parts) {
    std::wstring full = base;
    std::wstring display = display_[base];
    for (const auto& part : parts) {
        full = Child(full, FoldRegistryName(part));
        if (keys_.emplace(full, Values{}).second)
            display_[full] = Child(display, part);
        display = display_[full];
    }
    return full;
}

long MemoryRegistry::OpenLocked(RegKey root, const std::wstring& path, bool create, RegKey* key) {
    if (fail_all_)
        return kRegFailed;
    std::wstring base;
    long result = BaseLocked(root, &base);
    if (result != kRegOk)
        return result;
    std::vector<std::wstring> parts;
    std::wstring full;
    if (!SplitKeyPath(path, &parts) || !FoldPath(base, path, &full))
        return kRegNotFound;
    if (fail_open_.count(full) != 0)
        return kRegAccessDenied;
    if (keys_.count(full) == 0) {
        // Create every missing key on the way, as the platform does, keeping the names'
        // spelling for enumeration; but not below a key deleted under its handle.
        if (!create || keys_.count(base) == 0)
            return kRegNotFound;
        result = WriteFaultLocked();
        if (result != kRegOk)
            return result;
        EnsureLocked(base, parts);
    }
    *key = next_handle_++;
    handles_[*key] = full;
    return kRegOk;
}

MemoryRegistry::Values* MemoryRegistry::ValuesLocked(RegKey key, long* result) {
    std::wstring full;
    *result = fail_all_ ? kRegFailed : BaseLocked(key, &full);
    if (*result != kRegOk)
        return nullptr;
    auto found = keys_.find(full);
    if (found == keys_.end()) {
        *result = kRegNotFound;  // deleted under an open handle
        return nullptr;
    }
    return &found->second;
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
    std::wstring base;
    std::wstring full;
    long result = BaseLocked(root, &base);
    if (result != kRegOk)
        return result;
    if (!FoldPath(base, path, &full))
        return kRegNotFound;
    if (full.empty())
        return kRegAccessDenied;  // the root stays
    result = WriteFaultLocked();
    if (result != kRegOk)
        return result;
    if (keys_.erase(full) == 0)
        return kRegNotFound;
    display_.erase(full);
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (!IsBelow(it->first, full)) {
            ++it;
            continue;
        }
        display_.erase(it->first);
        it = keys_.erase(it);
    }
    return kRegOk;
}

long MemoryRegistry::SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                              uint32_t size) {
    ValueAccess access{{}, name, true, type, {}};
    std::function<void(const ValueAccess&)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        long result = kRegOk;
        Values* values = ValuesLocked(key, &result);
        if (values == nullptr)
            return result;
        result = WriteFaultLocked();
        if (result != kRegOk)
            return result;
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (bytes != nullptr)
            access.data.assign(bytes, bytes + size);
        (*values)[FoldRegistryName(name)] = Value{type, access.data};
        BaseLocked(key, &access.key_path);
        observer = observer_;
    }
    if (observer)
        observer(access);
    return kRegOk;
}

long MemoryRegistry::QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                                uint32_t* size) {
    ValueAccess access{{}, name, false, 0, {}};
    std::function<void(const ValueAccess&)> observer;
    long result = kRegOk;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ValuesLocked(key, &result) == nullptr)
            return result;  // no open key: nothing was read
        result = QueryLocked(key, name, type, data, size);
        BaseLocked(key, &access.key_path);
        observer = observer_;
    }
    if (observer)
        observer(access);
    return result;
}

long MemoryRegistry::QueryLocked(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                                 uint32_t* size) {
    long result = kRegOk;
    Values* values = ValuesLocked(key, &result);
    if (values == nullptr)
        return result;
    auto value = values->find(FoldRegistryName(name));
    if (value == values->end())
        return kRegNotFound;
    if (type != nullptr)
        *type = value->second.type;
    auto stored = static_cast<uint32_t>(value->second.data.size());
    uint32_t capacity = size == nullptr ? 0 : *size;
    if (size != nullptr)
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
    long result = kRegOk;
    if (ValuesLocked(key, &result) == nullptr)
        return result;
    std::wstring parent;
    BaseLocked(key, &parent);
    // Everything below a key is one contiguous range of the map; its direct children are
    // the entries without a further separator.
    size_t start = parent.empty() ? 0 : parent.size() + 1;
    uint32_t seen = 0;
    for (auto it = keys_.upper_bound(parent.empty() ? parent : parent + L"\\");
         it != keys_.end() && IsBelow(it->first, parent); ++it) {
        if (it->first.find(L'\\', start) != std::wstring::npos || seen++ != index)
            continue;
        const std::wstring& display = display_[it->first];
        std::wstring child = display.substr(display.rfind(L'\\') + 1);
        if (name == nullptr || name_chars == nullptr || child.size() + 1 > *name_chars)
            return kRegMoreData;
        std::wmemcpy(name, child.c_str(), child.size() + 1);
        *name_chars = static_cast<uint32_t>(child.size());
        return kRegOk;
    }
    return kRegNoMoreItems;
}

// Test set-up bypasses the fault knobs: a value put under a key that is made to fail must
// still land in that key.
void MemoryRegistry::PutLocked(const std::wstring& path, const std::wstring& name, Value value) {
    std::vector<std::wstring> parts;
    if (!SplitKeyPath(path, &parts))
        return;
    keys_[EnsureLocked(L"", parts)][FoldRegistryName(name)] = std::move(value);
}

void MemoryRegistry::PutDword(const std::wstring& path, const std::wstring& name, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    PutLocked(path, name, Value{kRegDword, std::vector<uint8_t>(bytes, bytes + sizeof value)});
}

void MemoryRegistry::PutString(const std::wstring& path, const std::wstring& name,
                               const std::wstring& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto* bytes = reinterpret_cast<const uint8_t*>(value.c_str());
    PutLocked(
        path, name,
        Value{kRegSz, std::vector<uint8_t>(bytes, bytes + (value.size() + 1) * sizeof(wchar_t))});
}

bool MemoryRegistry::GetDwordAt(const std::wstring& path, const std::wstring& name,
                                uint32_t* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring full;
    if (!FoldPath(L"", path, &full))
        return false;
    auto key = keys_.find(full);
    if (key == keys_.end())
        return false;
    auto found = key->second.find(FoldRegistryName(name));
    if (found == key->second.end() || found->second.type != kRegDword ||
        found->second.data.size() != sizeof(uint32_t)) {
        return false;
    }
    std::memcpy(value, found->second.data.data(), sizeof(uint32_t));
    return true;
}

bool MemoryRegistry::HasKey(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring full;
    if (!FoldPath(L"", path, &full))
        return false;
    return keys_.count(full) != 0;
}

void MemoryRegistry::FailAll(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_all_ = fail;
}

void MemoryRegistry::FailOpen(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring full;
    if (FoldPath(L"", path, &full))
        fail_open_.insert(full);
}

long MemoryRegistry::WriteFaultLocked() {
    bool busy = busy_;
    if (busy_clock_ != nullptr) {
        const int64_t now_us = busy_clock_->now_us();
        busy = busy || (now_us >= busy_start_us_ && now_us < busy_end_us_);
    }
    if (busy) {
        ++busy_answers_;
        return kRegBusy;
    }
    return write_fault_;
}

void MemoryRegistry::SetBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = busy;
}

void MemoryRegistry::BusyDuring(Clock& clock, int64_t start_us, int64_t end_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_clock_ = &clock;
    busy_start_us_ = start_us;
    busy_end_us_ = end_us;
}

int MemoryRegistry::BusyAnswers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_answers_;
}

void MemoryRegistry::FailWrites(long result) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_fault_ = result;
}

void MemoryRegistry::SetValueObserver(std::function<void(const ValueAccess&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

int MemoryRegistry::OpenHandles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(handles_.size());
}

}  // namespace host
