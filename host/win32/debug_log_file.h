// The updater's debug output on a Win32 host: appended to the device root's debug.log, one
// WriteFile per text on a handle opened for appending only, so that a crash loses nothing.
//
// The file is never opened through a symbolic link.  A log that cannot be opened or written is
// reported once, on standard error, and the update goes on without it: from the first failure
// on nothing more is written, so the log never holds pieces of texts after a gap.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "host/debug_log.h"
#include "host/win32/root_file.h"

namespace host::win32 {

class DebugLogFile final : public LogSink {
  public:
    // `report` receives the one line that says the log is lost (standard error in production).
    explicit DebugLogFile(const std::string& path, std::FILE* report = stderr);
    DebugLogFile(const DebugLogFile&) = delete;
    DebugLogFile& operator=(const DebugLogFile&) = delete;

    // False once the log has been given up.
    bool ok();
    void Write(std::string_view text) override;

  private:
    // Under mutex_: gives the log up, saying why once.
    void GiveUp(const std::string& reason);

    std::string path_;
    std::FILE* report_;
    std::mutex mutex_;
    RootFile file_;
};

}  // namespace host::win32
