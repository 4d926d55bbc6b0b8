// Resources kept in memory.
#include "host/sim/memory_resources.h"

namespace host {

ResourceModule MemoryResources::Module() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fail_module_ ? nullptr : this;
}

ResourceId MemoryResources::Find(ResourceModule module, const std::wstring& type, int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (module != this || fail_find_)
        return kNoResource;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].type == type && entries_[i].id == id)
            return static_cast<ResourceId>(i + 1);
    }
    return kNoResource;
}

uint32_t MemoryResources::SizeOf(ResourceModule module, ResourceId res) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (module != this || res < 1 || static_cast<size_t>(res) > entries_.size())
        return 0;
    return entries_[res - 1].size;
}

const uint8_t* MemoryResources::Load(ResourceModule module, ResourceId res) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++load_calls_;
    if (module != this || fail_load_ || res < 1 || static_cast<size_t>(res) > entries_.size())
        return nullptr;
    return entries_[res - 1].data;
}

void MemoryResources::Add(const std::wstring& type, int id, std::vector<uint8_t> bytes) {
    auto owned = std::make_unique<std::vector<uint8_t>>(std::move(bytes));
    // An empty resource still loads: it needs an address of its own.
    if (owned->empty())
        owned->reserve(1);
    Entry entry{type, id, owned->data(), static_cast<uint32_t>(owned->size())};
    std::lock_guard<std::mutex> lock(mutex_);
    owned_.push_back(std::move(owned));
    Put(entry);
}

void MemoryResources::AddView(const std::wstring& type, int id, const uint8_t* data,
                              uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    Put({type, id, data, size});
}

void MemoryResources::Put(const Entry& entry) {
    for (auto& existing : entries_) {
        if (existing.type == entry.type && existing.id == entry.id) {
            existing = entry;
            return;
        }
    }
    entries_.push_back(entry);
}

void MemoryResources::FailModule(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_module_ = fail;
}

void MemoryResources::FailFind(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_find_ = fail;
}

void MemoryResources::FailLoad(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_load_ = fail;
}

int MemoryResources::LoadCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return load_calls_;
}

}  // namespace host
