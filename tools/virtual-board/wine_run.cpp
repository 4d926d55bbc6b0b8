// The Wine side of a board run.
#include "tools/virtual-board/wine_run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

namespace vboard {
namespace {

// The bound of each Wine step when the run has no time limit.
constexpr int64_t kStepLimitUs = 120'000'000;

std::string PrefixPath(const Options& options, const std::string& root) {
    if (!options.wine_prefix)
        return root + "/wine";
    return std::filesystem::absolute(*options.wine_prefix).lexically_normal().string();
}

sim::WinePrefixOptions PrefixOptions(const Options& board, const Deadline& deadline) {
    sim::WinePrefixOptions options;
    options.headless = !board.wine_display;
    options.step_limit_us = kStepLimitUs;
    options.deadline_us = deadline.end_us();
    return options;
}

double SecondsSince(host::Clock& clock, int64_t start_us) {
    return static_cast<double>(clock.now_us() - start_us) / 1e6;
}

}  // namespace

Deadline::Deadline(const std::optional<int64_t>& limit_us, host::Clock& clock)
    : clock_(clock), end_us_(limit_us ? clock.now_us() + *limit_us : host::kForever) {}

int64_t Deadline::Left(int64_t cap_us) const {
    if (!limited())
        return cap_us;
    return std::max<int64_t>(1, std::min(cap_us, end_us_ - clock_.now_us()));
}

WineRun::WineRun(const Options& options, const std::string& root, host::Clock& clock,
                 const Deadline& deadline)
    : clock_(clock),
      deadline_(deadline),
      root_(root),
      setup_{options.device_name, options.reboot, false},
      prefix_(PrefixPath(options, root), clock, PrefixOptions(options, deadline)) {}

WineRun::~WineRun() {
    if (made_ && !ended_)
        prefix_.KillServer();
}

bool WineRun::Prepare(std::string* error) {
    const int64_t start_us = clock_.now_us();
    std::vector<sim::RegEntry> entries = sim::PortEntries(root_);
    for (sim::RegEntry& entry : WineRegistryEntries(setup_))
        entries.push_back(std::move(entry));
    // A folder that Make refuses is someone else's: its server is not the board's to end.
    made_ = prefix_.Make(error);
    if (!made_ || !prefix_.Import(entries, error))
        return false;
    facts_.prefix = prefix_.path();
    facts_.from_template = prefix_.from_template();
    facts_.setup_s = SecondsSince(clock_, start_us);
    return true;
}

std::optional<sim::WineRegistry> WineRun::End(RunFacts* run) {
    const int64_t start_us = clock_.now_us();
    std::string error;
    // A server killed at the time limit still writes its files: they are read all the same.
    if (!prefix_.WaitForServer(deadline_.Left(kStepLimitUs), &error))
        std::fprintf(stderr, "virtual-board: %s\n", error.c_str());
    ended_ = true;
    facts_.server_wait_s = SecondsSince(clock_, start_us);
    run->wine = facts_;
    sim::WineRegistry machine;
    if (prefix_.ReadMachine(&machine, &error))
        return machine;
    std::fprintf(stderr, "virtual-board: Wine's registry cannot be read back: %s\n", error.c_str());
    return std::nullopt;
}

}  // namespace vboard
