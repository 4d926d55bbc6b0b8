// Cases every host's register file must pass, written once against the file's public face
// (a constructor from a path, ok(), error(), the RegisterBus accesses, WriteCount()) and run
// by each host's test over its own RegisterFile.  The expected bytes are written out here by
// hand, not through the layout's code, so that a host that drifts from the board's layout
// fails.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/board.h"

namespace register_file_cases {

namespace fs = std::filesystem;

// A folder of its own under the temporary folder, removed with the object.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("regfile-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string File(const char* name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

inline std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Word(uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes;
}

inline uint32_t WordIn(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value |= uint32_t{static_cast<unsigned char>(bytes.at(offset + i))} << (8 * i);
    return value;
}

// A register file as the board writes it: "BREG", version 1, 8 slots, the write counter, then
// every slot holding `fill`.
inline std::string BoardImage(uint32_t fill, uint32_t writes = 0) {
    std::string bytes = "BREG" + Word(1) + Word(8) + Word(writes);
    for (int slot = 0; slot < 8; ++slot)
        bytes += Word(fill);
    return bytes;
}

constexpr size_t kSlotBase = 16;
constexpr size_t kWriteCounter = 12;

// Each access reaches its register's slot in the board's order, a narrow write keeps the slot's
// other bits, and every write bumps the counter.
template <class File>
void ExpectTheBoardsLayout() {
    ScratchFolder folder;
    const std::string path = folder.File("board.regs");
    WriteFile(path, BoardImage(0xAABBCCDD));
    File regs(path);
    ASSERT_TRUE(regs.ok()) << regs.error();
    EXPECT_EQ(regs.Read8(host::reg::kUart0Mcr), 0xDD);
    EXPECT_EQ(regs.Read16(host::reg::kCpldMode), 0xCCDD);
    struct Write {
        uint32_t address;
        int width;
        uint32_t value;
        size_t slot;
        uint32_t expected;
    };
    const Write writes[] = {
        {host::reg::kCpldMode, 16, 6, 0, 0xAABB0006},
        {host::reg::kCpldAux, 16, 2, 1, 0xAABB0002},
        {host::reg::kUart0Mcr, 8, 0, 2, 0xAABBCC00},
        {host::reg::kGpioACon, 32, 0x7FFF, 3, 0x00007FFF},
        {host::reg::kGpioBDat, 32, 0x10, 6, 0x00000010},
        {host::reg::kDvsControl, 32, 0x12345679, 7, 0x12345679},
    };
    std::string expected = BoardImage(0xAABBCCDD);
    uint32_t count = 0;
    for (const Write& write : writes) {
        if (write.width == 8)
            regs.Write8(write.address, static_cast<uint8_t>(write.value));
        else if (write.width == 16)
            regs.Write16(write.address, static_cast<uint16_t>(write.value));
        else
            regs.Write32(write.address, write.value);
        expected.replace(kSlotBase + 4 * write.slot, 4, Word(write.expected));
        expected.replace(kWriteCounter, 4, Word(++count));
        EXPECT_EQ(Contents(path), expected) << "after the write to slot " << write.slot;
    }
    EXPECT_EQ(regs.WriteCount(), count);
    EXPECT_EQ(regs.FailedAccesses(), 0u) << regs.LastFailure();
}

// Files that are not register files are refused at open and left as they were; a missing file
// is made only by a read-write opener, and an empty one (left by a creator that has not written
// the header yet) is initialised.
template <class File>
void ExpectForeignFilesRefusedUntouched() {
    ScratchFolder folder;
    const std::string path = folder.File("board.regs");
    File missing(path, File::Access::kReadOnly);
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(fs::exists(path)) << "a read-only view never creates the file";
    WriteFile(path, "");
    {
        File made(path);
        ASSERT_TRUE(made.ok()) << made.error();
    }
    EXPECT_EQ(Contents(path), BoardImage(0));

    const std::string good = BoardImage(0x5A5A5A5A, 3);
    std::string wrong_magic = good, wrong_version = good, wrong_count = good;
    wrong_magic[0] = 'X';
    wrong_version[4] = 2;
    wrong_count[8] = 9;
    const struct {
        const char* what;
        std::string bytes;
    } foreign[] = {
        {"a text", "not registers"},
        {"one byte too long", good + "x"},
        {"one byte too short", good.substr(0, good.size() - 1)},
        {"another magic", wrong_magic},
        {"another version", wrong_version},
        {"another slot count", wrong_count},
    };
    for (const auto& file : foreign) {
        WriteFile(path, file.bytes);
        for (auto access : {File::Access::kReadWrite, File::Access::kReadOnly}) {
            File regs(path, access);
            EXPECT_FALSE(regs.ok()) << file.what;
            EXPECT_NE(regs.error().find(path), std::string::npos) << regs.error();
        }
        EXPECT_EQ(Contents(path), file.bytes) << file.what;
    }
}

// A file damaged under a run fails each access, saying how, and is never repaired or extended
// by a write.
template <class File>
void ExpectDamageUnderARunFailsAccesses() {
    ScratchFolder folder;
    const std::string path = folder.File("board.regs");
    const std::string good = BoardImage(0x11111111);
    const struct {
        const char* what;
        std::string bytes;
        const char* failure;
    } damages[] = {
        {"cut short", good.substr(0, 20), "cut short to 20 of 48 bytes"},
        {"emptied", "", "cut short to 0 of 48 bytes"},
        {"header zeroed", std::string(4, '\0') + good.substr(4), "its header is gone"},
        {"another version", good.substr(0, 4) + Word(7) + good.substr(8), "its header is gone"},
    };
    for (const auto& damage : damages) {
        WriteFile(path, good);
        File regs(path);
        ASSERT_TRUE(regs.ok()) << regs.error();
        WriteFile(path, damage.bytes);
        EXPECT_EQ(regs.Read32(host::reg::kDvsControl), 0u) << damage.what;
        EXPECT_EQ(regs.FailedAccesses(), 1u) << damage.what;
        regs.Write16(host::reg::kCpldMode, 6);
        EXPECT_EQ(regs.FailedAccesses(), 2u) << damage.what;
        EXPECT_NE(regs.LastFailure().find(damage.failure), std::string::npos)
            << damage.what << ": " << regs.LastFailure();
        // The reason goes to the log as it is: it names the file.
        EXPECT_EQ(regs.LastFailure().rfind(path + ": ", 0), 0u) << regs.LastFailure();
        EXPECT_EQ(Contents(path), damage.bytes) << damage.what << ": changed by a write";
    }
}

// Two openers in one process, each writing its own register from its own thread: every write
// is counted and the last value of each register stays.  Without the lock a write carries back
// slots and a counter read before the other's write, and loses it.
template <class File>
void ExpectTwoOpenersToExcludeEachOther(int writes_each = 400) {
    ScratchFolder folder;
    const std::string path = folder.File("board.regs");
    File first(path);
    File second(path);
    ASSERT_TRUE(first.ok() && second.ok()) << first.error() << second.error();
    auto write_many = [writes_each](File* regs, uint32_t address) {
        for (int i = 1; i <= writes_each; ++i)
            regs->Write32(address, static_cast<uint32_t>(i));
    };
    // The accesses wait on real locks: a lock never released would hang the test, so a
    // generous bound ends it loudly instead.
    std::atomic<bool> done{false};
    std::thread guard([&done] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done) {
            std::fprintf(stderr, "two openers: the writes did not end within 60 s\n");
            std::abort();
        }
    });
    std::thread low(write_many, &first, host::reg::kCpldMode);
    std::thread high(write_many, &second, host::reg::kDvsControl);
    low.join();
    high.join();
    done = true;
    guard.join();
    EXPECT_EQ(first.WriteCount(), static_cast<uint32_t>(2 * writes_each));
    EXPECT_EQ(first.Read32(host::reg::kCpldMode), static_cast<uint32_t>(writes_each));
    EXPECT_EQ(second.Read32(host::reg::kDvsControl), static_cast<uint32_t>(writes_each));
    EXPECT_EQ(first.FailedAccesses() + second.FailedAccesses(), 0u);
}

}  // namespace register_file_cases
