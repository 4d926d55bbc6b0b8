// A registry kept in memory, for tests and the in-process virtual board, with fault knobs.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/registry.h"

namespace host {

class MemoryRegistry final : public Registry {
  public:
    long CreateKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long OpenKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long CloseKey(RegKey key) override;
    long DeleteKey(RegKey root, const std::wstring& path) override;
    long SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                  uint32_t size) override;
    long QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                    uint32_t* size) override;
    long EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) override;

    // Direct access for test set-up and checks; paths below HKEY_LOCAL_MACHINE.
    void PutDword(const std::wstring& path, const std::wstring& name, uint32_t value);
    void PutString(const std::wstring& path, const std::wstring& name, const std::wstring& value);
    bool GetDwordAt(const std::wstring& path, const std::wstring& name, uint32_t* value);
    bool HasKey(const std::wstring& path);

    // Fault knobs.
    void FailAll(bool fail);                  // the store cannot be used at all
    void FailOpen(const std::wstring& path);  // opening or creating this key fails
    int OpenHandles();                        // handles not closed yet

  private:
    struct Value {
        uint32_t type;
        std::vector<uint8_t> data;
    };
    using Values = std::map<std::wstring, Value>;
    static std::wstring Fold(const std::wstring& path);
    long OpenLocked(RegKey root, const std::wstring& path, bool create, RegKey* key);

    std::mutex mutex_;
    std::map<std::wstring, Values> keys_;           // by folded full path (case-insensitive keys)
    std::map<std::wstring, std::wstring> display_;  // folded path -> path as first created
    std::map<RegKey, std::wstring> handles_;
    std::set<std::wstring> fail_open_;
    bool fail_all_ = false;
    RegKey next_handle_ = 0x1000;
};

}  // namespace host
