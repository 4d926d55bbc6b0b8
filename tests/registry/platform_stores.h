// The stores every registry test runs over: the in-memory one and the one the updater runs
// with on this build.
#pragma once

#include <gtest/gtest.h>

#include "tests/registry/registry_fixture.h"
#ifdef _WIN32
#include "tests/win32/win32_store.h"
#else
#include "tests/registry/store_fixture.h"
#endif

namespace registry_test {

#ifdef _WIN32
using PlatformStores = ::testing::Types<MemoryStore, Win32Store>;
#else
using PlatformStores = ::testing::Types<MemoryStore, SqliteStore>;
#endif

}  // namespace registry_test
