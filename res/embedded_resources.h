// The firmware images built into the updater, served as the program's resources of type "BIN":
// id 130 the SW image, id 135 the FS image.  Load returns the embedded bytes themselves.
#pragma once

#include "host/resources.h"

namespace res {

class EmbeddedResources final : public host::Resources {
  public:
    host::ResourceModule Module() override;
    host::ResourceId Find(host::ResourceModule module, const std::wstring& type, int id) override;
    uint32_t SizeOf(host::ResourceModule module, host::ResourceId res) override;
    const uint8_t* Load(host::ResourceModule module, host::ResourceId res) override;
};

}  // namespace res
