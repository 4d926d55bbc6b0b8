#include "host/exit_note.h"

#include <mutex>

namespace host {
namespace {

std::mutex g_lock;
std::string g_note;

}  // namespace

void SetExitNote(const std::string& note) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_note = note;
}

std::string ExitNote() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_note;
}

}  // namespace host
