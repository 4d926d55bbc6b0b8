#include "tests/update/update_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/board.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/resources.h"
#include "host/thread.h"
#include "res/dialog_template.h"
#include "sim/modem_faults.h"
#include "tools/fwgen/fwgen.h"

namespace update_test {
namespace {

using download_test::Bytes;

constexpr uint32_t kFirstRadioHandle = 0x1C0;   // RIL1: 1c0 ... SPI2: 1c7 (subkeys 01 to 08)
constexpr uint32_t kDvsOtherBits = 0x00000F00;  // must survive the power-saving switches
constexpr size_t kAtBytes = 22;                 // "AT*USER1OFF\r" and "AT+CFUN=0\r"

// Generated once per process: every run uses the same images.
const Bytes& SwImage() {
    static const Bytes image = fwgen::GenerateImage(fwgen::ImageKind::kSw);
    return image;
}

const Bytes& FsImage() {
    static const Bytes image = fwgen::GenerateImage(fwgen::ImageKind::kFs);
    return image;
}

}  // namespace

// ---- journal ----

void Journal::Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::vector<std::string> Journal::Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

long JournalRegistry::CreateKey(host::RegKey root, const std::wstring& path, host::RegKey* key) {
    const long result = store_.CreateKey(root, path, key);
    Note(result, root == host::kHkeyLocalMachine ? path : L"", *key);
    return result;
}

long JournalRegistry::OpenKey(host::RegKey root, const std::wstring& path, host::RegKey* key) {
    const long result = store_.OpenKey(root, path, key);
    Note(result, root == host::kHkeyLocalMachine ? path : L"", *key);
    return result;
}

long JournalRegistry::CloseKey(host::RegKey key) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.erase(key);
    }
    return store_.CloseKey(key);
}

void JournalRegistry::Note(long result, const std::wstring& path, host::RegKey key) {
    if (result != host::kRegOk || (path != kSettingsKeyPath && path != kUartKeyPath))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    paths_[key] = path;
}

bool JournalRegistry::Journalled(host::RegKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_.count(key) != 0;
}

long JournalRegistry::SetValue(host::RegKey key, const std::wstring& name, uint32_t type,
                               const void* data, uint32_t size) {
    if (Journalled(key) && type == host::kRegDword && size == 4) {
        uint32_t value = 0;
        std::memcpy(&value, data, 4);
        journal_.Add("set " + host::Narrow(name) + "=" + std::to_string(value));
    }
    return store_.SetValue(key, name, type, data, size);
}

long JournalRegistry::QueryValue(host::RegKey key, const std::wstring& name, uint32_t* type,
                                 void* data, uint32_t* size) {
    if (Journalled(key))
        journal_.Add("get " + host::Narrow(name));
    return store_.QueryValue(key, name, type, data, size);
}

host::SerialHandle JournalSerial::Open(const std::wstring& name, uint32_t* error) {
    journal_.Add("open " + host::Narrow(name));
    const host::SerialHandle handle = ports_.Open(name, error);
    if (hook_)
        hook_(name);
    return handle;
}

// ---- the run ----

UpdateRun::UpdateRun()
    : platform_(MakePlatform()),
      com1_(ports_.AddDevice(L"COM1:")),
      vei1_(ports_.AddDevice(L"VEI1:")),
      line_(com1_),
      pins_(bus_, clock_) {
    // Anything the run fails to record is not taken for either outcome.
    SetUpdateOutcome(-1);
    resources_.AddView(host::kBinType, host::kSwImageId, SwImage().data(),
                       static_cast<uint32_t>(SwImage().size()));
    resources_.AddView(host::kBinType, host::kFsImageId, FsImage().data(),
                       static_cast<uint32_t>(FsImage().size()));
    bus_.Set(host::reg::kDvsControl, kDvsOtherBits);
    vei1_->SetFarBaud(115200);
    phone_radio_ = radio_.AddRadio(host::kRadioTypePhone, true);
    radio_.LoadRadioStack(kFirstRadioHandle);
    radio_.LoadDriver(L"BKL1:", 0x100);  // subkey 09
    // A run that can no longer move says where it stood.
    clock_.SetDeadlockHandler([this](int64_t now_us) {
        const std::vector<download_test::TimedLog::Entry> entries = log_.Entries();
        std::fprintf(stderr, "virtual clock: deadlock at %lld us; the last debug texts:\n",
                     static_cast<long long>(now_us));
        for (size_t i = entries.size() > 30 ? entries.size() - 30 : 0; i < entries.size(); ++i)
            std::fprintf(stderr, "%12lld %s\n", static_cast<long long>(entries[i].time_us),
                         entries[i].text.c_str());
        std::abort();
    });
}

UpdateRun::~UpdateRun() {
    model_.reset();
    dlg_.reset();
}

host::Platform UpdateRun::MakePlatform() {
    host::Platform platform;
    platform.clock = &clock_;
    platform.log = &log_;
    platform.resources = &resources_;
    platform.serial = &serial_;
    platform.registry = &registry_;
    platform.ui = &ui_;
    platform.board = &bus_;
    platform.power = &power_;
    platform.radio = &radio_;
    return platform;
}

// Both helpers stay until the run is over, so that the dialog's wait for its workers counts
// the workers alone.
void UpdateRun::WaitForTheEnd() {
    clock_.wait_until_us(host::kForever, [this] { return finished_.load(); });
}

// The far end of "VEI1:" until both commands are in or the run is over.  A device that is
// gone answers a read at once, so the thread sleeps between empty reads.
uint32_t UpdateRun::AtRecorderThread(void* param) {
    auto* run = static_cast<UpdateRun*>(param);
    while (!run->finished_ && run->at_commands_.size() < kAtBytes) {
        char bytes[kAtBytes];
        const size_t wanted = kAtBytes - run->at_commands_.size();
        const size_t got = run->vei1_->FarRead(bytes, wanted, run->clock_.now_us() + 100'000);
        run->at_commands_.append(bytes, got);
        if (got == 0)
            run->clock_.sleep_ms(100);
    }
    run->WaitForTheEnd();
    return 0;
}

// Ends a dialog that outstays the limit, and with it the download, so that the run ends.
uint32_t UpdateRun::LimitThread(void* param) {
    auto* run = static_cast<UpdateRun*>(param);
    CUpdaterDlg& dlg = *run->dlg_;
    const int64_t deadline_us = run->clock_.now_us() + int64_t{run->limit_ms_} * 1000;
    if (!run->clock_.wait_until_us(deadline_us, [&dlg] { return dlg.IsClosed(); })) {
        ADD_FAILURE() << "the dialog is still open after " << run->limit_ms_ << " ms";
        dlg.m_bDownloadEnabled = false;
        dlg.m_bStopWait = true;
        dlg.m_nImagePos = dlg.m_dwImageSize.load();
        dlg.EndDialog(-1);
    }
    run->WaitForTheEnd();
    return 0;
}

// The test's thread is the UI thread.  It registers with the clock before it starts the
// helpers and stays registered after the modal loop, so that time cannot move while it starts
// or stops them: the model, waiting for its pins without a deadline, must never be left to
// wait alone.  The modal loop registers the thread once more; the clock counts nested
// registrations, and the dialog's wait for its workers compares counts taken inside the loop.
void UpdateRun::Run(const std::string& faults, uint32_t limit_ms) {
    sim::ModemOptions options;
    std::string error;
    ASSERT_TRUE(sim::ParseFaults(faults, &options.faults, &error)) << error;
    model_ = std::make_unique<sim::ModemModel>(line_, pins_, clock_, SwImage(), FsImage(), options);
    dlg_ = std::make_unique<CUpdaterDlg>();
    limit_ms_ = limit_ms;

    host::ScopedClockThread self(clock_);
    model_->Start();
    host::StartThread(AtRecorderThread, this);
    host::StartThread(LimitThread, this);
    modal_result_ = dlg_->DoModalAndWait(kWorkerGraceMs, &workers_ended_);
    clock_.Update([this] { finished_ = true; });
    model_->Stop();
    report_ = model_->Report();
    EXPECT_TRUE(clock_.WaitForThreadsToEnd(clock_.now_us() + 60'000'000));
}

// ---- what the run left ----

uint32_t UpdateRun::Settings(const std::wstring& name) {
    uint32_t value = kMissing;
    store_.GetDwordAt(kSettingsKeyPath, name, &value);
    return value;
}

uint32_t UpdateRun::Uart(const std::wstring& name) {
    uint32_t value = kMissing;
    store_.GetDwordAt(kUartKeyPath, name, &value);
    return value;
}

std::vector<uint32_t> UpdateRun::Writes(uint32_t address) {
    std::vector<uint32_t> values;
    for (const host::BusAccess& access : bus_.Accesses()) {
        if (access.kind == host::BusAccess::kWrite && access.address == address)
            values.push_back(access.value);
    }
    return values;
}

int UpdateRun::RisingEdges(uint32_t address, uint32_t bit) {
    int edges = 0;
    bool high = false;
    for (uint32_t value : Writes(address)) {
        const bool now_high = (value & bit) != 0;
        edges += now_high && !high ? 1 : 0;
        high = now_high;
    }
    return edges;
}

std::vector<std::wstring> UpdateRun::ActiveSubkeys() {
    std::vector<std::wstring> subkeys;
    host::RegKey active = 0;
    if (store_.OpenKey(host::kHkeyLocalMachine, host::kActiveDriversKey, &active) != host::kRegOk)
        return subkeys;
    for (uint32_t index = 0;; ++index) {
        wchar_t name[64];
        uint32_t chars = 64;
        if (store_.EnumKey(active, index, name, &chars) != host::kRegOk)
            break;
        subkeys.emplace_back(name);
    }
    store_.CloseKey(active);
    return subkeys;
}

int64_t UpdateRun::FirstTimeUs(std::string_view text) {
    const std::vector<int64_t> times = log_.TimesUs(text);
    return times.empty() ? -1 : times.front();
}

int64_t UpdateRun::TextTimeUs(int id, const std::wstring& text) {
    for (const host::ScriptedUi::TextChange& change : ui_.TextsOf(id)) {
        if (change.text == text)
            return change.time_us;
    }
    return -1;
}

int UpdateRun::JournalCount(const std::string& entry) {
    int count = 0;
    for (const std::string& seen : journal_.Entries())
        count += seen == entry ? 1 : 0;
    return count;
}

// ---- shared expectations ----

void UpdateRun::ExpectClosedAndRestored() {
    EXPECT_EQ(modal_result_, host::kIdOk);
    EXPECT_TRUE(workers_ended_) << "workers still held the dialog after its end";
    EXPECT_FALSE(ui_.IsOpen());
    EXPECT_EQ(Uart(L"AWRCWR"), 1u);
    EXPECT_EQ(Uart(L"CLK"), 1u);
    const std::vector<uint32_t> modes = Writes(host::reg::kCpldMode);
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes.back(), 1u);
    EXPECT_FALSE(com1_->NearIsOpen());
    const std::vector<host::RecordingPower::Requirement> held = power_.Requirements();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].device, L"BKL1:");
    EXPECT_EQ(held[0].device_state, host::kDevicePowerD0);
    EXPECT_TRUE(held[0].released_us.has_value());
    EXPECT_EQ(power_.BadReleaseCount(), 0);
    // Power saving off for the run, on again at the end; the word's other bits kept.
    EXPECT_EQ(Writes(host::reg::kDvsControl),
              (std::vector<uint32_t>{kDvsOtherBits | 1u, kDvsOtherBits}));
}

void UpdateRun::ExpectDownloadCompleted() {
    ExpectClosedAndRestored();
    EXPECT_EQ(UpdateOutcome(), kExitSuccess);
    EXPECT_EQ(Settings(L"Progress"), 100u);
    EXPECT_EQ(report_.sw.records_confirmed, 1667u);
    EXPECT_EQ(report_.fs.records_confirmed, 885u);
    EXPECT_EQ(report_.errors, 0u);
    EXPECT_EQ(log_.Count("  Modem Download_Success  !!!!!!!    \r\n"), 1);
    // The completion writes AWRCWR 1 itself and again through the restore.
    EXPECT_EQ(JournalCount("set AWRCWR=1"), 2);
    EXPECT_EQ(Writes(host::reg::kCpldMode), (std::vector<uint32_t>{6, 1}));
    EXPECT_EQ(Writes(host::reg::kUart0Mcr), std::vector<uint32_t>{0});
    EXPECT_EQ(Writes(host::reg::kCpldAux), std::vector<uint32_t>{2});
    EXPECT_EQ(RisingEdges(host::reg::kGpioBDat, sim::kPowerKeyBit), 1);
    EXPECT_EQ(RisingEdges(host::reg::kGpioADat, sim::kResetLineBit), 0);
    const host::DialogState state = ui_.State();
    EXPECT_EQ(state.Find(res::kIdcStatus)->text, L"Processing...  ");
    EXPECT_FALSE(state.Find(res::kIdcTimeLeft)->visible);
    EXPECT_EQ(state.Find(res::kIdcProgress)->position, 480);
}

}  // namespace update_test
