// The model's power, CPLD gating, beacon and handshake, in virtual time.
#include <filesystem>

#include "host/posix/register_file.h"
#include "tests/modem/modem_fixture.h"

namespace modem_test {
namespace {

using sim::ModemEventKind;

const Bytes kImage = ImageBuilder().Add(kWrite, {0x01}).Add(kRead, {0xAA, 0x00, 0x01}).Take();

TEST_F(ModemTest, SpeaksOnlyWhenPoweredByALongEnoughPressAndInMode110) {
    StartModem(kImage, {});
    SwitchCpldMode(6);
    EXPECT_TRUE(Read(255, 3000).empty()) << "not powered";
    bus_.Write32(host::reg::kGpioBDat, sim::kPowerKeyBit);  // a press of 400 ms
    host::Sleep(400);
    bus_.Write32(host::reg::kGpioBDat, 0);
    EXPECT_TRUE(Read(255, 1000).empty()) << "a short press starts nothing";

    SwitchCpldMode(1);
    PowerOnGsmModule();
    EXPECT_TRUE(Read(255, 1000).empty()) << "the CPLD routes COM1 elsewhere";
    Write({0x3F});  // not heard either: the beacon goes on below
    SwitchCpldMode(6);
    EXPECT_EQ(Read(3, 200), Bytes(3, 0x7A));
    EXPECT_EQ(Report().power_ons, 1u);
    EXPECT_EQ(Report().EventsOf(ModemEventKind::kCpldMode).size(), 3u);
}

TEST_F(ModemTest, BeaconsEveryFiftyMillisecondsOffTheMillisecondGrid) {
    StartModem(kImage, {});
    PowerOn();
    const int64_t key_low_us = clock_.now_us();
    const auto zs = ReadTimed(4, 200);
    ASSERT_EQ(zs.size(), 4u);
    for (size_t i = 0; i < zs.size(); ++i) {
        EXPECT_EQ(zs[i].second, 0x7A);
        EXPECT_EQ(zs[i].first - key_low_us, 50'137 * (1 + static_cast<int64_t>(i)));
    }
}

TEST_F(ModemTest, AnswersTheQueryAndSwitchesSpeedOnS6) {
    StartModem(kImage, {});
    PowerOn();
    ASSERT_EQ(Read(1, 100), Bytes{0x7A});
    Write({0x3F});
    const int64_t asked_us = clock_.now_us();
    const auto id = ReadTimed(8, 100);
    ASSERT_EQ(id.size(), 8u);
    EXPECT_EQ(id[0].first - asked_us, 1000);
    for (size_t i = 0; i < id.size(); ++i)
        EXPECT_EQ(id[i].second, kIdentification[i]);
    EXPECT_TRUE(Read(255, 300).empty()) << "the beacon has ended";

    Write({0x53, 0x36});
    host::Sleep(1);
    EXPECT_EQ(Report().baud, sim::kFastBaud);
    // A 'Q' still at 9600 arrives garbled: no replay, and after 6 s of silence the beacon
    // comes back at the new speed, garbled at the old one.
    Write({0x51});
    const Bytes garbled = Read(4, 6100);
    ASSERT_FALSE(garbled.empty());
    EXPECT_EQ(std::count(garbled.begin(), garbled.end(), 0x7A), 0);
    SetBaud(460800);
    EXPECT_EQ(Read(2, 200), Bytes(2, 0x7A));
    EXPECT_EQ(Report().handshakes, 0u);
    EXPECT_EQ(Report().errors, 1u);
}

TEST_F(ModemTest, ResetSilencesUntilThePowerKeyAndRestartsAt9600) {
    ASSERT_TRUE(Connect(kImage, {}));
    ResetGsmModule();
    const int64_t key_low_us = clock_.now_us();
    EXPECT_FALSE(Read(1, 100).empty()) << "beacon at 9600, garbled at 460800";
    SetBaud(9600);
    const auto z = ReadTimed(1, 100);
    ASSERT_EQ(z.size(), 1u);
    EXPECT_EQ(z[0].second, 0x7A);
    EXPECT_EQ((z[0].first - key_low_us) % 50'137, 0);

    const sim::ModemReport report = Report();
    EXPECT_EQ(report.resets, 1u);
    EXPECT_EQ(report.power_ons, 2u);
    EXPECT_EQ(report.baud, sim::kBootBaud);
    // The reset ended 750 ms before the power key went low; nothing was said in between.
    const auto resets = report.EventsOf(ModemEventKind::kReset);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(key_low_us - resets[0].time_us, 750'000);
}

// The register file is looked at every millisecond instead of announcing its writes.
TEST_F(ModemTest, PinsFromTheRegisterFileStartTheModem) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("modem-regs-" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        host::posix::RegisterFile writer((dir / "board.regs").string());
        host::posix::RegisterFile reader((dir / "board.regs").string(),
                                         host::posix::RegisterFile::Access::kReadOnly);
        ASSERT_TRUE(writer.ok() && reader.ok());
        host::Platform platform = host::Current();
        platform.board = &writer;
        host::ScopedPlatform on_file(platform);  // before the model's thread reads the table
        sim::RegisterFilePins pins(reader, clock_);
        sim::ModemModel model(*line_, pins, clock_, kImage, {});
        model.Start();
        PowerOn();
        EXPECT_EQ(Read(2, 200), Bytes(2, 0x7A));
        EXPECT_EQ(model.Report().power_ons, 1u);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace modem_test
