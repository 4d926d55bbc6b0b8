// One set of rules for both registry stores: whatever a test of the system proves on the
// in-memory store must hold on the SQLite store the updater runs with.
#include <thread>
#include <vector>

#include "host/debug_log.h"
#include "tests/registry/store_fixture.h"

namespace {

using namespace registry_test;
constexpr host::RegKey kHklm = host::kHkeyLocalMachine;

template <typename Factory>
class RegistryConformance : public ::testing::Test {
  protected:
    host::RegKey Create(const std::wstring& path, host::RegKey root = kHklm) {
        host::RegKey key = 0;
        EXPECT_EQ(reg_->CreateKey(root, path, &key), host::kRegOk);
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
               host::kRegOk) {
            EXPECT_EQ(chars, std::wcslen(name));
            names.emplace_back(name);
            chars = 64;
        }
        return names;
    }

    Factory factory_;
    std::unique_ptr<host::Registry> reg_ = factory_.Make();
};

using Stores = ::testing::Types<MemoryStore, SqliteStore>;
TYPED_TEST_SUITE(RegistryConformance, Stores);

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
}

TYPED_TEST(RegistryConformance, ValuesKeepTypeAndBytes) {
    host::RegKey key = this->Create(L"Drivers\\Active\\01");
    const std::wstring wide = L"Grüße 中文 😀";
    const wchar_t unterminated[] = {L'a', L'b'};  // kept as given, not "repaired"
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
          Case{L"Open", host::kRegSz, std::string(reinterpret_cast<const char*>(unterminated), 8)},
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

TYPED_TEST(RegistryConformance, QueryHonoursTheCapacity) {
    host::RegKey key = this->Create(L"Drivers\\Active\\01");
    SetString(*this->reg_, key, L"Name", L"VEI1:");
    uint32_t needed = 6 * sizeof(wchar_t);
    wchar_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    uint32_t type = 0;
    uint32_t size = needed - 1;
    EXPECT_EQ(this->reg_->QueryValue(key, L"Name", &type, buffer, &size), host::kRegMoreData);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[0], L'#') << "a refused read must leave the buffer alone";
    size = needed;
    EXPECT_EQ(this->reg_->QueryValue(key, L"Name", nullptr, buffer, &size), host::kRegOk);
    EXPECT_STREQ(buffer, L"VEI1:");
    EXPECT_EQ(this->reg_->QueryValue(key, L"Name", &type, buffer, nullptr), host::kRegMoreData);
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

    EXPECT_EQ(reg.DeleteKey(kHklm, L"a\\b"), host::kRegOk);
    EXPECT_EQ(this->Open(L"A\\B"), host::kRegNotFound);
    EXPECT_EQ(this->Open(L"A\\B\\C"), host::kRegNotFound);
    EXPECT_EQ(this->Children(this->Create(L"A")), (std::vector<std::wstring>{L"B!", L"B2"}));
    EXPECT_EQ(this->Open(L"AB"), host::kRegOk);
    EXPECT_EQ(reg.DeleteKey(kHklm, L"A\\B"), host::kRegNotFound);
    EXPECT_EQ(reg.DeleteKey(kHklm, L""), host::kRegAccessDenied);

    // A handle on a deleted key reaches nothing, not even a recreated key's children.
    EXPECT_EQ(SetDword(reg, doomed, L"V", 5), host::kRegNotFound);
    EXPECT_EQ(Query(reg, doomed, L"V").result, host::kRegNotFound);
    host::RegKey again = this->Create(L"A\\B\\C");
    EXPECT_EQ(Query(reg, again, L"V").result, host::kRegNotFound);
}

TYPED_TEST(RegistryConformance, HandlesServeAsRoots) {
    auto& reg = *this->reg_;
    host::RegKey drivers = this->Create(L"Drivers");
    host::RegKey uart = this->Create(L"BuiltIn\\2440UART0", drivers);
    SetDword(reg, uart, L"CLK", 1);
    EXPECT_EQ(this->Open(L"builtin\\2440uart0", drivers), host::kRegOk);
    EXPECT_EQ(this->Open(L"Drivers\\BuiltIn\\2440UART0"), host::kRegOk);
    EXPECT_EQ(reg.DeleteKey(drivers, L"BuiltIn"), host::kRegOk);
    EXPECT_EQ(this->Open(L"Drivers\\BuiltIn"), host::kRegNotFound);

    EXPECT_EQ(reg.CloseKey(drivers), host::kRegOk);
    EXPECT_EQ(reg.CloseKey(drivers), host::kRegNotFound);
    EXPECT_EQ(this->Open(L"BuiltIn", drivers), host::kRegNotFound);
    EXPECT_EQ(SetDword(reg, drivers, L"X", 1), host::kRegNotFound);
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
