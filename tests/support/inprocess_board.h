// The virtual board in-process, in virtual time: every service of the platform simulated and
// installed for the life of the object, the update dialog, and at the far ends of the serial
// devices the modem model ("COM1:", wired to the register bus's pins) and a recorder of what
// the updater sends over the AT channel ("VEI1:").
//
// The board as it starts: the generated SW and FS images as resources 130 and 135, a phone
// radio that is on, the radio stack loaded under "Drivers\Active" (subkeys 01 to 08: "RIL1:",
// "VEI1:" to "VEI5:", "MUX1:", "SPI2:") and one unrelated driver ("BKL1:", subkey 09), the DVS
// control word with bits of its own besides the power-saving bit, and the UART driver's key
// open as the application's start leaves it.
//
// Two runs, one per board, each returning once every thread it started has ended:
// - RunDownload(): the download alone, ReadThread started as PrepareThread leaves things (port
//   open at 9600, CPLD mode 6, restore armed, backlight held) with the power-on pulse on a
//   thread of its own;
// - RunDialog(): a whole update, the dialog's modal loop on the calling thread as InitInstance
//   runs it, from OnInitDialog to the closed dialog.
// A run still going kRunLimitMs into it is stopped and reported as failed, so that a fault in
// the updater ends in a failed check and not in a run that never ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
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
#include "host/sim/sim_radio.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"
#include "sim/board_pins.h"
#include "sim/modem_line.h"
#include "sim/modem_model.h"
#include "sim/modem_report.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// The debug output with the virtual time of every text.  A hook sees each text on the thread
// that writes it, after it is recorded.
class TimedLog final : public host::LogSink {
  public:
    struct Entry {
        int64_t time_us;
        std::string text;
    };
    explicit TimedLog(host::TimeSource& clock) : clock_(clock) {}
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
    static constexpr int kMaxTextsAtOneInstant = 200000;

    host::TimeSource& clock_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::function<void(std::string_view)> hook_;
    int64_t instant_us_ = -1;
    int texts_at_instant_ = 0;
};

// The DWORD values set and read under the settings key and the UART driver's key, and the
// serial opens, one text each in the order they happen: "set AWRCWR=0", "get AWRCWR",
// "open COM1:" (as the open is made, before it is answered).  A hook sees each entry after it is
// recorded.
class Journal {
  public:
    void Add(std::string entry);
    void SetHook(std::function<void(const std::string&)> hook);
    std::vector<std::string> Entries();
    int Count(std::string_view entry);

  private:
    std::mutex mutex_;
    std::vector<std::string> entries_;
    std::function<void(const std::string&)> hook_;
};

class InProcessBoard;

// A script's end of "COM1:" in place of the modem model, on a registered thread of its own.
class FarEnd {
  public:
    FarEnd(InProcessBoard& board, host::SimLink& link) : board_(board), link_(link) {}
    void Send(const Bytes& bytes) { link_.FarWrite(bytes); }
    // Returns once `count` bytes have come or within_ms has passed, with what came.
    Bytes Receive(size_t count, uint32_t within_ms);
    void SetBaud(uint32_t baud) { link_.SetFarBaud(baud); }
    // Set once the run's main part is over; a script that loops must end on it.
    bool Stopping();

  private:
    InProcessBoard& board_;
    host::SimLink& link_;
};

// What the board's registry holds before the run; an empty value is no value at all.
struct BoardValues {
    std::optional<uint32_t> device_name;  // settings key
    std::optional<uint32_t> reboot;
    std::optional<uint32_t> awrcwr;  // the UART driver's key
    std::optional<uint32_t> clk;
};

class InProcessBoard {
  public:
    static constexpr uint32_t kRunLimitMs = 900000;
    static constexpr uint32_t kMissing = 0xDEADBEEF;       // Settings() and Uart() of no value
    static constexpr uint32_t kDvsOtherBits = 0x00000F00;  // preset; the updater must keep them

    InProcessBoard();
    ~InProcessBoard();
    InProcessBoard(const InProcessBoard&) = delete;
    InProcessBoard& operator=(const InProcessBoard&) = delete;

    // ---- before the run ----
    void Provision(const BoardValues& values);
    // Images served instead of the generated ones; the model follows the same ones.
    void SetImages(Bytes sw, Bytes fs);
    // The modem model's faults, in its text form; false, with the reason, when they do not
    // parse.
    bool SetModemFaults(const std::string& faults, std::string* error);
    // A script at the far end of "COM1:" instead of the modem model, started with the run.
    void ReplaceModem(std::function<void(FarEnd&)> script);
    // Every byte costs its time on the wire of both devices.
    void SetWireTime(bool enabled);

    // ---- the runs ----
    // The preparation's part of RunDownload alone, for callers that start threads of their
    // own; false when COM1: did not open.
    bool PrepareDownload();
    // True when the run ended by itself within the limit and every thread has ended.
    bool RunDownload();
    bool RunDialog();

    // ---- what the run left ----
    uint32_t Settings(const std::wstring& name);
    uint32_t Uart(const std::wstring& name);
    // Values written to a register, in order.
    std::vector<uint32_t> Writes(uint32_t address);
    // Rising edges of one bit of a register, as written on the bus.
    int RisingEdges(uint32_t address, uint32_t bit);
    // What the model saw, taken when it stopped.
    const ModemReport& report() const { return report_; }
    // What reached the far end of "VEI1:".
    const std::string& at_commands() const { return at_commands_; }
    // When the run's main part ended: ReadThread's end, or the modal loop's.
    int64_t run_end_us() const { return run_end_us_; }
    int modal_result() const { return modal_result_; }
    bool workers_ended() const { return workers_ended_; }

    // ---- the parts ----
    host::VirtualClock& clock() { return clock_; }
    TimedLog& log() { return log_; }
    Journal& journal() { return journal_; }
    host::MemoryRegistry& store() { return store_; }  // its Put and Get helpers go unjournalled
    host::ScriptedUi& ui() { return ui_; }
    host::RecordingBus& bus() { return bus_; }
    host::RecordingPower& power() { return power_; }
    host::MemoryResources& resources() { return resources_; }
    host::SimRadio& radio() { return radio_; }
    uint32_t phone_radio() const { return phone_radio_; }
    host::SimLink& com1() { return *com1_; }
    host::SimLink& vei1() { return *vei1_; }
    CUpdaterDlg& dialog() { return *dlg_; }

  private:
    friend class FarEnd;
    host::Platform MakePlatform();
    void ServeImages();
    void ReportDeadlock(int64_t now_us);
    void StartFarEnds();
    bool EndRun();
    void JournalAccesses();
    static uint32_t ReadThreadNoted(void* param);
    static uint32_t PowerOnThread(void* param);
    static uint32_t FarEndThread(void* param);
    static uint32_t AtRecorderThread(void* param);
    static uint32_t LimitThread(void* param);

    // The platform, in construction order.
    host::VirtualClock clock_;
    TimedLog log_{clock_};
    Journal journal_;
    host::MemoryRegistry store_;
    host::ScriptedUi ui_{clock_};
    host::RecordingBus bus_{clock_};
    host::RecordingPower power_{clock_};
    host::SimSerialPorts ports_;
    host::MemoryResources resources_;
    host::SimRadio radio_{&store_, &ports_};
    host::ScopedPlatform platform_;
    ScopedUartSettings uart_;
    std::shared_ptr<host::SimLink> com1_;
    std::shared_ptr<host::SimLink> vei1_;
    uint32_t phone_radio_ = 0;
    SimModemLine line_;
    BusPins pins_;
    // The dialog after the platform: its settings key opens at construction.
    std::unique_ptr<CUpdaterDlg> dlg_;

    Bytes own_sw_;
    Bytes own_fs_;
    std::span<const uint8_t> sw_;
    std::span<const uint8_t> fs_;
    ModemOptions modem_options_;
    std::function<void(FarEnd&)> script_;
    std::unique_ptr<ModemModel> model_;

    // Read by wait predicates; changed through the clock.
    std::atomic<bool> finished_{false};
    std::atomic<bool> read_done_{false};
    std::atomic<bool> over_limit_{false};

    ModemReport report_;
    std::string at_commands_;
    int64_t run_end_us_ = 0;
    int modal_result_ = 0;
    bool workers_ended_ = false;
};

}  // namespace sim
