// Where the terminal dialog puts things and what its own rows say, apart from the screen
// library, so that the choices can be checked without a terminal.
//
// The screen, top to bottom: the dialog in its frame, the hint row (progress and what the keys
// do now), the device root row.  A terminal too small for that gets a notice instead, with the
// progress and the root, so that a person still sees the update run.
#pragma once

#include <string>
#include <vector>

#include "host/frontend.h"

namespace host::posix {

struct CellSize {
    int cols = 0;
    int rows = 0;
};

// Dialog units to character cells: 5 across and 8 down (one line of the dialog's font) make
// two cells and one row.
int ToCol(int x_du);
int ToRow(int y_du);

// Where a control goes inside the frame: at least one cell each way.
struct CellRect {
    int row = 0;
    int col = 0;
    int rows = 0;
    int cols = 0;
};
CellRect CellsOf(const DialogRect& rect);

// The dialog with its frame, and the whole screen: the frame plus the hint and root rows.
CellSize FrameSize(const DialogState& state);
CellSize ScreenSize(const DialogState& state);

enum class HintMode {
    kRunning,  // the dialog is open: the update runs and no key stops it
    kBox,      // a message box waits for its answer
};

// The hint row: the progress ("SW image 42%, 4m38s left"), then what the keys do, in the
// longest wording that fits `width` cells.
std::string HintText(HintMode mode, const std::string& progress, int width);

// "device root: PATH"; a path too long for `width` keeps its end, which names the root.
std::string RootText(const std::string& root, int width);

// "Enlarge the terminal to at least 60x24 (it is 40x12)".
std::string EnlargeText(CellSize needed, CellSize have);

// Greedy word wrap at spaces and line breaks; a word longer than the width is cut.
std::vector<std::string> Wrap(const std::string& text, int width);

}  // namespace host::posix
