// The updater's start, the same on every host.
#include "host/command_line.h"

#include <cstdio>

#include "host/exit_note.h"
#include "host/line_ui.h"
#include "host/version.h"

namespace host {
namespace {

constexpr const char* kUsageHead =
    "usage: gsm-updater [--help | --version]\n"
    "\n"
    "Updates the GSM modem's firmware: takes the radio stack off the modem, switches the\n"
    "board's modem path to the download path, replays the SW and FS images embedded in the\n"
    "program over COM1: with byte-wise verification, then restores the board and publishes\n"
    "the result in the registry value Progress (100 or -1).  It takes no arguments: started,\n"
    "it runs the whole update by itself.\n"
    "\n";

constexpr const char* kUsageTail =
    "When it ends it writes one outcome line on standard error:\n"
    "  gsm-updater: VERDICT: WHY (exit STATUS)\n"
    "e.g. \"gsm-updater: success: the modem was updated (exit 0)\" or\n"
    "\"gsm-updater: failed: COM1: could not be opened: ROOT/dev/COM1: No such file or\n"
    "directory (exit 1)\".\n"
    "\n"
    "Exit status:\n"
    "  0  success: both images confirmed (the device restart requested, if Reboot is 1)\n"
    "  1  failed: the update failed (COM1: could not be opened, the modem never answered,\n"
    "     a wrong answer in the sixth attempt, stopped by a signal); the board is restored\n"
    "     and Progress is -1\n"
    "  2  refused: the start was refused (no usable device root, another updater running,\n"
    "     a usage error); nothing was touched\n"
    "  3  closed: the dialog was closed before the update started\n"
    "  4  not restored: the update ended but a setting could not be put back (the modem\n"
    "     path, AWRCWR or Progress); the line says which\n";

bool IsHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

}  // namespace

std::string UpdaterUsage(const std::string& environment) {
    return std::string(kUsageHead) + environment + kUsageTail;
}

std::optional<int> AnswerArguments(const std::vector<std::string>& args, const std::string& usage) {
    if (args.empty())
        return std::nullopt;
    const std::string& first = args[0];
    if (args.size() == 1 && IsHelp(first)) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    if (args.size() == 1 && first == "--version") {
        std::printf("gsm-updater %s\n", ProjectVersion());
        return 0;
    }
    const std::string what = args.size() > 1 && (IsHelp(first) || first == "--version")
                                 ? "unexpected argument '" + args[1] + "'"
                             : first.starts_with("-") ? "unknown option '" + first + "'"
                                                      : "unexpected argument '" + first + "'";
    std::fprintf(stderr, "gsm-updater: %s (it takes no arguments)\nTry 'gsm-updater --help'.\n",
                 what.c_str());
    return kExitUsage;
}

void RefuseStart(const std::string& why, const char* help) {
    SetExitOutcome(kExitNoDeviceRoot, why + "; the update was not started");
    std::fprintf(stderr, "%s\n%s", OutcomeLine(kExitNoDeviceRoot).c_str(), help);
}

void PrintOutcome(int code, LineUi* line_ui) {
    if (line_ui != nullptr)
        line_ui->Outcome(code, OutcomeText(code));
    std::fprintf(stderr, "%s\n", OutcomeLine(code).c_str());
    std::fflush(stderr);
}

}  // namespace host
