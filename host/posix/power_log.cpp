// The power manager's request log file.
#include "host/posix/power_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/lost_file.h"

namespace host::posix {

PowerLog::PowerLog(const std::string& path, Clock& clock, std::FILE* report)
    : PowerRequestLog(clock), path_(path), report_(report) {
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
               0644);
    if (fd_ < 0)
        GiveUp(errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
}

void PowerLog::GiveUp(const std::string& reason) {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    ReportLostFile(report_, "power log", path_, reason, "power requests go unrecorded");
}

PowerLog::~PowerLog() {
    if (fd_ >= 0)
        close(fd_);
}

void PowerLog::AppendLine(const std::string& line) {
    // One write per line with O_APPEND: a reader never sees half a request, and the line is in
    // the file before the request returns.
    size_t done = 0;
    while (fd_ >= 0 && done < line.size()) {
        const ssize_t n = write(fd_, line.data() + done, line.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            GiveUp(n == 0 ? "nothing was written" : std::strerror(errno));
    }
}

}  // namespace host::posix
