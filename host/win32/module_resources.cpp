// The executable's resources through the platform's resource calls.
#include "host/win32/module_resources.h"

#include <windows.h>

namespace host::win32 {
namespace {

HMODULE AsModule(ResourceModule module) {
    return static_cast<HMODULE>(const_cast<void*>(module));
}

HRSRC AsResource(ResourceId res) {
    return reinterpret_cast<HRSRC>(res);
}

}  // namespace

ResourceModule ModuleResources::Module() {
    return GetModuleHandleW(nullptr);
}

ResourceId ModuleResources::Find(ResourceModule module, const std::wstring& type, int id) {
    if (module == nullptr)
        return kNoResource;
    // MAKEINTRESOURCEW: an integer id travels in the low word of the name pointer.
    const HRSRC found = FindResourceW(AsModule(module), MAKEINTRESOURCEW(id), type.c_str());
    return reinterpret_cast<ResourceId>(found);
}

uint32_t ModuleResources::SizeOf(ResourceModule module, ResourceId res) {
    if (module == nullptr || res == kNoResource)
        return 0;
    return SizeofResource(AsModule(module), AsResource(res));
}

const uint8_t* ModuleResources::Load(ResourceModule module, ResourceId res) {
    if (module == nullptr || res == kNoResource)
        return nullptr;
    const HGLOBAL loaded = LoadResource(AsModule(module), AsResource(res));
    if (loaded == nullptr)
        return nullptr;
    return static_cast<const uint8_t*>(LockResource(loaded));
}

}  // namespace host::win32
