// Shared by the registry tests: a scratch device root, the two stores behind one factory
// interface, and typed accessors over host::Registry.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#if !defined(_WIN32)
#include "host/posix/sqlite_registry.h"
#endif
#include "host/sim/memory_registry.h"

namespace registry_test {

#if !defined(_WIN32)
class TempRoot {
  public:
    TempRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "regXXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempRoot() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::string db() const { return path_ + "/registry.db"; }

  private:
    std::string path_;
};
#endif

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct MemoryStore {
    std::unique_ptr<host::Registry> Make() { return std::make_unique<host::MemoryRegistry>(); }
};

#if !defined(_WIN32)
struct SqliteStore {
    TempRoot root;
    std::unique_ptr<host::Registry> Make() {
        auto store = std::make_unique<host::posix::SqliteRegistry>(root.db());
        EXPECT_TRUE(store->ok()) << store->error();
        return store;
    }
};
#endif

inline long SetDword(host::Registry& reg, host::RegKey key, const std::wstring& name,
                     uint32_t value) {
    return reg.SetValue(key, name, host::kRegDword, &value, sizeof value);
}

inline long SetString(host::Registry& reg, host::RegKey key, const std::wstring& name,
                      const std::wstring& text) {
    auto size = static_cast<uint32_t>((text.size() + 1) * sizeof(wchar_t));
    return reg.SetValue(key, name, host::kRegSz, text.c_str(), size);
}

// The value's type and bytes, or kRegNotFound etc. as the type when the query fails.
struct Read {
    long result = 0;
    uint32_t type = 0;
    std::string bytes;
};

inline Read Query(host::Registry& reg, host::RegKey key, const std::wstring& name) {
    Read read;
    uint32_t size = 0;
    read.result = reg.QueryValue(key, name, &read.type, nullptr, &size);
    read.bytes.assign(size, '\0');
    if (read.result == host::kRegOk)
        read.result = reg.QueryValue(key, name, &read.type, read.bytes.data(), &size);
    return read;
}

inline std::string Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()),
                       (text.size() + 1) * sizeof(wchar_t));
}

inline std::string Bytes(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace registry_test
