// The SQLite registry store.  Keys are rows addressed by their folded full path, so that
// a lookup is one indexed probe and a key's subtree is one range of the primary key (every
// path below "a\b" sorts between "a\b\" and "a\b]", as ']' follows '\').
#include "host/posix/sqlite_registry.h"

#include "host/registry_names.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/debug_log.h"

namespace host::posix {
namespace {

// A writer in another process usually holds the lock for a few milliseconds; a call waits
// about that long and then answers kRegBusy, so that no call blocks the updater by itself:
// the caller decides whether to wait (on its own clock) or to try again later.  The wait is
// on another process, which only real time releases, so it is SQLite's own timer.
constexpr int kCallBusyTimeout_ms = 5;
// Opening may lay out a new store, which another process may be doing at the same moment.
constexpr int kOpenBusyTimeout_ms = 2000;

constexpr const char* kSchema = R"sql(
CREATE TABLE keys (
    path TEXT PRIMARY KEY,   -- folded full path below HKEY_LOCAL_MACHINE; '' is the root
    parent TEXT,             -- folded path of the parent key; NULL for the root
    display TEXT NOT NULL    -- the full path as first spelled
) WITHOUT ROWID;
CREATE INDEX keys_by_parent ON keys (parent, path);
CREATE TABLE key_values (
    key TEXT NOT NULL,       -- folded path of the key
    folded TEXT NOT NULL,    -- folded value name
    name TEXT NOT NULL,      -- value name as first spelled
    type INTEGER NOT NULL,   -- 4 = DWORD, 1 = string
    data,                    -- INTEGER, TEXT or BLOB
    PRIMARY KEY (key, folded)
) WITHOUT ROWID;
CREATE VIEW registry AS
    SELECT k.display AS key, v.name AS name,
           CASE v.type WHEN 4 THEN 'dword' WHEN 1 THEN 'string' ELSE v.type END AS type,
           v.data AS data
    FROM key_values v JOIN keys k ON k.path = v.key;
INSERT INTO keys VALUES ('', NULL, '');
PRAGMA user_version = 1;
)sql";

// Indexed by SqliteRegistry::Query.
constexpr const char* kQueries[] = {
    // kKeyExists
    "SELECT 1 FROM keys WHERE path = ?1",
    // kKeyDisplay
    "SELECT display FROM keys WHERE path = ?1",
    // kInsertKey
    "INSERT OR IGNORE INTO keys (path, parent, display) VALUES (?1, ?2, ?3)",
    // kDeleteKeys
    R"(DELETE FROM keys WHERE path = ?1 OR (path > ?1 || '\' AND path < ?1 || ']'))",
    // kDeleteValues
    R"(DELETE FROM key_values WHERE key = ?1 OR (key > ?1 || '\' AND key < ?1 || ']'))",
    // kSelectValue: no row when the key is missing, a NULL type when the value is.
    "SELECT v.type, v.data FROM keys k "
    "LEFT JOIN key_values v ON v.key = k.path AND v.folded = ?2 WHERE k.path = ?1",
    // kUpsertValue: changes nothing when the key is missing.
    "INSERT INTO key_values (key, folded, name, type, data) "
    "SELECT ?1, ?2, ?3, ?4, ?5 WHERE EXISTS (SELECT 1 FROM keys WHERE path = ?1) "
    "ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data",
    // kSelectChild: no row when the key is missing, NULL past the last child.
    "SELECT (SELECT display FROM keys WHERE parent = ?1 ORDER BY path LIMIT 1 OFFSET ?2) "
    "FROM keys WHERE path = ?1",
    // kSelectValueAt: no row when the key is missing, a NULL type past the last value.
    "SELECT v.name, v.type, v.data FROM keys k LEFT JOIN "
    "(SELECT key, name, type, data FROM key_values WHERE key = ?1 "
    "ORDER BY folded LIMIT 1 OFFSET ?2) v ON v.key = k.path WHERE k.path = ?1",
};

std::string FoldName(const std::wstring& name) {
    return Narrow(FoldRegistryName(name));
}

// The registry's answer for an SQLite result that is not a success.
long StoreError(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kRegBusy;
        case SQLITE_FULL:
            return kRegDiskFull;
        default:
            return kRegFailed;
    }
}

// The answer for a query that found no row: the key is gone, or the store failed.
long NoRow(int step) {
    return step == SQLITE_DONE ? kRegNotFound : StoreError(step);
}

std::string Child(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "\\" + name;
}

bool IsValidCodePoint(wchar_t c) {
    auto code = static_cast<uint32_t>(c);
    return code != 0 && code < 0x110000 && (code < 0xD800 || code > 0xDFFF);
}

// A REG_SZ value that reads back exactly from UTF-8 TEXT: whole characters, one terminator
// at the end and none before it, valid code points.
bool AsPlainString(const void* data, uint32_t size, std::string* text) {
    if (data == nullptr || size < sizeof(wchar_t) || size % sizeof(wchar_t) != 0)
        return false;
    std::wstring chars(size / sizeof(wchar_t), L'\0');
    std::memcpy(chars.data(), data, size);
    if (chars.back() != L'\0')
        return false;
    chars.pop_back();
    for (wchar_t c : chars) {
        if (!IsValidCodePoint(c))
            return false;
    }
    *text = Narrow(chars);
    return true;
}

// Reads the schema version and counts the schema's objects; fails on a file that is not a
// database.  Reading never changes the file.
bool ReadSchema(sqlite3* db, int* version, int* objects) {
    sqlite3_stmt* stmt = nullptr;
    const char* sql =
        "SELECT (SELECT user_version FROM pragma_user_version), "
        "(SELECT count(*) FROM sqlite_master)";
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    bool read = sqlite3_step(stmt) == SQLITE_ROW;
    if (read) {
        *version = sqlite3_column_int(stmt, 0);
        *objects = sqlite3_column_int(stmt, 1);
    }
    sqlite3_finalize(stmt);
    return read;
}

}  // namespace

// A prepared statement in use: binds in order and resets itself when the scope ends, so
// that no statement keeps a read snapshot open between calls.
class SqliteRegistry::Statement {
  public:
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Statement() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(const std::string& text) {
        sqlite3_bind_text(stmt_, ++bound_, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int64_t number) {
        sqlite3_bind_int64(stmt_, ++bound_, number);
        return *this;
    }
    Statement& BindBlob(const void* data, uint32_t size) {
        static const uint8_t kNothing = 0;
        sqlite3_bind_blob(stmt_, ++bound_, size == 0 ? &kNothing : data, static_cast<int>(size),
                          SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return sqlite3_step(stmt_); }
    bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) {
        const auto* text = sqlite3_column_text(stmt_, column);
        int bytes = sqlite3_column_bytes(stmt_, column);
        return text == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
    }
    // A value's data in the registry's byte form.
    std::vector<uint8_t> Data(int column) {
        switch (sqlite3_column_type(stmt_, column)) {
            case SQLITE_INTEGER:
            case SQLITE_FLOAT: {
                auto value = static_cast<uint32_t>(sqlite3_column_int64(stmt_, column));
                const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
                return {bytes, bytes + sizeof value};
            }
            case SQLITE_TEXT: {
                std::wstring chars = Widen(Text(column));
                const auto* bytes = reinterpret_cast<const uint8_t*>(chars.c_str());
                return {bytes, bytes + (chars.size() + 1) * sizeof(wchar_t)};
            }
            case SQLITE_BLOB: {
                const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
                return {bytes, bytes + sqlite3_column_bytes(stmt_, column)};
            }
            default:
                return {};
        }
    }

  private:
    sqlite3_stmt* stmt_;
    int bound_ = 0;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless committed.
class SqliteRegistry::Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) {
        result_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        begun_ = result_ == SQLITE_OK;
    }
    ~Transaction() {
        if (begun_ && !committed_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool begun() const { return begun_; }
    bool Commit() {
        result_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        committed_ = result_ == SQLITE_OK;
        return committed_;
    }
    // The registry's answer for a failed BEGIN or COMMIT.
    long error() const { return StoreError(result_); }

  private:
    sqlite3* db_;
    int result_ = SQLITE_OK;
    bool begun_ = false;
    bool committed_ = false;
};

SqliteRegistry::SqliteRegistry(const std::string& path, OpenMode mode) {
    if (!Open(path, mode) && db_ != nullptr) {
        for (auto*& query : queries_) {
            sqlite3_finalize(query);
            query = nullptr;
        }
        sqlite3_close(db_);
        db_ = nullptr;
    }
}

SqliteRegistry::~SqliteRegistry() {
    for (auto* query : queries_)
        sqlite3_finalize(query);
    sqlite3_close(db_);
}

bool SqliteRegistry::Fail(const std::string& what) {
    error_ = what;
    if (db_ != nullptr) {
        const char* detail = sqlite3_errmsg(db_);
        if (detail != nullptr && *detail != '\0' && std::strcmp(detail, "not an error") != 0)
            error_ += std::string(": ") + detail;
    }
    return false;
}

// SQLite's own message for a file it cannot open names no reason; the system's does.
bool SqliteRegistry::FailToOpen(OpenMode mode) {
    int reason = sqlite3_system_errno(db_);
    // SQLite's last try reads a file that is missing; why it could not be created is the
    // folder's to say.
    if (reason == ENOENT && mode == OpenMode::kCreate) {
        const size_t slash = path_.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
        if (access(folder.c_str(), W_OK | X_OK) != 0)
            reason = errno;
    }
    if (sqlite3_extended_errcode(db_) == SQLITE_CANTOPEN_SYMLINK) {
        error_ = "cannot open " + path_ + ": it is a symbolic link";
    } else if (reason == 0) {
        return Fail("cannot open " + path_);
    } else {
        const bool missing = reason == ENOENT && mode != OpenMode::kCreate;
        error_ = (missing ? "no registry store at " : "cannot open ") + path_ + ": " +
                 std::strerror(reason);
    }
    return false;
}

bool SqliteRegistry::Open(const std::string& path, OpenMode mode) {
    path_ = path;
    // A link in the device root's place of the store is not something the updater made.
    // Read-only use opens for writing too when it may (SQLite falls back to reading alone),
    // so that the last connection to close tidies the journal files away; query_only below
    // keeps it from changing the store.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (mode == OpenMode::kCreate)
        flags |= SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
        return FailToOpen(mode);
    sqlite3_busy_timeout(db_, kOpenBusyTimeout_ms);
    if (mode == OpenMode::kReadOnly) {
        sqlite3_exec(db_, "PRAGMA query_only = ON", nullptr, nullptr, nullptr);
    } else if (sqlite3_db_readonly(db_, "main") != 0) {
        // SQLite falls back to read-only when the file is not writable; a store that cannot
        // take "Progress" is of no use to the updater.
        return Fail(path + " is read-only");
    }
    if (!PrepareSchema(mode)) {
        error_ = path + ": " + error_;
        return false;
    }
    for (int i = 0; i < kQueryCount; ++i) {
        if (sqlite3_prepare_v2(db_, kQueries[i], -1, &queries_[i], nullptr) != SQLITE_OK)
            return Fail(path + " has a damaged schema");
    }
    sqlite3_busy_timeout(db_, kCallBusyTimeout_ms);
    return true;
}

void SqliteRegistry::SetBusyTimeout(int wait_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok())
        sqlite3_busy_timeout(db_, wait_ms);
}

// Takes the write lock as a write would and gives it back at once: nothing is written.  The
// wait is SQLite's own, in real time, for the other process that holds the lock.
long SqliteRegistry::CheckWritable(int wait_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok())
        return kRegFailed;
    sqlite3_busy_timeout(db_, wait_ms);
    long result = kRegOk;
    {
        Transaction transaction(db_);
        if (!transaction.begun()) {
            result = transaction.error();
            Fail(path_ + (result == kRegBusy ? ": another program held its write lock for " +
                                                   std::to_string(wait_ms) + " ms"
                                             : " cannot be written"));
        }
    }
    sqlite3_busy_timeout(db_, kCallBusyTimeout_ms);
    return result;
}

// Uses an existing store as it is and lays out a new one in an empty file.  Anything else
// (another program's database, a newer version of this store, not a database at all) is
// left untouched.
bool SqliteRegistry::PrepareSchema(OpenMode mode) {
    int version = 0;
    int objects = 0;
    if (!ReadSchema(db_, &version, &objects)) {
        // A store in WAL mode is read through its shared-memory file, which SQLite must be
        // able to create beside it.
        if ((sqlite3_errcode(db_) & 0xFF) == SQLITE_READONLY) {
            error_ =
                "cannot be read without write access to its folder, which holds its "
                "journal files";
            return false;
        }
        return Fail("not a database");
    }
    if (version != kSchemaVersion && (version != 0 || objects != 0)) {
        return Fail("not a registry store of version " + std::to_string(kSchemaVersion) +
                    " (schema version " + std::to_string(version) + ")");
    }
    if (mode != OpenMode::kCreate)
        return version == kSchemaVersion || Fail("empty, no registry store yet");
    // Persistent once set; on an existing store this is a no-op.  It cannot run inside a
    // transaction, so a new file gets it before its schema.
    sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (version == kSchemaVersion)
        return true;
    // Another process may be laying out the same new file: decide again under the lock.
    Transaction transaction(db_);
    if (!transaction.begun() || !ReadSchema(db_, &version, &objects))
        return Fail("cannot lay out the store");
    if (version == kSchemaVersion)
        return transaction.Commit();
    if (version != 0 || objects != 0)
        return Fail("not a registry store");
    if (sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot lay out the store");
    return transaction.Commit() || Fail("cannot lay out the store");
}

long SqliteRegistry::HandlePath(RegKey key, std::string* full) {
    if (key == kHkeyLocalMachine) {
        full->clear();
        return kRegOk;
    }
    auto it = handles_.find(key);
    if (it == handles_.end())
        return kRegNotFound;
    *full = it->second;
    return kRegOk;
}

long SqliteRegistry::KeyPath(RegKey root, const std::wstring& path, std::string* full) {
    long result = HandlePath(root, full);
    if (result != kRegOk)
        return result;
    std::vector<std::wstring> parts;
    if (!SplitKeyPath(path, &parts))
        return kRegNotFound;
    for (const auto& part : parts)
        *full = Child(*full, FoldName(part));
    return kRegOk;
}

bool SqliteRegistry::KeyExists(const std::string& full) {
    Statement exists(queries_[kKeyExists]);
    return exists.Bind(full).Step() == SQLITE_ROW;
}

long SqliteRegistry::NewHandle(const std::string& full, RegKey* key) {
    *key = next_handle_++;
    handles_[*key] = full;
    return kRegOk;
}

// Inserts every missing key from base down along path; runs inside a write transaction.
long SqliteRegistry::CreateChain(const std::string& base, const std::wstring& path,
                                 std::string* full) {
    std::vector<std::wstring> parts;
    if (!SplitKeyPath(path, &parts))
        return kRegNotFound;
    std::string display;
    {
        Statement lookup(queries_[kKeyDisplay]);
        int step = lookup.Bind(base).Step();
        if (step != SQLITE_ROW)
            return NoRow(step);  // not found: the root handle's key was deleted
        display = lookup.Text(0);
    }
    *full = base;
    for (const auto& part : parts) {
        std::string parent = *full;
        *full = Child(parent, FoldName(part));
        Statement insert(queries_[kInsertKey]);
        int step = insert.Bind(*full).Bind(parent).Bind(Child(display, Narrow(part))).Step();
        if (step != SQLITE_DONE)
            return StoreError(step);
        Statement lookup(queries_[kKeyDisplay]);
        step = lookup.Bind(*full).Step();
        if (step != SQLITE_ROW)
            return StoreError(step);
        display = lookup.Text(0);
    }
    return kRegOk;
}

// A key that exists is opened with a read, so that opening it never waits for another
// program's write; only a missing key takes the write lock.
long SqliteRegistry::CreateKey(RegKey root, const std::wstring& path, RegKey* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok())
        return kRegFailed;
    std::string base;
    std::string full;
    long result = HandlePath(root, &base);
    if (result == kRegOk)
        result = KeyPath(root, path, &full);
    if (result != kRegOk)
        return result;
    if (KeyExists(full))
        return NewHandle(full, key);
    Transaction transaction(db_);
    if (!transaction.begun())
        return transaction.error();
    result = CreateChain(base, path, &full);
    if (result != kRegOk)
        return result;
    if (!transaction.Commit())
        return transaction.error();
    return NewHandle(full, key);
}

long SqliteRegistry::OpenKey(RegKey root, const std::wstring& path, RegKey* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok())
        return kRegFailed;
    std::string full;
    long result = KeyPath(root, path, &full);
    if (result != kRegOk)
        return result;
    if (!KeyExists(full))
        return kRegNotFound;
    return NewHandle(full, key);
}

long SqliteRegistry::CloseKey(RegKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok())
        return kRegFailed;
    return handles_.erase(key) == 1 ? kRegOk : kRegNotFound;
}

long SqliteRegistry::DeleteKey(RegKey root, const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok())
        return kRegFailed;
    std::string full;
    long result = KeyPath(root, path, &full);
    if (result != kRegOk)
        return result;
    if (full.empty())
        return kRegAccessDenied;  // the root stays
    Transaction transaction(db_);
    if (!transaction.begun())
        return transaction.error();
    if (!KeyExists(full))
        return kRegNotFound;
    Statement keys(queries_[kDeleteKeys]);
    Statement values(queries_[kDeleteValues]);
    int step = keys.Bind(full).Step();
    if (step == SQLITE_DONE)
        step = values.Bind(full).Step();
    if (step != SQLITE_DONE)
        return StoreError(step);
    return transaction.Commit() ? kRegOk : transaction.error();
}

template <typename Fn>
long SqliteRegistry::OnKey(RegKey key, Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok())
        return kRegFailed;
    std::string full;
    long result = HandlePath(key, &full);
    return result == kRegOk ? fn(full) : result;
}

long SqliteRegistry::SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                              uint32_t size) {
    return OnKey(key, [&](const std::string& full) -> long {
        if (data == nullptr)
            size = 0;
        Statement upsert(queries_[kUpsertValue]);
        upsert.Bind(full).Bind(FoldName(name)).Bind(Narrow(name)).Bind(int64_t{type});
        std::string text;
        if (type == kRegDword && size == sizeof(uint32_t)) {
            uint32_t value = 0;
            std::memcpy(&value, data, sizeof value);
            upsert.Bind(int64_t{value});
        } else if (type == kRegSz && AsPlainString(data, size, &text)) {
            upsert.Bind(text);
        } else {
            upsert.BindBlob(data, size);  // kept byte for byte
        }
        int step = upsert.Step();
        if (step != SQLITE_DONE)
            return StoreError(step);
        return sqlite3_changes(db_) == 0 ? kRegNotFound : kRegOk;  // deleted under the handle
    });
}

long SqliteRegistry::QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                                uint32_t* size) {
    return OnKey(key, [&](const std::string& full) -> long {
        Statement select(queries_[kSelectValue]);
        int step = select.Bind(full).Bind(FoldName(name)).Step();
        if (step != SQLITE_ROW)
            return NoRow(step);
        if (select.IsNull(0))
            return kRegNotFound;
        if (type != nullptr)
            *type = static_cast<uint32_t>(select.Int(0));
        std::vector<uint8_t> bytes = select.Data(1);
        auto stored = static_cast<uint32_t>(bytes.size());
        uint32_t capacity = size == nullptr ? 0 : *size;
        if (size != nullptr)
            *size = stored;
        if (data == nullptr)
            return kRegOk;
        if (stored > capacity)
            return kRegMoreData;
        std::memcpy(data, bytes.data(), stored);
        return kRegOk;
    });
}

long SqliteRegistry::EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) {
    return OnKey(key, [&](const std::string& full) -> long {
        Statement select(queries_[kSelectChild]);
        int step = select.Bind(full).Bind(int64_t{index}).Step();
        if (step != SQLITE_ROW)
            return NoRow(step);
        if (select.IsNull(0))
            return kRegNoMoreItems;
        std::string display = select.Text(0);
        std::wstring child = Widen(display.substr(display.rfind('\\') + 1));
        if (name == nullptr || name_chars == nullptr || child.size() + 1 > *name_chars)
            return kRegMoreData;
        std::wmemcpy(name, child.c_str(), child.size() + 1);
        *name_chars = static_cast<uint32_t>(child.size());
        return kRegOk;
    });
}

long SqliteRegistry::EnumValue(RegKey key, uint32_t index, std::wstring* name, uint32_t* type,
                               std::vector<uint8_t>* data) {
    return OnKey(key, [&](const std::string& full) -> long {
        Statement select(queries_[kSelectValueAt]);
        int step = select.Bind(full).Bind(int64_t{index}).Step();
        if (step != SQLITE_ROW)
            return NoRow(step);
        if (select.IsNull(1))
            return kRegNoMoreItems;
        *name = Widen(select.Text(0));
        *type = static_cast<uint32_t>(select.Int(1));
        *data = select.Data(2);
        return kRegOk;
    });
}

}  // namespace host::posix
