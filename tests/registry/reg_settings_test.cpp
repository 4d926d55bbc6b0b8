// CRegSettings over every store: DWORDs only, the caller's default survives every failed
// read, and a key that cannot be had is told once and then quietly ignored.
#include "platform/reg_settings.h"

#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/virtual_clock.h"
#include "tests/registry/platform_stores.h"

namespace {

using namespace registry_test;

// The test platform around one store.
struct SimPlatform {
    explicit SimPlatform(host::Registry* reg)
        : scoped({.clock = &clock, .log = &log, .registry = reg, .ui = &ui}) {}
    host::VirtualClock clock;
    host::CaptureLog log;
    host::ScriptedUi ui{clock};
    host::ScopedPlatform scoped;
};

template <typename Factory>
class RegSettingsTest : public ::testing::Test {
  protected:
    Factory factory_;
    std::unique_ptr<host::Registry> reg_ = factory_.Make();
    SimPlatform sim_{reg_.get()};
};

TYPED_TEST_SUITE(RegSettingsTest, PlatformStores);

TYPED_TEST(RegSettingsTest, ReadsOnlyDwordsAndKeepsTheDefaultOtherwise) {
    CRegSettings settings;
    ASSERT_NE(settings.m_hKey, 0u);
    SetString(*this->reg_, settings.m_hKey, L"DeviceName", L"3617");
    // A string of exactly a DWORD's size, terminator included, whatever the width of a
    // character.
    const std::wstring four_bytes(sizeof(uint32_t) / sizeof(wchar_t) - 1, L'1');
    SetString(*this->reg_, settings.m_hKey, L"Reboot", four_bytes);
    uint16_t two_bytes = 1;
    this->reg_->SetValue(settings.m_hKey, L"Short", host::kRegDword, &two_bytes, 2);

    for (const wchar_t* name : {L"DeviceName", L"Reboot", L"Short", L"Missing"}) {
        uint32_t value = 0xC0FFEE;
        EXPECT_FALSE(settings.GetDWORD(name, &value)) << host::Narrow(name);
        EXPECT_EQ(value, 0xC0FFEEu) << host::Narrow(name);
    }
    EXPECT_TRUE(this->sim_.ui.Boxes().empty());
}

// Both wrappers over an unusable store: one box each, and the program goes on with every
// read and write refused.
void ExpectRefused(host::ScriptedUi& ui) {
    CRegSettings settings;
    CRegSettings uart(host::kHkeyLocalMachine, kUartKeyPath);
    ASSERT_EQ(ui.Boxes().size(), 2u);
    for (const auto& box : ui.Boxes()) {
        EXPECT_EQ(box.text, L"CreateKey failed!");
        EXPECT_EQ(box.style, host::kMbOk);  // OK button, no icon
    }
    EXPECT_EQ(ui.Beeps(), 0);
    for (CRegSettings* object : {&settings, &uart}) {
        EXPECT_EQ(object->m_hKey, 0u);
        EXPECT_FALSE(object->SetDWORD(L"AWRCWR", 0));
        uint32_t value = 12;
        EXPECT_FALSE(object->GetDWORD(L"AWRCWR", &value));
        EXPECT_EQ(value, 12u);
    }
    EXPECT_EQ(ui.Boxes().size(), 2u);
}

#ifdef _WIN32
// A base key the system refuses to create: a name that is not a key's.
TEST(RegSettingsBrokenStore, BaseKeyRefused) {
    host::win32::Win32Registry reg(HKEY_CURRENT_USER, L"\\");
    ASSERT_FALSE(reg.ok());
    SimPlatform sim(&reg);
    ExpectRefused(sim.ui);
}
#else
TEST(RegSettingsBrokenStore, MissingFolderOrForeignFile) {
    TempRoot root;
    std::ofstream(root.db()) << "not a database";
    for (const std::string& path : {root.path() + "/missing/registry.db", root.db()}) {
        SCOPED_TRACE(path);
        host::posix::SqliteRegistry reg(path);
        SimPlatform sim(&reg);
        ExpectRefused(sim.ui);
    }
    EXPECT_EQ(ReadFile(root.db()), "not a database");
}
#endif

TEST(RegSettingsBrokenStore, OneKeyRefusedTheOtherWorks) {
    host::MemoryRegistry reg;
    reg.FailOpen(kUartKeyPath);
    reg.PutDword(kUartKeyPath, L"AWRCWR", 1);
    SimPlatform sim(&reg);
    host::ScriptedUi& ui = sim.ui;
    {
        CRegSettings uart(host::kHkeyLocalMachine, kUartKeyPath);
        CRegSettings settings;
        EXPECT_FALSE(uart.SetDWORD(L"AWRCWR", 0));
        EXPECT_TRUE(settings.SetDWORD(L"Progress", 0));
        ASSERT_EQ(ui.Boxes().size(), 1u);
        // A store that fails later refuses quietly; the default stays.
        reg.FailAll(true);
        uint32_t progress = 55;
        EXPECT_FALSE(settings.GetDWORD(L"Progress", &progress));
        EXPECT_EQ(progress, 55u);
        EXPECT_FALSE(settings.SetDWORD(L"Progress", 1));
        reg.FailAll(false);
    }
    uint32_t awrcwr = 0;
    EXPECT_TRUE(reg.GetDwordAt(kUartKeyPath, L"AWRCWR", &awrcwr));
    EXPECT_EQ(awrcwr, 1u);
    EXPECT_EQ(reg.OpenHandles(), 0);
    EXPECT_EQ(ui.Boxes().size(), 1u);
}

// Another program holding the store's write lock, in virtual time: construction and the
// waiting reads and writes wait it out up to kStoreWaitMs, a key that stayed busy opens at its
// next use without a box, and TrySetDWORD never waits.
TEST(RegSettingsBusyStore, WaitsOutABusyStoreWithinItsBound) {
    constexpr int64_t kSecond = 1000000;
    struct Case {
        const char* name;
        bool key_exists;
        int64_t busy_us;  // from the start; 0 = until cleared
        int64_t opened_after_ms;
        bool opened;
        const char* log;
    };
    const Case cases[] = {
        {"missing key, busy 5 s", false, 5 * kSecond, 5000, true,
         "\nRegistry busy for 5000 ms before open Software\\QZX\\Kelvaro\r\n"},
        {"missing key, busy for good", false, 0, 10000, false,
         "\nRegistry busy for 10000 ms: open Software\\QZX\\Kelvaro not done\r\n"},
        {"key exists, busy for good", true, 0, 0, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::MemoryRegistry reg;
        SimPlatform sim(&reg);
        if (c.key_exists)
            reg.PutDword(kSettingsKeyPath, L"Progress", 3);
        if (c.busy_us != 0)
            reg.BusyDuring(sim.clock, 0, c.busy_us);
        else
            reg.SetBusy(true);

        CRegSettings settings;
        EXPECT_EQ(sim.clock.now_ms(), c.opened_after_ms);
        EXPECT_EQ(settings.m_hKey != 0, c.opened);
        EXPECT_TRUE(sim.ui.Boxes().empty());
        if (*c.log != '\0') {
            EXPECT_EQ(sim.log.Texts(), std::vector<std::string>{c.log});
        }
        if (c.busy_us != 0)
            continue;
        // Still busy: a try answers at once, a write gives up after the bound, a read goes on.
        const int64_t start_ms = sim.clock.now_ms();
        EXPECT_EQ(settings.TrySetDWORD(L"Progress", 4), host::kRegBusy);
        EXPECT_EQ(sim.clock.now_ms(), start_ms);
        EXPECT_EQ(settings.WriteDWORD(L"Progress", 4), host::kRegBusy);
        EXPECT_EQ(sim.clock.now_ms() - start_ms, CRegSettings::kStoreWaitMs);
        EXPECT_EQ(settings.LastWriteResult(L"Progress"), host::kRegBusy);
        // Free again: the next use opens the key if it has to, and the write lands.
        reg.SetBusy(false);
        EXPECT_TRUE(settings.SetDWORD(L"Progress", 5));
        EXPECT_NE(settings.m_hKey, 0u);
        EXPECT_EQ(settings.LastWriteResult(L"Progress"), host::kRegOk);
        uint32_t progress = 0;
        EXPECT_TRUE(reg.GetDwordAt(kSettingsKeyPath, L"Progress", &progress));
        EXPECT_EQ(progress, 5u);
        EXPECT_TRUE(sim.ui.Boxes().empty());
    }
}

}  // namespace
