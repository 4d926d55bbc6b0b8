// Prints what a whole update costs on the in-process board: from OnInitDialog to the closed
// dialog with the generated images and the modem model, once with every byte's time on the
// wire and once without, in virtual time and in wall time.
#include <chrono>
#include <cstdio>

#include "app/exit_codes.h"
#include "tests/support/inprocess_board.h"

namespace {

void WholeUpdate(bool wire_time) {
    sim::InProcessBoard board;
    board.SetWireTime(wire_time);
    const auto wall_start = std::chrono::steady_clock::now();
    const bool ended = board.RunDialog();
    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    std::printf(
        "whole update, wire time %-3s: %8.3f s of virtual time, %6.3f s of wall time (%s)\n",
        wire_time ? "on" : "off", static_cast<double>(board.run_end_us()) / 1e6, wall_s,
        ended && UpdateOutcome() == kExitSuccess ? "success" : "FAILED");
}

}  // namespace

int main() {
    // The first board generates the images; the runs that follow find them ready.
    { sim::InProcessBoard warm_up; }
    WholeUpdate(true);
    WholeUpdate(false);
    return 0;
}
