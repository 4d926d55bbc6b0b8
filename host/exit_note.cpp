#include "host/exit_note.h"

#include <mutex>

namespace host {
namespace {

std::mutex g_lock;
std::string g_note;
std::optional<int> g_code;

// The program's exit statuses (app/exit_codes.h), by the word a script greps for.
const char* Verdict(int code) {
    switch (code) {
        case 0:
            return "success";
        case 1:
            return "failed";
        case 2:
            return "refused";
        case 3:
            return "closed";
        case 4:
            return "not restored";
        default:
            return "ended";
    }
}

}  // namespace

void SetExitOutcome(int code, const std::string& note) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_code = code;
    g_note = note;
}

std::string ExitNote() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_note;
}

std::optional<int> RecordedExitStatus() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_code;
}

std::string OutcomeText(int code) {
    std::string note = ExitNote();
    if (note.empty())
        note = "the update ended without a recorded reason";
    return std::string(Verdict(code)) + ": " + note;
}

std::string OutcomeLine(int code) {
    return "gsm-updater: " + OutcomeText(code) + " (exit " + std::to_string(code) + ")";
}

}  // namespace host
