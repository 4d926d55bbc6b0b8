// The application object, the entry that main calls, and the small framework classes around
// the dialog (drawing context, edit control, data exchange).
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "host/framework.h"

namespace host {
namespace {

CWinApp* g_app = nullptr;

struct EndHooks {
    std::mutex mutex;
    int next_id = 1;
    std::vector<std::pair<int, std::function<void()>>> hooks;
};

EndHooks& Hooks() {
    static EndHooks hooks;
    return hooks;
}

// Each hook runs once, outside the lock, so that a hook may remove itself.
void RunEndHooks() {
    for (;;) {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(Hooks().mutex);
            if (Hooks().hooks.empty())
                return;
            hook = std::move(Hooks().hooks.back().second);
            Hooks().hooks.pop_back();
        }
        hook();
    }
}

}  // namespace

void CDC::SetTextColor(uint32_t rgb) {
    colors_.custom_text_color = true;
    colors_.text_rgb = rgb;
}

void CDC::SetBkMode(int mode) {
    colors_.transparent = mode == kBkTransparent;
}

void CDC::SelectFont(const LogFont& font) {
    colors_.font_weight = font.weight;
}

void CEdit::SetText(const std::wstring& text) {
    if (dialog_ != nullptr)
        dialog_->SetItemText(id_, text);
}

std::wstring CEdit::GetText() const {
    return dialog_ != nullptr ? dialog_->GetItemText(id_) : std::wstring();
}

void DDX_Control(CDataExchange* dx, int id, CEdit& edit) {
    if (edit.IsBound() || !dx->dialog->HasItem(id))
        return;
    edit.dialog_ = dx->dialog;
    edit.id_ = id;
}

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

bool CWinApp::InitInstance() {
    return false;
}

int CWinApp::ExitInstance() {
    return exit_code_;
}

CWinApp* CurrentApp() {
    return g_app;
}

// There is no message loop of our own: whatever InitInstance answers, the application ends
// when it returns.
int CWinApp::Run() {
    InitInstance();
    return ExitInstance();
}

int AppMain(CWinApp& app) {
    return app.Run();
}

int AddEndHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(Hooks().mutex);
    const int id = Hooks().next_id++;
    Hooks().hooks.emplace_back(id, std::move(hook));
    return id;
}

void RemoveEndHook(int id) {
    std::lock_guard<std::mutex> lock(Hooks().mutex);
    std::erase_if(Hooks().hooks, [id](const auto& entry) { return entry.first == id; });
}

void EndProcessNow(int code) {
    RunEndHooks();
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace host
