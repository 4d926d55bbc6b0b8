// Shared by the registry tests on every build: typed accessors over host::Registry and the
// in-memory store behind a factory, beside which each build puts the stores it runs with.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/registry.h"
#include "host/sim/memory_registry.h"

namespace registry_test {

struct MemoryStore {
    std::unique_ptr<host::Registry> Make() { return std::make_unique<host::MemoryRegistry>(); }
};

inline long SetDword(host::Registry& reg, host::RegKey key, const std::wstring& name,
                     uint32_t value) {
    return reg.SetValue(key, name, host::kRegDword, &value, sizeof value);
}

inline long SetString(host::Registry& reg, host::RegKey key, const std::wstring& name,
                      const std::wstring& text) {
    auto size = static_cast<uint32_t>((text.size() + 1) * sizeof(wchar_t));
    return reg.SetValue(key, name, host::kRegSz, text.c_str(), size);
}

// The value's type and bytes, and the query's result.
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

// A REG_SZ value's bytes: the platform's wide characters, terminator included.
inline std::string Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()),
                       (text.size() + 1) * sizeof(wchar_t));
}

inline std::string Bytes(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace registry_test
