// The modal dialog: its model, the modal loop and command dispatch.
#include "host/framework.h"

#include <algorithm>
#include <vector>

#include "host/clock.h"
#include "host/platform.h"

namespace host {
namespace {

ControlState FromTemplate(const ControlTemplate& control) {
    ControlState state;
    state.id = control.id;
    state.kind = control.kind;
    state.text = control.text != nullptr ? control.text : L"";
    state.visible = control.visible;
    state.enabled = control.enabled;
    state.rect = control.rect;
    state.style = control.style;
    return state;
}

// Where interrupts go: the dialog whose DoModal runs, and whether its loop still takes them.
// Interrupts that come while there is none wait here for the next one.
struct InterruptRoute {
    std::mutex mutex;
    CDialog* dialog = nullptr;
    bool looping = false;
    std::vector<Interrupt> pending;
};

InterruptRoute& Route() {
    static InterruptRoute route;
    return route;
}

// The dialog is the target from the start of DoModal to its return, workers' wait included.
class ScopedInterruptTarget {
  public:
    explicit ScopedInterruptTarget(CDialog* dialog) : dialog_(dialog) {
        std::lock_guard<std::mutex> lock(Route().mutex);
        Route().dialog = dialog;
        Route().looping = false;
    }
    ~ScopedInterruptTarget() {
        std::lock_guard<std::mutex> lock(Route().mutex);
        if (Route().dialog == dialog_)
            Route().dialog = nullptr;
    }
    ScopedInterruptTarget(const ScopedInterruptTarget&) = delete;
    ScopedInterruptTarget& operator=(const ScopedInterruptTarget&) = delete;

  private:
    CDialog* dialog_;
};

}  // namespace

const char* InterruptName(Interrupt interrupt) {
    switch (interrupt) {
        case Interrupt::kInterrupt:
            return "SIGINT";
        case Interrupt::kTerminate:
            return "SIGTERM";
        case Interrupt::kHangUp:
            return "SIGHUP";
    }
    return "?";
}

void PostInterrupt(Interrupt interrupt) {
    InterruptRoute& route = Route();
    std::lock_guard<std::mutex> lock(route.mutex);
    if (route.dialog == nullptr)
        route.pending.push_back(interrupt);
    else if (route.looping)
        route.dialog->PostInterrupt(interrupt);
}

CDialog::CDialog(const DialogTemplate& dialog_template) : template_(dialog_template) {
    state_.template_id = template_.id;
    state_.title = template_.caption != nullptr ? template_.caption : L"";
    state_.cx = template_.cx;
    state_.cy = template_.cy;
    state_.font_face = template_.font_face != nullptr ? template_.font_face : L"";
    state_.font_points = template_.font_points;
    state_.style = template_.style;
    state_.ex_style = template_.ex_style;
    for (const ControlTemplate& control : template_.controls)
        state_.controls.push_back(FromTemplate(control));
}

CDialog::~CDialog() = default;

int CDialog::DoModal() {
    // The UI thread takes part in virtual time while the window exists: while it runs
    // OnInitDialog or a handler, time must not move under it.
    ScopedClockThread ui_thread(CurrentClock());
    ScopedInterruptTarget target(this);
    return RunModalLoop();
}

int CDialog::DoModalAndWait(uint32_t grace_ms, bool* workers_ended) {
    ScopedClockThread ui_thread(CurrentClock());
    ScopedInterruptTarget target(this);
    const int result = RunModalLoop();
    const bool ended = WaitForWorkers(grace_ms);
    if (workers_ended != nullptr)
        *workers_ended = ended;
    return result;
}

int CDialog::RunModalLoop() {
    Clock& clock = CurrentClock();
    clock.update([this] {
        messages_.clear();
        end_requested_ = false;
        result_ = 0;
    });
    closed_ = false;
    close_claimed_ = false;
    threads_at_open_ = clock.registered_threads();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        front_end_ = Current().ui;
        if (front_end_ != nullptr)
            front_end_->OnDialogOpened(state_, *this);
    }
    // Interrupts from before the window existed come first: nothing has started yet.
    std::vector<Interrupt> early;
    {
        std::lock_guard<std::mutex> lock(Route().mutex);
        early.swap(Route().pending);
        Route().looping = true;
    }
    for (Interrupt interrupt : early)
        OnInterrupt(interrupt);
    OnInitDialog();
    Message message;
    while (NextMessage(&message))
        Dispatch(message);
    {
        std::lock_guard<std::mutex> lock(Route().mutex);
        Route().looping = false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (front_end_ != nullptr)
            front_end_->OnDialogClosed();
        front_end_ = nullptr;
    }
    int result = 0;
    clock.update([this, &result] { result = result_; });
    return result;
}

// Waits for a command, an interrupt or the end; the end wins over anything still queued.
bool CDialog::NextMessage(Message* message) {
    Clock& clock = CurrentClock();
    clock.wait_until_us(kForever, [this] { return end_requested_ || !messages_.empty(); });
    bool have = false;
    clock.update([this, message, &have] {
        if (end_requested_ || messages_.empty())
            return;
        *message = messages_.front();
        messages_.pop_front();
        have = true;
    });
    return have;
}

void CDialog::EndDialog(int result) {
    closed_ = true;
    CurrentClock().update([this, result] {
        result_ = result;
        end_requested_ = true;
    });
}

void CDialog::PostCommand(int command_id) {
    CurrentClock().update([this, command_id] { messages_.push_back({false, command_id}); });
}

void CDialog::PostInterrupt(Interrupt interrupt) {
    CurrentClock().update([this, interrupt] { messages_.push_back({true, 0, interrupt}); });
}

void CDialog::Dispatch(const Message& message) {
    if (message.interrupt)
        OnInterrupt(message.which);
    else
        DispatchCommand(message.command_id);
}

// A click on a hidden or disabled button cannot happen on the device; a front-end that posts
// one anyway is ignored.  Ids without a control (sent by code) are dispatched.
void CDialog::DispatchCommand(int command_id) {
    if (!IsClickable(command_id))
        return;
    for (const MessageMapEntry& entry : GetMessageMap()) {
        if (entry.id == command_id) {
            (this->*entry.handler)();
            return;
        }
    }
    if (command_id == kIdOk)
        OnOK();
    else if (command_id == kIdCancel)
        OnCancel();
}

bool CDialog::IsClickable(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ControlState* control = FindLocked(id);
    return control == nullptr || (control->visible && control->enabled);
}

// The UI thread is still registered here, so time moves only by the polls' own sleeps; the
// count taken at the start already held its registration.
bool CDialog::WaitForWorkers(uint32_t grace_ms) {
    Clock& clock = CurrentClock();
    return clock.wait_for_thread_count_us(threads_at_open_,
                                          clock.now_us() + int64_t{grace_ms} * 1000);
}

void CDialog::OnOK() {
    if (!UpdateData(true))
        return;
    EndDialog(kIdOk);
}

void CDialog::OnCancel() {
    EndDialog(kIdCancel);
}

void CDialog::OnInterrupt(Interrupt) {
    OnCancel();
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}

Brush CDialog::OnCtlColor(CDC&, int, ControlKind) {
    return kDialogBrush;
}

bool CDialog::UpdateData(bool save_and_validate) {
    CDataExchange dx{this, save_and_validate};
    DoDataExchange(&dx);
    return true;
}

// The kinds come from the template, which never changes: no lock is taken, so a front-end may
// ask from its drawing thread while another thread changes the model.
ControlColors CDialog::ColorsOf(int control_id) {
    ControlKind kind = ControlKind::kStatic;
    for (const ControlTemplate& control : template_.controls) {
        if (control.id == control_id)
            kind = control.kind;
    }
    CDC dc;
    OnCtlColor(dc, control_id, kind);
    return dc.colors();
}

ControlState* CDialog::FindLocked(int id) {
    for (ControlState& control : state_.controls) {
        if (control.id == id)
            return &control;
    }
    return nullptr;
}

void CDialog::PublishLocked(DialogChange::Kind kind, int id) {
    if (front_end_ != nullptr)
        front_end_->OnDialogChanged(DialogChange{kind, id}, state_);
}

void CDialog::SetTitle(const std::wstring& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.title = title;
    PublishLocked(DialogChange::kTitle, 0);
}

std::wstring CDialog::GetTitle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.title;
}

void CDialog::SetIcon(HIcon icon, bool big) {
    std::lock_guard<std::mutex> lock(mutex_);
    (big ? state_.big_icon : state_.small_icon) = icon;
    PublishLocked(DialogChange::kIcon, 0);
}

void CDialog::CenterWindow() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.centred = true;
    PublishLocked(DialogChange::kCentred, 0);
}

void CDialog::SetNotice(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.notice = text;
    PublishLocked(DialogChange::kNotice, 0);
}

void CDialog::RepaintNow() {
    std::lock_guard<std::mutex> lock(mutex_);
    PublishLocked(DialogChange::kRepaint, 0);
}

int CDialog::ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t style) {
    return CurrentUi().ShowMessageBox(text, caption, style);
}

bool CDialog::HasItem(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return FindLocked(id) != nullptr;
}

void CDialog::SetItemText(int id, const std::wstring& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* control = FindLocked(id);
    if (control == nullptr)
        return;
    control->text = text;
    PublishLocked(DialogChange::kText, id);
}

std::wstring CDialog::GetItemText(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* control = FindLocked(id);
    return control != nullptr ? control->text : std::wstring();
}

void CDialog::ShowItem(int id, bool show) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* control = FindLocked(id);
    if (control == nullptr)
        return;
    control->visible = show;
    PublishLocked(DialogChange::kVisible, id);
}

bool CDialog::IsItemVisible(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* control = FindLocked(id);
    return control != nullptr && control->visible;
}

void CDialog::EnableItem(int id, bool enable) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* control = FindLocked(id);
    if (control == nullptr)
        return;
    control->enabled = enable;
    PublishLocked(DialogChange::kEnabled, id);
}

bool CDialog::IsItemEnabled(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* control = FindLocked(id);
    return control != nullptr && control->enabled;
}

// Progress bar messages as the platform's bar answers them: the position always stays inside
// the range, and the setters answer the previous value.
intptr_t CDialog::SendItemMessage(int id, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState* bar = FindLocked(id);
    if (bar == nullptr || bar->kind != ControlKind::kProgressBar)
        return 0;
    switch (message) {
        case kPbmSetRange32: {
            intptr_t previous = (bar->range_low & 0xFFFF) | ((bar->range_high & 0xFFFF) << 16);
            bar->range_low = static_cast<int32_t>(wparam);
            bar->range_high = static_cast<int32_t>(lparam);
            bar->position = std::clamp(bar->position, bar->range_low,
                                       std::max(bar->range_low, bar->range_high));
            PublishLocked(DialogChange::kRange, id);
            return previous;
        }
        case kPbmSetPos: {
            intptr_t previous = bar->position;
            bar->position = std::clamp(static_cast<int32_t>(wparam), bar->range_low,
                                       std::max(bar->range_low, bar->range_high));
            PublishLocked(DialogChange::kPosition, id);
            return previous;
        }
        case kPbmGetPos:
            return bar->position;
        case kPbmGetRange:
            return wparam != 0 ? bar->range_low : bar->range_high;
        default:
            return 0;
    }
}

DialogState CDialog::Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

}  // namespace host
