// The table of open serial devices: a handle, once used, never reaches another device, and a
// device that a call still holds outlives its Close, which wakes it exactly once.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "host/serial_table.h"

namespace {

struct FakeDevice {
    void Shutdown() { ++shutdowns; }
    std::wstring name;
    int shutdowns = 0;
};

using Table = host::SerialTable<FakeDevice>;

TEST(SerialTableTest, HandlesAreNeverReused) {
    Table table;
    auto first = std::make_shared<FakeDevice>();
    const host::SerialHandle closed = table.Add(first);
    ASSERT_TRUE(table.Close(closed));
    const host::SerialHandle failed_open = table.Reserve();
    auto second = std::make_shared<FakeDevice>();
    const host::SerialHandle reserved = table.Reserve();
    table.Insert(reserved, second);
    const host::SerialHandle added = table.Add(std::make_shared<FakeDevice>());

    EXPECT_EQ((std::set<host::SerialHandle>{closed, failed_open, reserved, added}).size(), 4u);
    EXPECT_NE(closed, host::kInvalidSerial);
    EXPECT_EQ(table.Find(closed), nullptr);
    EXPECT_EQ(table.Find(failed_open), nullptr);
    EXPECT_EQ(table.Find(reserved), second);
    EXPECT_FALSE(table.Close(closed));
    EXPECT_EQ(first->shutdowns, 1);
}

TEST(SerialTableTest, ADeviceHeldByACallOutlivesItsClose) {
    struct Scenario {
        const char* what;
        bool close_all;
    };
    for (const Scenario& s : {Scenario{"Close", false}, Scenario{"CloseAll", true}}) {
        SCOPED_TRACE(s.what);
        Table table;
        auto opened = std::make_shared<FakeDevice>();
        opened->name = L"COM1:";
        const host::SerialHandle handle = table.Add(opened);
        const std::weak_ptr<FakeDevice> watch = opened;
        opened.reset();

        std::shared_ptr<FakeDevice> in_call = table.FindByName(L"COM1:");
        ASSERT_EQ(in_call, table.Find(handle));
        if (s.close_all)
            table.CloseAll();
        else
            EXPECT_TRUE(table.Close(handle));
        EXPECT_EQ(in_call->shutdowns, 1);
        EXPECT_EQ(table.FindByName(L"COM1:"), nullptr);
        EXPECT_FALSE(watch.expired());
        in_call.reset();
        EXPECT_TRUE(watch.expired());
    }
}

}  // namespace
