// The program's own resources, found by type and integer id and used where they are mapped:
// read-only, never copied.  Production serves the images embedded in the executable
// (res/); tests serve byte buffers of their own and can make any step fail.
#pragma once

#include <cstdint>
#include <string>

namespace host {

using ResourceModule = const void*;  // null: the program has no resource module
using ResourceId = intptr_t;         // 0: not found
constexpr ResourceId kNoResource = 0;

class Resources {
  public:
    virtual ~Resources() = default;
    virtual ResourceModule Module() = 0;
    virtual ResourceId Find(ResourceModule module, const std::wstring& type, int id) = 0;
    virtual uint32_t SizeOf(ResourceModule module, ResourceId res) = 0;
    // The resource's first byte, or null when it does not load.
    virtual const uint8_t* Load(ResourceModule module, ResourceId res) = 0;
};

// Resource type and ids of the embedded firmware images.
inline const wchar_t* const kBinType = L"BIN";
constexpr int kSwImageId = 130;
constexpr int kFsImageId = 135;

}  // namespace host
