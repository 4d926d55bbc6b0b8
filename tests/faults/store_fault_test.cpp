// Whole updates against a registry store that another program holds busy or whose disk fills
// up, in virtual time: a busy store is waited out where the update must write and never holds
// up the download; settings that the end could not write end the run with kExitNotRestored
// and a note saying which, with the board restored all the same.
#include <algorithm>
#include <functional>

#include "host/board.h"
#include "host/registry.h"
#include "tests/faults/matrix.h"
#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

constexpr int64_t kSecondUs = 1000000;
const std::string kFirstUpdate = "\n==============REM=";
const std::string kSwDone = "  Modem Download_Success (SW)   !!!!!!!   \r\n";
const std::string kAllDone = "  Modem Download_Success  !!!!!!!    \r\n";

enum class Fault { kBusyFor, kBusyForGood, kDiskFull };

struct StoreCase {
    const char* name;
    Fault fault;
    std::string from;  // the debug text at which the fault begins; empty: at the start
    int64_t busy_us;   // kBusyFor only
    const char* modem_faults;
    bool flashed;  // both images confirmed
    int outcome;
    const char* note;
};

void PrintTo(const StoreCase& c, std::ostream* out) {
    *out << c.name;
}

const char* const kNotRestoredAtAll =
    "the modem update succeeded, but AWRCWR could not be set back to 1 (the disk is full) and "
    "Progress could not be set to 100 (the disk is full)";

const StoreCase kStoreCases[] = {
    {"BusyForFiveSecondsAtTheStart", Fault::kBusyFor, "", 5 * kSecondUs, "", true, kExitSuccess,
     "the modem was updated"},
    {"BusyThroughTheReplay", Fault::kBusyFor, kFirstUpdate, 2 * kSecondUs, "", true, kExitSuccess,
     "the modem was updated"},
    {"BusyForGoodAtTheCompletion", Fault::kBusyForGood, kAllDone, 0, "", true, kExitNotRestored,
     "the modem update succeeded, but AWRCWR could not be set back to 1 (the registry stayed "
     "busy) and Progress could not be set to 100 (the registry stayed busy)"},
    {"DiskFullInTheSwImage", Fault::kDiskFull, kFirstUpdate, 0, "", true, kExitNotRestored,
     kNotRestoredAtAll},
    {"DiskFullInTheFsImage", Fault::kDiskFull, kSwDone, 0, "", true, kExitNotRestored,
     kNotRestoredAtAll},
    {"DiskFullAtTheCompletion", Fault::kDiskFull, kAllDone, 0, "", true, kExitNotRestored,
     kNotRestoredAtAll},
    {"DiskFullThenTheSixthAttemptFails", Fault::kDiskFull, kFirstUpdate, 0,
     "wrong-answer=700:always@sw", false, kExitNotRestored,
     "the modem update failed, and AWRCWR could not be set back to 1 (the disk is full) and "
     "Progress could not be set to -1 (the disk is full)"},
};

class StoreFaultTest : public UpdateTest, public ::testing::WithParamInterface<StoreCase> {
  protected:
    void StartFault(const StoreCase& c) {
        switch (c.fault) {
            case Fault::kBusyFor:
                store().BusyDuring(clock(), clock().now_us(), clock().now_us() + c.busy_us);
                break;
            case Fault::kBusyForGood:
                store().SetBusy(true);
                break;
            case Fault::kDiskFull:
                store().FailWrites(host::kRegDiskFull);
                break;
        }
    }

    // The fault begins at the first occurrence of its text, on the thread that writes it.
    void ArmFault(const StoreCase& c) {
        Provision({.device_name = {}, .reboot = {}, .awrcwr = 3, .clk = {}});
        if (c.from.empty()) {
            StartFault(c);
            return;
        }
        log().SetHook([this, c, armed = false](std::string_view text) mutable {
            if (!armed && text == c.from) {
                armed = true;
                StartFault(c);
            }
        });
    }

    // The Progress values that landed, in order.
    std::vector<uint32_t> PublishedProgress() {
        std::vector<uint32_t> values;
        for (const std::string& entry : journal().Entries()) {
            if (entry.starts_with("set Progress="))
                values.push_back(static_cast<uint32_t>(std::stoul(entry.substr(13))));
        }
        return values;
    }
};

TEST_P(StoreFaultTest, EndsCleanlyWithTheDocumentedOutcome) {
    const StoreCase& c = GetParam();
    ArmFault(c);
    Run(c.modem_faults);
    faults::ExpectBoundedRun(*this);
    store().SetBusy(false);
    store().FailWrites(host::kRegOk);

    ExpectClosedAndRestoredBoard();
    EXPECT_EQ(UpdateOutcome(), c.outcome);
    EXPECT_EQ(UpdateOutcomeNote(), c.note);
    const bool landed = c.outcome != kExitNotRestored;
    EXPECT_EQ(Uart(L"AWRCWR"), landed ? 1u : 0u);
    if (c.outcome == kExitSuccess) {
        ExpectDownloadCompleted();
    }
    if (c.flashed) {
        // The modem has its firmware: the success box shows, whatever the registry did.
        EXPECT_EQ(report().fs.records_confirmed, 885u);
        EXPECT_EQ(ui().Boxes().size(), 1u);
    }
    // A write that waited long says so; the download's own steps never wait.
    const std::vector<std::string> texts = log().Texts();
    bool before_end = true;
    for (const std::string& text : texts) {
        before_end = before_end && text != kAllDone;
        if (c.fault == Fault::kBusyFor && before_end && !c.from.empty()) {
            EXPECT_FALSE(text.starts_with("\nRegistry busy for ")) << text;
        }
    }
    const std::vector<uint32_t> published = PublishedProgress();
    if (c.fault == Fault::kBusyFor && !c.from.empty()) {
        // Values were held back while the store was busy and the latest landed once it was free:
        // published values never go backwards, and the end's 100 is the last.
        EXPECT_GE(log().CountStartingWith("\nProgress "), 1);
        ASSERT_FALSE(published.empty());
        EXPECT_TRUE(std::is_sorted(published.begin() + 1, published.end()));
        EXPECT_EQ(published.back(), 100u);
    }
    if (c.from.empty()) {
        EXPECT_EQ(log().CountStartingWith("\nRegistry busy for 5000 ms before set Progress"), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Whole, StoreFaultTest, ::testing::ValuesIn(kStoreCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace update_test
