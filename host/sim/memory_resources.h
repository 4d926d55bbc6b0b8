// Resources kept in memory, for tests: byte buffers added by type and id, served in place,
// with fault knobs for each step of finding and loading one.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/resources.h"

namespace host {

class MemoryResources final : public Resources {
  public:
    ResourceModule Module() override;
    ResourceId Find(ResourceModule module, const std::wstring& type, int id) override;
    uint32_t SizeOf(ResourceModule module, ResourceId res) override;
    const uint8_t* Load(ResourceModule module, ResourceId res) override;

    // Serves a copy of bytes under type and id.  Adding the same type and id again replaces
    // what is served; addresses handed out earlier stay valid for the life of this object.
    void Add(const std::wstring& type, int id, std::vector<uint8_t> bytes);
    // Serves the caller's bytes in place; they must outlive this object's use.
    void AddView(const std::wstring& type, int id, const uint8_t* data, uint32_t size);

    // Fault knobs.
    void FailModule(bool fail);  // the program has no resource module
    void FailFind(bool fail);    // no resource is found
    void FailLoad(bool fail);    // a found resource does not load (its size is still known)

    int LoadCalls();

  private:
    struct Entry {
        std::wstring type;
        int id;
        const uint8_t* data;
        uint32_t size;
    };
    void Put(const Entry& entry);

    std::mutex mutex_;
    std::vector<Entry> entries_;  // ResourceId = index + 1
    std::vector<std::unique_ptr<std::vector<uint8_t>>> owned_;
    bool fail_module_ = false;
    bool fail_find_ = false;
    bool fail_load_ = false;
    int load_calls_ = 0;
};

}  // namespace host
