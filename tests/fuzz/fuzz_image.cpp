// Fuzz target: what the load step runs on an image before anything is replayed from it (the
// resource load, the counting pass, the check of every record) and the fact gathering of the
// image tool.  Any input must be either refused or accepted with a count and a cursor that
// agree with the checked walk; nothing may read outside the image.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "download/image_format.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "tests/support/inprocess_board.h"

namespace {

// The texts of a million runs are of no use; the load step's log lines are formatted all the
// same.
class DiscardLog final : public host::LogSink {
  public:
    void Write(std::string_view) override {}
};

struct Bench {
    sim::InProcessBoard board;
    DiscardLog discard;
    host::ScopedPlatform quiet{Quiet()};

    host::Platform Quiet() {
        host::Platform platform = host::Current();
        platform.log = &discard;
        return platform;
    }
};

void Require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Bench* bench = new Bench;
    // An exact copy, so that a read one byte past the end is a sanitizer report.
    std::vector<uint8_t> image(data, data + size);
    const auto n = static_cast<uint32_t>(image.size());
    bench->board.SetImages(image, {});
    CUpdaterDlg& dlg = bench->board.dialog();
    dlg.m_bFsPhase = false;
    dlg.m_bImageLoaded = false;
    dlg.m_bDownloadEnabled = true;
    const bool loaded = dlg.LoadImageStep();

    const image::Facts facts = image::CollectFacts(image.data(), n);
    Require(loaded == facts.check.ok);
    if (loaded) {
        Require(dlg.m_nRecordCount == static_cast<int32_t>(facts.records));
        Require(dlg.m_nImagePos == n);
        Require(facts.read_records + facts.write_records == facts.records);
    } else {
        Require(dlg.m_pImage == nullptr && dlg.m_dwImageSize == 0 && !dlg.m_bImageLoaded);
    }
    return 0;
}
