// The test platform of the dialog tests: virtual time, captured debug output, a registry in
// memory, the scripted front-end, a recording register bus and power manager, the UART key
// open, and the dialog itself.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "host/board.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/memory_registry.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/virtual_clock.h"

namespace dialog_test {

constexpr uint32_t kMinusOne = 0xFFFFFFFF;

// The registry in memory, counting its writes by value name (the store keeps only the last
// value).
class CountingRegistry {
  public:
    CountingRegistry();
    int Writes(const std::wstring& name);

    host::MemoryRegistry store;

  private:
    std::mutex mutex_;
    std::map<std::wstring, int> writes_;
};

// The update dialog with OnInitDialog replaced: the test decides what starts when the window
// opens (the real one would start PrepareThread).
class ModalDlg : public CUpdaterDlg {
  public:
    bool OnInitDialog() override;
    std::function<void(ModalDlg&)> on_init;
};

// Result of RunModal when the test's time limit, not the dialog, ended the loop.
constexpr int kEndedByTest = -1;

class DialogFixture : public ::testing::Test {
  protected:
    DialogFixture();
    ~DialogFixture() override;

    uint32_t Settings(const std::wstring& name, uint32_t missing = 0xDEADBEEF);
    uint32_t Uart(const std::wstring& name, uint32_t missing = 0xDEADBEEF);
    // Values written to the CPLD mode register, in order.
    std::vector<uint32_t> CpldModes();
    // Debug texts, one per DebugOut, and the count of one text.
    std::vector<std::string> Logs() { return log_.Texts(); }
    int LogCount(const std::string& text);
    // Runs dlg_'s modal loop on this thread (the UI thread).  start runs in OnInitDialog, once
    // the front-end has the window; if nothing ends the dialog within limit_ms of virtual
    // time, the test ends it (kEndedByTest).  Every thread started meanwhile has ended when it
    // returns.
    int RunModal(std::function<void(ModalDlg&)> start, uint32_t limit_ms = 60000);
    // Takes the backlight requirement for a dialog as the preparation does.
    void HoldBacklight(CUpdaterDlg& dlg);

    host::VirtualClock clock_;
    host::CaptureLog log_;
    CountingRegistry registry_;
    host::ScriptedUi ui_{clock_};
    host::RecordingBus bus_{clock_};
    host::RecordingPower power_{clock_};
    host::ScopedPlatform platform_;
    ScopedUartSettings uart_;
    ModalDlg dlg_;  // after the platform: its settings key is opened at construction
};

}  // namespace dialog_test
