// Prints what the progress display costs the replay: the time of a progress step that only
// computes the position (the step after almost every record), the time of one that updates
// the bar, the label and Progress, and how many records of each shipped image touch the
// dialog and the registry at all.
#include <atomic>
#include <chrono>
#include <cstdio>

#include "app/updater_dlg.h"
#include "download/progress.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/memory_registry.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/virtual_clock.h"

namespace {

class NullLog final : public host::LogSink {
  public:
    void Write(std::string_view) override { ++texts; }
    long texts = 0;
};

double NsSince(std::chrono::steady_clock::time_point start, long count) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(count);
}

// One pass as the replay drives it; answers the updates it made.
long Pass(CUpdaterDlg& dlg, PassDisplay& display, int32_t records, bool fs) {
    dlg.m_nRecordCount = records;
    dlg.m_bFsPhase = fs;
    display.nLastShownPos = 0;
    long updates = 0;
    for (int32_t record = 1; record <= records; ++record) {
        const int32_t before = display.nLastShownPos;
        const int32_t count = record > 5 ? record - 5 : 0;
        StepProgress(&dlg, display, count);
        updates += (display.nLastShownPos != before || count % 100 == 99) ? 1 : 0;
    }
    return updates;
}

}  // namespace

int main() {
    host::VirtualClock clock;
    NullLog log;
    host::MemoryRegistry registry;
    std::atomic<long> writes{0};
    registry.SetValueObserver([&writes](const host::MemoryRegistry::ValueAccess& access) {
        writes += access.write ? 1 : 0;
    });
    host::ScriptedUi ui{clock};
    host::Platform platform;
    platform.clock = &clock;
    platform.log = &log;
    platform.registry = &registry;
    platform.ui = &ui;
    host::ScopedPlatform installed(platform);
    CUpdaterDlg dlg;

    constexpr long kSteps = 10'000'000;
    volatile int32_t sink = 0;
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kSteps; ++i)
        sink = ProgressPosition(static_cast<int32_t>(i % 1667), 1672, (i & 1) != 0);
    std::printf("position only:          %6.1f ns per record\n", NsSince(start, kSteps));

    PassDisplay display;
    SetUpDisplay(&dlg, display);
    const long writes_before = writes.load();
    const long texts_before = log.texts;
    start = std::chrono::steady_clock::now();
    const long sw_updates = Pass(dlg, display, 1672, false);
    const long fs_updates = Pass(dlg, display, 890, true);
    const long updates = sw_updates + fs_updates;
    std::printf("SW image, 1672 records: %ld display updates\n", sw_updates);
    std::printf("FS image,  890 records: %ld display updates\n", fs_updates);
    std::printf("both passes:            %6.1f ns per record (10 ms waits in virtual time)\n",
                NsSince(start, 1672 + 890));
    std::printf("registry writes:        %ld for %d records\n", writes.load() - writes_before,
                1672 + 890);
    std::printf("debug texts:            %ld (%ld per update)\n", log.texts - texts_before,
                (log.texts - texts_before) / (updates > 0 ? updates : 1));
    std::printf("virtual time spent:     %lld ms (set-up and %ld updates, 10 ms each)\n",
                static_cast<long long>(clock.now_ms()), updates);
    (void)sink;
    return 0;
}
