// The power manager's request log file on Win32.
#include "host/win32/power_log.h"

#include "host/lost_file.h"

namespace host::win32 {

bool AppendAll(HANDLE handle, const char* text, size_t size, std::string* why) {
    size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        if (!WriteFile(handle, text + done, static_cast<DWORD>(size - done), &put, nullptr)) {
            *why = SystemErrorText(GetLastError());
            return false;
        }
        if (put == 0) {
            *why = "nothing was written";
            return false;
        }
        done += put;
    }
    return true;
}

PowerLog::PowerLog(const std::string& path, Clock& clock, std::FILE* report)
    : PowerRequestLog(clock), path_(path), report_(report) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file, as
    // with O_APPEND, whatever another writer has appended meanwhile.
    std::string why;
    if (!file_.Open(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS, &why))
        GiveUp(why);
}

void PowerLog::GiveUp(const std::string& reason) {
    file_.Close();
    ReportLostFile(report_, "power log", path_, reason, "power requests go unrecorded");
}

void PowerLog::AppendLine(const std::string& line) {
    std::string why;
    if (file_.ok() && !AppendAll(file_.get(), line.data(), line.size(), &why))
        GiveUp(why);
}

}  // namespace host::win32
