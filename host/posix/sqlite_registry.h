// The registry kept in an SQLite database (the device root's registry.db), shared with the
// other programs of the device: they may read and write it with any SQLite client while an
// update runs.
//
// Layout, version 1 (PRAGMA user_version):
//   keys(path, parent, display)     one row per key; path is the key's full path below
//                                   HKEY_LOCAL_MACHINE in folded (lower-case) form, display
//                                   the same path as first spelled; the root is the row ''.
//   key_values(key, folded, name, type, data)
//                                   one row per value; DWORDs are INTEGERs, strings UTF-8
//                                   TEXT without terminator, anything else a BLOB.
//   registry                        a view: key, name, type ('dword', 'string' or the
//                                   number) and data, for people with the sqlite3 shell.
//
// The database runs in WAL mode so that a reader in another process never blocks a write.
// Every call is one short transaction.  A write that finds another program's write
// transaction waits a few milliseconds for it and then answers kRegBusy; reads, and opening
// a key that exists, never wait.  The object may be used from several threads at once.
// The file is opened without following a symbolic link.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/registry.h"

struct sqlite3;
struct sqlite3_stmt;

namespace host::posix {

class SqliteRegistry final : public Registry {
  public:
    enum class OpenMode {
        kCreate,    // creates the store (and its schema) when the file is missing or empty
        kExisting,  // reads and writes a store that exists; never creates one
        kReadOnly,  // reads a store that exists; never writes, never creates
    };
    // Opens the store at path as mode says.  An existing file that is not this store is never
    // written to; ok() is then false and every call answers kRegFailed.  A missing store in a
    // mode that does not create one is "no registry store at PATH: No such file or directory".
    explicit SqliteRegistry(const std::string& path, OpenMode mode = OpenMode::kCreate);
    ~SqliteRegistry() override;
    SqliteRegistry(const SqliteRegistry&) = delete;
    SqliteRegistry& operator=(const SqliteRegistry&) = delete;

    bool ok() const { return db_ != nullptr; }
    // Why the store could not be opened, or why the last CheckWritable failed.
    const std::string& error() const { return error_; }

    // Whether a write could be made now, without writing anything: kRegOk; kRegBusy when
    // another program still held the write lock after wait_ms; kRegFailed when the store
    // cannot be written (error() says why).
    long CheckWritable(int wait_ms);
    // How long a write waits for another program's write lock before it answers kRegBusy
    // (a few milliseconds unless set); tools that are not in a hurry may wait longer.
    void SetBusyTimeout(int wait_ms);

    long CreateKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long OpenKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long CloseKey(RegKey key) override;
    long DeleteKey(RegKey root, const std::wstring& path) override;
    long SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                  uint32_t size) override;
    long QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                    uint32_t* size) override;
    long EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) override;

    // The values of a key by index, in the order of their folded names; kRegNoMoreItems past
    // the end.  Not part of the platform's interface: for tools that list the store.
    long EnumValue(RegKey key, uint32_t index, std::wstring* name, uint32_t* type,
                   std::vector<uint8_t>* data);

    static constexpr int kSchemaVersion = 1;

  private:
    enum Query {
        kKeyExists,
        kKeyDisplay,
        kInsertKey,
        kDeleteKeys,
        kDeleteValues,
        kSelectValue,
        kUpsertValue,
        kSelectChild,
        kSelectValueAt,
        kQueryCount
    };
    class Statement;
    class Transaction;

    bool Open(const std::string& path, OpenMode mode);
    bool PrepareSchema(OpenMode mode);
    bool Fail(const std::string& what);
    bool FailToOpen(OpenMode mode);
    long KeyPath(RegKey root, const std::wstring& path, std::string* full);
    long HandlePath(RegKey key, std::string* full);
    // Runs fn(full path of key) under the store's lock; an unusable store or a bad handle
    // answers before fn runs.
    template <typename Fn>
    long OnKey(RegKey key, Fn&& fn);
    bool KeyExists(const std::string& full);
    long CreateChain(const std::string& base, const std::wstring& path, std::string* full);
    long NewHandle(const std::string& full, RegKey* key);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* queries_[kQueryCount] = {};
    std::map<RegKey, std::string> handles_;  // handle -> folded full path
    RegKey next_handle_ = 0x1000;
    std::string path_;
    std::string error_;
};

}  // namespace host::posix
