// The power manager on a POSIX host: the request log of host/power_request_log.h appended to
// the device root's power.log, one write per line, so that the virtual board sees every request
// at once.
#pragma once

#include <cstdio>
#include <string>

#include "host/clock.h"
#include "host/power_request_log.h"

namespace host::posix {

class PowerLog final : public PowerRequestLog {
  public:
    // The log is opened without following a symbolic link.  Requests are still answered when
    // it cannot be opened or written (ok() false); that is said once on `report` (standard
    // error in production), and from then on requests are not written anywhere.
    PowerLog(const std::string& path, Clock& clock, std::FILE* report = stderr);
    ~PowerLog() override;
    PowerLog(const PowerLog&) = delete;
    PowerLog& operator=(const PowerLog&) = delete;

    bool ok() const { return fd_ >= 0; }

  private:
    void AppendLine(const std::string& line) override;
    void GiveUp(const std::string& reason);

    std::string path_;
    std::FILE* report_;
    int fd_ = -1;
};

}  // namespace host::posix
