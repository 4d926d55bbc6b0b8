// What only the SQLite store has to get right: other programs read it plainly, and a link in
// the store's place is never followed.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/registry/store_fixture.h"

namespace {

using namespace registry_test;
using host::posix::SqliteRegistry;
constexpr host::RegKey kHklm = host::kHkeyLocalMachine;

// One row of a query on a plain connection, columns joined by '|'.
std::string Sql(const std::string& db, const std::string& query) {
    sqlite3* conn = nullptr;
    sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* stmt = nullptr;
    std::string row = "(error)";
    if (sqlite3_prepare_v2(conn, query.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        int step = sqlite3_step(stmt);
        row = step == SQLITE_ROW ? "" : step == SQLITE_DONE ? "(none)" : "(error)";
        for (int i = 0; step == SQLITE_ROW && i < sqlite3_column_count(stmt); ++i) {
            const auto* text = sqlite3_column_text(stmt, i);
            row.append(i ? "|" : "").append(text ? reinterpret_cast<const char*>(text) : "");
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(conn);
    return row;
}

TEST(SqliteRegistry, OtherProgramsReadAndWriteItPlainly) {
    TempRoot root;
    SqliteRegistry reg(root.db());
    host::RegKey key = 0;
    ASSERT_EQ(reg.CreateKey(kHklm, L"Software\\QZX\\Kelvaro", &key), host::kRegOk);
    SetDword(reg, key, L"Progress", 0xFFFFFFFF);
    SetString(reg, key, L"Title", L"GSM Ünicode");
    const char* select =
        "SELECT type, typeof(data), data FROM registry "
        "WHERE key = 'Software\\QZX\\Kelvaro' AND name = ";
    EXPECT_EQ(Sql(root.db(), std::string(select) + "'Progress'"), "dword|integer|4294967295");
    EXPECT_EQ(Sql(root.db(), std::string(select) + "'Title'"), "string|text|GSM Ünicode");
    EXPECT_EQ(Sql(root.db(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Sql(root.db(), "PRAGMA user_version"), "1");

    Sql(root.db(), "UPDATE key_values SET data = 100 WHERE folded = 'progress'");
    EXPECT_EQ(Query(reg, key, L"Progress").bytes, Bytes(100u));
    reg.CloseKey(key);
}

// A link in the store's place is not followed, even to a good store.
TEST(SqliteRegistry, RefusesASymbolicLink) {
    TempRoot root;
    const std::string target = root.path() + "/elsewhere.db";
    {
        SqliteRegistry good(target);
        ASSERT_TRUE(good.ok()) << good.error();
    }
    ASSERT_EQ(symlink(target.c_str(), root.db().c_str()), 0);
    SqliteRegistry reg(root.db());
    EXPECT_FALSE(reg.ok());
    EXPECT_NE(reg.error().find(root.db()), std::string::npos) << reg.error();
    host::RegKey key = 0;
    EXPECT_EQ(reg.CreateKey(kHklm, L"Software", &key), host::kRegFailed);
}

// Only the creating mode ever makes or lays out a store; the others answer why they cannot
// open one and leave the place as it was.
TEST(SqliteRegistry, OnlyTheCreatingModeMakesAStore) {
    using Mode = SqliteRegistry::OpenMode;
    enum Place { kMissing, kEmpty, kFolder, kStore };
    const struct {
        Mode mode;
        Place place;
        std::string before, after;  // the error is before + the store's path + after; "": opens
    } cases[] = {
        {Mode::kReadOnly, kMissing, "no registry store at ", ": No such file or directory"},
        {Mode::kExisting, kMissing, "no registry store at ", ": No such file or directory"},
        {Mode::kReadOnly, kEmpty, "", ": empty, no registry store yet"},
        {Mode::kExisting, kEmpty, "", ": empty, no registry store yet"},
        {Mode::kReadOnly, kFolder, "cannot open ", ": Is a directory"},
        {Mode::kCreate, kFolder, "cannot open ", ": Is a directory"},
        {Mode::kReadOnly, kStore, "", ""},
        {Mode::kExisting, kStore, "", ""},
        {Mode::kCreate, kMissing, "", ""},
        {Mode::kCreate, kEmpty, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "mode " << static_cast<int>(c.mode) << ", place " << c.place);
        TempRoot root;
        if (c.place == kEmpty)
            std::ofstream(root.db()).close();
        if (c.place == kFolder)
            std::filesystem::create_directory(root.db());
        if (c.place == kStore)
            SqliteRegistry{root.db()}.error();
        const std::string contents = ReadFile(root.db());
        {
            SqliteRegistry reg(root.db(), c.mode);
            EXPECT_EQ(reg.error(), c.after.empty() ? "" : c.before + root.db() + c.after);
            EXPECT_EQ(reg.ok(), c.after.empty());
        }
        EXPECT_EQ(std::filesystem::exists(root.db()),
                  c.place != kMissing || c.mode == Mode::kCreate);
        if (c.mode != Mode::kCreate) {
            EXPECT_EQ(ReadFile(root.db()), contents) << "the store was changed";
        }
    }
}

// A read-only store refuses every write, even where the file could be written.
TEST(SqliteRegistry, AReadOnlyStoreWritesNothing) {
    TempRoot root;
    ASSERT_TRUE(SqliteRegistry(root.db()).ok());
    SqliteRegistry reg(root.db(), SqliteRegistry::OpenMode::kReadOnly);
    ASSERT_TRUE(reg.ok()) << reg.error();
    host::RegKey key = 0;
    EXPECT_NE(reg.CreateKey(kHklm, L"Software", &key), host::kRegOk);
    EXPECT_EQ(Sql(root.db(), "SELECT count(*) FROM keys"), "1");
}

}  // namespace
