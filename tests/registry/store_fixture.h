// Shared by the registry tests of the POSIX build: a scratch device root and the SQLite store
// behind the factory interface of registry_fixture.h.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "host/posix/sqlite_registry.h"
#include "tests/registry/registry_fixture.h"

namespace registry_test {

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

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct SqliteStore {
    TempRoot root;
    std::unique_ptr<host::Registry> Make() {
        auto store = std::make_unique<host::posix::SqliteRegistry>(root.db());
        EXPECT_TRUE(store->ok()) << store->error();
        return store;
    }
};

}  // namespace registry_test
