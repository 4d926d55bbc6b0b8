// One set of rules for every registry store: whatever a test of the system proves on the
// in-memory store must hold on the store the updater runs with (SQLite on POSIX hosts, the
// system's own registry on Windows).
#include <algorithm>
#include <cwchar>
#include <thread>
#include <vector>

#include "host/debug_log.h"
#include "tests/registry/platform_stores.h"

namespace {

using namespace registry_test;
constexpr host::RegKey kHklm = host::kHkeyLocalMachine;

template <typename Factory>
class RegistryConformance : public ::testing::Test {
  protected:
    host::RegKey Create(const std::wstring& path, host::RegKey root = kHklm) {
        host::RegKey key = 0;
        EXPECT_EQ(reg_->CreateKey(root, path, &key), host::kRegOk) << host::Narrow(path);
        return key;
    }
    long Open(const std::wstring& path, host::RegKey root = kHklm) {
        host::RegKey key = 0;
        long result = reg_->OpenKey(root, path, &key);
        if (result == host::kRegOk)
            reg_->CloseKey(key);
        return result;
    }
    std::vector<std::wstring> Children(host::RegKey key) {
        std::vector<std::wstring> names;
        wchar_t name[64];
        uint32_t chars = 64;
        while (reg_->EnumKey(key, static_cast<uint32_t>(names.size()), name, &chars) ==
                   host::kRegOk &&
               names.size() < 100) {
            EXPECT_EQ(chars, std::wcslen(name));
            names.emplace_back(name);
            chars = 64;
        }
        return names;
    }

    Factory factory_;
    std::unique_ptr<host::Registry> reg_ = factory_.Make();
};

TYPED_TEST_SUITE(RegistryConformance, PlatformStores);

TYPED_TEST(RegistryConformance, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    host::RegKey key = this->Create(L"Software\\QZX\\Kelvaro");
    host::RegKey same = this->Create(L"SOFTWARE\\qzx\\KELVARO\\");
    ASSERT_EQ(SetDword(*this->reg_, key, L"Progress", 5), host::kRegOk);
    ASSERT_EQ(SetDword(*this->reg_, same, L"PROGRESS", 7), host::kRegOk);
    EXPECT_EQ(Query(*this->reg_, key, L"progress").bytes, Bytes(7u));
    this->Create(L"software\\ÜBER\\Ѐта");
    EXPECT_EQ(this->Open(L"Software\\über\\ѐТА"), host::kRegOk);
    host::RegKey software = this->Create(L"SOFTWARE");
    EXPECT_EQ(this->Children(software), (std::vector<std::wstring>{L"QZX", L"ÜBER"}));
    EXPECT_EQ(this->Children(kHklm), (std::vector<std::wstring>{L"Software"}));
}

TYPED_TEST(RegistryConformance, CreateMakesParentsOpenOnlyFinds) {
    EXPECT_EQ(this->Open(L"Drivers\\Active"), host::kRegNotFound);
    this->Create(L"Drivers\\Active\\01");
    EXPECT_EQ(this->Open(L"Drivers"), host::kRegOk);
    EXPECT_EQ(this->Open(L"Drivers\\Active"), host::kRegOk);
    host::RegKey key = 0;
    for (const wchar_t* bad : {L"\\Drivers", L"Drivers\\\\Active", L"\\"}) {
        EXPECT_EQ(this->reg_->CreateKey(kHklm, bad, &key), host::kRegNotFound);
        EXPECT_EQ(this->Open(bad), host::kRegNotFound);
    }
    EXPECT_EQ(this->Children(kHklm), (std::vector<std::wstring>{L"Drivers"}));
}

TYPED_TEST(RegistryConformance, ValuesKeepTypeAndBytes) {
    host::RegKey key = this->Create(L"Drivers\\Active\\01");
    const std::wstring wide = L"Grüße 中文";
    const wchar_t unterminated[] = {L'a', L'b', L'\0'};  // only "ab" is written: kept as given
    const uint16_t short_dword = 9;
    struct Case {
        const wchar_t* name;
        uint32_t type;
        std::string bytes;
    };
    for (const Case& c :
         {Case{L"Hnd", host::kRegDword, Bytes(0xFFFFFFFFu)},
          Case{L"Name", host::kRegSz, Bytes(L"RIL1:")}, Case{L"Empty", host::kRegSz, Bytes(L"")},
          Case{L"Wide", host::kRegSz, Bytes(wide)}, Case{L"Raw", 3, std::string("\1\0\2", 3)},
          Case{L"Open", host::kRegSz,
               std::string(reinterpret_cast<const char*>(unterminated), 2 * sizeof(wchar_t))},
          Case{L"Short", host::kRegDword,
               std::string(reinterpret_cast<const char*>(&short_dword), 2)},
          Case{L"Hnd", host::kRegSz, Bytes(L"1c0")}}) {  // a type replaced
        auto size = static_cast<uint32_t>(c.bytes.size());
        ASSERT_EQ(this->reg_->SetValue(key, c.name, c.type, c.bytes.data(), size), host::kRegOk);
        Read read = Query(*this->reg_, key, c.name);
        EXPECT_EQ(read.type, c.type) << host::Narrow(c.name);
        EXPECT_EQ(read.bytes, c.bytes) << host::Narrow(c.name);
    }
    EXPECT_EQ(Query(*this->reg_, key, L"Missing").result, host::kRegNotFound);
}

// A value too large for the buffer is refused whole: its size is told, the buffer untouched.
TYPED_TEST(RegistryConformance, QueryHonoursTheCapacity) {
    host::RegKey key = this->Create(L"Drivers\\Active\\01");
    SetString(*this->reg_, key, L"Name", L"VEI1:");
    const uint32_t needed = 6 * sizeof(wchar_t);
    wchar_t buffer[8];
    uint32_t type = 0;
    uint32_t size = 0;
    const struct {
        uint32_t capacity;
        bool no_size;
        long result;
    } cases[] = {{needed - 1, false, host::kRegMoreData}, {2, false, host::kRegMoreData},
                 {0, false, host::kRegMoreData},          {0, true, host::kRegMoreData},
                 {needed, false, host::kRegOk},           {sizeof buffer, false, host::kRegOk}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "capacity " << c.capacity);
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        size = c.capacity;
        type = 0;
        EXPECT_EQ(this->reg_->QueryValue(key, L"Name", &type, buffer, c.no_size ? nullptr : &size),
                  c.result);
        EXPECT_EQ(type, host::kRegSz);
        if (!c.no_size) {
            EXPECT_EQ(size, needed);
        }
        if (c.result == host::kRegOk) {
            EXPECT_EQ(std::wstring(buffer, 7), std::wstring(L"VEI1:\0#", 7));
        } else {
            EXPECT_EQ(std::wstring(buffer, 8), std::wstring(8, L'#'));
        }
    }
}

TYPED_TEST(RegistryConformance, EnumerationIsOrderedDirectAndBounded) {
    host::RegKey active = this->Create(L"Drivers\\Active");
    for (const wchar_t* child : {L"Beta", L"alpha", L"Gamma\\Deep"})
        this->Create(child, active);
    this->Create(L"Drivers\\Active!");  // sorts between "Active" and "Active\..."
    EXPECT_EQ(this->Children(active), (std::vector<std::wstring>{L"alpha", L"Beta", L"Gamma"}));

    wchar_t name[8];
    uint32_t chars = 5;  // "alpha" needs 6 with its terminator
    EXPECT_EQ(this->reg_->EnumKey(active, 0, name, &chars), host::kRegMoreData);
    chars = 6;
    EXPECT_EQ(this->reg_->EnumKey(active, 0, name, &chars), host::kRegOk);
    EXPECT_EQ(chars, 5u);
    EXPECT_EQ(this->reg_->EnumKey(active, 3, name, &chars), host::kRegNoMoreItems);
    EXPECT_EQ(this->reg_->EnumKey(this->Create(L"Empty"), 0, name, &chars), host::kRegNoMoreItems);
}

TYPED_TEST(RegistryConformance, DeleteTakesTheSubtreeAndNothingElse) {
    auto& reg = *this->reg_;
    host::RegKey doomed = this->Create(L"A\\B\\C");
    SetDword(reg, doomed, L"V", 1);
    SetDword(reg, this->Create(L"A\\B2"), L"V", 2);
    SetDword(reg, this->Create(L"AB"), L"V", 3);
    SetDword(reg, this->Create(L"A\\B!"), L"V", 4);
    SetDword(reg, kHklm, L"Top", 5);

    EXPECT_EQ(reg.DeleteKey(kHklm, L"a\\b"), host::kRegOk);
    EXPECT_EQ(this->Open(L"A\\B"), host::kRegNotFound);
    EXPECT_EQ(this->Open(L"A\\B\\C"), host::kRegNotFound);
    EXPECT_EQ(this->Children(this->Create(L"A")), (std::vector<std::wstring>{L"B!", L"B2"}));
    EXPECT_EQ(reg.DeleteKey(kHklm, L"A\\B"), host::kRegNotFound);

    // The root stays, whether named by itself or by a handle opened on it.
    host::RegKey root = this->Create(L"");
    EXPECT_EQ(reg.DeleteKey(kHklm, L""), host::kRegAccessDenied);
    EXPECT_EQ(reg.DeleteKey(root, L""), host::kRegAccessDenied);
    EXPECT_EQ(this->Open(L"AB"), host::kRegOk);
    EXPECT_EQ(Query(reg, kHklm, L"Top").bytes, Bytes(5u));
    // A handle's own key goes with an empty path.
    EXPECT_EQ(reg.DeleteKey(this->Create(L"A\\B2"), L""), host::kRegOk);
    EXPECT_EQ(this->Children(this->Create(L"A")), (std::vector<std::wstring>{L"B!"}));

    // A handle on a deleted key reaches nothing, not even a recreated key's children.
    EXPECT_EQ(SetDword(reg, doomed, L"V", 5), host::kRegNotFound);
    EXPECT_EQ(Query(reg, doomed, L"V").result, host::kRegNotFound);
    host::RegKey again = this->Create(L"A\\B\\C");
    EXPECT_EQ(Query(reg, again, L"V").result, host::kRegNotFound);
}

TYPED_TEST(RegistryConformance, HandlesServeAsRootsUntilClosed) {
    auto& reg = *this->reg_;
    host::RegKey drivers = this->Create(L"Drivers");
    host::RegKey uart = this->Create(L"BuiltIn\\2440UART0", drivers);
    EXPECT_NE(drivers, kHklm);
    EXPECT_NE(uart, kHklm);
    SetDword(reg, uart, L"CLK", 1);
    EXPECT_EQ(this->Open(L"builtin\\2440uart0", drivers), host::kRegOk);
    EXPECT_EQ(this->Open(L"Drivers\\BuiltIn\\2440UART0"), host::kRegOk);
    EXPECT_EQ(reg.DeleteKey(drivers, L"BuiltIn"), host::kRegOk);
    EXPECT_EQ(this->Open(L"Drivers\\BuiltIn"), host::kRegNotFound);

    // A closed handle stays dead, even once other keys have been opened since.
    EXPECT_EQ(reg.CloseKey(drivers), host::kRegOk);
    host::RegKey others[4];
    for (auto& other : others)
        other = this->Create(L"Software\\QZX\\Kelvaro");
    EXPECT_EQ(reg.CloseKey(drivers), host::kRegNotFound);
    EXPECT_EQ(this->Open(L"QZX", drivers), host::kRegNotFound);
    EXPECT_EQ(SetDword(reg, drivers, L"X", 1), host::kRegNotFound);
    EXPECT_EQ(Query(reg, others[0], L"X").result, host::kRegNotFound);
    for (auto other : others)
        EXPECT_EQ(reg.CloseKey(other), host::kRegOk);
}

TYPED_TEST(RegistryConformance, ThreadsShareOneStore) {
    // As the updater's threads do: each writes its own value, all read every value.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            host::RegKey key = this->Create(L"Software\\QZX\\Kelvaro");
            std::wstring name = L"V" + std::to_wstring(t);
            for (uint32_t i = 0; i < 25; ++i) {
                EXPECT_EQ(SetDword(*this->reg_, key, name, i), host::kRegOk);
                EXPECT_EQ(Query(*this->reg_, key, name).bytes, Bytes(i));
                EXPECT_EQ(this->Children(kHklm).size(), 1u);
            }
            this->reg_->CloseKey(key);
        });
    }
    for (auto& thread : threads)
        thread.join();
    host::RegKey key = this->Create(L"Software\\QZX\\Kelvaro");
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(Query(*this->reg_, key, L"V" + std::to_wstring(t)).bytes, Bytes(24u));
}

}  // namespace
