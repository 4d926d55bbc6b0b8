// The modem's pins, read from the register file.
#include "sim/register_file_pins.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "host/board.h"
#include "host/posix/register_file.h"

namespace sim {
namespace {

// Whether the batch tells that the watch is gone (the file was removed or the watch taken off):
// no event will come after it.
bool WatchEnded(const char* events, size_t size) {
    for (size_t at = 0; at + sizeof(inotify_event) <= size;) {
        inotify_event event;
        std::memcpy(&event, events + at, sizeof event);
        if (event.mask & IN_IGNORED)
            return true;
        at += sizeof event + event.len;
    }
    return false;
}

}  // namespace

RegisterFilePins::RegisterFilePins(const host::posix::RegisterFile& file, host::Clock& clock,
                                   std::string path)
    : file_(file), clock_(clock), path_(std::move(path)) {
    tracker_.Reset(Levels());
    if (!path_.empty())
        StartWatch();
}

RegisterFilePins::~RegisterFilePins() {
    if (watcher_.joinable()) {
        // Removing the watch queues an IN_IGNORED event, which wakes the watcher's read.
        stop_watch_ = true;
        inotify_rm_watch(inotify_fd_, watch_);
        watcher_.join();
    }
    if (inotify_fd_ >= 0)
        close(inotify_fd_);
}

void RegisterFilePins::StartWatch() {
    inotify_fd_ = inotify_init1(IN_CLOEXEC);
    if (inotify_fd_ < 0)
        return;
    // IN_MODIFY covers writes and a cut; IN_ATTRIB and IN_DELETE_SELF a replaced file.
    watch_ = inotify_add_watch(inotify_fd_, path_.c_str(), IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF);
    if (watch_ >= 0)
        watcher_ = std::thread([this] { Watch(); });
}

// Notes the levels after every batch of writes and tells the listener when they changed.
void RegisterFilePins::Watch() {
    alignas(inotify_event) char events[4096];
    while (!stop_watch_) {
        const ssize_t got = read(inotify_fd_, events, sizeof events);
        if (got <= 0 || stop_watch_ || WatchEnded(events, static_cast<size_t>(got)))
            break;
        if (!tracker_.Note(clock_.now_us(), Levels()))
            continue;
        std::lock_guard<std::mutex> lock(listener_mutex_);
        if (listener_)
            listener_();
    }
}

void RegisterFilePins::SetListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(listener_mutex_);
    listener_ = std::move(listener);
}

void RegisterFilePins::StopSampling() {
    std::lock_guard<std::mutex> lock(sample_mutex_);
    stopped_ = true;
}

bool RegisterFilePins::cut_short() const {
    std::lock_guard<std::mutex> lock(sample_mutex_);
    return cut_short_;
}

PinLevels RegisterFilePins::Levels() {
    std::lock_guard<std::mutex> lock(sample_mutex_);
    if (stopped_)
        return last_;
    struct stat st {};
    if (!path_.empty() && (stat(path_.c_str(), &st) != 0 ||
                           st.st_size < static_cast<off_t>(host::posix::RegisterFile::kFileSize))) {
        stopped_ = true;
        cut_short_ = true;
        return last_;
    }
    last_ = Sample();
    return last_;
}

PinLevels RegisterFilePins::Sample() {
    return LevelsOf(file_.Peek(host::reg::kCpldMode), file_.Peek(host::reg::kGpioADat),
                    file_.Peek(host::reg::kGpioBDat));
}

std::vector<PinChange> RegisterFilePins::TakeChanges() {
    tracker_.Note(clock_.now_us(), Levels());
    return tracker_.Take();
}

}  // namespace sim
