// Replay and verification against the modem model, with each of its faults, and a whole update
// with the generated images.
#include <map>

#include "tests/download/download_fixture.h"

namespace download_test {
namespace {

// Records 6 and 7 are alike in both images; the write of record 8 tells them apart.  Record 9
// expects zeros only.
Bytes SmallImage(uint8_t tag) {
    return ImageBuilder()
        .Add(kWrite, {0x01, 0x02, 0x03}, 1)
        .Add(kRead, {0xAA, 0x00, 0x01}, 1)
        .Add(kWrite, Bytes(300, tag))
        .Add(kRead, {0x00, 0x00})
        .Add(kWrite, {tag})
        .Add(kRead, {0xAA, 0x00, 0x10, tag})
        .Take();
}

struct Case {
    Case(const char* case_name, const char* fault_list, std::vector<int> attempt_list,
         uint32_t end_progress, int reset_count, int load_count,
         std::map<std::string, int> text_counts = {})
        : name(case_name),
          faults(fault_list),
          attempts(std::move(attempt_list)),
          progress(end_progress),
          resets(reset_count),
          loads(load_count),
          counts(std::move(text_counts)) {}

    const char* name;
    const char* faults;
    std::vector<int> attempts;  // every "\nDownload_image_times=N"
    uint32_t progress;
    int resets;                         // watchdog steps
    int loads;                          // "LoadResBuffer OK!"
    std::map<std::string, int> counts;  // texts and how often they must appear
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class FaultTest : public DownloadTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FaultTest, EndsAsTheAttemptsDecide) {
    const Case& c = GetParam();
    SetImages(SmallImage(0x53), SmallImage(0x46));
    Faults(c.faults);
    RunUpdate();
    EXPECT_EQ(log().Attempts(), c.attempts);
    EXPECT_EQ(Settings(L"Progress"), c.progress);
    EXPECT_EQ(log().Count("ResetThread ::Reset\r\n"), c.resets);
    EXPECT_EQ(log().Count("LoadResBuffer OK!\r\n"), c.loads);
    EXPECT_EQ(resources().LoadCalls(), c.loads);
    for (const auto& [text, count] : c.counts)
        EXPECT_EQ(log().Count(text), count) << text;
    // No pass beyond the sixth attempt of an image.
    const int passes = log().Count("Start Reading:\r\n");
    EXPECT_EQ(passes, static_cast<int>(c.attempts.size()) + (c.loads == 2 ? 2 : 1));
    EXPECT_EQ(CpldModes().back(), 1u);
    EXPECT_TRUE(dialog().IsClosed());
}

const std::string kStray = "\n Wait to READ len=3   read[0]=55\r\n";
const std::string kEmptyOf2 = "\n Wait to READ len=2   read[0]=\r\n";
const std::string kDump = "\ncmp_ReadBuf :";

INSTANTIATE_TEST_SUITE_P(
    Model, FaultTest,
    ::testing::Values(Case("Clean", "", {}, 100, 0, 2,
                           {{kDump, 0}, {"\nwrite[8]|5|  len=300   ", 2}}),
                      Case("FiftyStrayBytes", "stray-before=7@sw,stray-bytes=50", {}, 100, 0, 2,
                           {{kStray, 50}, {kDump, 1}}),
                      Case("FiftyOneStrayBytes", "stray-before=7@sw,stray-bytes=51", {2}, 100, 0, 2,
                           {{kStray, 51}}),
                      Case("WrongAnswersThenFsFromAttemptOne",
                           "wrong-answer=7:3@sw,wrong-answer=11@fs", {2, 3, 4, 2}, 100, 0, 2),
                      Case("WrongAnswerEveryAttempt", "wrong-answer=11:always@sw", {2, 3, 4, 5, 6},
                           kProgressFailed, 0, 1),
                      // An empty read never matches an expected 0x00.
                      Case("NoAnswerToZeros", "no-answer=9@sw", {2}, 100, 0, 2, {{kEmptyOf2, 51}}),
                      Case("ShortWrite", "partial-write=8@sw", {2}, 100, 0, 2,
                           {{"write[8] ERROR!!!  len=150   !!!!\n", 1}, {"\nread_[9]|5|", 2}}),
                      Case("LateAnswers", "latency-ms=150", {}, 100, 0, 2, {{kDump, 6}}),
                      // A faulty identification is not taken; the loader waits 6 s for 'S' '6', and
                      // the watchdog, counting from the pass's start (the power-on pulse included),
                      // resets it first.
                      Case("IdentificationSplit", "id-split=1", {}, 100, 1, 2),
                      Case("IdentificationWrong", "id-wrong=1", {}, 100, 1, 2),
                      // 'Q' goes out at 460800 to a loader still at 9600: every attempt fails, and
                      // each pass after the first needs a reset to find the loader's speed again.
                      Case("SpeedIgnored", "ignore-speed", {2, 3, 4, 5, 6}, kProgressFailed, 5, 1),
                      Case("NeverBoots", "never-boot", {}, kProgressFailed, 8, 0,
                           {{"Reset times >  N \r\n", 1}})),
    [](const auto& test) { return test.param.name; });

// After the SW image the loader beacons at 9600 again: the FS pass polls at 460800 until its
// watchdog puts the port back.  The loader then answers within the reset's first 150 ms, and
// the reset ends it just after the handshake, so the FS image here is the handshake alone.
TEST_F(DownloadTest, BeaconBackAt9600IsFoundByTheWatchdog) {
    SetImages(SmallImage(0x53), ImageBuilder().Take());
    Faults("restart-9600");
    RunUpdate();
    EXPECT_EQ(log().Before("ResetThread ::Reset\r\n"), std::vector<std::string>{"[81]"});
    EXPECT_EQ(log().Count("  Modem Download_Success (FS)   !!!!!!!   \r\n"), 1);
    EXPECT_EQ(Settings(L"Progress"), 100u);
}

TEST_F(DownloadTest, WriteTimeoutsGrowPastOneSecondAndLongWritesResetTheIdleTimer) {
    const auto record = [](uint8_t n) { return Bytes{0xAA, 0x00, n}; };
    SetImages(ImageBuilder()
                  .Add(kRead, record(6))
                  .Add(kWrite, Bytes(99, 0x11))
                  .Add(kRead, record(8))
                  .Add(kWrite, Bytes(100, 0x22))
                  .Add(kRead, record(10))
                  .Add(kWrite, Bytes(1000, 0x33))
                  .Add(kRead, record(12))
                  .Add(kWrite, Bytes(1001, 0x44))
                  .Add(kRead, record(14))
                  .Add(kWrite, Bytes(300, 0x55))
                  .Add(kRead, record(16))
                  .Take(),
              ImageBuilder().Take());
    Faults("partial-write=11,partial-write=13,partial-write=15");
    RunUpdate();
    EXPECT_EQ(log().Attempts(), (std::vector<int>{2, 3, 4}));
    // A short write below 1000 bytes still has the whole second.
    EXPECT_EQ(log().TimesUs("write[15] ERROR!!!  len=150   !!!!\n")[0] -
                  log().TimesUs("\nwrite[15]|5|  len=300   ")[0],
              1'000'000);
    EXPECT_EQ(log().TimesUs("write[11] ERROR!!!  len=500   !!!!\n")[0] -
                  log().TimesUs("\nwrite[11]|5|  len=1000   ")[0],
              1'000'000);
    EXPECT_EQ(log().TimesUs("write[13] ERROR!!!  len=500   !!!!\n")[0] -
                  log().TimesUs("\nwrite[13]|5|  len=1001   ")[0],
              1'001'000);
    // Five handshakes, and the confirmed writes of 100 bytes or more: 1 + 2 + 3 + 4 over the
    // four SW attempts.  Neither the 99-byte writes nor the short ones count.
    EXPECT_EQ(power().IdleTimerResets().size(), 5u + 10u);
    EXPECT_EQ(Settings(L"Progress"), 100u);
}

// Images that the load step refuses end the update before anything is sent, and those that
// it accepts but that can never be confirmed (a record of length 0) end it after six attempts.
// Images that reach replay anyway (here put in place under the load step) never overflow its
// buffers nor read beyond the image.
enum class Served { kFailsToLoad, kServed, kPreloaded };

struct BadImage {
    const char* name;
    Bytes image;
    Served served;
    bool retried;
};

class BadImageTest : public DownloadTest, public ::testing::WithParamInterface<BadImage> {};

TEST_P(BadImageTest, EndsTheUpdateWithoutReplayingIt) {
    const BadImage& bad = GetParam();
    const bool preloaded = bad.served == Served::kPreloaded;
    SetImages(bad.image, SmallImage(0x46));
    resources().FailLoad(bad.served == Served::kFailsToLoad);
    if (preloaded) {
        const host::ResourceModule module = resources().Module();
        dialog().m_pImage =
            resources().Load(module, resources().Find(module, host::kBinType, host::kSwImageId));
        dialog().m_dwImageSize = static_cast<uint32_t>(bad.image.size());
        dialog().m_nRecordCount = 6;
        dialog().m_bImageLoaded = true;
    }
    RunUpdate();
    EXPECT_EQ(log().CountStartingWith("\nwrite["), 0);
    EXPECT_EQ(log().CountStartingWith("record 6 cannot be replayed"), preloaded ? 6 : 0);
    const std::vector<int> retries = {2, 3, 4, 5, 6};
    EXPECT_EQ(log().Attempts(), bad.retried ? retries : std::vector<int>());
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    EXPECT_EQ(CpldModes().back(), 1u);
    EXPECT_TRUE(dialog().IsClosed());
}

INSTANTIATE_TEST_SUITE_P(
    Images, BadImageTest,
    ::testing::Values(
        BadImage{"DoesNotLoad", SmallImage(0x53), Served::kFailsToLoad, false},
        BadImage{"Refused", ImageBuilder().Header(3, 4).Raw({1, 2, 3, 4}).Take(), Served::kServed,
                 false},
        BadImage{"ZeroLength", ImageBuilder().Add(kWrite, {}).Take(), Served::kServed, true},
        BadImage{"WriteTooLarge", ImageBuilder().Add(kWrite, Bytes(65537, 1)).Take(),
                 Served::kPreloaded, true},
        BadImage{"ReadTooLarge", ImageBuilder().Add(kRead, Bytes(257, 1)).Take(),
                 Served::kPreloaded, true},
        BadImage{"OtherDirection", ImageBuilder().Header(3, 4).Raw({1, 2, 3, 4}).Take(),
                 Served::kPreloaded, true},
        BadImage{"PastTheEnd", ImageBuilder().Header(kWrite, 5000).Raw(Bytes(10, 1)).Take(),
                 Served::kPreloaded, true}),
    [](const auto& test) { return test.param.name; });

// A stop (the first steps of another thread's give-up) while replay is inside a record: the
// record taken from replay's own position is finished, and nothing follows it.
class StopInsideTest : public DownloadTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StopInsideTest, FinishesNothingAfterTheRecord) {
    const std::string at = GetParam();
    SetImages(SmallImage(0x53), SmallImage(0x46));
    log().SetHook([&](std::string_view text) {
        if (text == at) {
            dialog().m_bDownloadEnabled = false;
            dialog().m_nImagePos = dialog().m_dwImageSize.load();
        }
    });
    RunUpdate();
    const bool in_write = at.starts_with("\nwrite");
    EXPECT_EQ(report().sw.bytes_received, in_write ? 303u : 3u);
    EXPECT_EQ(log().Count("\nread_[9]|5|"), 0);
    EXPECT_EQ(log().Count("\n Wait to READ len=3   read[0]=\r\n"), 0);
    EXPECT_EQ(log().Count("Start Reading:\r\n"), 1);
    EXPECT_TRUE(log().Attempts().empty());
    // No progress step after the stop: the display moved after records 6 and 7 only.
    EXPECT_EQ(log().Count("\n==============REM="), in_write ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(Records, StopInsideTest,
                         ::testing::Values("\nwrite[8]|5|  len=300   ", "\nread_[7]|1|"),
                         [](const auto& test) { return test.index == 0 ? "Write" : "Read"; });

// A stop after the FS handshake, before anything is loaded: the record count left from the SW
// image (5, as the FS image's would be) must not pass the empty walk off as a confirmed image.
TEST_F(DownloadTest, AStoppedWalkConfirmsNothing) {
    SetImages(ImageBuilder().Take(), ImageBuilder().Take());
    int handshakes = 0;
    log().SetHook([&](std::string_view text) {
        if (text == "---exit z protocol---\r\n" && ++handshakes == 2) {
            dialog().m_bDownloadEnabled = false;
            dialog().m_nImagePos = dialog().m_dwImageSize.load();
        }
    });
    RunUpdate();
    EXPECT_EQ(log().Count("  Modem Download_Success (SW)   !!!!!!!   \r\n"), 1);
    EXPECT_EQ(log().Count("  Modem Download_Success (FS)   !!!!!!!   \r\n"), 0);
    EXPECT_EQ(log().Count("  Modem Download_Success  !!!!!!!    \r\n"), 0);
    EXPECT_NE(Settings(L"Progress"), 100u);
}

}  // namespace
}  // namespace download_test
