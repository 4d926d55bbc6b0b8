// The AT command recorder.
#include "tools/virtual-board/at_recorder.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vboard {

AtRecorder::AtRecorder(int master, host::Clock& clock) : master_(master), clock_(clock) {}

AtRecorder::~AtRecorder() {
    Stop();
}

bool AtRecorder::Start(std::string* error) {
    if (thread_.joinable())
        return true;
    if (!wake_.Open(error))
        return false;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void AtRecorder::Stop() {
    if (!thread_.joinable())
        return;
    stop_ = true;
    wake_.Signal();
    thread_.join();
}

void AtRecorder::Run() {
    while (!stop_.load()) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            Drain();
        else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            clock_.sleep_us(1000);  // no slave at all: nothing to do but not spin
    }
    Drain();
}

// Reads what is waiting; false when nothing was.
bool AtRecorder::Drain() {
    char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            Take(buffer, static_cast<size_t>(n));
            any = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return any;
        }
    }
}

void AtRecorder::Take(const char* bytes, size_t size) {
    const int64_t now_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < size; ++i) {
        // A line feed after a '\r' ends the last command rather than begin the next one.
        if (pending_.empty() && bytes[i] == '\n')
            continue;
        pending_ += bytes[i];
        if (bytes[i] == '\r')
            commands_.push_back({now_us, std::exchange(pending_, {})});
    }
}

std::vector<AtCommand> AtRecorder::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::string AtRecorder::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
}

}  // namespace vboard
