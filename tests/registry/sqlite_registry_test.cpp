// What only the SQLite store has to get right: other programs read it plainly, a reader in
// another process does not stop the updater's writes, and a file that is not the store is
// never touched.
#include <sqlite3.h>
#include <sys/stat.h>
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

// Every call of a store that could not be opened answers kRegFailed and changes nothing.
void ExpectUnusable(SqliteRegistry& reg) {
    EXPECT_FALSE(reg.ok());
    EXPECT_FALSE(reg.error().empty());
    host::RegKey key = 0;
    wchar_t name[16];
    uint32_t chars = 16;
    uint32_t size = 4;
    uint32_t value = 7;
    EXPECT_EQ(reg.CreateKey(kHklm, L"Software", &key), host::kRegFailed);
    EXPECT_EQ(reg.OpenKey(kHklm, L"", &key), host::kRegFailed);
    EXPECT_EQ(reg.SetValue(kHklm, L"V", host::kRegDword, &value, 4), host::kRegFailed);
    EXPECT_EQ(reg.QueryValue(kHklm, L"V", nullptr, &value, &size), host::kRegFailed);
    EXPECT_EQ(reg.EnumKey(kHklm, 0, name, &chars), host::kRegFailed);
    EXPECT_EQ(reg.DeleteKey(kHklm, L"Software"), host::kRegFailed);
    EXPECT_EQ(reg.CloseKey(0x1000), host::kRegFailed);
    EXPECT_EQ(value, 7u);
}

TEST(SqliteRegistry, LeavesWhatIsNotItsStoreAlone) {
    TempRoot root;
    std::string text = root.path() + "/notes.txt";
    std::ofstream(text) << "SQLite format 3? no, just notes\n" << std::string(5000, 'x');
    std::string foreign = root.path() + "/other.db";
    std::string newer = root.path() + "/newer.db";
    for (const std::string& db : {foreign, newer}) {
        sqlite3* conn = nullptr;
        sqlite3_open(db.c_str(), &conn);
        sqlite3_exec(conn, "CREATE TABLE other (x); INSERT INTO other VALUES (1)", nullptr, nullptr,
                     nullptr);
        if (db == newer)
            sqlite3_exec(conn, "PRAGMA user_version = 2", nullptr, nullptr, nullptr);
        sqlite3_close(conn);
    }
    for (const std::string& path : {text, foreign, newer}) {
        std::string before = ReadFile(path);
        {
            SqliteRegistry reg(path);
            SCOPED_TRACE(path);
            ExpectUnusable(reg);
        }
        EXPECT_EQ(ReadFile(path), before) << path;
        EXPECT_FALSE(std::filesystem::exists(path + "-wal")) << path;
    }
    for (const std::string& path : {root.path() + "/missing/registry.db", root.path()}) {
        SqliteRegistry reg(path);
        SCOPED_TRACE(path);
        ExpectUnusable(reg);
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/missing"));
    if (geteuid() != 0) {  // permissions do not bind root
        chmod(root.path().c_str(), 0555);
        SqliteRegistry reg(root.db());
        ExpectUnusable(reg);
        chmod(root.path().c_str(), 0755);
    }
}

// A child process holds a read transaction (it sees Progress = 1) while this process
// writes; in WAL mode the write neither waits for it nor fails.
TEST(SqliteRegistry, WritesWhileAnotherProcessReads) {
    TempRoot root;
    SqliteRegistry reg(root.db());
    host::RegKey key = 0;
    reg.CreateKey(kHklm, L"Software\\QZX\\Kelvaro", &key);
    SetDword(reg, key, L"Progress", 1);
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    if (child == 0) {
        sqlite3* conn = nullptr;
        sqlite3_open_v2(root.db().c_str(), &conn, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_exec(conn, "BEGIN", nullptr, nullptr, nullptr);
        const char* query = "SELECT data FROM registry WHERE name = 'Progress'";
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(conn, query, -1, &stmt, nullptr);
        int seen = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
        sqlite3_reset(stmt);
        char byte = 0;
        (void)!write(ready[1], &byte, 1);
        (void)!read(done[0], &byte, 1);  // the parent has written meanwhile
        int still = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
        _exit(seen == 1 && still == 1 ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    for (uint32_t progress = 2; progress <= 6; ++progress)
        EXPECT_EQ(SetDword(reg, key, L"Progress", progress), host::kRegOk);
    ASSERT_EQ(write(done[1], &byte, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reader's snapshot moved";
    EXPECT_EQ(Sql(root.db(), "SELECT data FROM registry WHERE name = 'Progress'"), "6");
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
}

// Another program holds a write transaction: opening a key that exists and reading go on,
// every kind of write answers busy instead of blocking, and all works again once it commits.
TEST(SqliteRegistry, AnotherWritersLockMakesWritesBusyButNotOpens) {
    TempRoot root;
    SqliteRegistry reg(root.db());
    host::RegKey key = 0;
    ASSERT_EQ(reg.CreateKey(kHklm, L"Software\\QZX\\Kelvaro", &key), host::kRegOk);
    ASSERT_EQ(SetDword(reg, key, L"Progress", 7), host::kRegOk);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(root.db().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    host::RegKey again = 0;
    EXPECT_EQ(reg.CreateKey(kHklm, L"software\\qzx\\KELVARO", &again), host::kRegOk);
    EXPECT_EQ(Query(reg, again, L"Progress").bytes, Bytes(7u));
    EXPECT_EQ(SetDword(reg, again, L"Progress", 8), host::kRegBusy);
    host::RegKey created = 0;
    EXPECT_EQ(reg.CreateKey(kHklm, L"Software\\New", &created), host::kRegBusy);
    EXPECT_EQ(reg.DeleteKey(kHklm, L"Software\\QZX"), host::kRegBusy);
    EXPECT_EQ(reg.CheckWritable(20), host::kRegBusy);
    EXPECT_NE(reg.error().find("another program held its write lock for 20 ms"), std::string::npos)
        << reg.error();

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(reg.CheckWritable(20), host::kRegOk);
    EXPECT_EQ(SetDword(reg, again, L"Progress", 8), host::kRegOk);
    EXPECT_EQ(reg.CreateKey(kHklm, L"Software\\New", &created), host::kRegOk);
    EXPECT_EQ(Sql(root.db(), "SELECT data FROM registry WHERE name = 'Progress'"), "8");
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

}  // namespace
