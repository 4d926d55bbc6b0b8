// ReadThread: the update's main loop.  The SW image and then the FS image each go through one
// or more passes: set-up, the z-protocol handshake with the modem's boot loader (with the
// reset watchdog), the image load, the replay of the records with byte-wise verification, and
// the phase end.  A wrong answer makes the image start over from the handshake, up to six
// attempts; both images confirmed lead to CompleteUpdate.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/teardown.h"
#include "app/updater_dlg.h"
#include "download/download.h"
#include "download/image_format.h"
#include "download/progress.h"
#include "host/check.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/power.h"
#include "host/thread.h"
#include "res/dialog_template.h"

namespace {

constexpr uint32_t kWriteBufBytes = image::kMaxWritePayload;
constexpr uint32_t kReadBufBytes = image::kMaxReadPayload;

// Handshake.
constexpr int32_t kPollBytes = 255;       // a poll clears and fills this much of ReadBuf
constexpr uint32_t kPollTimeoutMs = 100;  // read and write time-out of every poll
constexpr int32_t kPollsPerReset = 80;    // the 81st poll since the last reset starts one
constexpr uint32_t kBootBaud = 9600;
constexpr uint32_t kFastBaud = 460800;
constexpr uint32_t kSpeedChangeMs = 500;           // for the boot loader to change its speed
constexpr uint32_t kAnswerBytes = 8;               // the boot loader's answer: bytes 4 to 7 are FF
constexpr uint8_t kBeacon = 0x7A;                  // 'z'
constexpr uint8_t kQuery = 0x3F;                   // '?'
constexpr uint8_t kSpeedRequest[] = {0x53, 0x36};  // 'S' '6'
constexpr uint8_t kQuit = 0x51;                    // 'Q'
// How long the '?' answers of one read are retried.  A port that has stopped taking bytes (a
// device gone, a line held) must not keep the handshake from polling: the watchdog acts only
// between polls.  Ten writes at the poll's write time-out.
constexpr int64_t kAnswerRetryUs = 1'000'000;

// Replay.
constexpr uint32_t kReplayReadTimeoutMs = 100;
constexpr uint32_t kMinWriteTimeoutMs = 1000;  // one millisecond per byte, never less
constexpr int32_t kHandshakeRecords = 5;       // performed by the handshake, stepped over
constexpr int32_t kMaxFailures = 50;           // per read record; one more fails the attempt
constexpr int32_t kMaxAttempts = 6;            // per image
constexpr uint32_t kIdleResetBytes = 100;      // a confirmed write this long keeps the device up

// ReadThread's locals.  They live as long as the thread; the pass set-up renews what belongs
// to one pass, and the display keeps its label text from one pass to the next.
struct PassState {
    std::unique_ptr<uint8_t[]> pWriteBuf;  // kWriteBufBytes, only while a pass runs
    uint8_t ReadBuf[kReadBufBytes] = {};
    uint8_t cmp_ReadBuf[kReadBufBytes] = {};
    uint8_t header[image::kHeaderSize] = {};
    int32_t nSuccessCount = 0;
    int32_t nRecord = 0;  // from 1 in stream order; 0 before the first
    PassDisplay display;
    int32_t nPollCount = 0;
    int32_t nPollsSinceReset = 0;
    // Where the walk has put the cursor itself.  Only a stop by another thread moves
    // m_nImagePos anywhere else, so a difference means the walk has been stopped.
    uint32_t nWalkPos = 0;
    // Why the last attempt failed, in plain words for the run's outcome.
    std::string szFailure;
};

enum class PassEnd { kNextPass, kDone };
// How a record, and the walk over the records, ended.
enum class Step { kNext, kStopped, kAttemptFailed };

uint32_t SaturatingAdd(uint32_t a, uint32_t b) {
    return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

bool PortOpen(CUpdaterDlg* pDlg) {
    return pDlg->m_port.m_hComm.load() != host::kInvalidSerial;
}

void ResetIdleTimer() {
    host::CurrentPower().IdleTimerReset();
}

// "the SW image" or "the FS image": the current phase's, for the run's outcome.
std::string ImageName(const CUpdaterDlg* pDlg) {
    return std::string("the ") + (pDlg->m_bFsPhase ? "FS" : "SW") + " image";
}

// "record 66 of the SW image", as the log numbers records.
std::string RecordName(const CUpdaterDlg* pDlg, const PassState& pass) {
    return "record " + std::to_string(pass.nRecord) + " of " + ImageName(pDlg);
}

// ---- start and pass set-up ----

void StartReading(CUpdaterDlg* pDlg) {
    pDlg->m_bFsPhase = false;
    pDlg->m_bFsDone = false;
    pDlg->m_bDownloadEnabled = true;
    pDlg->m_nAttempt = 1;
    pDlg->ShowItem(res::kIdcProgress, true);
    pDlg->ShowItem(res::kIdcTimeLeft, true);
    pDlg->EnableItem(res::kIdcStart, false);
    pDlg->RepaintNow();
}

// Answers false when the write buffer cannot be had.
bool SetUpPass(CUpdaterDlg* pDlg, PassState& pass) {
    pDlg->m_nResetCount = 0;
    pass.nSuccessCount = 0;
    std::memset(pass.header, 0, sizeof pass.header);
    std::memset(pass.ReadBuf, 0, kPollBytes);
    std::memset(pass.cmp_ReadBuf, 0, kPollBytes);
    pDlg->SetState(1);
    pass.pWriteBuf.reset(new (std::nothrow) uint8_t[kWriteBufBytes]);
    pass.display.nLastShownPos = 0;
    pass.nPollsSinceReset = 0;
    if (!pDlg->m_bFsPhase)
        SetUpDisplay(pDlg, pass.display);
    host::DebugOut("Start Reading:\r\n");
    return pass.pWriteBuf != nullptr;
}

// ---- handshake ----

uint32_t Poll(CUpdaterDlg* pDlg, PassState& pass) {
    pDlg->m_port.SetTimeouts(kPollTimeoutMs, kPollTimeoutMs);
    ++pass.nPollCount;
    std::memset(pass.ReadBuf, 0, kPollBytes);
    const uint32_t n = pDlg->m_port.Read(pass.ReadBuf, kPollBytes);
    host::DebugOut("[%d]", pass.nPollCount);
    return n;
}

// Every 81st poll since the pass began or since the last reset: back to the boot loader's
// speed and a reset on another thread, while polling goes on here.
void Watchdog(CUpdaterDlg* pDlg, PassState& pass) {
    if (++pass.nPollsSinceReset <= kPollsPerReset)
        return;
    ResetIdleTimer();
    pass.nPollsSinceReset = 0;
    pDlg->m_port.SetState(kBootBaud, 0, 8, 0, false);
    // One reset at a time: a run still pending or pulsing (the modem is being reset already)
    // makes this step pass without a new one.
    if (pDlg->m_bResetRunning.exchange(true)) {
        host::DebugOut("ResetThread busy\r\n");
        return;
    }
    host::DebugOut("ResetThread ::Reset\r\n");
    if (!host::StartThread(ResetThread, pDlg)) {
        pDlg->m_bResetRunning = false;
        host::DebugOut("Start ResetThread failed\r\n");
        TakeFailureExit(pDlg, FailureExit::kThreadStart, "ResetThread could not be started");
    }
}

// '?' for a 'z', repeated until it goes out, but only while there is someone to send it to
// (a port that an ending update has closed refuses every write at once) and, after the first
// write, only until retry_until_us.
void AnswerBeacon(CUpdaterDlg* pDlg, PassState& pass, int64_t retry_until_us) {
    host::DebugOut("\n---BENGO!---7A");
    pass.pWriteBuf[0] = kQuery;
    uint32_t written = 0;
    do {
        written = pDlg->m_port.Write(pass.pWriteBuf.get(), 1);
        host::DebugOut("\nsend '?' dwWritelen=[%d]", static_cast<int>(written));
    } while (written != 1 && pDlg->m_bDownloadEnabled && PortOpen(pDlg) &&
             host::CurrentClock().now_us() < retry_until_us);
}

void AnswerBeacons(CUpdaterDlg* pDlg, PassState& pass, uint32_t n) {
    host::DebugOut("[%d]", static_cast<int>(n));
    const int64_t retry_until_us = host::CurrentClock().now_us() + kAnswerRetryUs;
    for (uint32_t i = 0; i < n; ++i) {
        host::DebugOut("%02X", pass.ReadBuf[i]);
        if (pass.ReadBuf[i] == kBeacon)
            AnswerBeacon(pDlg, pass, retry_until_us);
    }
}

// Recognised only whole within one read, at bytes 4 to 7 of it.
bool IsBootAnswer(const uint8_t* bytes, uint32_t n) {
    return n >= kAnswerBytes && bytes[4] == 0xFF && bytes[5] == 0xFF && bytes[6] == 0xFF &&
           bytes[7] == 0xFF;
}

void SwitchSpeed(CUpdaterDlg* pDlg, PassState& pass) {
    pDlg->m_bStopWait = true;
    host::DebugOut("\r\n---tell EMP to set new boud rate---\r\n");
    std::memcpy(pass.pWriteBuf.get(), kSpeedRequest, sizeof kSpeedRequest);
    pDlg->m_port.Write(pass.pWriteBuf.get(), sizeof kSpeedRequest);
    host::Sleep(kSpeedChangeMs);
    ResetIdleTimer();
    pDlg->m_port.SetState(kFastBaud, 0, 8, 0, false);
    pass.pWriteBuf[0] = kQuit;
    pDlg->m_port.Write(pass.pWriteBuf.get(), 1);
    host::DebugOut("---  Write  Q   ---\r\n");
    host::DebugOut("---exit z protocol---\r\n");
}

// Polls until the boot loader has answered and the link runs at 460800 baud, or until another
// thread ends the wait (m_bStopWait) or the download.  A closed port can bring nothing more;
// polling it would only feed the watchdog without end.
void Handshake(CUpdaterDlg* pDlg, PassState& pass) {
    pDlg->m_bStopWait = false;
    pass.nPollCount = 0;
    while (pDlg->m_bDownloadEnabled && PortOpen(pDlg)) {
        const uint32_t n = Poll(pDlg, pass);
        Watchdog(pDlg, pass);
        if (n > 0)
            AnswerBeacons(pDlg, pass, n);
        if (IsBootAnswer(pass.ReadBuf, n))
            SwitchSpeed(pDlg, pass);
        if (pDlg->m_bStopWait)
            break;
    }
}

// ---- replay ----

void SetUpReplay(CUpdaterDlg* pDlg, PassState& pass) {
    pDlg->m_port.SetTimeouts(kReplayReadTimeoutMs, kMinWriteTimeoutMs);
    pass.nRecord = 0;
    pDlg->m_nImagePos = 0;
    pass.nWalkPos = 0;
}

int Stage(const PassState& pass) {
    return pass.header[image::kStageOffset];
}

uint32_t TakeHeader(CUpdaterDlg* pDlg, PassState& pass) {
    std::memset(pass.header, 0, sizeof pass.header);
    const uint32_t n = pDlg->ReadRecordHeader(pass.header);
    pass.nWalkPos = SaturatingAdd(pass.nWalkPos, image::kHeaderSize);
    ++pass.nRecord;
    return n;
}

// Copies the record's payload from the walk's own position into dest and moves the cursor
// past it.  A payload whose place a stop has taken away (the cursor moved to the end before
// the walk got there) is dropped: kStopped.  One that does not fit its buffer or the image,
// or that has no buffer at all (a direction other than read or write), cannot be replayed:
// kAttemptFailed.  Images that the load step accepts have neither.
Step TakePayload(CUpdaterDlg* pDlg, PassState& pass, uint32_t n, uint8_t* dest, uint32_t capacity) {
    const uint32_t pos = image::AdvanceCursor(pDlg->m_nImagePos, n);
    if (pos != pass.nWalkPos)
        return Step::kStopped;
    pass.nWalkPos = SaturatingAdd(pos, n);
    const uint32_t size = pDlg->m_dwImageSize;
    if (dest == nullptr || n > capacity || pDlg->m_pImage == nullptr || pos > size ||
        n > size - pos) {
        host::DebugOut("record %d cannot be replayed: direction=%d len=%ld\r\n", pass.nRecord,
                       pass.header[image::kDirectionOffset], static_cast<long>(n));
        pass.szFailure = RecordName(pDlg, pass) + " cannot be replayed";
        return Step::kAttemptFailed;
    }
    std::memcpy(dest, pDlg->m_pImage + pos, n);
    return Step::kNext;
}

// A short write fails the attempt as a wrong answer does: the modem has not taken the record,
// and what follows it could only go out of step.
Step SendWriteRecord(CUpdaterDlg* pDlg, PassState& pass, uint32_t n) {
    HOST_CHECK(n > 0 && n <= kWriteBufBytes);
    host::DebugOut("\nwrite[%d]|%d|  len=%ld   ", pass.nRecord, Stage(pass), static_cast<long>(n));
    pDlg->m_port.SetTimeouts(kReplayReadTimeoutMs, std::max(n, kMinWriteTimeoutMs));
    const uint32_t written = pDlg->m_port.Write(pass.pWriteBuf.get(), static_cast<int32_t>(n));
    if (written == n) {
        ++pass.nSuccessCount;
        if (n >= kIdleResetBytes)
            ResetIdleTimer();
        return Step::kNext;
    }
    host::DebugOut("write[%d] ERROR!!!  len=%ld   !!!!\n", pass.nRecord,
                   static_cast<long>(written));
    pass.szFailure = "short write at " + RecordName(pDlg, pass) + " (" + std::to_string(written) +
                     " of " + std::to_string(n) + " bytes taken)";
    return Step::kAttemptFailed;
}

// At a record's first failure the expected bytes, then those matched so far and the one
// awaited; at every failure what the read brought.
void LogFailure(const PassState& pass, uint32_t n, uint32_t j, int32_t k, uint32_t got) {
    if (k == 1) {
        host::DebugOut("\ncmp_ReadBuf :");
        for (uint32_t i = 0; i < n; ++i)
            host::DebugOut("%02X", pass.cmp_ReadBuf[i]);
        host::DebugOut("\n==> ReadBuf :");
        for (uint32_t i = 0; i <= j; ++i)
            host::DebugOut("%02X", pass.cmp_ReadBuf[i]);
    }
    if (got >= 1)
        host::DebugOut("\n Wait to READ len=%d   read[0]=%02X\r\n", static_cast<int>(n),
                       pass.ReadBuf[0]);
    else
        host::DebugOut("\n Wait to READ len=%d   read[0]=\r\n", static_cast<int>(n));
}

// Reads the answer one byte at a time and matches it in order.  A failure never moves the
// match back, so bytes before the answer cost one failure each; the 51st failure of the record
// fails the attempt.  A read that brought nothing matches nothing, not even an expected 0x00.
Step VerifyReadRecord(CUpdaterDlg* pDlg, PassState& pass, uint32_t n) {
    // TakePayload has put the n expected bytes into cmp_ReadBuf; the match below indexes it.
    HOST_CHECK(n > 0 && n <= kReadBufBytes);
    host::DebugOut("\nread_[%d]|%d|", pass.nRecord, Stage(pass));
    uint32_t j = 0;
    int32_t k = 0;
    bool heard = false;  // any byte at all: a wrong answer, not a silent modem
    for (;;) {
        // A stop closes the port: further reads could only fail.
        if (!pDlg->m_bDownloadEnabled)
            return Step::kStopped;
        pass.ReadBuf[0] = 0;
        const uint32_t got = pDlg->m_port.Read(pass.ReadBuf, 1);
        heard = heard || got >= 1;
        if (got >= 1 && pass.ReadBuf[0] == pass.cmp_ReadBuf[j]) {
            ++j;
        } else {
            ++k;
            LogFailure(pass, n, j, k, got);
        }
        if (j == n) {
            ++pass.nSuccessCount;
            host::DebugOut("  len=%d    \r\n", static_cast<int>(n));
            return Step::kNext;
        }
        if (k > kMaxFailures) {
            pass.szFailure =
                (heard ? "wrong answer at " : "no answer at ") + RecordName(pDlg, pass);
            return Step::kAttemptFailed;
        }
    }
}

// Records 1 to 5 are taken out of the image like any other but neither sent nor read: the
// handshake has performed them.
Step ReplayRecord(CUpdaterDlg* pDlg, PassState& pass) {
    const uint32_t n = TakeHeader(pDlg, pass);
    if (n == 0)
        return Step::kNext;
    const uint8_t direction = pass.header[image::kDirectionOffset];
    const bool write = direction == image::kDirectionWrite;
    const bool read = direction == image::kDirectionRead;
    uint8_t* dest = write ? pass.pWriteBuf.get() : read ? pass.cmp_ReadBuf : nullptr;
    const uint32_t capacity = write ? kWriteBufBytes : kReadBufBytes;
    const Step taken = TakePayload(pDlg, pass, n, dest, capacity);
    if (taken != Step::kNext || pass.nRecord <= kHandshakeRecords)
        return taken;
    return write ? SendWriteRecord(pDlg, pass, n) : VerifyReadRecord(pDlg, pass, n);
}

Step WalkRecords(CUpdaterDlg* pDlg, PassState& pass) {
    const uint32_t size = pDlg->m_dwImageSize;
    if (size == 0)
        return Step::kNext;
    for (;;) {
        if (!pDlg->m_bDownloadEnabled)
            return Step::kStopped;
        const Step step = ReplayRecord(pDlg, pass);
        if (step != Step::kNext)
            return step;
        // A stop that came during the record ends the walk before the progress step: the
        // thread that stopped it publishes the end, and nothing may overwrite that.
        if (!pDlg->m_bDownloadEnabled || pDlg->m_nImagePos != pass.nWalkPos)
            return Step::kStopped;
        // Only records past the handshake are confirmed, each at most once.
        HOST_CHECK(pass.nSuccessCount <= std::max(0, pass.nRecord - kHandshakeRecords));
        StepProgress(pDlg, pass.display, pass.nSuccessCount);
        if (pass.nWalkPos >= size)
            return Step::kNext;
    }
}

// ---- attempts and phase end ----

PassEnd FailAttempt(CUpdaterDlg* pDlg, const PassState& pass) {
    // An update that another thread has ended is not retried: it has made the report.
    if (!pDlg->m_bDownloadEnabled)
        return PassEnd::kDone;
    if (pDlg->m_nAttempt < kMaxAttempts) {
        const int32_t attempt = ++pDlg->m_nAttempt;
        host::DebugOut("\nDownload_image_times=%d", attempt);
        return PassEnd::kNextPass;
    }
    TakeFailureExit(pDlg, FailureExit::kSixthAttempt,
                    pass.szFailure + " in the " + std::to_string(kMaxAttempts) + "th attempt");
    return PassEnd::kDone;
}

// A walk that a stop cut short confirms nothing, whatever the counts say (an image of only the
// handshake records would otherwise pass for confirmed after a give-up).  A walk that reached
// the end unconfirmed (a record of length 0 from record 6 on) is a failed attempt like a wrong
// answer, so that every unconfirmed end leads to a new pass or to the give-up.
PassEnd EndPhase(CUpdaterDlg* pDlg, PassState& pass, Step walk) {
    if (walk == Step::kAttemptFailed)
        return FailAttempt(pDlg, pass);
    if (walk == Step::kStopped || !pDlg->m_bDownloadEnabled)
        return PassEnd::kDone;
    const bool confirmed = pass.nSuccessCount == pDlg->m_nRecordCount - kHandshakeRecords;
    if (!pDlg->m_bFsPhase && confirmed) {
        host::DebugOut("  Modem Download_Success (SW)   !!!!!!!   \r\n");
        pDlg->m_bFsPhase = true;
        pDlg->m_nAttempt = 1;
        pDlg->m_bImageLoaded = false;
        return PassEnd::kNextPass;
    }
    if (pDlg->m_bFsPhase && !pDlg->m_bFsDone && confirmed) {
        pDlg->m_bFsDone = true;
        host::DebugOut("  Modem Download_Success (FS)   !!!!!!!   \r\n");
    }
    if (pDlg->m_bFsDone) {
        CompleteUpdate(pDlg);
        return PassEnd::kDone;
    }
    pass.szFailure = ImageName(pDlg) + " ended unconfirmed (" + std::to_string(pass.nSuccessCount) +
                     " of " +
                     std::to_string(std::max(0, pDlg->m_nRecordCount - kHandshakeRecords)) +
                     " records confirmed)";
    return FailAttempt(pDlg, pass);
}

// An image that did not load, or that the load step refused, ends the update before anything
// is sent from it.  Without a download (another thread has ended it) the load step does
// nothing and the walk takes no record.
PassEnd LoadAndReplay(CUpdaterDlg* pDlg, PassState& pass) {
    const bool loaded = pDlg->LoadImageStep();
    if (!loaded && pDlg->m_bDownloadEnabled) {
        TakeFailureExit(pDlg, FailureExit::kSixthAttempt,
                        ImageName(pDlg) + " could not be loaded or was refused");
        return PassEnd::kDone;
    }
    SetUpProgressRange(pDlg);
    SetUpReplay(pDlg, pass);
    const Step walk = loaded ? WalkRecords(pDlg, pass) : Step::kStopped;
    return EndPhase(pDlg, pass, walk);
}

PassEnd RunPass(CUpdaterDlg* pDlg, PassState& pass) {
    if (!SetUpPass(pDlg, pass)) {
        TakeFailureExit(pDlg, FailureExit::kSixthAttempt,
                        "no memory for the write buffer of " + ImageName(pDlg));
        return PassEnd::kDone;
    }
    Handshake(pDlg, pass);
    const PassEnd end = LoadAndReplay(pDlg, pass);
    pass.pWriteBuf.reset();
    return end;
}

}  // namespace

uint32_t ReadThread(void* pParam) {
    auto* pDlg = static_cast<CUpdaterDlg*>(pParam);
    StartReading(pDlg);
    PassState pass;
    while (RunPass(pDlg, pass) == PassEnd::kNextPass) {
    }
    return 0;
}
