// regtool as people and scripts use it, including while the updater holds the store open.
#include <sys/wait.h>

#include <cstdlib>

#include "tests/registry/store_fixture.h"

namespace {

using namespace registry_test;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built tool through the shell with UPDATER_ROOT set to root, or unset when root is
// empty; args are in shell syntax.
Outcome Regtool(const std::string& root, const std::string& args) {
    static TempRoot scratch;
    std::string env = root.empty() ? "env -u UPDATER_ROOT " : "UPDATER_ROOT='" + root + "' ";
    std::string out = scratch.path() + "/out";
    std::string err = scratch.path() + "/err";
    int status = std::system((env + REGTOOL_PATH " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

TEST(Regtool, SetThenGetEveryForm) {
    TempRoot root;
    struct Case {
        const char* value;
        const char* printed;
    };
    for (const Case& c : {Case{"dword:-1", "4294967295\n"}, Case{"dword:0x1C0", "448\n"},
                          Case{"dword:-2147483648", "2147483648\n"}, Case{"dword:42", "42\n"},
                          Case{"'string:RIL1: ünï'", "RIL1: ünï\n"}, Case{"string:", "\n"}}) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(
            Regtool(root.path(), R"(set 'Software\QZX\Kelvaro' Progress )" + std::string(c.value))
                .status,
            0);
        Outcome got = Regtool(root.path(), R"(get 'HKLM\software\qzx\KELVARO' progress)");
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.out, c.printed);
    }
    EXPECT_EQ(
        Regtool(root.path(), R"(get 'HKEY_LOCAL_MACHINE\Software\QZX\Kelvaro' Progress)").status,
        0);
}

TEST(Regtool, RefusesBadCommandsAndReportsWhatIsMissing) {
    TempRoot root;
    for (const char* args :
         {"", "frobnicate", "get Software", "set K V dword:4294967296", "set K V dword:-2147483649",
          "set K V dword:12abc", "set K V dword:", "set K V 42"}) {
        Outcome outcome = Regtool(root.path(), args);
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_NE(outcome.err.find("usage: regtool"), std::string::npos) << args;
    }
    EXPECT_NE(Regtool(root.path(), "set K V dword:010x").err.find("VALUE: 'dword:010x' is not"),
              std::string::npos);
    Regtool(root.path(), R"(set 'Software\QZX\Kelvaro' Reboot dword:1)");
    Outcome missing = Regtool(root.path(), R"(get 'Software\QZX\Kelvaro' DeviceName)");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("DeviceName"), std::string::npos);
    EXPECT_EQ(Regtool(root.path(), R"(get 'Software\Nope' Reboot)").status, 1);
    EXPECT_EQ(Regtool(root.path(), R"(delete 'Software\Nope')").status, 1);
    EXPECT_EQ(Regtool(root.path() + "/missing", "dump").status, 1);

    Outcome unset = Regtool("", "dump");
    EXPECT_EQ(unset.status, 2);
    EXPECT_NE(unset.err.find("UPDATER_ROOT is not set"), std::string::npos) << unset.err;
}

TEST(Regtool, DumpsAndDeletes) {
    TempRoot root;
    Regtool(root.path(), R"(set 'Software\QZX\Kelvaro' Progress dword:100)");
    Regtool(root.path(), R"(set 'Drivers\Active\01' Name string:VEI1:)");
    Outcome dump = Regtool(root.path(), "dump");
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.out,
              "Drivers\n"
              "Drivers\\Active\n"
              "Drivers\\Active\\01\n"
              "    Name = string:VEI1:\n"
              "Software\n"
              "Software\\QZX\n"
              "Software\\QZX\\Kelvaro\n"
              "    Progress = dword:100\n");
    EXPECT_EQ(Regtool(root.path(), "delete drivers").status, 0);
    EXPECT_EQ(Regtool(root.path(), "dump").out.find("Drivers"), std::string::npos);
}

// The updater keeps its connection open for the whole update; the tool reads and writes
// beside it.
TEST(Regtool, WorksBesideAnOpenStore) {
    TempRoot root;
    host::posix::SqliteRegistry reg(root.db());
    host::RegKey key = 0;
    ASSERT_EQ(reg.CreateKey(host::kHkeyLocalMachine, L"Software\\QZX\\Kelvaro", &key),
              host::kRegOk);
    for (uint32_t progress : {0u, 37u, 0xFFFFFFFFu}) {
        SetDword(reg, key, L"Progress", progress);
        EXPECT_EQ(Regtool(root.path(), R"(get 'Software\QZX\Kelvaro' Progress)").out,
                  std::to_string(progress) + "\n");
    }
    Regtool(root.path(), R"(set 'Software\QZX\Kelvaro' Reboot dword:1)");
    EXPECT_EQ(Query(reg, key, L"Reboot").bytes, Bytes(1u));
    reg.CloseKey(key);
}

}  // namespace
