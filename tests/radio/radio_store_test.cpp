// The host's radio services against a scratch device root with an SQLite registry store, and
// the search and the switch-off running on them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "device/radio_stack.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/posix/device_root.h"
#include "host/posix/radio_store.h"
#include "host/posix/sqlite_registry.h"
#include "host/sim/virtual_clock.h"

namespace {

namespace fs = std::filesystem;

class StoreRadioTest : public ::testing::Test {
  protected:
    StoreRadioTest() {
        std::string pattern = (fs::temp_directory_path() / "radioXXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directory(root + "/dev");
        store = std::make_unique<host::posix::SqliteRegistry>(host::posix::RegistryPath(root));
        radio = std::make_unique<host::posix::StoreRadio>(root);
        platform = std::make_unique<host::ScopedPlatform>(host::Platform{
            .clock = &clock, .log = &log, .registry = store.get(), .radio = radio.get()});
    }
    ~StoreRadioTest() override { fs::remove_all(root); }

    void SetPhone(uint32_t state) {
        host::RegKey key = 0;
        store->CreateKey(host::kHkeyLocalMachine, host::posix::kPhoneStateKey, &key);
        store->SetValue(key, host::posix::kPhoneRadioValue, host::kRegDword, &state, sizeof state);
        store->CloseKey(key);
    }
    void AddDevice(const std::string& name) { std::ofstream(root + "/dev/" + name) << ""; }

    std::string root;
    host::VirtualClock clock;
    host::CaptureLog log;
    std::unique_ptr<host::posix::SqliteRegistry> store;
    std::unique_ptr<host::posix::StoreRadio> radio;
    std::unique_ptr<host::ScopedPlatform> platform;
};

TEST_F(StoreRadioTest, PhoneRadioFollowsTheStore) {
    ASSERT_TRUE(store->ok()) << store->error();
    EXPECT_EQ(IsGsmRadioOn(), 0u);  // no phone radio recorded
    EXPECT_TRUE(TurnGsmRadioOff());

    SetPhone(1);
    EXPECT_NE(IsGsmRadioOn(), 0u);
    EXPECT_TRUE(TurnGsmRadioOff());
    EXPECT_EQ(IsGsmRadioOn(), 0u);
}

TEST_F(StoreRadioTest, DeactivationUnloadsOnlyInsideTheRoot) {
    host::RegisterActiveDriver(*store, L"01", L"RIL1:", 0x1C0);
    host::RegisterActiveDriver(*store, L"02", L"VEI1:", 0x1C1);
    host::RegisterActiveDriver(*store, L"03", L"../VEI2:", 0x1C2);
    AddDevice("VEI1");
    AddDevice("VEI2");
    std::ofstream(root + "/VEI2") << "";  // where "../VEI2:" would lead

    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:"), 0x1C1u);
    EXPECT_TRUE(radio->DeactivateDevice(0x1C1));
    EXPECT_FALSE(fs::exists(root + "/dev/VEI1"));
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:"), 0u);
    EXPECT_EQ(FindActivatedDeviceHandle(L"RIL1:"), 0x1C0u);
    EXPECT_TRUE(radio->DeactivateDevice(0x1C0));  // no device entry: no harm

    EXPECT_TRUE(radio->DeactivateDevice(0x1C2));
    EXPECT_TRUE(fs::exists(root + "/VEI2"));
    EXPECT_TRUE(fs::exists(root + "/dev/VEI2"));
    EXPECT_FALSE(radio->DeactivateDevice(0x1C2));  // gone already
}

}  // namespace
