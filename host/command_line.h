// What the updater's start does the same on every host: its answer to --help, --version and a
// usage error, before anything is read or made; the refused start's outcome line; and the
// outcome line once the application has ended.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace host {

class LineUi;

// Exit status when the start is refused before the application runs (no usable device root,
// an untrusted one, or one that another updater is using).
constexpr int kExitNoDeviceRoot = 2;
// The status of a usage error, and of an end that recorded no outcome.
constexpr int kExitUsage = 2;
constexpr int kExitFailureStatus = 1;

// The usage text: the platform's paragraph on its device root goes in the middle.
std::string UpdaterUsage(const std::string& environment);

// args: the arguments after the program's name.  --help (or -h) prints `usage` on standard
// output, --version the program's version, both answering 0; anything else is a usage error
// answering kExitUsage.  Nothing when there are no arguments and the update may run.
std::optional<int> AnswerArguments(const std::vector<std::string>& args, const std::string& usage);

// Records the refusal and prints its outcome line on standard error, then `help`, if any.
void RefuseStart(const std::string& why, const char* help = "");

// The outcome line once the application has ended, however it ends; line mode also ends its
// output with it, so that a script reading standard output alone learns how the run ended.
void PrintOutcome(int code, LineUi* line_ui);

}  // namespace host
