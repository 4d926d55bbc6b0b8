// The dialog as a real window: template, UI thread, changes, colours, boxes.
#include "host/win32/dialog_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/debug_log.h"
#include "host/framework.h"

namespace host::win32 {
namespace {

// Private messages of the dialog's window.
constexpr UINT kMsgApply = WM_APP + 1;  // apply the queued changes
constexpr UINT kMsgClose = WM_APP + 2;  // destroy the window and end the UI thread
constexpr UINT_PTR kShowTimer = 1;
// A line of text is 8 dialog units high.
constexpr int16_t kLineDu = 8;

// Predefined control classes, as dialog templates name them by ordinal.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;

class TemplateWriter {
  public:
    void Word(WORD value) { words_.push_back(value); }
    void Dword(DWORD value) {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Short(int16_t value) { Word(static_cast<WORD>(value)); }
    void Text(const std::wstring& text) {
        for (wchar_t c : text)
            Word(static_cast<WORD>(c));
        Word(0);
    }
    // Every item of a template starts on a 4-byte boundary.
    void AlignDword() {
        if (words_.size() % 2 != 0)
            Word(0);
    }
    std::vector<WORD> Take() { return std::move(words_); }

  private:
    std::vector<WORD> words_;
};

void WriteControl(TemplateWriter& out, const ControlState& control) {
    DWORD style = WS_CHILD | control.style;
    // A label one line high keeps its text on that line: wrapped at a blank, as a time such as
    // " 7m43s " is when the font runs wider than the template's, it would vanish below.
    if (control.kind == ControlKind::kStatic && control.rect.cy < 2 * kLineDu)
        style |= SS_LEFTNOWORDWRAP;
    if (control.visible)
        style |= WS_VISIBLE;
    if (!control.enabled)
        style |= WS_DISABLED;
    // The dialog manager drops a bar's plain border; its edge is how this platform frames one.
    const bool framed_bar =
        control.kind == ControlKind::kProgressBar && (control.style & WS_BORDER) != 0;
    out.AlignDword();
    out.Dword(0);  // help id
    out.Dword(framed_bar ? WS_EX_STATICEDGE : 0);
    out.Dword(style);
    out.Short(control.rect.x);
    out.Short(control.rect.y);
    out.Short(control.rect.cx);
    out.Short(control.rect.cy);
    out.Dword(static_cast<DWORD>(control.id));
    switch (control.kind) {
        case ControlKind::kStatic:
        case ControlKind::kButton:
        case ControlKind::kEdit:
            out.Word(0xFFFF);
            out.Word(control.kind == ControlKind::kStatic   ? kStaticAtom
                     : control.kind == ControlKind::kButton ? kButtonAtom
                                                            : kEditAtom);
            break;
        case ControlKind::kProgressBar:
            out.Text(PROGRESS_CLASSW);
            break;
    }
    out.Text(control.text);
    out.Word(0);  // no creation data
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

// Palette index 0 is the icon's background: transparent.
HICON MakeIcon(const IconImage& image) {
    const int width = image.width;
    const int height = image.height;
    if (width <= 0 || height <= 0 || std::strlen(image.pixels) < size_t(width) * height)
        return nullptr;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as the pixels are written
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP color = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    // Mask rows are padded to 16 bits; a set bit is transparent.
    const int mask_stride = (width + 15) / 16 * 2;
    std::vector<BYTE> mask_bits(size_t(mask_stride) * height, 0);
    for (int y = 0; y < height && color != nullptr; ++y) {
        for (int x = 0; x < width; ++x) {
            const int index = HexDigit(image.pixels[y * width + x]);
            static_cast<DWORD*>(bits)[y * width + x] =
                index == 0 ? 0 : 0xFF000000 | (image.palette[index] & 0xFFFFFF);
            if (index == 0)
                mask_bits[y * mask_stride + x / 8] |= BYTE(0x80 >> (x % 8));
        }
    }
    HBITMAP mask = CreateBitmap(width, height, 1, 1, mask_bits.data());
    HICON icon = nullptr;
    if (color != nullptr && mask != nullptr) {
        ICONINFO parts = {TRUE, 0, 0, mask, color};
        icon = CreateIconIndirect(&parts);
    }
    if (color != nullptr)
        DeleteObject(color);
    if (mask != nullptr)
        DeleteObject(mask);
    return icon;
}

COLORREF ToColorRef(uint32_t rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

}  // namespace

std::vector<WORD> BuildDialogTemplate(const DialogState& state) {
    TemplateWriter out;
    out.Word(1);       // template version
    out.Word(0xFFFF);  // extended template
    out.Dword(0);      // help id
    out.Dword(state.ex_style & ~style::kExCaptionOkButton);
    out.Dword((state.style | DS_SETFONT) & ~WS_VISIBLE);
    out.Word(static_cast<WORD>(state.controls.size()));
    out.Short(0);
    out.Short(0);
    out.Short(state.cx);
    out.Short(state.cy);
    out.Word(0);  // no menu
    out.Word(0);  // the dialog class
    out.Text(state.title);
    out.Word(static_cast<WORD>(state.font_points));
    out.Word(FW_NORMAL);
    out.Word(MAKEWORD(FALSE, DEFAULT_CHARSET));  // italic, character set
    out.Text(state.font_face);
    for (const ControlState& control : state.controls)
        WriteControl(out, control);
    return out.Take();
}

Win32Dialog::~Win32Dialog() {
    OnDialogClosed();
    if (ready_ != nullptr)
        CloseHandle(ready_);
}

int Win32Dialog::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                uint32_t style) {
    return MessageBoxW(Window(), text.c_str(), caption.c_str(), style);
}

void Win32Dialog::ErrorBeep() {
    MessageBeep(MB_ICONHAND);
}

HWND Win32Dialog::Window() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hwnd_;
}

void Win32Dialog::OnDialogOpened(const DialogState& state, DialogSite& site) {
    OnDialogClosed();  // a window still open from an earlier run
    opening_ = state;
    if (ready_ == nullptr)
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(ready_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        site_ = &site;
        queue_.clear();
    }
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (thread == nullptr) {
        DebugOut("Dialog thread could not be started (error %lu)\r\n", GetLastError());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        thread_ = thread;
    }
    if (WaitForSingleObject(ready_, kUiThreadTimeoutMs) != WAIT_OBJECT_0)
        DebugOut("Dialog window did not appear within %lu ms\r\n", kUiThreadTimeoutMs);
}

void Win32Dialog::OnDialogChanged(const DialogChange& change, const DialogState& state) {
    Pending pending;
    pending.change = change;
    if (const ControlState* control = state.Find(change.id))
        pending.control = *control;
    if (change.kind == DialogChange::kTitle)
        pending.title = state.title;
    if (change.kind == DialogChange::kNotice)
        pending.notice = state.notice;
    pending.big_icon = state.big_icon;
    pending.small_icon = state.small_icon;
    std::lock_guard<std::mutex> lock(mutex_);
    if (hwnd_ == nullptr)
        return;
    queue_.push_back(std::move(pending));
    // One wake-up serves every change queued before the UI thread takes them.
    if (queue_.size() == 1)
        PostMessageW(hwnd_, kMsgApply, 0, 0);
}

void Win32Dialog::OnDialogClosed() {
    HWND hwnd = nullptr;
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        site_ = nullptr;
        queue_.clear();
        hwnd = std::exchange(hwnd_, nullptr);
        thread = std::exchange(thread_, nullptr);
    }
    if (thread == nullptr)
        return;
    if (hwnd != nullptr)
        PostMessageW(hwnd, kMsgClose, 0, 0);
    if (WaitForSingleObject(thread, kUiThreadTimeoutMs) != WAIT_OBJECT_0)
        DebugOut("Dialog thread did not end within %lu ms\r\n", kUiThreadTimeoutMs);
    CloseHandle(thread);
}

bool Win32Dialog::Sync(DWORD timeout_ms) {
    HWND hwnd = Window();
    DWORD_PTR result = 0;
    return hwnd != nullptr &&
           SendMessageTimeoutW(hwnd, kMsgApply, 0, 0, SMTO_NORMAL, timeout_ms, &result) != 0;
}

DWORD WINAPI Win32Dialog::ThreadMain(LPVOID self) {
    static_cast<Win32Dialog*>(self)->RunUiThread();
    return 0;
}

void Win32Dialog::RunUiThread() {
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    const bool created = CreateWindowFor(opening_);
    SetEvent(ready_);
    if (!created)
        return;
    const HWND window = window_;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    ReleaseGdi();
}

bool Win32Dialog::CreateWindowFor(const DialogState& state) {
    window_ = nullptr;
    notice_window_ = nullptr;
    shown_ = false;
    notice_in_title_ = false;
    const std::vector<WORD> words = BuildDialogTemplate(state);
    HWND hwnd = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                           reinterpret_cast<LPCDLGTEMPLATEW>(words.data()), nullptr,
                                           DialogProc, reinterpret_cast<LPARAM>(this));
    if (hwnd == nullptr) {
        DebugOut("Dialog window could not be created (error %lu)\r\n", GetLastError());
        return false;
    }
    window_ = hwnd;
    // What the template cannot say: the title as it is now, the bars, icons and notice.
    title_ = state.title;
    notice_ = state.notice;
    for (const ControlState& control : state.controls) {
        if (control.kind == ControlKind::kProgressBar)
            ApplyBar(control.id, control.range_low, control.range_high, control.position);
    }
    ApplyIcons(state.big_icon, state.small_icon);
    LayoutNotice();
    if (state.centred) {
        CentreOnDesktop();
        ShowOnce();
    } else {
        SetTimer(hwnd, kShowTimer, kShowDelayMs, nullptr);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    hwnd_ = hwnd;
    return true;
}

INT_PTR CALLBACK Win32Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
        return TRUE;  // the first tab stop takes the focus
    }
    auto* self = reinterpret_cast<Win32Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return self != nullptr ? self->OnMessage(hwnd, message, wparam, lparam) : FALSE;
}

INT_PTR Win32Dialog::OnMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_COMMAND:
            // Clicks, Enter (IDOK), Escape (IDCANCEL) and ids sent by code; other
            // notifications (an edit's focus, say) are not commands.
            if (HIWORD(wparam) == BN_CLICKED)
                Post(LOWORD(wparam));
            return TRUE;
        case WM_CLOSE:
            // The close box is the cancel command; the dialog decides whether it closes.
            Post(kIdCancel);
            return TRUE;
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
        case WM_TIMER:
            if (wparam == kShowTimer)
                ShowOnce();
            return TRUE;
        case kMsgApply:
            Drain();
            return TRUE;
        case kMsgClose:
            DestroyWindow(hwnd);
            return TRUE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return FALSE;
        default:
            return FALSE;
    }
}

void Win32Dialog::Post(int command_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (site_ != nullptr)
        site_->PostCommand(command_id);
}

// The dialog's hook says how the control is drawn; the background stays the dialog's, so
// that a replaced text is erased before the new one is drawn.
INT_PTR Win32Dialog::OnCtlColorStatic(HDC dc, HWND control) {
    ControlColors colors;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (site_ == nullptr)
            return FALSE;
        colors = site_->ColorsOf(GetDlgCtrlID(control));
    }
    if (!colors.custom_text_color && colors.font_weight == 0 && !colors.transparent)
        return FALSE;
    if (colors.custom_text_color)
        SetTextColor(dc, ToColorRef(colors.text_rgb));
    if (colors.font_weight != 0)
        SelectObject(dc, FontOfWeight(colors.font_weight));
    if (colors.transparent)
        SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

void Win32Dialog::Drain() {
    std::deque<Pending> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(queue_);
    }
    for (const Pending& pending : batch)
        Apply(pending);
}

void Win32Dialog::Apply(const Pending& pending) {
    const ControlState& control = pending.control;
    HWND item = GetDlgItem(window_, pending.change.id);
    switch (pending.change.kind) {
        case DialogChange::kTitle:
            title_ = pending.title;
            ApplyTitle();
            break;
        case DialogChange::kText:
            SetWindowTextW(item, control.text.c_str());
            break;
        case DialogChange::kVisible:
            ShowWindow(item, control.visible ? SW_SHOWNA : SW_HIDE);
            if (!notice_.empty())
                LayoutNotice();  // a control may have appeared in the notice's band
            break;
        case DialogChange::kEnabled:
            EnableWindow(item, control.enabled);
            break;
        case DialogChange::kRange:
        case DialogChange::kPosition:
            ApplyBar(control.id, control.range_low, control.range_high, control.position);
            break;
        case DialogChange::kRepaint:
            RedrawWindow(window_, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            break;
        case DialogChange::kIcon:
            ApplyIcons(pending.big_icon, pending.small_icon);
            break;
        case DialogChange::kCentred:
            CentreOnDesktop();
            ShowOnce();
            break;
        case DialogChange::kNotice:
            notice_ = pending.notice;
            LayoutNotice();
            break;
    }
}

void Win32Dialog::ApplyBar(int id, int32_t low, int32_t high, int32_t position) {
    HWND bar = GetDlgItem(window_, id);
    SendMessageW(bar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32Dialog::ApplyIcons(HIcon big_icon, HIcon small_icon) {
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(IconFor(big_icon, true)));
    SendMessageW(window_, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(IconFor(small_icon, false)));
}

void Win32Dialog::ApplyTitle() {
    const std::wstring text = notice_in_title_ ? title_ + L" - " + notice_ : title_;
    SetWindowTextW(window_, text.c_str());
}

// The status line takes the band below the lowest visible control when two lines fit there;
// otherwise the notice follows the title.
void Win32Dialog::LayoutNotice() {
    bool in_line = false;
    if (!notice_.empty()) {
        const RECT band = NoticeBand();
        RECT two_lines = {0, 0, 0, 2 * kLineDu};
        MapDialogRect(window_, &two_lines);
        in_line = band.bottom - band.top >= two_lines.bottom && band.right > band.left;
        if (in_line && notice_window_ == nullptr) {
            notice_window_ = CreateWindowExW(
                0, L"STATIC", L"", WS_CHILD | SS_LEFT, 0, 0, 0, 0, window_,
                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kNoticeId)), nullptr, nullptr);
            SendMessageW(notice_window_, WM_SETFONT, SendMessageW(window_, WM_GETFONT, 0, 0),
                         FALSE);
        }
        if (in_line) {
            SetWindowPos(notice_window_, nullptr, band.left, band.top, band.right - band.left,
                         band.bottom - band.top, SWP_NOZORDER | SWP_NOACTIVATE);
            SetWindowTextW(notice_window_, notice_.c_str());
        }
    }
    if (notice_window_ != nullptr)
        ShowWindow(notice_window_, in_line ? SW_SHOWNA : SW_HIDE);
    notice_in_title_ = !notice_.empty() && !in_line;
    ApplyTitle();
}

// In client pixels: the dialog's width less its margins, from below the lowest visible
// control to the bottom margin.
RECT Win32Dialog::NoticeBand() {
    RECT margins = {7, 4, 7, 4};
    MapDialogRect(window_, &margins);
    RECT client;
    GetClientRect(window_, &client);
    LONG lowest = 0;
    for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (child == notice_window_ || (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) == 0)
            continue;
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
        lowest = std::max(lowest, rect.bottom);
    }
    return RECT{margins.left, lowest + margins.top, client.right - margins.right,
                client.bottom - margins.bottom};
}

void Win32Dialog::CentreOnDesktop() {
    RECT desktop;
    RECT window;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window_, &window);
    const LONG x = desktop.left + (desktop.right - desktop.left - (window.right - window.left)) / 2;
    const LONG y = desktop.top + (desktop.bottom - desktop.top - (window.bottom - window.top)) / 2;
    SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Dialog::ShowOnce() {
    if (shown_)
        return;
    shown_ = true;
    KillTimer(window_, kShowTimer);
    ShowWindow(window_, SW_SHOW);
}

// The image closest to the system's icon size; made once per icon and size.
HICON Win32Dialog::IconFor(HIcon icon, bool big) {
    if (icon == nullptr || icon->image_count <= 0)
        return nullptr;
    const auto key = std::make_pair(icon, big);
    if (auto found = icons_.find(key); found != icons_.end())
        return found->second;
    const int want = GetSystemMetrics(big ? SM_CXICON : SM_CXSMICON);
    const IconImage* best = &icon->images[0];
    for (int i = 1; i < icon->image_count; ++i) {
        if (std::abs(icon->images[i].width - want) < std::abs(best->width - want))
            best = &icon->images[i];
    }
    HICON made = MakeIcon(*best);
    icons_[key] = made;
    return made;
}

// The dialog's own font at another weight.
HFONT Win32Dialog::FontOfWeight(int weight) {
    if (auto found = fonts_.find(weight); found != fonts_.end())
        return found->second;
    LOGFONTW description = {};
    auto dialog_font = reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0));
    if (dialog_font != nullptr)
        GetObjectW(dialog_font, sizeof(description), &description);
    description.lfWeight = weight;
    HFONT font = CreateFontIndirectW(&description);
    fonts_[weight] = font;
    return font;
}

void Win32Dialog::ReleaseGdi() {
    for (const auto& [key, icon] : icons_) {
        if (icon != nullptr)
            DestroyIcon(icon);
    }
    icons_.clear();
    for (const auto& [weight, font] : fonts_) {
        if (font != nullptr)
            DeleteObject(font);
    }
    fonts_.clear();
}

}  // namespace host::win32
