// Whole update runs in virtual time, from the dialog's OnInitDialog to its end: the dialog's
// modal loop on the test's thread (as InitInstance runs it), PrepareThread, CountdownThread,
// the radio stack shutdown, ReadThread and ResetThread against the modem model with the
// generated images, and the teardown.
//
// The simulated platform around the run: a registry in memory (behind a journal of the
// settings' and the UART driver's values), the scripted front-end, a recording register bus
// (the modem model watches its pins) and power manager, simulated serial devices ("COM1:" to
// the model, "VEI1:" whose far end keeps what the updater sends) and a simulated radio stack:
// a phone radio that is on, the radio drivers loaded under "Drivers\Active" (subkeys 01 to 08)
// and one unrelated driver (subkey 09) that must survive the shutdown.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "host/registry.h"
#include "host/serial.h"
#include "host/sim/memory_registry.h"
#include "host/sim/memory_resources.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/sim_radio.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"
#include "sim/board_pins.h"
#include "sim/modem_line.h"
#include "sim/modem_model.h"
#include "tests/download/update_bench.h"

namespace update_test {

constexpr uint32_t kProgressFailed = 0xFFFFFFFF;
constexpr uint32_t kMissing = 0xDEADBEEF;  // what Settings() and Uart() answer for no value

// Registry values and serial opens in the order they happen, one text each:
// "set AWRCWR=0", "get AWRCWR", "open COM1:".
class Journal {
  public:
    void Add(std::string entry);
    std::vector<std::string> Entries();

  private:
    std::mutex mutex_;
    std::vector<std::string> entries_;
};

// The registry in memory, journalling the DWORD values of the settings key and the UART
// driver's key (the loaded-driver search is left out: it is checked through its log lines).
class JournalRegistry final : public host::Registry {
  public:
    JournalRegistry(host::MemoryRegistry& store, Journal& journal)
        : store_(store), journal_(journal) {}

    long CreateKey(host::RegKey root, const std::wstring& path, host::RegKey* key) override;
    long OpenKey(host::RegKey root, const std::wstring& path, host::RegKey* key) override;
    long CloseKey(host::RegKey key) override;
    long DeleteKey(host::RegKey root, const std::wstring& path) override {
        return store_.DeleteKey(root, path);
    }
    long SetValue(host::RegKey key, const std::wstring& name, uint32_t type, const void* data,
                  uint32_t size) override;
    long QueryValue(host::RegKey key, const std::wstring& name, uint32_t* type, void* data,
                    uint32_t* size) override;
    long EnumKey(host::RegKey key, uint32_t index, wchar_t* name, uint32_t* chars) override {
        return store_.EnumKey(key, index, name, chars);
    }

  private:
    void Note(long result, const std::wstring& path, host::RegKey key);
    bool Journalled(host::RegKey key);

    host::MemoryRegistry& store_;
    Journal& journal_;
    std::mutex mutex_;
    std::map<host::RegKey, std::wstring> paths_;
};

// The simulated serial devices, journalling every open by name; a hook sees each open after
// it has been answered.
class JournalSerial final : public host::SerialPorts {
  public:
    JournalSerial(host::SimSerialPorts& ports, Journal& journal)
        : ports_(ports), journal_(journal) {}
    void SetOpenHook(std::function<void(const std::wstring&)> hook) { hook_ = std::move(hook); }

    host::SerialHandle Open(const std::wstring& name, uint32_t* error) override;
    bool GetState(host::SerialHandle port, host::SerialState* state) override {
        return ports_.GetState(port, state);
    }
    bool SetState(host::SerialHandle port, const host::SerialState& state) override {
        return ports_.SetState(port, state);
    }
    bool SetTimeouts(host::SerialHandle port, const host::SerialTimeouts& timeouts) override {
        return ports_.SetTimeouts(port, timeouts);
    }
    bool SetQueues(host::SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) override {
        return ports_.SetQueues(port, rx_bytes, tx_bytes);
    }
    bool ClearErrors(host::SerialHandle port) override { return ports_.ClearErrors(port); }
    bool Read(host::SerialHandle port, void* buffer, uint32_t count, uint32_t* got) override {
        return ports_.Read(port, buffer, count, got);
    }
    bool Write(host::SerialHandle port, const void* buffer, uint32_t count,
               uint32_t* written) override {
        return ports_.Write(port, buffer, count, written);
    }
    bool Close(host::SerialHandle port) override { return ports_.Close(port); }

  private:
    host::SimSerialPorts& ports_;
    Journal& journal_;
    std::function<void(const std::wstring&)> hook_;  // set before the run only
};

// The fixture's parts are public: parameterized cases set them up from outside.
class UpdateRun : public ::testing::Test {
  public:
    UpdateRun();
    ~UpdateRun() override;

    // Runs the dialog to its end with the modem model (faults in the model's text form) at
    // the far end of "COM1:".  A dialog still open limit_ms into the run fails the test and
    // is ended.  Returns once every thread of the run has ended.
    void Run(const std::string& faults = "", uint32_t limit_ms = 900000);

    uint32_t Settings(const std::wstring& name);
    uint32_t Uart(const std::wstring& name);
    // Values written to a register, in order (the CPLD mode: 6 download path, 1 normal).
    std::vector<uint32_t> Writes(uint32_t address);
    // Rising edges of one bit of a register, as written on the bus.
    int RisingEdges(uint32_t address, uint32_t bit);
    // Subkeys left under "Drivers\Active".
    std::vector<std::wstring> ActiveSubkeys();
    // Virtual time of the first debug text equal to `text`, or -1.
    int64_t FirstTimeUs(std::string_view text);
    // Virtual time at which control `id` first got `text`, or -1.
    int64_t TextTimeUs(int id, const std::wstring& text);
    // How many journal entries equal `entry`.
    int JournalCount(const std::string& entry);

    // The end every run shares: the dialog closed through the close guard with the workers
    // gone, the board's modem path and the UART driver restored, the port closed, the
    // backlight released and power saving back on.
    void ExpectClosedAndRestored();
    // A confirmed download of both images, ended by the completion.
    void ExpectDownloadCompleted();

    // The platform, in construction order.
    host::VirtualClock clock_;
    download_test::TimedLog log_{clock_};
    Journal journal_;
    host::MemoryRegistry store_;
    JournalRegistry registry_{store_, journal_};
    host::ScriptedUi ui_{clock_};
    host::RecordingBus bus_{clock_};
    host::RecordingPower power_{clock_};
    host::SimSerialPorts ports_;
    JournalSerial serial_{ports_, journal_};
    host::MemoryResources resources_;
    host::SimRadio radio_{&store_, &ports_};
    host::ScopedPlatform platform_;
    ScopedUartSettings uart_;
    std::shared_ptr<host::SimLink> com1_;
    std::shared_ptr<host::SimLink> vei1_;
    uint32_t phone_radio_ = 0;

    // The run and what it left.
    std::unique_ptr<CUpdaterDlg> dlg_;
    int modal_result_ = 0;
    bool workers_ended_ = false;
    sim::ModemReport report_;
    std::string at_commands_;  // what reached the far end of "VEI1:"

  private:
    void WaitForTheEnd();
    static uint32_t AtRecorderThread(void* param);
    static uint32_t LimitThread(void* param);
    host::Platform MakePlatform();

    sim::SimModemLine line_;
    sim::BusPins pins_;
    std::unique_ptr<sim::ModemModel> model_;
    uint32_t limit_ms_ = 0;
    // Read by the helper threads' wait predicates; changed through the clock.
    std::atomic<bool> finished_{false};
};

}  // namespace update_test
