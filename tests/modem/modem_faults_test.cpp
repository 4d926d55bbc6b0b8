// The model's fault knobs, and their text form.
#include "sim/modem_faults.h"

#include "tests/modem/modem_fixture.h"

namespace modem_test {
namespace {

using sim::ModemEventKind;

TEST_F(ModemTest, BootFaultsSwallowPowerKeyPulses) {
    StartModem(kSw, {}, "never-boot");
    PowerOn();
    ResetGsmModule();
    EXPECT_TRUE(Read(255, 1000).empty());
    EXPECT_EQ(Report().EventsOf(ModemEventKind::kPowerOnIgnored).size(), 2u);

    StartModem(kSw, {}, "boot-after-resets=2");
    PowerOn();
    ResetGsmModule();
    EXPECT_TRUE(Read(255, 1000).empty());
    ResetGsmModule();
    EXPECT_EQ(Read(1, 100), Bytes{0x7A});
    EXPECT_EQ(Report().power_ons, 1u);
}

struct IdCase {
    const char* list;
    Bytes first_poll;
    Bytes second_poll;
};

class IdentificationFaults : public ModemTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(IdentificationFaults, SpoilOnlyTheFirstIdentification) {
    StartModem(kSw, {}, GetParam().list);
    PowerOn();
    ASSERT_EQ(Read(1, 100), Bytes{0x7A});
    Write({0x3F});
    EXPECT_EQ(Read(255, 100), GetParam().first_poll);
    EXPECT_EQ(Read(255, 100), GetParam().second_poll);
    EXPECT_TRUE(Handshake()) << "after the silence the next identification is whole";
}

INSTANTIATE_TEST_SUITE_P(
    Modem, IdentificationFaults,
    ::testing::Values(
        IdCase{"id-split=1", {0xC8, 0x02, 0x04, 0x01}, {0xFF, 0xFF, 0xFF, 0xFF}},
        IdCase{"id-shifted=1", {0x00, 0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
        IdCase{"id-wrong=1", {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0x00}, {}}));

TEST_F(ModemTest, IgnoredSpeedRequestLeavesTheModemAt9600) {
    ASSERT_TRUE(Connect(kSw, {}, "ignore-speed"));
    EXPECT_EQ(Replay(kSw), 7u);
    EXPECT_EQ(Report().baud, sim::kBootBaud);
    EXPECT_EQ(Report().handshakes, 0u) << "the 'Q' came garbled";
}

TEST_F(ModemTest, Restart9600BeaconsAtBootSpeedAfterAnImage) {
    ASSERT_TRUE(Connect(kSw, {}, "restart-9600"));
    ASSERT_EQ(Replay(kSw), 0u);
    const Bytes garbled = Read(1, 100);
    ASSERT_EQ(garbled.size(), 1u);
    EXPECT_NE(garbled[0], 0x7A);
    SetBaud(9600);
    EXPECT_EQ(Read(1, 100), Bytes{0x7A});
}

TEST_F(ModemTest, StrayBytesAndLatencyComeBeforeTheAnswer) {
    ASSERT_TRUE(Connect(kSw, {}, "stray-before=7,stray-bytes=2,latency-ms=20"));
    Write({0x01, 0x02, 0x03});
    const int64_t written_us = clock_.now_us();
    const auto answer = ReadTimed(5, 100);
    ASSERT_EQ(answer.size(), 5u);
    EXPECT_EQ(answer[0].first - written_us, 21'000);
    Bytes bytes;
    for (const auto& [time_us, byte] : answer)
        bytes.push_back(byte);
    EXPECT_EQ(bytes, (Bytes{0x55, 0x55, 0xAA, 0x00, 0x01}));
}

TEST_F(ModemTest, WrongAnswerForTheFirstAttemptsOnly) {
    ASSERT_TRUE(Connect(kSw, {}, "wrong-answer=7:2"));
    Write({0x01, 0x02, 0x03});
    EXPECT_EQ(Read(3, 100), (Bytes{0x55, 0x00, 0x01})) << "the first non-zero byte inverted";
    // The modem waits for record 8 until its silence ends; then a new pass.
    ASSERT_TRUE(Handshake());
    EXPECT_EQ(Replay(kSw), 7u);
    ASSERT_TRUE(Handshake());
    EXPECT_EQ(Replay(kSw), 0u);
    EXPECT_EQ(Report().sw.completed, 1u);
}

TEST_F(ModemTest, NoAnswerIsSilenceUntilTheModemGivesTheRecordUp) {
    ASSERT_TRUE(Connect(kSw, {}, "no-answer=7"));
    Write({0x01, 0x02, 0x03});
    EXPECT_TRUE(Read(3, 5100).empty()) << "51 reads of 100 ms see nothing";
    EXPECT_EQ(Read(1, 1000), Bytes{0x7A});
    EXPECT_EQ(Details(Report(), ModemEventKind::kError),
              std::vector<std::string>{"SW silence with 0 of 2 bytes of the write record taken"});
}

TEST_F(ModemTest, PartialWriteTakesHalfTheRecordWhereARecordComesBefore) {
    ASSERT_TRUE(Connect(kSw, {}, "partial-write=6,partial-write=10"));
    EXPECT_EQ(Replay(kSw), 10u);
    host::Sleep(7000);
    const sim::ModemReport report = Report();
    EXPECT_EQ(Details(report, ModemEventKind::kFault),
              (std::vector<std::string>{"SW partial write not possible: no read record before it",
                                        "SW write taken only up to 150 of 300 bytes"}));
    EXPECT_EQ(
        Details(report, ModemEventKind::kError),
        std::vector<std::string>{"SW silence with 150 of 300 bytes of the write record taken"});
}

TEST_F(ModemTest, RecordFaultsCanBeLimitedToOneImage) {
    ASSERT_TRUE(Connect(kSw, kFs, "wrong-answer=7:always@fs"));
    EXPECT_EQ(Replay(kSw), 0u);
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(Handshake());
        EXPECT_EQ(Replay(kFs), 7u);
    }
}

TEST(ModemFaultSpec, ParsesEveryKnob) {
    sim::ModemFaults faults;
    std::string error;
    ASSERT_TRUE(sim::ParseFaults(
        " never-boot, boot-after-resets=3,id-split,id-shifted=2,id-wrong,ignore-speed,"
        "restart-9600,stray-bytes=4,latency-ms=0,stray-before=7,wrong-answer=8:2,"
        "wrong-answer=9:always@fs,no-answer=10@sw,partial-write=12",
        &faults, &error))
        << error;
    sim::ModemFaults expected;
    expected.never_boot = expected.ignore_speed = expected.restart_9600 = true;
    expected.boot_after_resets = 3;
    expected.id_split = expected.id_wrong = sim::kAlways;
    expected.id_shifted = 2;
    expected.stray_bytes = 4;
    using Kind = sim::RecordFault::Kind;
    using Image = sim::RecordFault::Image;
    expected.records = {{Kind::kStrayBefore, 7, 1, Image::kBoth},
                        {Kind::kWrongAnswer, 8, 2, Image::kBoth},
                        {Kind::kWrongAnswer, 9, sim::kAlways, Image::kFs},
                        {Kind::kNoAnswer, 10, 1, Image::kSw},
                        {Kind::kPartialWrite, 12, 1, Image::kBoth}};
    EXPECT_EQ(faults, expected);
    EXPECT_TRUE(faults.records[2].Applies(sim::ImageKind::kFs, 9, 1000));
    EXPECT_FALSE(faults.records[2].Applies(sim::ImageKind::kSw, 9, 1));
    EXPECT_FALSE(faults.records[1].Applies(sim::ImageKind::kSw, 8, 3));
    EXPECT_TRUE(sim::ParseFaults("  ", &faults, &error)) << "an empty list adds nothing";
}

TEST(ModemFaultSpec, RejectsBadSpecsAndKeepsWhatItHad) {
    sim::ModemFaults faults;
    std::string error;
    ASSERT_TRUE(sim::ParseFaults("latency-ms=5", &faults, &error));
    const sim::ModemFaults before = faults;
    for (const char* bad :
         {"boot", "never-boot=1", "boot-after-resets", "boot-after-resets=0", "latency-ms=-1",
          "latency-ms=5x", "id-split=0", "wrong-answer=5", "wrong-answer=7:0",
          "wrong-answer=7:sometimes", "no-answer=7@hw", "stray-before=", "no-answer=:2",
          "never-boot,,ignore-speed", "partial-write=99999999999", "ignore-speed,bogus"}) {
        error.clear();
        EXPECT_FALSE(sim::ParseFaults(bad, &faults, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(faults, before) << bad;
    }
}

}  // namespace
}  // namespace modem_test
