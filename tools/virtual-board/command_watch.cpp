// The watch on the running command; see the header.
#include "tools/virtual-board/command_watch.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>
#include <utility>

namespace vboard {
namespace {

// The settings key's folded path and Progress's folded name, as the store keeps them.
constexpr const char* kProgressQuery =
    "SELECT data FROM key_values WHERE key = 'software\\qzx\\kelvaro' AND folded = 'progress'";

}  // namespace

bool IsFinalProgress(int64_t value) {
    return value == 100 || value == -1 || value == 0xFFFFFFFF;
}

// /proc/PID/task counts a link for each thread beside its own two: one stat, where reading
// /proc/PID/status would have the kernel format a page of text a hundred times a second.
uint32_t ThreadsOf(pid_t pid) {
    struct stat st {};
    const std::string path = "/proc/" + std::to_string(pid) + "/task";
    if (stat(path.c_str(), &st) != 0 || st.st_nlink < 2)
        return 0;
    return static_cast<uint32_t>(st.st_nlink - 2);
}

CommandWatch::CommandWatch(WatchOptions options, host::Clock& clock)
    : options_(std::move(options)), clock_(clock) {}

CommandWatch::~CommandWatch() {
    Stop();
}

// The store is opened read-only: the watch must never take a lock the command could wait on.
void CommandWatch::Start(pid_t pid, int64_t start_us) {
    pid_ = pid;
    start_us_ = start_us;
    if (options_.on_end && sqlite3_open_v2(options_.registry_path.c_str(), &store_,
                                           SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(store_);
        store_ = nullptr;
    }
    stop_ = false;
    Sample(clock_.now_us());  // at once: the command may not live to the thread's first look
    thread_ = std::thread([this] { Run(); });
}

void CommandWatch::Stop() {
    if (!thread_.joinable())
        return;
    clock_.update([this] { stop_ = true; });
    thread_.join();
    if (store_ != nullptr)
        sqlite3_close(store_);
    store_ = nullptr;
}

WatchFacts CommandWatch::Facts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return facts_;
}

void CommandWatch::Run() {
    int64_t next_us = clock_.now_us();
    while (!stop_.load()) {
        next_us += kSampleIntervalUs;
        clock_.wait_until_us(next_us, [this] { return stop_.load(); });
        const int64_t now_us = clock_.now_us();
        if (next_us < now_us)
            next_us = now_us;
        Sample(now_us);
        if (store_ != nullptr && now_us >= next_progress_us_)
            WatchProgress(now_us);
    }
}

void CommandWatch::Sample(int64_t now_us) {
    const uint32_t threads = ThreadsOf(pid_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++facts_.samples;
        if (threads > facts_.threads_max)
            facts_.threads_max = threads;
    }
    if (options_.thread_limit && threads > *options_.thread_limit)
        Kill("thread limit");
    else if (options_.time_limit_us && now_us - start_us_ > *options_.time_limit_us)
        Kill("time limit");
}

void CommandWatch::Kill(const char* why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!facts_.killed_for.empty())
            return;
        facts_.killed_for = why;
    }
    kill(pid_, SIGKILL);
}

void CommandWatch::WatchProgress(int64_t now_us) {
    next_progress_us_ = now_us + kProgressIntervalUs;
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(store_, kProgressQuery, -1, &query, nullptr) != SQLITE_OK)
        return;  // the store is not laid out (yet), or not a store at all
    std::optional<int64_t> progress;
    if (sqlite3_step(query) == SQLITE_ROW && sqlite3_column_type(query, 0) == SQLITE_INTEGER)
        progress = sqlite3_column_int64(query, 0);
    sqlite3_finalize(query);
    if (!progress)
        return;
    if (!IsFinalProgress(*progress)) {
        progress_running_ = true;
        return;
    }
    if (!progress_running_)
        return;
    progress_running_ = false;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = !facts_.end_us;
        if (first)
            facts_.end_us = now_us;
    }
    if (first)
        options_.on_end();
}

}  // namespace vboard
