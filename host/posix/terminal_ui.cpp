// The terminal front-end.  Dialog units become character cells at 2/5 across and 1/8 down
// (host/posix/terminal_layout.h): the 146 x 161 dialog takes 58 x 20 cells inside its frame,
// which with the hint and root rows below it fits a 60 x 24 terminal, and the template's
// wrapped warning text still fits its control.
#include "host/posix/terminal_ui.h"

#include <curses.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/debug_log.h"
#include "host/framework.h"
#include "host/posix/signals.h"
#include "host/posix/terminal_layout.h"
#include "host/progress_view.h"

namespace host::posix {
namespace {

constexpr int kKeyEscape = 27;
constexpr int kInputPollMs = 50;
constexpr int kEscapeDelayMs = 25;
constexpr int kBoldWeight = 600;
constexpr int kBoxTextWidth = 50;
// How long the hint row stays lit after a refused key: input polls of kInputPollMs.
constexpr int kLitPolls = 8;
constexpr int kNoticeRows = 3;

// open + text + close, appended into one reserved string.  (The chain of operator+ on a
// literal, inlined at -O3, makes GCC 12 report an overlapping copy that cannot happen.)
std::string Enclosed(std::string_view open, std::string_view text, std::string_view close) {
    std::string out;
    out.reserve(open.size() + text.size() + close.size());
    out.append(open).append(text).append(close);
    return out;
}

// The nearest of the terminal's eight colours; colour pair n + 1 draws colour n.
int ColorPairOf(uint32_t rgb) {
    const int red = ((rgb >> 16) & 0xFF) > 127 ? 1 : 0;
    const int green = ((rgb >> 8) & 0xFF) > 127 ? 1 : 0;
    const int blue = (rgb & 0xFF) > 127 ? 1 : 0;
    return 1 + (red | green << 1 | blue << 2);
}

// Plain ASCII, so that the frame reads the same on every terminal and in a captured screen.
void DrawRect(int top, int left, int height, int width) {
    mvaddch(top, left, '+');
    mvhline(top, left + 1, '-', width - 2);
    mvaddch(top, left + width - 1, '+');
    mvvline(top + 1, left, '|', height - 2);
    mvvline(top + 1, left + width - 1, '|', height - 2);
    mvaddch(top + height - 1, left, '+');
    mvhline(top + height - 1, left + 1, '-', width - 2);
    mvaddch(top + height - 1, left + width - 1, '+');
}

void FillRect(int top, int left, int height, int width) {
    for (int row = 0; row < height; ++row)
        mvhline(top + row, left, ' ', width);
}

struct Cells {
    int row;
    int col;
    int height;
    int width;
};

Cells PlacedCells(const DialogRect& rect, int top, int left) {
    const CellRect cells = CellsOf(rect);
    return {top + cells.row, left + cells.col, cells.rows, cells.cols};
}

void DrawCentred(int row, int col, int width, const std::string& text) {
    const int length = std::min<int>(width, static_cast<int>(text.size()));
    mvaddnstr(row, col + (width - length) / 2, text.c_str(), length);
}

void DrawStatic(const Cells& at, const std::string& text) {
    std::vector<std::string> lines = Wrap(text, at.width);
    for (int i = 0; i < at.height && i < static_cast<int>(lines.size()); ++i)
        mvaddnstr(at.row + i, at.col, lines[i].c_str(), at.width);
}

void DrawButton(const Cells& at, const std::string& text) {
    if (at.height >= 3 && at.width >= 4) {
        DrawRect(at.row, at.col, at.height, at.width);
        DrawCentred(at.row + at.height / 2, at.col + 1, at.width - 2, text);
    } else {
        DrawCentred(at.row, at.col, at.width, Enclosed("[ ", text, " ]"));
    }
}

void DrawBar(const Cells& at, const ControlState& bar) {
    const int inner = at.width - 2;
    const int span = bar.range_high - bar.range_low;
    int filled = span > 0 ? (bar.position - bar.range_low) * inner / span : 0;
    filled = std::clamp(filled, 0, inner);
    const std::string cells =
        Enclosed("[", std::string(filled, '#').append(inner - filled, '-'), "]");
    mvaddnstr(at.row, at.col, cells.c_str(), at.width);
}

int AttributesOf(const ControlState& control, const ControlColors& colors) {
    int attributes = A_NORMAL;
    if (colors.custom_text_color && has_colors())
        attributes |= COLOR_PAIR(ColorPairOf(colors.text_rgb));
    if (colors.font_weight >= kBoldWeight)
        attributes |= A_BOLD;
    if (!control.enabled)
        attributes |= A_DIM;
    return attributes;
}

void DrawControl(const ControlState& control, const ControlColors& colors, int top, int left) {
    const Cells at = PlacedCells(control.rect, top, left);
    const std::string text = Narrow(control.text);
    attrset(AttributesOf(control, colors));
    switch (control.kind) {
        case ControlKind::kStatic:
            DrawStatic(at, text);
            break;
        case ControlKind::kButton:
            DrawButton(at, text);
            break;
        case ControlKind::kEdit:
            mvaddnstr(at.row, at.col, Enclosed("[", text, "]").c_str(), at.width);
            break;
        case ControlKind::kProgressBar:
            DrawBar(at, control);
            break;
    }
    attrset(A_NORMAL);
}

// The window's status line, in the frame's bottom rows, which the template leaves empty.
void DrawNotice(const std::string& notice, int top, int left, int height, int width) {
    const std::vector<std::string> lines = Wrap(notice, width - 2);
    const int rows = std::min<int>(kNoticeRows, static_cast<int>(lines.size()));
    attron(A_BOLD);
    for (int i = 0; i < rows; ++i) {
        mvhline(top + height - 1 - rows + i, left + 1, ' ', width - 2);
        mvaddnstr(top + height - 1 - rows + i, left + 1, lines[i].c_str(), width - 2);
    }
    attroff(A_BOLD);
}

// Gives the signals that ask the program to stop a handler of their own before the screen
// library starts, so that it does not install its own, which would end the process.  The
// program receives them elsewhere (host/posix/signals.h); this handler never runs there.
void KeepStopSignalsFromTheLibrary() {
    struct sigaction ours {};
    ours.sa_handler = [](int) {};
    sigemptyset(&ours.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            sigaction(signal_number, &ours, nullptr);
    }
}

// A row below the dialog, under the frame's left edge, or further left when it needs the room.
void DrawBelow(int row, int left, const std::string& text) {
    const int col = std::max(0, std::min(left, COLS - static_cast<int>(text.size())));
    mvaddnstr(row, col, text.c_str(), COLS - col);
}

// Centred over the dialog; at the bottom over the too-small notice, whose first rows say what
// to do about the size.
void DrawBox(const std::wstring& caption_text, const std::wstring& body, bool at_bottom) {
    const std::string caption = Narrow(caption_text);
    const std::vector<std::string> lines = Wrap(Narrow(body), std::min(kBoxTextWidth, COLS - 6));
    int inner = static_cast<int>(caption.size()) + 4;
    for (const std::string& line : lines)
        inner = std::max(inner, static_cast<int>(line.size()));
    inner = std::max(inner, 10);
    const int width = inner + 4;
    const int height = static_cast<int>(lines.size()) + 5;
    const int top = std::max(0, at_bottom ? LINES - height : (LINES - height) / 2);
    const int left = std::max(0, (COLS - width) / 2);
    FillRect(top, left, height, width);
    DrawRect(top, left, height, width);
    mvaddstr(top, left + 2, Enclosed(" ", caption, " ").c_str());
    for (size_t i = 0; i < lines.size(); ++i)
        mvaddnstr(top + 2 + static_cast<int>(i), left + 2, lines[i].c_str(), inner);
    attron(A_REVERSE);
    DrawCentred(top + height - 2, left + 1, width - 2, "[ OK ]");
    attroff(A_REVERSE);
}

}  // namespace

// What the drawing thread takes from the model for one pass, under the lock.
struct TerminalUi::Frame {
    bool redraw = false;
    bool open = false;
    DialogState state;
    std::vector<ControlColors> colors;  // per control, in state order
    bool has_box = false;
    PendingBox box;
    int beeps = 0;
};

bool StdioIsTerminal() {
    return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
}

bool TerminalAnswers(int fd) {
    struct termios settings {};
    return tcgetattr(fd, &settings) == 0;
}

TerminalUi::TerminalUi(std::string device_root) : device_root_(std::move(device_root)) {}

TerminalUi::~TerminalUi() {
    ForgetTerminal(this);
    Stop();
}

bool TerminalUi::Start() {
    if (!StdioIsTerminal())
        return false;
    KeepStopSignalsFromTheLibrary();
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr)
        return false;
    screen_ = screen;
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    set_escdelay(kEscapeDelayMs);
    curs_set(0);
    timeout(kInputPollMs);
    if (has_colors()) {
        start_color();
        use_default_colors();
        for (int color = 0; color < 8; ++color)
            init_pair(static_cast<short>(color + 1), static_cast<short>(color), -1);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    stop_ = false;
    lost_ = false;
    dirty_ = true;
    thread_ = std::thread(&TerminalUi::Run, this);
    end_hook_ = AddEndHook([this] { Stop(); });
    return true;
}

void TerminalUi::Stop() {
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_)
            return;
        stop_ = true;
        lost = lost_;
    }
    changed_.notify_all();
    thread_.join();
    RemoveEndHook(end_hook_);
    // The drawing thread has ended: this thread is now the only one near the terminal.  A
    // terminal that is gone has nothing to give back.
    if (!lost) {
        endwin();
        delscreen(static_cast<SCREEN*>(screen_));
    }
    screen_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    for (const auto& box : boxes_) {
        box->answered = true;
        box->answer = kIdOk;
    }
    boxes_.clear();
    changed_.notify_all();
}

bool TerminalUi::TerminalLost() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lost_)
            return true;
        if (!running_)
            return false;
    }
    return !TerminalAnswers(STDOUT_FILENO) || !TerminalAnswers(STDIN_FILENO);
}

void TerminalUi::OnTerminalLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || lost_)
        return;
    lost_ = true;
    for (const auto& box : boxes_) {
        box->answered = true;
        box->answer = kIdOk;
    }
    boxes_.clear();
    changed_.notify_all();
}

int TerminalUi::ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_ || stop_ || lost_)
        return kIdOk;
    auto box = std::make_shared<PendingBox>();
    box->text = text;
    box->caption = caption;
    boxes_.push_back(box);
    dirty_ = true;
    changed_.wait(lock, [&box] { return box->answered; });
    return box->answer;
}

void TerminalUi::ErrorBeep() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++beeps_;
}

void TerminalUi::OnDialogOpened(const DialogState& state, DialogSite& site) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    site_ = &site;
    state_ = state;
    dirty_ = true;
}

void TerminalUi::OnDialogChanged(const DialogChange&, const DialogState& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    dirty_ = true;
}

void TerminalUi::OnDialogClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    site_ = nullptr;
    dirty_ = true;
}

// The colours are asked of the dialog here, under the lock that keeps the site valid; the
// dialog answers them without taking a lock of its own.
bool TerminalUi::TakeFrame(Frame* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_ || lost_)
        return false;
    frame->beeps = beeps_;
    beeps_ = 0;
    frame->redraw = dirty_;
    if (!dirty_)
        return true;
    dirty_ = false;
    frame->open = open_;
    frame->state = state_;
    frame->colors.clear();
    for (const ControlState& control : state_.controls) {
        frame->colors.push_back(site_ != nullptr && control.visible ? site_->ColorsOf(control.id)
                                                                    : ControlColors{});
    }
    frame->has_box = !boxes_.empty();
    if (frame->has_box)
        frame->box = *boxes_.front();
    return true;
}

// Every key but the answer of a box is refused while the update runs: the OK and cancel
// commands still reach the dialog, whose close guard decides (and logs the refusal), and the
// person hears or sees the refusal.
void TerminalUi::HandleKey(int key) {
    const bool ok_key = key == '\n' || key == '\r' || key == KEY_ENTER || key == 'o' || key == 'O';
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = true;
    if (key == KEY_RESIZE)
        return;
    if (!boxes_.empty()) {
        if (ok_key || key == kKeyEscape || key == ' ') {
            boxes_.front()->answered = true;
            boxes_.front()->answer = kIdOk;
            boxes_.pop_front();
            changed_.notify_all();
        } else {
            ++beeps_;
        }
        return;
    }
    if (site_ == nullptr)
        return;
    ++beeps_;
    if (ok_key)
        site_->PostCommand(kIdOk);
    else if (key == kKeyEscape)
        site_->PostCommand(kIdCancel);
}

std::string TerminalUi::HintOf(const Frame& frame, int width) {
    return HintText(frame.has_box ? HintMode::kBox : HintMode::kRunning,
                    DescribeProgress(ViewProgress(frame.state)), width);
}

// The dialog in its frame, with the hint row and the device root row below it.
void TerminalUi::DrawDialog(const Frame& frame, bool lit) {
    const DialogState& state = frame.state;
    const CellSize size = FrameSize(state);
    const int top = std::max(0, (LINES - ScreenSize(state).rows) / 2);
    const int left = std::max(0, (COLS - size.cols) / 2);
    DrawRect(top, left, size.rows, size.cols);
    mvaddnstr(top, left + 2, Enclosed(" ", Narrow(state.title), " ").c_str(), size.cols - 9);
    if (state.ex_style & style::kExCaptionOkButton)
        mvaddstr(top, left + size.cols - 6, "[OK]");
    for (size_t i = 0; i < state.controls.size(); ++i) {
        if (state.controls[i].visible)
            DrawControl(state.controls[i], frame.colors[i], top + 1, left + 1);
    }
    if (!state.notice.empty())
        DrawNotice(Narrow(state.notice), top, left, size.rows, size.cols);
    attrset(lit ? A_REVERSE : A_NORMAL);
    DrawBelow(top + size.rows, left, HintOf(frame, COLS));
    attrset(A_NORMAL);
    if (!device_root_.empty())
        DrawBelow(top + size.rows + 1, left, RootText(device_root_, COLS));
}

// Instead of a dialog that does not fit: what to do about it, then what the dialog would say
// (the progress and the keys, the window's notice, the device root), a blank row between
// them where the rows allow.
void TerminalUi::DrawTooSmall(const Frame& frame, bool lit) {
    struct Group {
        std::vector<std::string> lines;
        attr_t attributes;
    };
    std::vector<Group> groups = {
        {Wrap(EnlargeText(ScreenSize(frame.state), {COLS, LINES}), COLS), A_BOLD},
        // The hint's wording that fits two rows.
        {Wrap(HintOf(frame, 2 * COLS), COLS), lit ? attr_t{A_REVERSE} : attr_t{A_NORMAL}},
    };
    if (!frame.state.notice.empty())
        groups.push_back({Wrap(Narrow(frame.state.notice), COLS), A_BOLD});
    if (!device_root_.empty())
        groups.push_back({Wrap(RootText(device_root_, COLS * LINES), COLS), A_NORMAL});
    int rows = -1;
    for (const Group& group : groups)
        rows += static_cast<int>(group.lines.size()) + 1;
    const int gap = rows <= LINES ? 1 : 0;
    int row = 0;
    for (const Group& group : groups) {
        attrset(group.attributes);
        for (const std::string& line : group.lines)
            mvaddnstr(row++, 0, line.c_str(), COLS);
        row += gap;
    }
    attrset(A_NORMAL);
}

void TerminalUi::Draw(const Frame& frame, bool lit) {
    erase();
    const CellSize needed = ScreenSize(frame.state);
    const bool too_small = frame.open && (COLS < needed.cols || LINES < needed.rows);
    if (too_small)
        DrawTooSmall(frame, lit);
    else if (frame.open)
        DrawDialog(frame, lit);
    if (frame.has_box)
        DrawBox(frame.box.caption, frame.box.text, too_small);
    refresh();
}

void TerminalUi::Run() {
    Frame frame;
    int lit_polls = 0;  // polls left with the hint row lit
    while (TakeFrame(&frame)) {
        for (int i = 0; i < frame.beeps; ++i)
            beep();
        const bool was_lit = lit_polls > 0;
        lit_polls = frame.beeps > 0 ? kLitPolls : std::max(0, lit_polls - 1);
        if (frame.redraw || (lit_polls > 0) != was_lit)
            Draw(frame, lit_polls > 0);
        const int key = getch();
        if (key != ERR)
            HandleKey(key);
        // A hung-up terminal reads as an end of input at once: without this check the loop
        // would spin.  The hang-up's signal may come late, or not at all to a program without a
        // controlling terminal.
        if (TerminalLost())
            OnTerminalLost();
    }
}

}  // namespace host::posix
