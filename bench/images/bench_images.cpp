// Prints what the load step costs on the embedded images: the time of loading, counting and
// checking the SW image, and the heap bytes that loading and counting take, for both images.
// The heap figure must not grow with the image: the images are used in place.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "app/updater_dlg.h"
#include "download/image_format.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/memory_registry.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/virtual_clock.h"
#include "res/embedded_resources.h"

namespace {

std::atomic<size_t> g_heap_bytes{0};
std::atomic<size_t> g_heap_calls{0};

void* CountedAlloc(size_t size) {
    g_heap_bytes += size;
    ++g_heap_calls;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(size_t size) {
    return CountedAlloc(size);
}
void* operator new[](size_t size) {
    return CountedAlloc(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

// The debug output goes nowhere: a capturing sink would allocate for every line.
class NullLog final : public host::LogSink {
  public:
    void Write(std::string_view) override {}
};

using Clock = std::chrono::steady_clock;

double MedianUs(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Loads the phase's image afresh, as the first pass of a phase does.
bool LoadAgain(CUpdaterDlg& dlg) {
    dlg.m_bImageLoaded = false;
    return dlg.LoadImageStep();
}

void PrintHeap(CUpdaterDlg& dlg, bool fs_phase, const char* name) {
    dlg.m_bFsPhase = fs_phase;
    size_t bytes_before = g_heap_bytes;
    size_t calls_before = g_heap_calls;
    bool ok = LoadAgain(dlg);
    std::printf(
        "%s image: %u bytes, %d records, loaded %s; heap during load and count: "
        "%zu bytes in %zu allocations\n",
        name, dlg.m_dwImageSize.load(), dlg.m_nRecordCount, ok ? "ok" : "FAILED",
        g_heap_bytes - bytes_before, g_heap_calls - calls_before);
}

void PrintTimes(CUpdaterDlg& dlg, int runs) {
    dlg.m_bFsPhase = false;
    std::vector<double> step_us;
    std::vector<double> check_us;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        LoadAgain(dlg);
        auto t1 = Clock::now();
        image::VerifyImage(dlg.m_pImage, dlg.m_dwImageSize);
        auto t2 = Clock::now();
        step_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        check_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    double step = MedianUs(step_us);
    double check = MedianUs(check_us);
    std::printf("SW load step (load, count, check), median of %d: %.1f us\n", runs, step);
    std::printf("SW record check alone, median of %d: %.1f us\n", runs, check);
    std::printf("SW counting pass (step less check): %.1f us for %d headers\n", step - check,
                dlg.m_nRecordCount);
}

}  // namespace

int main() {
    host::VirtualClock clock;
    NullLog log;
    host::MemoryRegistry registry;
    host::ScriptedUi ui{clock};
    res::EmbeddedResources resources;
    host::Platform platform{
        .clock = &clock, .log = &log, .resources = &resources, .registry = &registry, .ui = &ui};
    host::ScopedPlatform scoped(platform);

    CUpdaterDlg dlg;
    dlg.m_bDownloadEnabled = true;
    LoadAgain(dlg);  // warm up: fault the image pages in once
    PrintHeap(dlg, false, "SW");
    PrintHeap(dlg, true, "FS");
    PrintTimes(dlg, 201);
    return 0;
}
