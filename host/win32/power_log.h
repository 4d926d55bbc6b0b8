// The power manager on a Win32 host: the request log of host/power_request_log.h appended to
// the device root's power.log, one WriteFile per line on a handle opened for appending only, so
// that the virtual board sees every request at once and never half of one.
#pragma once

#include <cstdio>
#include <string>

#include "host/clock.h"
#include "host/power_request_log.h"
#include "host/win32/root_file.h"

namespace host::win32 {

class PowerLog final : public PowerRequestLog {
  public:
    // The log is never opened through a symbolic link.  Requests are still answered when it
    // cannot be opened or written (ok() false); that is said once on `report` (standard error
    // in production), and from then on requests are not written anywhere.
    PowerLog(const std::string& path, Clock& clock, std::FILE* report = stderr);
    PowerLog(const PowerLog&) = delete;
    PowerLog& operator=(const PowerLog&) = delete;

    bool ok() const { return file_.ok(); }

  private:
    void AppendLine(const std::string& line) override;
    void GiveUp(const std::string& reason);

    std::string path_;
    std::FILE* report_;
    RootFile file_;
};

// Appends all of `text` to a handle opened with FILE_APPEND_DATA, retrying what a short write
// left; false with the reason in *why when the system refuses or writes nothing.
bool AppendAll(HANDLE handle, const char* text, size_t size, std::string* why);

}  // namespace host::win32
