// The z protocol and the reset watchdog, against a scripted boot loader at the far end.
#include <algorithm>

#include "download/download.h"
#include "host/thread.h"
#include "tests/download/download_fixture.h"

namespace download_test {
namespace {

using Texts = std::vector<std::string>;

// The boot loader's side once it has sent its answer: 'S' '6' at the current speed, then 'Q'
// at 460800.
bool FinishHandshake(FarEnd& far, bool s6_seen = false) {
    if (!s6_seen && far.Receive(2, 1000) != Bytes{0x53, 0x36})
        return false;
    far.SetBaud(460800);
    return far.Receive(1, 1000) == Bytes{0x51};
}

bool AnswerHandshake(FarEnd& far) {
    far.Send(kBootAnswer);
    return FinishHandshake(far);
}

struct Probe {
    const char* name;
    Bytes bytes;  // sent before the first poll, so that they come in one read
    Bytes reply;  // what the updater sends back within 300 ms
};

void PrintTo(const Probe& probe, std::ostream* out) {
    *out << probe.name;
}

class ProbeTest : public DownloadTest, public ::testing::WithParamInterface<Probe> {};

TEST_P(ProbeTest, OnlyAnAnswerWholeInOneReadAtBytes4To7EndsTheHandshake) {
    const Probe& probe = GetParam();
    SetImages(ImageBuilder().Take(), ImageBuilder().Take());
    Bytes reply;
    bool both_passes = false;
    ReplaceModem([&](FarEnd& far) {
        far.Send(probe.bytes);
        reply = far.Receive(16, 300);
        const bool ended = reply.size() >= 2 && reply.back() == 0x36;
        if (!ended)
            far.Send(kBootAnswer);
        both_passes = FinishHandshake(far, ended) && AnswerHandshake(far);
    });
    RunUpdate();
    EXPECT_EQ(reply, probe.reply);
    EXPECT_TRUE(both_passes);
    EXPECT_EQ(log().TimesUs("---  Write  Q   ---\r\n")[0] -
                  log().TimesUs("\r\n---tell EMP to set new boud rate---\r\n")[0],
              500'000);
    // Every 'z' is answered right after its own byte is logged, before the next one is.
    const Texts after_bengo = log().Before("\nsend '?' dwWritelen=[1]");
    EXPECT_EQ(after_bengo,
              Texts(std::count(probe.bytes.begin(), probe.bytes.end(), 0x7A), "\n---BENGO!---7A"));
    EXPECT_EQ(log().Before("\n---BENGO!---7A"), Texts(after_bengo.size(), "7A"));
    // Images of the five handshake records alone confirm nothing and still succeed.
    EXPECT_EQ(Settings(L"Progress"), 100u);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ProbeTest,
    ::testing::Values(Probe{"ThreeBeacons", {0x7A, 0x7A, 0x7A}, {0x3F, 0x3F, 0x3F}},
                      Probe{"RecordedAnswer", kBootAnswer, {0x53, 0x36}},
                      Probe{
                          "EightBytesFfAt4To7", {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {0x53, 0x36}},
                      Probe{"SevenBytes", Bytes(7, 0xFF), {}},
                      Probe{"FfAt5To8", {0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
                      Probe{"AnswerAndBeacon",
                            {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x7A},
                            {0x3F, 0x53, 0x36}}),
    [](const auto& test) { return test.param.name; });

TEST_F(DownloadTest, WatchdogResetsEvery81PollsCountsPerPassAndGivesUpAtTheEighth) {
    SetImages(ImageBuilder().Add(kRead, {0xAA, 0x00}).Take(), ImageBuilder().Take());
    bool fast_first = false;
    ReplaceModem([&](FarEnd& far) {
        // Silent until the watchdog has put the port back to 9600.
        com1().WaitNearStateChange(com1().NearStateChanges(), clock().now_us() + 20'000'000);
        if (!AnswerHandshake(far))
            return;
        // Record 6 is never answered; the next pass polls at the speed the handshake left.
        host::Sleep(6000);
        far.Send({0x7A});
        fast_first = far.Receive(1, 200) == Bytes{0x3F};
        while (!far.Stopping()) {
            far.Send({0x00});
            host::Sleep(250);
        }
    });
    RunUpdate();
    EXPECT_EQ(
        log().Before("ResetThread ::Reset\r\n"),
        (Texts{"[81]", "[81]", "[162]", "[243]", "[324]", "[405]", "[486]", "[567]", "[648]"}));
    EXPECT_TRUE(fast_first);
    EXPECT_EQ(power().IdleTimerResets().size(), 9u + 1u);  // watchdog steps and the handshake
    // 51 empty reads of 100 ms, the dump once, then a new attempt.
    EXPECT_EQ(log().Count("\n Wait to READ len=2   read[0]=\r\n"), 51);
    EXPECT_EQ(log().Count("\ncmp_ReadBuf :"), 1);
    EXPECT_EQ(log().Attempts(), std::vector<int>{2});
    EXPECT_EQ(log().TimesUs("\nDownload_image_times=2")[0] - log().TimesUs("\nread_[6]|5|")[0],
              5'100'000);
    // The eighth reset of the second pass pulses, then gives up about a minute into the pass.
    EXPECT_EQ(ResetPulses(), 9);
    EXPECT_EQ(dialog().m_nResetCount, 8);
    EXPECT_EQ(log().TimesUs(" Reset OK!\r\n").back(), log().TimesUs("Reset times >  N \r\n")[0]);
    const int64_t pass_us =
        log().TimesUs("Reset times >  N \r\n")[0] - log().TimesUs("Start Reading:\r\n").back();
    EXPECT_NEAR(static_cast<double>(pass_us), 65'900'000, 20'000);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
}

// Polls that end early (a line full of noise) bring watchdog steps faster than a reset takes:
// a step that finds a reset pending or running starts none, so resets stay one at a time and
// the eighth still gives up.
TEST_F(DownloadTest, WatchdogStartsNoResetWhileOneIsPendingOrRunning) {
    SetImages(ImageBuilder().Take(), ImageBuilder().Take());
    host::ResetPeakThreads();
    ReplaceModem([&](FarEnd& far) {
        while (!far.Stopping()) {
            far.Send(Bytes(255, 0x00));  // fills a poll at once
            host::Sleep(10);
        }
    });
    RunUpdate();
    const std::vector<int64_t> starts = log().TimesUs("ResetThread ::Reset\r\n");
    const std::vector<int64_t> ends = log().TimesUs(" Reset OK!\r\n");
    ASSERT_EQ(starts.size(), 8u);
    ASSERT_EQ(ends.size(), 8u);
    for (size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(starts[i], ends[i - 1]) << "reset " << i + 1 << " began under the one before";
    EXPECT_GT(log().Count("ResetThread busy\r\n"), 0);
    EXPECT_EQ(ResetPulses(), 8);
    EXPECT_EQ(log().Count("Reset times >  N \r\n"), 1);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    EXPECT_LE(host::PeakThreads(), 5);  // recorder, far end, read, power-on, one reset
}

// Every '?' write is refused; the answer stops once the port is closed or the download is no
// longer enabled, and the run still ends.
class RefusedAnswerTest : public DownloadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedAnswerTest, IsNotRepeatedWithoutEnd) {
    const bool close_port = GetParam();
    SetImages(ImageBuilder().Add(kWrite, {0x01}).Take(), ImageBuilder().Take());
    ReplaceModem([&](FarEnd& far) {
        far.Send({0x7A});
        clock().sleep_us(500);  // between the writes, which start on whole milliseconds
        for (int ms = 0; ms < 1000; ++ms) {
            com1().LimitNextWrite(0);
            host::Sleep(1);
        }
        if (close_port)
            dialog().m_port.Close();
        else
            dialog().m_bDownloadEnabled = false;
    });
    RunUpdate();
    EXPECT_EQ(log().Count("\nsend '?' dwWritelen=[1]"), 0);
    EXPECT_EQ(log().Count("\nsend '?' dwWritelen=[0]"), 9);
    if (close_port) {
        // Nothing can be sent any more: every attempt fails and the sixth gives up.
        EXPECT_EQ(log().Attempts(), (std::vector<int>{2, 3, 4, 5, 6}));
        EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
        EXPECT_EQ(CpldModes().back(), 1u);
        EXPECT_TRUE(dialog().IsClosed());
    } else {
        // Whoever stopped the download reports the end; ReadThread just ends.
        EXPECT_EQ(log().Count("Start Reading:\r\n"), 1);
        EXPECT_EQ(log().Count("LoadResBuffer OK!\r\n"), 0);
        EXPECT_EQ(Settings(L"Progress"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Stops, RefusedAnswerTest, ::testing::Values(true, false),
                         [](const auto& test) { return test.param ? "PortClosed" : "Disabled"; });

TEST_F(DownloadTest, ResetRunsTakeTurnsAndTheEighthGivesUp) {
    ASSERT_TRUE(PrepareDownload());
    dialog().m_bDownloadEnabled = true;
    host::ScopedClockThread self(clock());
    for (int i = 0; i < 9; ++i)
        host::StartThread(ResetThread, &dialog());
    EXPECT_TRUE(clock().wait_for_threads_to_end_us());
    const Texts sequence = {"Switch CPLD Mode 110 \r\n", "Enter Reset!\r\n", "go to Reset!\r\n",
                            " Reset OK!\r\n"};
    Texts expected;
    for (int i = 0; i < 8; ++i)
        expected.insert(expected.end(), sequence.begin(), sequence.end());
    expected.insert(expected.end(), {"Reset times >  N \r\n", "\nAWRCWR=1\r\n",
                                     "Switch CPLD Mode  001  == > normal mode\r\n",
                                     "Close Serial connection\r\n", "\nTurn on DVS(Power saving)"});
    // The ninth run comes after the give-up and leaves the restored board alone.
    EXPECT_EQ(log().Texts(), expected);
    EXPECT_EQ(ResetPulses(), 8);
    EXPECT_EQ(CpldModes().back(), 1u);
    EXPECT_EQ(dialog().m_nResetCount, 8);
    EXPECT_EQ(clock().now_ms(), 8 * 1100 + 1100);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
}

}  // namespace
}  // namespace download_test
