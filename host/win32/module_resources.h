// The program's own resources on Windows: the executable's resource section, found with
// FindResourceW and used where LockResource maps it (read-only, never copied).  The firmware
// images are its resources 130 and 135 of type BIN (res/images.rc.in).
#pragma once

#include "host/resources.h"

namespace host::win32 {

class ModuleResources final : public Resources {
  public:
    ResourceModule Module() override;
    ResourceId Find(ResourceModule module, const std::wstring& type, int id) override;
    uint32_t SizeOf(ResourceModule module, ResourceId res) override;
    const uint8_t* Load(ResourceModule module, ResourceId res) override;
};

}  // namespace host::win32
