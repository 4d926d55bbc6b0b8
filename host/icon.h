// Icons as data: what a resource holds and what a front-end draws.
#pragma once

#include <cstdint>

namespace host {

// A group icon: one or more images, each a palette of 16 colours (0x00RRGGBB) and one palette
// index per pixel, written as a hexadecimal digit, row by row.
struct IconImage {
    int width;
    int height;
    const uint32_t* palette;
    const char* pixels;
};
struct IconResource {
    int id;
    int image_count;
    const IconImage* images;
};
using HIcon = const IconResource*;

}  // namespace host
