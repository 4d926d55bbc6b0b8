// Fuzz target: the replay's verification of the modem's answers.  The fuzzer's bytes are a
// script for the far end of "COM1:" (what the modem answers, when, what happens to the line,
// the operator's interrupts) while ReadThread runs a small image in both phases on the
// in-process board, in virtual time.  Whatever happens, the update must end by itself within
// the board's run limit, closed, with the board's path switched back and Progress at 100 or -1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "device/board.h"
#include "host/board.h"
#include "host/interrupt.h"
#include "tests/support/inprocess_board.h"

namespace {

using sim::Bytes;

// The five handshake records, then writes and reads as the real images have them: a read
// that expects zeros, one that looks like a beacon, and the closing read of 12 bytes.
// clang-format off
const Bytes kImage = {
    0xBB, 0, 0, 1, 1, 0, 0, 0, 0x7A,
    0xBB, 0, 0, 2, 1, 0, 0, 0, 0x3F,
    0xBB, 0, 0, 1, 8, 0, 0, 0, 0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBB, 0, 0, 2, 2, 0, 0, 0, 0x53, 0x36,
    0xBB, 0, 0, 2, 1, 0, 0, 0, 0x51,
    0xBB, 1, 0, 2, 3, 0, 0, 0, 0x01, 0x02, 0x03,
    0xBB, 1, 0, 1, 3, 0, 0, 0, 0xAA, 0x00, 0x01,
    0xBB, 5, 0, 1, 2, 0, 0, 0, 0x00, 0x00,
    0xBB, 5, 0, 2, 1, 0, 0, 0, 0x53,
    0xBB, 5, 0, 1, 4, 0, 0, 0, 0xAA, 0x00, 0x10, 0x53,
    0xBB, 5, 0, 1, 1, 0, 0, 0, 0x7A,
    0xBB, 5, 0, 1, 12, 0, 0, 0, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5A,
};
// clang-format on
// The payloads of the image's read records from record 6 on, in order.
const Bytes kAnswers[] = {
    {0xAA, 0x00, 0x01},
    {0x00, 0x00},
    {0xAA, 0x00, 0x10, 0x53},
    {0x7A},
    {0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5A},
};
const Bytes kBootAnswer = {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint32_t kProgressDone = 100;
constexpr uint32_t kProgressFailed = 0xFFFFFFFF;
// The far end's own time: past it the modem falls silent, so that the updater's time-outs and
// attempt limits alone must end the run well within the board's limit.
constexpr int64_t kScriptBudgetUs = 300'000'000;

// One step of the script: the op byte's top three bits say what, the low five how much.
enum Op : uint8_t {
    kSend,       // the next arg + 1 bytes of the input, as they stand
    kWait,       // (arg + 1) * 20 ms
    kDrain,      // take up to arg + 1 bytes the updater sent, within 100 ms
    kHandshake,  // 'z', the boot loader's answer, S6 and Q, at the line's current speed
    kAnswer,     // the right answer to read record arg of the five
    kBaud,       // the far end's speed: 9600 or 460800
    kLine,       // a short write, the line unplugged or plugged again, an interrupt
    kByte,       // the byte arg itself
};

class Script {
  public:
    Script(std::span<const uint8_t> input, sim::InProcessBoard& board)
        : input_(input), board_(board) {}

    void Run(sim::FarEnd& far) {
        const int64_t end_us = board_.clock().now_us() + kScriptBudgetUs;
        while (pos_ < input_.size() && !far.Stopping() && board_.clock().now_us() < end_us)
            Step(far, input_[pos_++]);
    }

  private:
    void Step(sim::FarEnd& far, uint8_t op) {
        const uint32_t arg = op & 0x1F;
        switch (static_cast<Op>(op >> 5)) {
            case kSend: {
                const size_t n = std::min<size_t>(arg + 1, input_.size() - pos_);
                far.Send(Bytes(input_.begin() + pos_, input_.begin() + pos_ + n));
                pos_ += n;
                break;
            }
            case kWait:
                board_.clock().sleep_ms((arg + 1) * 20);
                break;
            case kDrain:
                far.Receive(arg + 1, 100);
                break;
            case kHandshake:
                far.Send({0x7A});
                far.Receive(1, 300);
                far.Send(kBootAnswer);
                far.Receive(2, 1000);
                far.SetBaud(460800);
                far.Receive(1, 1000);
                break;
            case kAnswer:
                far.Send(kAnswers[arg % std::size(kAnswers)]);
                break;
            case kBaud:
                far.SetBaud(arg & 1 ? 460800 : 9600);
                break;
            case kLine:
                Fault(arg);
                break;
            case kByte:
                far.Send({static_cast<uint8_t>(arg)});
                break;
        }
    }

    // The outside world's faults: the line's, and an operator's interrupt (the dialog's
    // handler runs here as it would on the UI thread; two within 10 s stop the update while
    // ReadThread runs on).
    void Fault(uint32_t arg) {
        host::SimLink& line = board_.com1();
        switch (arg % 4) {
            case 0:
                line.LimitNextWrite(arg / 4);
                break;
            case 1:
                line.Unplug();
                break;
            case 2:
                line.Plug();
                break;
            default:
                board_.dialog().OnInterrupt(host::Interrupt::kInterrupt);
                break;
        }
    }

    std::span<const uint8_t> input_;
    sim::InProcessBoard& board_;
    size_t pos_ = 0;
};

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "replay fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::InProcessBoard board;
    board.SetImages(kImage, kImage);
    Script script({data, size}, board);
    board.ReplaceModem([&script](sim::FarEnd& far) { script.Run(far); });
    const bool ended = board.RunDownload();
    // FUZZ_VERBOSE=1 shows how a run went, for looking into an input by hand.
    if (std::getenv("FUZZ_VERBOSE") != nullptr) {
        for (const sim::TimedLog::Entry& entry : board.log().Entries())
            std::fprintf(stderr, "%12lld %s\n", static_cast<long long>(entry.time_us),
                         entry.text.c_str());
    }
    Require(ended, "the update did not end within the virtual-time limit");
    Require(board.dialog().IsClosed(), "the update ended with the dialog open");
    const uint32_t progress = board.Settings(L"Progress");
    Require(progress == kProgressDone || progress == kProgressFailed,
            "Progress is neither 100 nor -1 at the end");
    const std::vector<uint32_t> modes = board.Writes(host::reg::kCpldMode);
    Require(!modes.empty() && modes.back() == 1, "the modem path was not switched back");
    return 0;
}
