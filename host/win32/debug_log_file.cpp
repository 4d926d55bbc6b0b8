// The debug log file on Win32.
#include "host/win32/debug_log_file.h"

#include "host/lost_file.h"
#include "host/win32/power_log.h"

namespace host::win32 {

DebugLogFile::DebugLogFile(const std::string& path, std::FILE* report)
    : path_(path), report_(report) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string why;
    if (!file_.Open(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS, &why))
        GiveUp(why);
}

bool DebugLogFile::ok() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_.ok();
}

void DebugLogFile::GiveUp(const std::string& reason) {
    file_.Close();
    ReportLostFile(report_, "debug log", path_, reason, "the update goes on without it");
}

void DebugLogFile::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string why;
    if (file_.ok() && !AppendAll(file_.get(), text.data(), text.size(), &why))
        GiveUp(why);
}

}  // namespace host::win32
