// The terminal dialog's layout and its own rows, without a terminal.
#include "host/posix/terminal_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/dialog_template.h"

namespace host::posix {
namespace {

DialogState TemplateState() {
    const DialogTemplate& dialog = res::UpdaterDialogTemplate();
    DialogState state;
    state.cx = dialog.cx;
    state.cy = dialog.cy;
    for (const ControlTemplate& control : dialog.controls) {
        ControlState shown;
        shown.id = control.id;
        shown.rect = control.rect;
        state.controls.push_back(shown);
    }
    return state;
}

bool Overlap(const CellRect& a, const CellRect& b) {
    return a.row < b.row + b.rows && b.row < a.row + a.rows && a.col < b.col + b.cols &&
           b.col < a.col + a.cols;
}

// The dialog needs 60x24; every control fits the frame, those shown together keep apart and
// both texts the warning control can hold wrap within its cells.
TEST(TerminalLayoutTest, UpdaterDialogFitsItsCells) {
    const DialogState state = TemplateState();
    const CellSize screen = ScreenSize(state);
    EXPECT_EQ(screen.cols, 60);
    EXPECT_EQ(screen.rows, 24);
    const CellSize frame = FrameSize(state);
    for (const ControlState& control : state.controls) {
        const CellRect at = CellsOf(control.rect);
        EXPECT_LE(at.row + at.rows, frame.rows - 2) << control.id;
        EXPECT_LE(at.col + at.cols, frame.cols - 2) << control.id;
    }
    const std::vector<int> shown = {res::kIdcWarning, res::kIdcStart, res::kIdcStatus,
                                    res::kIdcTimeLeft, res::kIdcProgress};
    for (size_t i = 0; i < shown.size(); ++i) {
        for (size_t j = i + 1; j < shown.size(); ++j) {
            EXPECT_FALSE(
                Overlap(CellsOf(state.Find(shown[i])->rect), CellsOf(state.Find(shown[j])->rect)))
                << shown[i] << " and " << shown[j];
        }
    }
    const CellRect warning = CellsOf(state.Find(res::kIdcWarning)->rect);
    for (const char* text :
         {"Be careful !! \nAny incorrect image or unsuccessful downloading will make modem crash "
          "and unable to restart again.",
          "Upgrading in progress, please do not remove USB cable."}) {
        EXPECT_LE(static_cast<int>(Wrap(text, warning.cols).size()), warning.rows) << text;
    }
}

TEST(TerminalLayoutTest, HintTakesTheLongestWordingThatFits) {
    const struct {
        HintMode mode;
        const char* progress;
        int width;
        const char* expected;
    } cases[] = {
        {HintMode::kRunning, "SW image 42%, 4m38s left", 200,
         "SW image 42%, 4m38s left - please wait, the update cannot be stopped (Ctrl-C twice "
         "stops it, restores the board and leaves the modem unflashed)"},
        {HintMode::kRunning, "SW image 42%, 4m38s left", 80,
         "SW image 42%, 4m38s left - please wait, the update cannot be stopped."},
        {HintMode::kRunning, "", 80, "Please wait, the update cannot be stopped."},
        {HintMode::kRunning, "SW image 42%, 4m38s left", 12, "SW image 42%"},
        {HintMode::kBox, "FS image 100%", 80,
         "FS image 100% - press Enter, Space, Esc or o to answer OK"},
        {HintMode::kBox, "FS image 100%", 12, "Enter: OK"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HintText(c.mode, c.progress, c.width), c.expected) << c.width;
}

TEST(TerminalLayoutTest, RootKeepsItsEndWhenCut) {
    EXPECT_EQ(RootText("/tmp/virtual-board.abc", 80), "device root: /tmp/virtual-board.abc");
    EXPECT_EQ(RootText("/tmp/virtual-board.abc", 30), "device root: ...tual-board.abc");
    EXPECT_EQ(RootText("/tmp/virtual-board.abc", 10), "device roo");
}

TEST(TerminalLayoutTest, HintAndRootNeverOverrunTheirRow) {
    for (int width = 0; width <= 140; ++width) {
        EXPECT_LE(static_cast<int>(RootText("/tmp/virtual-board.abc", width).size()), width);
        for (HintMode mode : {HintMode::kRunning, HintMode::kBox}) {
            for (const char* progress : {"", "FS image 99%, 0m17s left"})
                EXPECT_LE(static_cast<int>(HintText(mode, progress, width).size()), width);
        }
    }
}

TEST(TerminalLayoutTest, WrapBreaksAtSpacesAndLineBreaksAndCutsLongWords) {
    EXPECT_EQ(Wrap("one two three", 7), (std::vector<std::string>{"one two", "three"}));
    EXPECT_EQ(Wrap("a\nb c", 10), (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(Wrap("abcdefgh", 3), (std::vector<std::string>{"abc", "def", "gh"}));
    EXPECT_TRUE(Wrap("abc", 0).empty());
}

}  // namespace
}  // namespace host::posix
