#include "tests/download/update_bench.h"

#include <cstdio>
#include <cstdlib>

#include "device/board.h"
#include "download/download.h"
#include "host/board.h"
#include "host/thread.h"
#include "sim/modem_faults.h"

namespace download_test {

// ---- images ----

ImageBuilder::ImageBuilder() {
    Add(kRead, {0x7A}, 0).Add(kWrite, {0x3F}, 0).Add(kRead, kBootAnswer, 0);
    Add(kWrite, {0x53, 0x36}, 0).Add(kWrite, {0x51}, 0);
}

ImageBuilder& ImageBuilder::Add(uint8_t direction, const Bytes& payload, uint8_t stage) {
    const auto n = static_cast<uint32_t>(payload.size());
    bytes_.insert(bytes_.end(), {0xBB, stage, 0x00, direction, static_cast<uint8_t>(n),
                                 static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                                 static_cast<uint8_t>(n >> 24)});
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    return *this;
}

ImageBuilder& ImageBuilder::Raw(uint8_t direction, uint32_t length, const Bytes& payload) {
    Add(direction, payload);
    const size_t header = bytes_.size() - payload.size() - 8;
    for (int i = 0; i < 4; ++i)
        bytes_[header + 4 + i] = static_cast<uint8_t>(length >> (8 * i));
    return *this;
}

// ---- the log ----

void TimedLog::Write(std::string_view text) {
    const int64_t now_us = clock_.now_us();
    std::function<void(std::string_view)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back({now_us, std::string(text)});
        hook = hook_;
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

// ---- the far end ----

Bytes FarEnd::Receive(size_t count, uint32_t within_ms) {
    Bytes bytes(count);
    const int64_t deadline_us = bench_.clock_.now_us() + int64_t{within_ms} * 1000;
    bytes.resize(link_.FarRead(bytes.data(), count, deadline_us));
    return bytes;
}

bool FarEnd::Stopping() {
    return bench_.stopping_;
}

// ---- the bench ----

UpdateBench::UpdateBench()
    : platform_(MakePlatform()),
      link_(ports_.AddDevice(L"COM1:")),
      dlg_(std::make_unique<CUpdaterDlg>()),
      line_(link_),
      pins_(bus_, clock_) {
    bus_.Set(host::reg::kDvsControl, 0);
    // A run that can no longer move says where it stood.
    clock_.SetDeadlockHandler([this](int64_t now_us) {
        const std::vector<TimedLog::Entry> entries = log_.Entries();
        std::fprintf(stderr, "virtual clock: deadlock at %lld us; the last debug texts:\n",
                     static_cast<long long>(now_us));
        for (size_t i = entries.size() > 30 ? entries.size() - 30 : 0; i < entries.size(); ++i)
            std::fprintf(stderr, "%12lld %s\n", static_cast<long long>(entries[i].time_us),
                         entries[i].text.c_str());
        std::abort();
    });
}

UpdateBench::~UpdateBench() {
    model_.reset();
    dlg_.reset();
}

host::Platform UpdateBench::MakePlatform() {
    host::Platform platform;
    platform.clock = &clock_;
    platform.log = &log_;
    platform.resources = &resources_;
    platform.serial = &ports_;
    platform.registry = &registry_;
    platform.ui = &ui_;
    platform.board = &bus_;
    platform.power = &power_;
    return platform;
}

void UpdateBench::SetImages(Bytes sw, Bytes fs) {
    sw_ = std::move(sw);
    fs_ = std::move(fs);
    resources_.AddView(host::kBinType, host::kSwImageId, sw_.data(),
                       static_cast<uint32_t>(sw_.size()));
    resources_.AddView(host::kBinType, host::kFsImageId, fs_.data(),
                       static_cast<uint32_t>(fs_.size()));
}

void UpdateBench::AttachModem(const std::string& faults) {
    modem_options_ = std::make_unique<sim::ModemOptions>();
    std::string error;
    EXPECT_TRUE(sim::ParseFaults(faults, &modem_options_->faults, &error)) << error;
}

void UpdateBench::AttachFarEnd(std::function<void(FarEnd&)> script) {
    script_ = std::move(script);
}

uint32_t UpdateBench::FarEndThread(void* param) {
    auto* bench = static_cast<UpdateBench*>(param);
    FarEnd far(*bench, *bench->link_);
    bench->script_(far);
    return 0;
}

// What PrepareThread has done by the time it starts ReadThread.
void UpdateBench::Prepare() {
    CUpdaterDlg& dlg = *dlg_;
    dlg.ClaimUpdateStart();
    dlg.m_nState = 0;
    dlg.m_settings.SetDWORD(L"Progress", 0);
    g_uartSettings->SetDWORD(L"CLK", 1);
    g_uartSettings->SetDWORD(L"AWRCWR", 0);
    dlg.m_hBacklightReq = RequireBacklight();
    ASSERT_TRUE(dlg.m_port.Open(L"COM", 1, 9600, 0, 8, 0, true));
    SwitchCpldMode(6);
    dlg.m_bNeedRestore = true;
}

uint32_t UpdateBench::ReadThreadNoted(void* param) {
    auto* bench = static_cast<UpdateBench*>(param);
    ReadThread(bench->dlg_.get());
    const int64_t now_us = bench->clock_.now_us();
    bench->clock_.Update([&] {
        bench->read_end_us_ = now_us;
        bench->read_done_ = true;
    });
    return 0;
}

uint32_t UpdateBench::PowerOnThread(void*) {
    host::DebugOut("Power on GSM Module\r\n");
    PowerOnGsmModule();
    return 0;
}

// This thread stays registered throughout: time must not move while it acts between its
// waits, or the model, waiting without a deadline for the stop, would be left alone.
void UpdateBench::RunUpdate(uint32_t limit_ms) {
    Prepare();
    host::ScopedClockThread self(clock_);
    start_us_ = clock_.now_us();
    if (modem_options_) {
        model_ = std::make_unique<sim::ModemModel>(line_, pins_, clock_, sw_, fs_, *modem_options_);
        model_->Start();
    }
    if (script_)
        host::StartThread(FarEndThread, this);
    host::StartThread(ReadThreadNoted, this);
    host::StartThread(PowerOnThread, nullptr);
    const int64_t limit_us = start_us_ + int64_t{limit_ms} * 1000;
    if (!clock_.wait_until_us(limit_us, [this] { return read_done_; })) {
        ADD_FAILURE() << "ReadThread still runs after " << limit_ms << " ms";
        dlg_->m_bDownloadEnabled = false;
        dlg_->m_port.Close();
        clock_.wait_until_us(host::kForever, [this] { return read_done_; });
    }
    clock_.Update([this] { stopping_ = true; });
    if (model_) {
        model_->Stop();
        report_ = model_->Report();
    }
    EXPECT_TRUE(clock_.WaitForThreadsToEnd(clock_.now_us() + 60'000'000));
}

uint32_t UpdateBench::Settings(const std::wstring& name) {
    uint32_t value = 0xDEADBEEF;
    registry_.GetDwordAt(kSettingsKeyPath, name, &value);
    return value;
}

std::vector<uint32_t> UpdateBench::CpldModes() {
    std::vector<uint32_t> modes;
    for (const host::BusAccess& access : bus_.Accesses()) {
        if (access.kind == host::BusAccess::kWrite && access.address == host::reg::kCpldMode)
            modes.push_back(access.value);
    }
    return modes;
}

int UpdateBench::ResetPulses() {
    int pulses = 0;
    bool high = false;
    for (const host::BusAccess& access : bus_.Accesses()) {
        if (access.kind != host::BusAccess::kWrite || access.address != host::reg::kGpioADat)
            continue;
        const bool now_high = (access.value & sim::kResetLineBit) != 0;
        pulses += now_high && !high ? 1 : 0;
        high = now_high;
    }
    return pulses;
}

}  // namespace download_test
