#include "tests/support/inprocess_board.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/exit_codes.h"
#include "device/board.h"
#include "download/download.h"
#include "host/board.h"
#include "host/registry.h"
#include "host/registry_names.h"
#include "host/resources.h"
#include "host/thread.h"
#include "sim/fwgen/fwgen.h"
#include "sim/modem_faults.h"

namespace sim {
namespace {

constexpr uint32_t kFirstRadioHandle = 0x1C0;  // "RIL1:"; "SPI2:" is 0x1C7
constexpr uint32_t kAtChannelBaud = 115200;
constexpr int64_t kThreadsEndUs = 60'000'000;

// Generated once per process: every board serves the same images.
const Bytes& GeneratedImage(fwgen::ImageKind kind) {
    static const Bytes sw = fwgen::GenerateImage(fwgen::ImageKind::kSw);
    static const Bytes fs = fwgen::GenerateImage(fwgen::ImageKind::kFs);
    return kind == fwgen::ImageKind::kSw ? sw : fs;
}

}  // namespace

// ---- the log and the journal ----

void TimedLog::Write(std::string_view text) {
    const int64_t now_us = clock_.now_us();
    std::function<void(std::string_view)> hook;
    int texts_at_instant = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back({now_us, std::string(text)});
        hook = hook_;
        texts_at_instant_ = now_us == instant_us_ ? texts_at_instant_ + 1 : 0;
        instant_us_ = now_us;
        texts_at_instant = texts_at_instant_;
    }
    // A thread that loops without ever waiting holds virtual time still, so the run's limit
    // could never end it: so many texts at one instant are reported as the hang they are.
    if (texts_at_instant == kMaxTextsAtOneInstant) {
        std::fprintf(
            stderr, "virtual clock: %d texts at %lld us without time moving; the last: %s\n",
            kMaxTextsAtOneInstant, static_cast<long long>(now_us), std::string(text).c_str());
        std::abort();
    }
    if (hook)
        hook(text);
}

void TimedLog::SetHook(std::function<void(std::string_view)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<TimedLog::Entry> TimedLog::Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<std::string> TimedLog::Texts() {
    std::vector<std::string> texts;
    for (const Entry& entry : Entries())
        texts.push_back(entry.text);
    return texts;
}

int TimedLog::Count(std::string_view text) {
    return static_cast<int>(TimesUs(text).size());
}

int TimedLog::CountStartingWith(std::string_view prefix) {
    int count = 0;
    for (const Entry& entry : Entries())
        count += entry.text.starts_with(prefix) ? 1 : 0;
    return count;
}

std::vector<int64_t> TimedLog::TimesUs(std::string_view text) {
    std::vector<int64_t> times;
    for (const Entry& entry : Entries()) {
        if (entry.text == text)
            times.push_back(entry.time_us);
    }
    return times;
}

std::vector<std::string> TimedLog::Before(std::string_view text) {
    const std::vector<std::string> texts = Texts();
    std::vector<std::string> found;
    for (size_t i = 1; i < texts.size(); ++i) {
        if (texts[i] == text)
            found.push_back(texts[i - 1]);
    }
    return found;
}

std::vector<int> TimedLog::Attempts() {
    static const std::string kPrefix = "\nDownload_image_times=";
    std::vector<int> attempts;
    for (const Entry& entry : Entries()) {
        if (entry.text.starts_with(kPrefix))
            attempts.push_back(std::stoi(entry.text.substr(kPrefix.size())));
    }
    return attempts;
}

void Journal::Add(std::string entry) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(entry);
        hook = hook_;
    }
    if (hook)
        hook(entry);
}

void Journal::SetHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<std::string> Journal::Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

int Journal::Count(std::string_view entry) {
    int count = 0;
    for (const std::string& seen : Entries())
        count += seen == entry ? 1 : 0;
    return count;
}

// ---- the far end ----

Bytes FarEnd::Receive(size_t count, uint32_t within_ms) {
    Bytes bytes(count);
    const int64_t deadline_us = board_.clock_.now_us() + int64_t{within_ms} * 1000;
    bytes.resize(link_.FarRead(bytes.data(), count, deadline_us));
    return bytes;
}

bool FarEnd::Stopping() {
    return board_.finished_;
}

// ---- the board ----

InProcessBoard::InProcessBoard()
    : platform_(MakePlatform()),
      com1_(ports_.AddDevice(L"COM1:")),
      vei1_(ports_.AddDevice(L"VEI1:")),
      line_(com1_),
      pins_(bus_, clock_),
      dlg_(std::make_unique<CUpdaterDlg>()),
      sw_(GeneratedImage(fwgen::ImageKind::kSw)),
      fs_(GeneratedImage(fwgen::ImageKind::kFs)) {
    // Anything a run fails to record is not taken for either outcome.
    SetUpdateOutcome(-1);
    ServeImages();
    bus_.Set(host::reg::kDvsControl, kDvsOtherBits);
    vei1_->SetFarBaud(kAtChannelBaud);
    phone_radio_ = radio_.AddRadio(host::kRadioTypePhone, true);
    radio_.LoadRadioStack(kFirstRadioHandle);
    radio_.LoadDriver(L"BKL1:", 0x100);  // no part of the radio stack: it stays loaded
    clock_.set_deadlock_handler([this](int64_t now_us) { ReportDeadlock(now_us); });
    JournalAccesses();
}

// The journal: the DWORD values of the settings key and the UART driver's key (the
// loaded-driver search is left out: its log lines tell it), and every serial open by name.
void InProcessBoard::JournalAccesses() {
    const std::wstring settings = host::FoldRegistryName(kSettingsKeyPath);
    const std::wstring uart = host::FoldRegistryName(kUartKeyPath);
    store_.SetValueObserver([this, settings, uart](const host::MemoryRegistry::ValueAccess& a) {
        if (a.key_path != settings && a.key_path != uart)
            return;
        if (!a.write) {
            journal_.Add("get " + host::Narrow(a.name));
        } else if (a.type == host::kRegDword && a.data.size() == sizeof(uint32_t)) {
            uint32_t value = 0;
            std::memcpy(&value, a.data.data(), sizeof value);
            journal_.Add("set " + host::Narrow(a.name) + "=" + std::to_string(value));
        }
    });
    ports_.SetOpenObserver(
        [this](const std::wstring& name) { journal_.Add("open " + host::Narrow(name)); });
}

InProcessBoard::~InProcessBoard() {
    model_.reset();
    dlg_.reset();
}

host::Platform InProcessBoard::MakePlatform() {
    return host::Platform{.clock = &clock_,
                          .log = &log_,
                          .resources = &resources_,
                          .serial = &ports_,
                          .registry = &store_,
                          .board = &bus_,
                          .power = &power_,
                          .ui = &ui_,
                          .radio = &radio_};
}

// A run that can no longer move says where it stood.
void InProcessBoard::ReportDeadlock(int64_t now_us) {
    const std::vector<TimedLog::Entry> entries = log_.Entries();
    std::fprintf(stderr, "virtual clock: deadlock at %lld us; the last debug texts:\n",
                 static_cast<long long>(now_us));
    for (size_t i = entries.size() > 30 ? entries.size() - 30 : 0; i < entries.size(); ++i)
        std::fprintf(stderr, "%12lld %s\n", static_cast<long long>(entries[i].time_us),
                     entries[i].text.c_str());
    std::abort();
}

void InProcessBoard::Provision(const BoardValues& values) {
    const auto put = [this](const wchar_t* path, const wchar_t* name, std::optional<uint32_t> v) {
        if (v)
            store_.PutDword(path, name, *v);
    };
    put(kSettingsKeyPath, L"DeviceName", values.device_name);
    put(kSettingsKeyPath, L"Reboot", values.reboot);
    put(kUartKeyPath, L"AWRCWR", values.awrcwr);
    put(kUartKeyPath, L"CLK", values.clk);
}

void InProcessBoard::SetImages(Bytes sw, Bytes fs) {
    own_sw_ = std::move(sw);
    own_fs_ = std::move(fs);
    sw_ = own_sw_;
    fs_ = own_fs_;
    ServeImages();
}

void InProcessBoard::ServeImages() {
    resources_.AddView(host::kBinType, host::kSwImageId, sw_.data(),
                       static_cast<uint32_t>(sw_.size()));
    resources_.AddView(host::kBinType, host::kFsImageId, fs_.data(),
                       static_cast<uint32_t>(fs_.size()));
}

bool InProcessBoard::SetModemFaults(const std::string& faults, std::string* error) {
    return ParseFaults(faults, &modem_options_.faults, error);
}

void InProcessBoard::ReplaceModem(std::function<void(FarEnd&)> script) {
    script_ = std::move(script);
}

void InProcessBoard::SetWireTime(bool enabled) {
    com1_->SetWireTime(enabled);
    vei1_->SetWireTime(enabled);
}

// ---- the runs ----

// What PrepareThread has done by the time it starts ReadThread.
bool InProcessBoard::PrepareDownload() {
    CUpdaterDlg& dlg = *dlg_;
    dlg.ClaimUpdateStart();
    dlg.m_nState = 0;
    dlg.m_settings.SetDWORD(L"Progress", 0);
    g_uartSettings->SetDWORD(L"CLK", 1);
    g_uartSettings->SetDWORD(L"AWRCWR", 0);
    dlg.m_hBacklightReq = RequireBacklight();
    if (!dlg.m_port.Open(L"COM", 1, 9600, 0, 8, 0, true))
        return false;
    SwitchCpldMode(kCpldModeDownload);
    dlg.m_bNeedRestore = true;
    return true;
}

// The calling thread stays registered from before the far ends start until every thread has
// ended: time must not move while it starts or stops them, or the model, waiting for its pins
// without a deadline, would be left to wait alone.
bool InProcessBoard::RunDownload() {
    if (!PrepareDownload())
        return false;
    host::ScopedClockThread self(clock_);
    StartFarEnds();
    host::StartThread(ReadThreadNoted, this);
    host::StartThread(PowerOnThread, nullptr);
    const int64_t limit_us = clock_.now_us() + int64_t{kRunLimitMs} * 1000;
    if (!clock_.wait_until_us(limit_us, [this] { return read_done_.load(); })) {
        over_limit_ = true;
        dlg_->m_bDownloadEnabled = false;
        dlg_->m_port.Close();
        clock_.wait_until_us(host::kForever, [this] { return read_done_.load(); });
    }
    return EndRun();
}

// The modal loop registers the thread once more; the clock counts nested registrations, and
// the dialog's wait for its workers compares counts taken inside the loop, so the board's own
// threads, which stay until the run is over, are not taken for workers.
bool InProcessBoard::RunDialog() {
    host::ScopedClockThread self(clock_);
    StartFarEnds();
    host::StartThread(LimitThread, this);
    modal_result_ = dlg_->DoModalAndWait(kWorkerGraceMs, &workers_ended_);
    return EndRun();
}

void InProcessBoard::StartFarEnds() {
    if (script_) {
        host::StartThread(FarEndThread, this);
    } else {
        model_ = std::make_unique<ModemModel>(line_, pins_, clock_, sw_, fs_, modem_options_);
        model_->Start();
    }
    host::StartThread(AtRecorderThread, this);
}

bool InProcessBoard::EndRun() {
    run_end_us_ = clock_.now_us();
    clock_.update([this] { finished_ = true; });
    if (model_) {
        model_->Stop();
        report_ = model_->Report();
    }
    const bool ended = clock_.wait_for_threads_to_end_us(clock_.now_us() + kThreadsEndUs);
    return ended && !over_limit_;
}

uint32_t InProcessBoard::ReadThreadNoted(void* param) {
    auto* board = static_cast<InProcessBoard*>(param);
    ReadThread(board->dlg_.get());
    board->clock_.update([board] { board->read_done_ = true; });
    return 0;
}

uint32_t InProcessBoard::PowerOnThread(void*) {
    host::DebugOut("Power on GSM Module\r\n");
    PowerOnGsmModule();
    return 0;
}

uint32_t InProcessBoard::FarEndThread(void* param) {
    auto* board = static_cast<InProcessBoard*>(param);
    FarEnd far(*board, *board->com1_);
    board->script_(far);
    return 0;
}

// Until the run is over.  A device that is gone answers a read at once, so the thread sleeps
// between empty reads.
uint32_t InProcessBoard::AtRecorderThread(void* param) {
    auto* board = static_cast<InProcessBoard*>(param);
    while (!board->finished_) {
        char bytes[64];
        const int64_t deadline_us = board->clock_.now_us() + 100'000;
        const size_t got = board->vei1_->FarRead(bytes, sizeof bytes, deadline_us);
        board->at_commands_.append(bytes, got);
        if (got == 0)
            board->clock_.sleep_ms(100);
    }
    return 0;
}

// Ends a dialog that outstays the limit, and with it the download, so that the run ends.  It
// stays until the run is over, like the recorder.
uint32_t InProcessBoard::LimitThread(void* param) {
    auto* board = static_cast<InProcessBoard*>(param);
    CUpdaterDlg& dlg = *board->dlg_;
    const int64_t deadline_us = board->clock_.now_us() + int64_t{kRunLimitMs} * 1000;
    if (!board->clock_.wait_until_us(deadline_us, [&dlg] { return dlg.IsClosed(); })) {
        board->over_limit_ = true;
        dlg.m_bDownloadEnabled = false;
        dlg.m_bStopWait = true;
        dlg.m_nImagePos = dlg.m_dwImageSize.load();
        dlg.EndDialog(-1);
    }
    board->clock_.wait_until_us(host::kForever, [board] { return board->finished_.load(); });
    return 0;
}

// ---- what the run left ----

uint32_t InProcessBoard::Settings(const std::wstring& name) {
    uint32_t value = kMissing;
    store_.GetDwordAt(kSettingsKeyPath, name, &value);
    return value;
}

uint32_t InProcessBoard::Uart(const std::wstring& name) {
    uint32_t value = kMissing;
    store_.GetDwordAt(kUartKeyPath, name, &value);
    return value;
}

std::vector<uint32_t> InProcessBoard::Writes(uint32_t address) {
    std::vector<uint32_t> values;
    for (const host::BusAccess& access : bus_.Accesses()) {
        if (access.kind == host::BusAccess::kWrite && access.address == address)
            values.push_back(access.value);
    }
    return values;
}

int InProcessBoard::RisingEdges(uint32_t address, uint32_t bit) {
    int edges = 0;
    bool high = false;
    for (uint32_t value : Writes(address)) {
        const bool now_high = (value & bit) != 0;
        edges += now_high && !high ? 1 : 0;
        high = now_high;
    }
    return edges;
}

}  // namespace sim
