// The system's registry as a store under test: a scratch key of the current user stands for
// HKEY_LOCAL_MACHINE, so that a test never touches the machine's keys, and goes with
// everything below it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "host/win32/registry_win32.h"

namespace registry_test {

// A key name no other test process uses at the same time.
inline std::wstring ScratchKeyPath() {
    static std::atomic<int> next{0};
    return L"Software\\RegistryScratch-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(next++);
}

inline void DeleteScratchKey(HKEY root, const std::wstring& path) {
    RegDeleteTreeW(root, path.c_str());
    RegDeleteKeyW(root, path.c_str());
}

struct Win32Store {
    std::wstring path = ScratchKeyPath();
    ~Win32Store() { DeleteScratchKey(HKEY_CURRENT_USER, path); }
    std::unique_ptr<host::Registry> Make() {
        auto store = std::make_unique<host::win32::Win32Registry>(HKEY_CURRENT_USER, path);
        EXPECT_TRUE(store->ok()) << "the scratch key cannot be created: " << store->error();
        return store;
    }
};

}  // namespace registry_test
