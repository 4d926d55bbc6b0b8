#include "host/posix/terminal_layout.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>

namespace host::posix {
namespace {

// The frame takes a cell on every side; below it the hint row and the root row.
constexpr int kFrameCells = 2;
constexpr int kRowsBelowFrame = 2;
constexpr const char* kRootLabel = "device root: ";
constexpr const char* kCut = "...";

// What the keys do, longest first.  The interrupt's note only where it fits: it is the one
// way out, and it leaves the modem without its firmware.
constexpr std::initializer_list<const char*> kRunningHints = {
    "please wait, the update cannot be stopped (Ctrl-C twice stops it, restores the board and "
    "leaves the modem unflashed)",
    "please wait, the update cannot be stopped.",
    "cannot be stopped, please wait.",
};
constexpr std::initializer_list<const char*> kBoxHints = {
    "press Enter, Space, Esc or o to answer OK",
    "Enter: OK",
};

// "PROGRESS - what", or "What" alone while there is no progress to show.
std::string Joined(const std::string& progress, const std::string& what) {
    if (!progress.empty())
        return progress + " - " + what;
    std::string text = what;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

int ToCol(int x_du) {
    return x_du * 2 / 5;
}

int ToRow(int y_du) {
    return y_du / 8;
}

CellRect CellsOf(const DialogRect& rect) {
    const int row = ToRow(rect.y);
    const int col = ToCol(rect.x);
    return {row, col, std::max(1, ToRow(rect.y + rect.cy) - row),
            std::max(1, ToCol(rect.x + rect.cx) - col)};
}

CellSize FrameSize(const DialogState& state) {
    return {ToCol(state.cx) + kFrameCells, ToRow(state.cy) + kFrameCells};
}

CellSize ScreenSize(const DialogState& state) {
    const CellSize frame = FrameSize(state);
    return {frame.cols, frame.rows + kRowsBelowFrame};
}

std::string HintText(HintMode mode, const std::string& progress, int width) {
    const auto& hints = mode == HintMode::kRunning ? kRunningHints : kBoxHints;
    for (const char* hint : hints) {
        if (std::string text = Joined(progress, hint); static_cast<int>(text.size()) <= width)
            return text;
    }
    // In a box the answer matters more than the progress; while running, the progress.
    std::string last = mode == HintMode::kBox ? Joined("", *(hints.end() - 1)) : progress;
    return last.substr(0, static_cast<size_t>(std::max(width, 0)));
}

std::string RootText(const std::string& root, int width) {
    std::string text = kRootLabel + root;
    if (static_cast<int>(text.size()) <= width)
        return text;
    const int keep = width - static_cast<int>(std::strlen(kRootLabel) + std::strlen(kCut));
    if (keep <= 0)
        return text.substr(0, static_cast<size_t>(std::max(width, 0)));
    return kRootLabel + std::string(kCut) + root.substr(root.size() - keep);
}

std::string EnlargeText(CellSize needed, CellSize have) {
    return "Enlarge the terminal to at least " + std::to_string(needed.cols) + "x" +
           std::to_string(needed.rows) + " (it is " + std::to_string(have.cols) + "x" +
           std::to_string(have.rows) + ")";
}

std::vector<std::string> Wrap(const std::string& text, int width) {
    std::vector<std::string> lines;
    if (width <= 0)
        return lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string paragraph = text.substr(start, end == std::string::npos ? end : end - start);
        std::string line;
        size_t pos = 0;
        while (pos < paragraph.size()) {
            size_t next = paragraph.find(' ', pos);
            std::string word = paragraph.substr(pos, next == std::string::npos ? next : next - pos);
            pos = next == std::string::npos ? paragraph.size() : next + 1;
            if (!line.empty() && static_cast<int>(line.size() + 1 + word.size()) > width) {
                lines.push_back(line);
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
            while (static_cast<int>(line.size()) > width) {
                lines.push_back(line.substr(0, width));
                line = line.substr(width);
            }
        }
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

}  // namespace host::posix
