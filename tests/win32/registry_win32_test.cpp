// The Win32 registry under the machine's own HKEY_LOCAL_MACHINE: what the updater writes
// through the interface's root is what any other program of the machine reads there, with the
// system's types and sizes, and the other way round.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/win32/registry_win32.h"
#include "tests/win32/win32_store.h"

namespace {

using host::win32::Win32Registry;

// The key's path below HKEY_LOCAL_MACHINE, removed whatever the test's end.
struct MachineScratch {
    std::wstring path = registry_test::ScratchKeyPath();
    ~MachineScratch() { registry_test::DeleteScratchKey(HKEY_LOCAL_MACHINE, path); }
};

// A value as another program reads it: the system's type and bytes.
struct SystemValue {
    LSTATUS status = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    std::string bytes;
};

SystemValue ReadAsSystem(const std::wstring& path, const wchar_t* name) {
    SystemValue value;
    BYTE data[64];
    DWORD size = sizeof data;
    value.status = RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND,
                                &value.type, data, &size);
    if (value.status == ERROR_SUCCESS)
        value.bytes.assign(reinterpret_cast<const char*>(data), size);
    return value;
}

TEST(Win32Registry, TheInterfacesRootIsTheMachinesKey) {
    // The interface's number is not the system's handle on a 64-bit system, whose
    // HKEY_LOCAL_MACHINE is sign-extended: the root is translated, never cast.
    if (sizeof(HKEY) == 8) {
        EXPECT_NE(reinterpret_cast<host::RegKey>(HKEY_LOCAL_MACHINE), host::kHkeyLocalMachine);
    }
    MachineScratch scratch;
    Win32Registry reg;
    ASSERT_TRUE(reg.ok());
    host::RegKey key = 0;
    ASSERT_EQ(reg.CreateKey(host::kHkeyLocalMachine, scratch.path + L"\\Kelvaro", &key),
              host::kRegOk);
    const uint32_t failed = 0xFFFFFFFF;
    const std::wstring name = L"RIL1:";
    const auto name_bytes = static_cast<uint32_t>((name.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(reg.SetValue(key, L"Progress", host::kRegDword, &failed, sizeof failed),
              host::kRegOk);
    ASSERT_EQ(reg.SetValue(key, L"Name", host::kRegSz, name.c_str(), name_bytes), host::kRegOk);

    const std::wstring path = scratch.path + L"\\Kelvaro";
    SystemValue progress = ReadAsSystem(path, L"Progress");
    EXPECT_EQ(progress.status, ERROR_SUCCESS);
    EXPECT_EQ(progress.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(progress.bytes, std::string(4, '\xFF'));
    SystemValue text = ReadAsSystem(path, L"Name");
    EXPECT_EQ(text.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(text.bytes, std::string("R\0I\0L\0"
                                      "1\0:\0\0\0",
                                      12));  // two bytes a character

    // Written by another program, read through the interface.
    const DWORD awrcwr = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"AWRCWR", REG_DWORD, &awrcwr,
                              sizeof awrcwr),
              ERROR_SUCCESS);
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    EXPECT_EQ(reg.QueryValue(key, L"awrcwr", &type, &value, &size), host::kRegOk);
    EXPECT_EQ(type, host::kRegDword);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(reg.CloseKey(key), host::kRegOk);

    // Deleted through the interface, gone for everyone.
    EXPECT_EQ(reg.DeleteKey(host::kHkeyLocalMachine, scratch.path), host::kRegOk);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, scratch.path.c_str(), 0, KEY_READ, &gone),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
