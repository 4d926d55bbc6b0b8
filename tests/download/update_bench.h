// A bench for whole download runs in virtual time: the simulated platform (registry in memory,
// scripted front-end, recording register bus and power manager, simulated serial devices,
// resources in memory), the update dialog, and at the far end of "COM1:" either the modem
// model (wired to the bus's pins) or a test's own script.  RunUpdate() starts ReadThread as
// PrepareThread leaves things and returns once every thread it started has ended.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/memory_registry.h"
#include "host/sim/memory_resources.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"
#include "sim/board_pins.h"
#include "sim/modem_line.h"
#include "sim/modem_model.h"

namespace download_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kRead = 1;
constexpr uint8_t kWrite = 2;
constexpr uint32_t kProgressFailed = 0xFFFFFFFF;
const Bytes kBootAnswer = {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};

// Images made by hand: the five handshake records, then what a test appends.
class ImageBuilder {
  public:
    ImageBuilder();
    ImageBuilder& Add(uint8_t direction, const Bytes& payload, uint8_t stage = 5);
    // A header whose length and direction need not fit anything, then `payload`.
    ImageBuilder& Raw(uint8_t direction, uint32_t length, const Bytes& payload);
    Bytes Take() { return std::move(bytes_); }

  private:
    Bytes bytes_;
};

// The debug output with the virtual time of every text.  A hook sees each text on the thread
// that writes it, after it is recorded.
class TimedLog final : public host::LogSink {
  public:
    struct Entry {
        int64_t time_us;
        std::string text;
    };
    explicit TimedLog(host::Clock& clock) : clock_(clock) {}
    void Write(std::string_view text) override;
    void SetHook(std::function<void(std::string_view)> hook);
    std::vector<Entry> Entries();
    std::vector<std::string> Texts();
    int Count(std::string_view text);
    int CountStartingWith(std::string_view prefix);
    std::vector<int64_t> TimesUs(std::string_view text);
    // The text just before each occurrence of `text`.
    std::vector<std::string> Before(std::string_view text);
    // N of every "\nDownload_image_times=N", in order.
    std::vector<int> Attempts();

  private:
    host::Clock& clock_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::function<void(std::string_view)> hook_;
};

class UpdateBench;

// A test's own far end of COM1, on a registered thread of its own.
class FarEnd {
  public:
    FarEnd(UpdateBench& bench, host::SimLink& link) : bench_(bench), link_(link) {}
    void Send(const Bytes& bytes) { link_.FarWrite(bytes); }
    // Returns once `count` bytes have come or within_ms has passed, with what came.
    Bytes Receive(size_t count, uint32_t within_ms);
    void SetBaud(uint32_t baud) { link_.SetFarBaud(baud); }
    // The bench sets this once ReadThread has ended; a script that loops must end on it.
    bool Stopping();

  private:
    UpdateBench& bench_;
    host::SimLink& link_;
};

class UpdateBench {
  public:
    UpdateBench();
    ~UpdateBench();
    UpdateBench(const UpdateBench&) = delete;
    UpdateBench& operator=(const UpdateBench&) = delete;

    // The images served as resources 130 (SW) and 135 (FS); the model follows the same ones.
    void SetImages(Bytes sw, Bytes fs);
    // The modem model at the far end, with faults in the model's text form.  It starts with
    // the run, so that nothing moves in virtual time before the run begins.
    void AttachModem(const std::string& faults = "");
    // Or a script at the far end instead, on its own thread, started with the run.
    void AttachFarEnd(std::function<void(FarEnd&)> script);

    // Port open at 9600, CPLD mode 6, restore armed, backlight held (the image state is left as
    // the test set it), then ReadThread and, on a thread of its own, the power-on pulse.
    // Returns when ReadThread and every thread started meanwhile have ended (the model is
    // stopped once ReadThread has ended); a ReadThread that still runs limit_ms into the run
    // fails the test.
    void RunUpdate(uint32_t limit_ms = 900000);
    // The preparation's part of RunUpdate alone, for tests that start threads of their own.
    void Prepare();

    uint32_t Settings(const std::wstring& name);
    std::vector<uint32_t> CpldModes();
    int ResetPulses();  // GPA15 raised, as seen on the bus
    // What the model saw, taken when it stopped.
    const sim::ModemReport& Report() const { return report_; }
    int64_t start_us() const { return start_us_; }
    int64_t read_end_us() const { return read_end_us_; }

    // Every part is open to the tests.  In construction order: the platform first, the dialog
    // after it (its settings key opens at construction).
    host::VirtualClock clock_;
    TimedLog log_{clock_};
    host::MemoryRegistry registry_;
    host::ScriptedUi ui_{clock_};
    host::RecordingBus bus_{clock_};
    host::RecordingPower power_{clock_};
    host::SimSerialPorts ports_;
    host::MemoryResources resources_;
    host::ScopedPlatform platform_;
    ScopedUartSettings uart_;
    std::shared_ptr<host::SimLink> link_;  // "COM1:"
    std::unique_ptr<CUpdaterDlg> dlg_;

  private:
    friend class FarEnd;
    host::Platform MakePlatform();
    static uint32_t ReadThreadNoted(void* param);
    static uint32_t PowerOnThread(void* param);
    static uint32_t FarEndThread(void* param);

    sim::SimModemLine line_;
    sim::BusPins pins_;
    Bytes sw_;
    Bytes fs_;
    std::unique_ptr<sim::ModemOptions> modem_options_;
    std::unique_ptr<sim::ModemModel> model_;
    sim::ModemReport report_;
    std::function<void(FarEnd&)> script_;
    // Changed through the clock: wait predicates read them.
    std::atomic<bool> stopping_{false};
    bool read_done_ = false;
    int64_t read_end_us_ = 0;
    int64_t start_us_ = 0;
};

class DownloadTest : public ::testing::Test, public UpdateBench {};

}  // namespace download_test
