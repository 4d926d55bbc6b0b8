// The update dialog as a real window: template 102's controls as the window shows them, the
// warning's colours asked of the update dialog itself, changes made by other threads, commands
// from clicks, keys and the close box, and message boxes owned by the window.
//
// The window and its modal loop run in real time; every wait here is bounded.
#include "host/win32/dialog_win32.h"  // first: the platform's headers

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/updater_dlg.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/real_clock.h"
#include "host/sim/memory_registry.h"
#include "res/dialog_template.h"

namespace {

constexpr DWORD kBoundMs = 5000;

bool WaitFor(const std::function<bool()>& done, DWORD bound_ms = kBoundMs) {
    for (DWORD waited = 0; waited < bound_ms; waited += 10) {
        if (done())
            return true;
        Sleep(10);
    }
    return done();
}

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

bool HasStyle(HWND window, DWORD bits) {
    return (static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & bits) == bits;
}

// A plain border, or the edge that edit controls and bars turn a border into.
bool HasBorder(HWND window) {
    const LONG edges = WS_EX_CLIENTEDGE | WS_EX_STATICEDGE;
    return HasStyle(window, WS_BORDER) || (GetWindowLongW(window, GWL_EXSTYLE) & edges) != 0;
}

// In the dialog's client coordinates.
RECT ClientRectOf(HWND item) {
    RECT rect;
    GetWindowRect(item, &rect);
    MapWindowPoints(nullptr, GetParent(item), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The update dialog with its colours and template, but with the commands recorded instead of
// handled, and without the update: its initialisation only sets the icons and centres.
class WindowDlg final : public CUpdaterDlg {
  public:
    bool OnInitDialog() override {
        host::CDialog::OnInitDialog();
        SetIcon(m_hIcon, true);
        SetIcon(m_hIcon, false);
        CenterWindow();
        return true;
    }
    void OnOK() override { Record(host::kIdOk); }
    void OnCancel() override { Record(host::kIdCancel); }

    // The first command recorded since the last call, or 0 when none comes within the bound.
    int NextCommand() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::milliseconds(kBoundMs),
                               [this] { return !commands_.empty(); }))
            return 0;
        const int command = commands_.front();
        commands_.clear();
        return command;
    }

  protected:
    std::span<const MessageMapEntry> GetMessageMap() const override {
        static const MessageMapEntry kMap[] = {
            {res::kIdcStart, static_cast<CommandHandler>(&WindowDlg::OnStart)},
            {res::kIdcCancel, static_cast<CommandHandler>(&WindowDlg::OnCancelButton)},
            {res::kIdcClose, static_cast<CommandHandler>(&WindowDlg::OnClose)},
        };
        return kMap;
    }

  private:
    void OnStart() { Record(res::kIdcStart); }
    void OnCancelButton() { Record(res::kIdcCancel); }
    void OnClose() { Record(res::kIdcClose); }
    void Record(int command) {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(command);
        arrived_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<int> commands_;
};

class Win32DialogTest : public ::testing::Test {
  protected:
    Win32DialogTest()
        : platform_({.clock = &clock_, .log = &log_, .registry = &registry_, .ui = &ui_}) {}

    ~Win32DialogTest() override {
        dlg_->EndDialog(0);
        if (modal_.joinable())
            modal_.join();
    }

    // Runs the modal loop on a thread of its own and waits for the window to be shown.
    HWND Open() {
        modal_ = std::thread([this] { dlg_->DoModal(); });
        EXPECT_TRUE(WaitFor([this] { return IsWindowVisible(ui_.Window()) != FALSE; }));
        return ui_.Window();
    }

    HWND Item(int id) { return GetDlgItem(ui_.Window(), id); }

    host::RealClock clock_;
    host::CaptureLog log_;
    host::MemoryRegistry registry_;
    host::win32::Win32Dialog ui_;
    host::ScopedPlatform platform_;
    // After the platform: its settings key is opened at construction.
    std::unique_ptr<WindowDlg> dlg_ = std::make_unique<WindowDlg>();
    std::thread modal_;
};

const wchar_t* ClassOf(host::ControlKind kind) {
    switch (kind) {
        case host::ControlKind::kStatic:
            return L"Static";
        case host::ControlKind::kButton:
            return L"Button";
        case host::ControlKind::kEdit:
            return L"Edit";
        case host::ControlKind::kProgressBar:
            return L"msctls_progress32";
    }
    return L"";
}

TEST_F(Win32DialogTest, EveryControlOfTheTemplateIsInTheWindowAsTheTemplateSaysAtItsPlace) {
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    for (const host::ControlTemplate& control : res::UpdaterDialogTemplate().controls) {
        SCOPED_TRACE(control.id);
        const HWND item = Item(control.id);
        ASSERT_NE(item, nullptr);
        wchar_t class_name[64] = {};
        GetClassNameW(item, class_name, 64);
        EXPECT_EQ(_wcsicmp(class_name, ClassOf(control.kind)), 0) << class_name;
        if (control.kind != host::ControlKind::kProgressBar) {
            EXPECT_EQ(TextOf(item), control.text);
        }
        EXPECT_EQ(HasStyle(item, WS_VISIBLE), control.visible);
        EXPECT_EQ(IsWindowEnabled(item) != FALSE, control.enabled);
        EXPECT_TRUE(HasStyle(item, control.style & ~WS_BORDER));
        EXPECT_EQ(HasBorder(item), (control.style & WS_BORDER) != 0);
        // The dialog manager maps the place and the size each on its own.
        RECT expected = {control.rect.x, control.rect.y, control.rect.cx, control.rect.cy};
        MapDialogRect(dialog, &expected);
        const RECT actual = ClientRectOf(item);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right - actual.left, expected.right);
        EXPECT_EQ(actual.bottom - actual.top, expected.bottom);
    }
    RECT size = {0, 0, 146, 161};
    MapDialogRect(dialog, &size);
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    EXPECT_TRUE(HasStyle(dialog, WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_NE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
    EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);
    RECT window;
    RECT desktop;
    GetWindowRect(dialog, &window);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_LE(std::abs((window.left + window.right) - (desktop.left + desktop.right)), 1);
    EXPECT_LE(std::abs((window.top + window.bottom) - (desktop.top + desktop.bottom)), 1);
}

// What the colour message leaves in a context that held the dialog's font in black.
struct Drawn {
    COLORREF text;
    LONG weight;
    int background_mode;
};

Drawn DrawnAs(HWND dialog, HWND item) {
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, OPAQUE);
    SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(item));
    LOGFONTW font = {};
    GetObjectW(GetCurrentObject(dc, OBJ_FONT), sizeof(font), &font);
    const Drawn drawn = {GetTextColor(dc), font.lfWeight, GetBkMode(dc)};
    DeleteDC(dc);
    return drawn;
}

TEST_F(Win32DialogTest, TheWarningIsRedAndBoldOnlyForTheRomDevice) {
    const HWND dialog = Open();
    LOGFONTW dialog_font = {};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof(dialog_font),
               &dialog_font);
    struct Case {
        uint32_t device_name;
        int id;
        COLORREF text;
        LONG weight;
        int background_mode;
    };
    const Case kCases[] = {
        {0, res::kIdcWarning, RGB(255, 0, 0), dialog_font.lfWeight, TRANSPARENT},
        {kDeviceNameRom, res::kIdcWarning, RGB(255, 0, 0), 600, TRANSPARENT},
        {kDeviceNameRom, res::kIdcStatus, GetSysColor(COLOR_WINDOWTEXT), dialog_font.lfWeight,
         OPAQUE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.device_name << " " << c.id);
        dlg_->m_dwDeviceName = c.device_name;
        const Drawn drawn = DrawnAs(dialog, Item(c.id));
        EXPECT_EQ(drawn.text, c.text);
        EXPECT_EQ(drawn.weight, c.weight);
        EXPECT_EQ(drawn.background_mode, c.background_mode);
    }
}

TEST_F(Win32DialogTest, ChangesFromOtherThreadsReachTheWindowInTheOrderTheyWereMade) {
    const HWND dialog = Open();
    std::thread worker([this] {
        dlg_->SetTitle(L"GSM Updater");
        dlg_->ShowItem(res::kIdcProgress, true);
        dlg_->ShowItem(res::kIdcWarning, false);
        dlg_->ShowItem(res::kIdcWarning, true);
        dlg_->ShowItem(res::kIdcCancel, true);
        dlg_->ShowItem(res::kIdcCancel, false);
        dlg_->EnableItem(res::kIdcStart, false);
        dlg_->SendItemMessage(res::kIdcProgress, host::kPbmSetRange32, 0, 480);
        for (int position = 0; position <= 240; ++position) {
            dlg_->SendItemMessage(res::kIdcProgress, host::kPbmSetPos, position, 0);
            dlg_->SetItemText(res::kIdcTimeLeft, L" " + std::to_wstring(position) + L"s ");
        }
    });
    worker.join();
    ASSERT_TRUE(ui_.Sync(kBoundMs));
    EXPECT_EQ(TextOf(dialog), L"GSM Updater");
    EXPECT_TRUE(HasStyle(Item(res::kIdcProgress), WS_VISIBLE));
    EXPECT_TRUE(HasStyle(Item(res::kIdcWarning), WS_VISIBLE));
    EXPECT_FALSE(HasStyle(Item(res::kIdcCancel), WS_VISIBLE));
    EXPECT_FALSE(IsWindowEnabled(Item(res::kIdcStart)));
    EXPECT_EQ(SendMessageW(Item(res::kIdcProgress), PBM_GETRANGE, FALSE, 0), 480);
    EXPECT_EQ(SendMessageW(Item(res::kIdcProgress), PBM_GETPOS, 0, 0), 240);
    EXPECT_EQ(TextOf(Item(res::kIdcTimeLeft)), L" 240s ");
}

TEST_F(Win32DialogTest, ClicksKeysAndTheCloseBoxReachTheDialogAsItsCommands) {
    const HWND dialog = Open();
    dlg_->ShowItem(res::kIdcCancel, true);
    ASSERT_TRUE(ui_.Sync(kBoundMs));
    struct Case {
        const char* what;
        std::function<void()> act;
        int command;
    };
    const Case kCases[] = {
        {"click on the button", [&] { SendMessageW(Item(res::kIdcStart), BM_CLICK, 0, 0); },
         res::kIdcStart},
        {"click on Cancel", [&] { SendMessageW(Item(res::kIdcCancel), BM_CLICK, 0, 0); },
         res::kIdcCancel},
        {"command 1006", [&] { SendMessageW(dialog, WM_COMMAND, res::kIdcClose, 0); },
         res::kIdcClose},
        {"Escape", [&] { PostMessageW(Item(res::kIdcStart), WM_KEYDOWN, VK_ESCAPE, 0); },
         host::kIdCancel},
        {"close box", [&] { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }, host::kIdCancel},
        {"WM_CLOSE", [&] { PostMessageW(dialog, WM_CLOSE, 0, 0); }, host::kIdCancel},
        // Once the button is disabled (as the update does), Enter is the OK command.
        {"Enter",
         [&] {
             dlg_->EnableItem(res::kIdcStart, false);
             ui_.Sync(kBoundMs);
             PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0);
         },
         host::kIdOk},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        c.act();
        EXPECT_EQ(dlg_->NextCommand(), c.command);
        EXPECT_TRUE(IsWindow(dialog));  // the dialog, not the window, decides on closing
    }
}

TEST_F(Win32DialogTest, AMessageBoxIsOwnedByTheWindowAndBlocksItsCallerUntilAnswered) {
    const HWND dialog = Open();
    // Tests may run at once on one desktop: the caption is this process's own.
    const std::wstring caption = L"Box " + std::to_wstring(GetCurrentProcessId());
    std::atomic<int> answer{0};
    std::thread caller([this, &answer, &caption] {
        answer = ui_.ShowMessageBox(L"Update completed", caption, host::kMbOk);
    });
    HWND box = nullptr;
    EXPECT_TRUE(
        WaitFor([&] { return (box = FindWindowW(L"#32770", caption.c_str())) != nullptr; }));
    EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
    EXPECT_EQ(answer, 0);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (!WaitFor([&] { return answer != 0; })) {
        caller.detach();  // a box that will not go: fail rather than hang
        FAIL() << "the box was not answered";
    }
    caller.join();
    EXPECT_EQ(answer, host::kIdOk);
}

}  // namespace
