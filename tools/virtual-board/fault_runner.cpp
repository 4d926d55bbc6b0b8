// The board's faults at their points; see the header.
#include "tools/virtual-board/fault_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "host/device_root.h"

namespace vboard {
namespace {

constexpr int64_t kRepeatIntervalUs = 1'000'000;  // between the sends of a signal's xN
// How long the store lock waits for a transaction of the command's before it gives up.
constexpr int kStoreBusyLimitMs = 10'000;

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool Matches(const Point& point, Point::Kind kind, uint32_t record) {
    return point.kind == kind && point.record == record;
}

}  // namespace

FaultRunner::FaultRunner(const BoardFaults& faults, FaultTargets targets, host::Clock& clock)
    : faults_(faults), targets_(std::move(targets)), clock_(clock) {
    // Armed entries are never added after this: the timers keep references to them.
    if (faults_.unplug)
        Arm(faults_.unplug->point, faults_.unplug->text, [this](const Armed& a) { Unplug(a); });
    if (faults_.shrink_regs)
        Arm(faults_.shrink_regs->point, faults_.shrink_regs->text,
            [this](const Armed& a) { ShrinkRegisters(a); });
    if (faults_.disk_full)
        Arm(faults_.disk_full->point, faults_.disk_full->text,
            [this](const Armed& a) { FillDisk(a); });
    for (const SignalFault& fault : faults_.signals)
        ArmSignal(fault);
}

FaultRunner::~FaultRunner() {
    Finish();
}

void FaultRunner::Arm(const Point& point, const std::string& text,
                      std::function<void(const Armed&)> act) {
    armed_.push_back(Armed{point, text, std::move(act), false});
}

void FaultRunner::ArmSignal(const SignalFault& fault) {
    Arm(fault.point, fault.text, [this, fault](const Armed& armed) {
        Record(armed, "SIG" + fault.name + " sent" +
                          (fault.times > 1 ? ", " + std::to_string(fault.times) + " times" : ""));
        SendSignal(fault.signal, fault.name, fault.point.text);
        for (uint32_t i = 1; i < fault.times; ++i) {
            At(clock_.now_us() + i * kRepeatIntervalUs,
               [this, fault] { SendSignal(fault.signal, fault.name, fault.point.text); });
        }
    });
}

// ---- before and after ----

bool FaultRunner::Prepare(std::string* error) {
    if (faults_.com1_held && !HoldCom1(error))
        return false;
    if (faults_.store_lock) {
        if (!OpenStore(error))
            return false;
        // Taken before the command exists, so that its very first access finds it.
        if (faults_.store_lock->start_us == 0)
            TakeStoreLock(clock_.now_us());
    }
    return true;
}

void FaultRunner::Started(pid_t pid, int64_t start_us) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid_ = pid;
        start_us_ = start_us;
    }
    clock_.update([this] { started_ = true; });
    timer_thread_ = std::thread([this] { TimerLoop(); });
    if (store_ != nullptr)
        lock_thread_ = std::thread([this] { StoreLockLoop(); });
    Reach(Point::Kind::kStart);
}

void FaultRunner::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_.load())
            return;
        clock_.update([this] { finished_ = true; });
    }
    if (timer_thread_.joinable())
        timer_thread_.join();
    if (lock_thread_.joinable())
        lock_thread_.join();
    ReleaseStoreLock();
    if (store_ != nullptr)
        sqlite3_close(store_);
    store_ = nullptr;
    if (com1_fd_ >= 0)
        close(com1_fd_);
    com1_fd_ = -1;
}

// ---- points ----

void FaultRunner::Reach(Point::Kind kind, uint32_t record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_.load())
        return;
    const int64_t now_us = clock_.now_us();
    for (Armed& armed : armed_) {
        if (!armed.fired && Matches(armed.point, kind, record)) {
            armed.fired = true;
            Fire(armed, now_us);
        }
    }
}

void FaultRunner::OnModemPoint(const sim::ModemPoint& point) {
    using Kind = sim::ModemPoint::Kind;
    switch (point.kind) {
        case Kind::kBeaconAnswered:
            return Reach(Point::Kind::kHandshake);
        case Kind::kRecordConfirmed:
            return Reach(point.image == sim::ImageKind::kSw ? Point::Kind::kSw : Point::Kind::kFs,
                         point.record);
        case Kind::kImageComplete:
            if (point.image == sim::ImageKind::kFs)
                Reach(Point::Kind::kComplete);
            return;
    }
}

bool FaultRunner::WantsEnd() const {
    for (const Armed& armed : armed_) {
        if (armed.point.kind == Point::Kind::kEnd)
            return true;
    }
    return false;
}

void FaultRunner::Fire(Armed& armed, int64_t now_us) {
    auto act = [&armed] {
        armed.acted = true;
        armed.act(armed);
    };
    if (armed.point.delay_us == 0)
        act();
    else
        At(now_us + armed.point.delay_us, act);
}

// ---- the timers ----

void FaultRunner::At(int64_t due_us, std::function<void()> fn) {
    timers_.emplace(due_us, std::move(fn));
    clock_.update([this] { timer_version_.fetch_add(1); });
}

void FaultRunner::TimerLoop() {
    while (!finished_.load()) {
        const uint64_t seen = timer_version_.load();
        int64_t due_us = host::kForever;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const int64_t now_us = clock_.now_us();
            while (!timers_.empty() && timers_.begin()->first <= now_us && !finished_.load()) {
                const std::function<void()> fn = std::move(timers_.begin()->second);
                timers_.erase(timers_.begin());
                fn();
            }
            if (!timers_.empty())
                due_us = timers_.begin()->first;
        }
        clock_.wait_until_us(
            due_us, [this, seen] { return finished_.load() || timer_version_.load() != seen; });
    }
}

// ---- the faults ----

void FaultRunner::SendSignal(int signal, const std::string& name, const std::string& point) {
    if (finished_.load() || pid_ <= 0)
        return;
    const bool delivered = kill(pid_, signal) == 0;
    signals_.push_back({name, point, clock_.now_us(), delivered});
}

void FaultRunner::Record(const Armed& armed, std::string detail) {
    applied_.push_back({armed.text, armed.point.text, clock_.now_us(), std::move(detail)});
}

void FaultRunner::Unplug(const Armed& armed) {
    targets_.unplug();
    Record(armed, "COM1's master closed: the line hangs up");
}

void FaultRunner::ShrinkRegisters(const Armed& armed) {
    targets_.stop_pin_sampling();
    const std::string path = host::RegisterFilePath(targets_.root);
    if (truncate(path.c_str(), 0) != 0)
        return Record(armed, Errno("cannot cut board.regs short"));
    Record(armed, "board.regs cut to 0 bytes");
}

// The hard limit stays: only the soft one is lowered, which is what a write is held to.
void FaultRunner::FillDisk(const Armed& armed) {
    rlimit old{};
    if (pid_ <= 0 || prlimit(pid_, RLIMIT_FSIZE, nullptr, &old) != 0)
        return Record(armed, Errno("cannot read the command's file-size limit"));
    rlimit full = old;
    full.rlim_cur = kDiskFullBytes;
    if (full.rlim_max != RLIM_INFINITY && full.rlim_max < full.rlim_cur)
        full.rlim_cur = full.rlim_max;
    if (prlimit(pid_, RLIMIT_FSIZE, &full, nullptr) != 0)
        return Record(armed, Errno("cannot limit the command's file size"));
    Record(armed, "writes to files fail past " + std::to_string(full.rlim_cur) + " bytes");
}

// As the updater takes the port: the lock first, then the tty's exclusive mode (which keeps
// out other openers without privileges; the lock keeps out the updater in any case).
bool FaultRunner::HoldCom1(std::string* error) {
    const int fd = open(targets_.com1_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        *error = Errno(("com1-held: cannot hold " + targets_.com1_path).c_str());
        if (fd >= 0)
            close(fd);
        return false;
    }
    com1_fd_ = fd;
    applied_.push_back({"com1-held", "before the start", clock_.now_us(), "COM1 held and locked"});
    return true;
}

// ---- the store lock ----

bool FaultRunner::OpenStore(std::string* error) {
    const std::string path = host::RegistryPath(targets_.root);
    if (sqlite3_open_v2(path.c_str(), &store_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        *error = "store-lock: cannot open " + path + ": " + sqlite3_errmsg(store_);
        sqlite3_close(store_);
        store_ = nullptr;
        return false;
    }
    // Waits for a transaction of the command's, but not past the end of the run.
    sqlite3_busy_handler(
        store_,
        [](void* self, int count) -> int {
            if (static_cast<FaultRunner*>(self)->finished_.load() || count >= kStoreBusyLimitMs)
                return 0;
            usleep(1000);
            return 1;
        },
        this);
    return true;
}

bool FaultRunner::TakeStoreLock(int64_t now_us) {
    const StoreLock& lock = *faults_.store_lock;
    const bool taken =
        sqlite3_exec(store_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!taken) {
        applied_.push_back({lock.text, lock.point, now_us,
                            std::string("cannot take the write lock: ") + sqlite3_errmsg(store_)});
        return false;
    }
    store_locked_ = true;
    applied_.push_back({lock.text, lock.point, clock_.now_us(), "write transaction begun"});
    return true;
}

void FaultRunner::StoreLockLoop() {
    const StoreLock& lock = *faults_.store_lock;
    const int64_t begin_us = start_us_ + lock.start_us;
    if (!store_locked_) {
        clock_.wait_until_us(begin_us, [this] { return finished_.load(); });
        if (finished_.load() || !TakeStoreLock(clock_.now_us()))
            return;
    }
    clock_.wait_until_us(begin_us + lock.duration_us, [this] { return finished_.load(); });
    ReleaseStoreLock();
}

void FaultRunner::ReleaseStoreLock() {
    if (!store_locked_)
        return;
    sqlite3_exec(store_, "ROLLBACK", nullptr, nullptr, nullptr);
    store_locked_ = false;
    std::lock_guard<std::mutex> guard(mutex_);
    applied_.push_back({faults_.store_lock->text, faults_.store_lock->point, clock_.now_us(),
                        "write transaction ended"});
}

// ---- results ----

std::vector<AppliedFault> FaultRunner::Applied() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return applied_;
}

std::vector<SentSignal> FaultRunner::Signals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signals_;
}

std::vector<std::string> FaultRunner::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> pending;
    for (const Armed& armed : armed_) {
        if (!armed.acted)
            pending.push_back(armed.text);
    }
    if (faults_.store_lock) {
        bool begun = false;
        for (const AppliedFault& applied : applied_)
            begun = begun || (applied.fault == faults_.store_lock->text &&
                              applied.detail == "write transaction begun");
        if (!begun)
            pending.push_back(faults_.store_lock->text);
    }
    return pending;
}

}  // namespace vboard
