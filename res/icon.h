// The application's group icon 128: a 32 x 32 and a 16 x 16 image, 16 colours each.
#pragma once

#include "host/icon.h"

namespace res {

constexpr int kAppIconId = 128;

// The group icon with that id, or null when the program has none.
host::HIcon FindGroupIcon(int id);

}  // namespace res
