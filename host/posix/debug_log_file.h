// The updater's debug output on a POSIX host: appended to the device root's debug.log, one
// write per text, so that a crash loses nothing.
//
// The file is opened without following a symbolic link.  A log that cannot be opened or written
// is reported once, on standard error, and the update goes on without it: from the first
// failure on nothing more is written, so the log never holds pieces of texts after a gap.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "host/debug_log.h"

namespace host::posix {

class DebugLogFile final : public LogSink {
  public:
    // `report` receives the one line that says the log is lost (standard error in production).
    explicit DebugLogFile(const std::string& path, std::FILE* report = stderr);
    ~DebugLogFile() override;
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
    int fd_ = -1;
};

}  // namespace host::posix
