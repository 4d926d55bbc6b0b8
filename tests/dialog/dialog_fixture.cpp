#include "tests/dialog/dialog_fixture.h"

#include "device/board.h"
#include "host/thread.h"

namespace dialog_test {

CountingRegistry::CountingRegistry() {
    store.SetValueObserver([this](const host::MemoryRegistry::ValueAccess& access) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (access.write)
            ++writes_[access.name];
    });
}

int CountingRegistry::Writes(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_[name];
}

bool ModalDlg::OnInitDialog() {
    host::CDialog::OnInitDialog();
    if (on_init)
        on_init(*this);
    return true;
}

namespace {

struct Limit {
    ModalDlg* dlg;
    uint32_t limit_ms;
};

uint32_t LimitThread(void* param) {
    auto* limit = static_cast<Limit*>(param);
    host::Clock& clock = host::CurrentClock();
    const int64_t deadline_us = clock.now_us() + int64_t{limit->limit_ms} * 1000;
    if (!clock.wait_until_us(deadline_us, [limit] { return limit->dlg->IsClosed(); }))
        limit->dlg->EndDialog(kEndedByTest);
    delete limit;
    return 0;
}

}  // namespace

int DialogFixture::RunModal(std::function<void(ModalDlg&)> start, uint32_t limit_ms) {
    dlg_.on_init = [start, limit_ms](ModalDlg& dlg) {
        if (start)
            start(dlg);
        host::StartThread(LimitThread, new Limit{&dlg, limit_ms});
    };
    const int result = dlg_.DoModal();
    clock_.wait_for_threads_to_end_us();
    return result;
}

DialogFixture::DialogFixture()
    : platform_({.clock = &clock_,
                 .log = &log_,
                 .registry = &registry_.store,
                 .board = &bus_,
                 .power = &power_,
                 .ui = &ui_}) {
    SetUpdateOutcome(kExitFailure);
    bus_.Set(host::reg::kDvsControl, 0xFFFFFFFF);
}

DialogFixture::~DialogFixture() = default;

uint32_t DialogFixture::Settings(const std::wstring& name, uint32_t missing) {
    uint32_t value = missing;
    registry_.store.GetDwordAt(kSettingsKeyPath, name, &value);
    return value;
}

uint32_t DialogFixture::Uart(const std::wstring& name, uint32_t missing) {
    uint32_t value = missing;
    registry_.store.GetDwordAt(kUartKeyPath, name, &value);
    return value;
}

std::vector<uint32_t> DialogFixture::CpldModes() {
    std::vector<uint32_t> modes;
    for (const host::BusAccess& access : bus_.Accesses()) {
        if (access.kind == host::BusAccess::kWrite && access.address == host::reg::kCpldMode)
            modes.push_back(access.value);
    }
    return modes;
}

int DialogFixture::LogCount(const std::string& text) {
    int count = 0;
    for (const std::string& logged : log_.Texts())
        count += logged == text ? 1 : 0;
    return count;
}

void DialogFixture::HoldBacklight(CUpdaterDlg& dlg) {
    dlg.m_hBacklightReq = RequireBacklight();
}

}  // namespace dialog_test
