// The embedded images: start and end symbols come from the assembled image section.
#include "res/embedded_resources.h"

extern "C" const uint8_t res_sw_image_start[];
extern "C" const uint8_t res_sw_image_end[];
extern "C" const uint8_t res_fs_image_start[];
extern "C" const uint8_t res_fs_image_end[];

namespace res {
namespace {

struct Image {
    int id;
    const uint8_t* start;
    const uint8_t* end;
};

const Image kImages[] = {
    {host::kSwImageId, res_sw_image_start, res_sw_image_end},
    {host::kFsImageId, res_fs_image_start, res_fs_image_end},
};
constexpr host::ResourceId kImageCount = sizeof kImages / sizeof kImages[0];

// The module handle: any stable address of this program will do.
const char kModule = 0;

const Image* Lookup(host::ResourceModule module, host::ResourceId res) {
    if (module != &kModule || res < 1 || res > kImageCount)
        return nullptr;
    return &kImages[res - 1];
}

}  // namespace

host::ResourceModule EmbeddedResources::Module() {
    return &kModule;
}

host::ResourceId EmbeddedResources::Find(host::ResourceModule module, const std::wstring& type,
                                         int id) {
    if (module != &kModule || type != host::kBinType)
        return host::kNoResource;
    for (host::ResourceId i = 0; i < kImageCount; ++i) {
        if (kImages[i].id == id)
            return i + 1;
    }
    return host::kNoResource;
}

uint32_t EmbeddedResources::SizeOf(host::ResourceModule module, host::ResourceId res) {
    const Image* image = Lookup(module, res);
    return image == nullptr ? 0 : static_cast<uint32_t>(image->end - image->start);
}

const uint8_t* EmbeddedResources::Load(host::ResourceModule module, host::ResourceId res) {
    const Image* image = Lookup(module, res);
    return image == nullptr ? nullptr : image->start;
}

}  // namespace res
