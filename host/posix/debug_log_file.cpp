// The debug log file.
#include "host/posix/debug_log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/lost_file.h"

namespace host::posix {

DebugLogFile::DebugLogFile(const std::string& path, std::FILE* report)
    : path_(path), report_(report) {
    // O_NONBLOCK: a FIFO planted under the name must not hold the start up.
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
               0644);
    if (fd_ < 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        GiveUp(errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
    }
}

DebugLogFile::~DebugLogFile() {
    if (fd_ >= 0)
        close(fd_);
}

bool DebugLogFile::ok() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

void DebugLogFile::GiveUp(const std::string& reason) {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    ReportLostFile(report_, "debug log", path_, reason, "the update goes on without it");
}

void DebugLogFile::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t done = 0;
    while (fd_ >= 0 && done < text.size()) {
        const ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            GiveUp(std::strerror(errno));
        } else if (n == 0) {
            GiveUp("nothing was written");
        }
    }
}

}  // namespace host::posix
