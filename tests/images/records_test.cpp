// The load step, its counting pass and the header read, on hand-made images.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/updater_dlg.h"
#include "download/image_format.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/memory_registry.h"
#include "host/sim/memory_resources.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/virtual_clock.h"
#include "tests/images/image_builder.h"

namespace {

using images_test::ImageBuilder;
using images_test::kRead;
using images_test::kWrite;
using Lines = std::vector<std::string>;

class RecordsTest : public ::testing::Test {
  protected:
    // Serves bytes as the SW image (or the FS image) and arms the load step.
    void Serve(const std::vector<uint8_t>& bytes, int id = host::kSwImageId) {
        resources_.Add(host::kBinType, id, bytes);
        dlg_.m_bDownloadEnabled = true;
    }

    bool Load() {
        log_.Clear();
        return dlg_.LoadImageStep();
    }

    host::VirtualClock clock_;
    host::CaptureLog log_;
    host::MemoryRegistry registry_;
    host::ScriptedUi ui_{clock_};
    host::MemoryResources resources_;
    host::ScopedPlatform platform_{{.clock = &clock_,
                                    .log = &log_,
                                    .resources = &resources_,
                                    .registry = &registry_,
                                    .ui = &ui_}};
    CUpdaterDlg dlg_;  // after the platform: its settings key is created at construction
};

// The counting pass walks the headers as they stand, logs what it found and only then is the
// image judged; a refused image leaves nothing to walk and no count that a phase end could
// take for a confirmed image.
TEST_F(RecordsTest, CountingPassLogsItsWalkAndRefusesBrokenImages) {
    struct Case {
        const char* name;
        ImageBuilder image;
        std::string counted;  // the counting pass's line
        std::string refusal;  // empty for a good image
        int32_t records;
    };
    std::vector<Case> cases(5);
    cases[0] = {"good", {}, "pImage=337  dwSize=337  total record=3 \r\n", "", 3};
    // Its second and third headers start at odd offsets (9 and 317): the length is assembled
    // byte by byte, wherever a header starts.
    cases[0].image.Add(kRead, {0x7A}, 0).Filled(kWrite, 300).Filled(kRead, 12);
    // A record of length 0 is counted; the next header follows its own header directly.
    cases[1] = {"zero length", {}, "pImage=19  dwSize=19  total record=2 \r\n", "", 2};
    cases[1].image.Add(kWrite, {}).Add(kRead, {0xAA, 0x00, 0x01});
    cases[2] = {"past the end",
                {},
                "pImage=118  dwSize=23  total record=2 \r\n",
                "record 2 at offset 10: payload runs past the end of the image",
                0};
    cases[2].image.Filled(kWrite, 2).Header(kRead, 100).Raw({1, 2, 3, 4, 5});
    // A length near 2^32 must not wrap the cursor back into the image, where the pass would
    // walk the same headers again or count records that are not there.
    cases[3] = {"huge length",
                {},
                "pImage=-1  dwSize=20  total record=2 \r\n",
                "record 2 at offset 9: write payload longer than 65536 bytes",
                0};
    cases[3].image.Filled(kWrite, 1).Header(kWrite, 0xFFFFFFFF).Raw({9, 9, 9});
    cases[4] = {"empty",
                {},
                "pImage=0  dwSize=0  total record=0 \r\n",
                "record 1 at offset 0: the image holds no record",
                0};

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Serve(c.image.bytes());
        dlg_.m_bImageLoaded = false;
        EXPECT_EQ(Load(), c.refusal.empty());
        Lines expected{"Resource size=" + std::to_string(c.image.bytes().size()) + "\r\n",
                       "LoadResBuffer OK!\r\n", c.counted};
        if (!c.refusal.empty())
            expected.push_back("Image refused: " + c.refusal + "\r\n");
        EXPECT_EQ(log_.Texts(), expected);
        EXPECT_EQ(dlg_.m_nRecordCount, c.records);
        EXPECT_EQ(dlg_.m_bImageLoaded, c.refusal.empty());
        EXPECT_EQ(dlg_.m_dwImageSize, c.refusal.empty() ? c.image.bytes().size() : 0u);
    }
}

// Each failure of the resource steps: its lines, its outputs written only as far as the steps
// got, and the load step's own line.
TEST_F(RecordsTest, EachResourceFailureIsLoggedAndLeavesNoImage) {
    Serve(std::vector<uint8_t>(13, 0));
    const std::pair<void (host::MemoryResources::*)(bool), Lines> cases[] = {
        {&host::MemoryResources::FailModule, {"AfxGetResourceHandle() Error!\r\n"}},
        {&host::MemoryResources::FailFind, {"Find Resource Error!\r\n"}},
        {&host::MemoryResources::FailLoad, {"Resource size=13\r\n", "Load Resource Error!\r\n"}},
    };
    for (const auto& [knob, lines] : cases) {
        SCOPED_TRACE(lines.back());
        (resources_.*knob)(true);
        const uint8_t sentinel = 0;
        const uint8_t* address = &sentinel;
        uint32_t size = 777;
        bool loaded = knob == &host::MemoryResources::FailLoad;
        EXPECT_LT(dlg_.LoadResBuffer(&address, &size), 0);
        EXPECT_EQ(size, loaded ? 13u : 777u);
        EXPECT_EQ(address, loaded ? nullptr : &sentinel);

        EXPECT_FALSE(Load());
        Lines expected = lines;
        expected.push_back("LoadResBuffer Erorr!\r\n");
        EXPECT_EQ(log_.Texts(), expected);
        EXPECT_FALSE(dlg_.m_bImageLoaded);
        EXPECT_EQ(dlg_.m_pImage == nullptr, dlg_.m_dwImageSize == 0u);
        (resources_.*knob)(false);
    }
}

TEST_F(RecordsTest, HeaderReadStopsAtTheEndOfTheImage) {
    ImageBuilder image;
    image.Header(kWrite, 0x0201).Header(kRead, 0x0403);
    const std::vector<uint8_t>& bytes = image.bytes();
    dlg_.m_pImage = bytes.data();
    dlg_.m_dwImageSize = 13;  // the second header is cut after its fifth byte

    // A header that straddles the end: the missing bytes keep what the caller put there.
    dlg_.m_nImagePos = 8;
    uint8_t header[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(dlg_.ReadRecordHeader(header), 0xEEEEEE03u);
    EXPECT_EQ(header[3], kRead);
    EXPECT_GT(dlg_.m_nImagePos, dlg_.m_dwImageSize);

    // The cursor already moved to the end by another thread: nothing is read.
    dlg_.m_nImagePos = 13;
    uint8_t zeros[8] = {};
    EXPECT_EQ(dlg_.ReadRecordHeader(zeros), 0u);
    EXPECT_EQ(std::vector<uint8_t>(zeros, zeros + 8), std::vector<uint8_t>(8, 0));
}

// Another thread's failure path moves the cursor to the end while a walk reads headers; the
// walk must end without a byte read past the image (the buffer is exactly the image's size,
// so the address sanitizer sees any overrun).
TEST_F(RecordsTest, HeaderWalkEndsWhenAnotherThreadMovesTheCursorToTheEnd) {
    ImageBuilder image;
    for (int i = 0; i < 2000; ++i)
        image.Filled(i % 2 == 0 ? kWrite : kRead, static_cast<uint32_t>(i % 7));
    const uint32_t size = static_cast<uint32_t>(image.bytes().size());
    auto bytes = std::make_unique<uint8_t[]>(size);
    std::copy(image.bytes().begin(), image.bytes().end(), bytes.get());
    dlg_.m_pImage = bytes.get();
    dlg_.m_dwImageSize = size;

    for (int round = 0; round < 20; ++round) {
        dlg_.m_nImagePos = 0;
        std::thread stopper([&] { dlg_.m_nImagePos = dlg_.m_dwImageSize.load(); });
        uint32_t headers = 0;
        while (dlg_.m_nImagePos < dlg_.m_dwImageSize) {
            uint8_t header[8] = {};
            uint32_t length = dlg_.ReadRecordHeader(header);
            ::image::AdvanceCursor(dlg_.m_nImagePos, length);
            ++headers;
        }
        stopper.join();
        EXPECT_LE(headers, 2000u);
        EXPECT_GE(dlg_.m_nImagePos, size);
    }
}

}  // namespace
