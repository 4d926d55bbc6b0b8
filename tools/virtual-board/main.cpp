// virtual-board: the board around the updater on a host.  It provisions a device root, runs
// the modem model on a pseudo-terminal for COM1: and an AT command recorder on one for VEI1:,
// runs the command under test against them and reports what the board saw.
#include <cstdio>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/platform.h"
#include "host/posix/device_root.h"
#include "host/posix/register_file.h"
#include "host/real_clock.h"
#include "res/embedded_resources.h"
#include "sim/board_pins.h"
#include "sim/modem_model.h"
#include "sim/pty_line.h"
#include "tools/virtual-board/at_recorder.h"
#include "tools/virtual-board/board_report.h"
#include "tools/virtual-board/command.h"
#include "tools/virtual-board/command_watch.h"
#include "tools/virtual-board/fault_runner.h"
#include "tools/virtual-board/options.h"
#include "tools/virtual-board/provision.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Failed(const std::string& message) {
    std::fprintf(stderr, "virtual-board: %s\n", message.c_str());
    return kExitFailed;
}

std::span<const uint8_t> EmbeddedImage(int id) {
    res::EmbeddedResources resources;
    const host::ResourceModule module = resources.Module();
    const host::ResourceId image = resources.Find(module, host::kBinType, id);
    const uint8_t* bytes = resources.Load(module, image);
    if (bytes == nullptr)
        return {};
    return {bytes, resources.SizeOf(module, image)};
}

// The pseudo-terminals of the run, linked into the root as the options say.
struct Devices {
    sim::PtyDevice com1;
    sim::PtyDevice vei1;
};

bool MakeDevices(const vboard::Options& options, const std::string& root, Devices* devices,
                 std::string* error) {
    if (!devices->com1.Open(error) || !devices->vei1.Open(error))
        return false;
    if (options.com1 && !vboard::LinkDevice(root, "COM1", devices->com1.slave_path(), error))
        return false;
    return !options.vei1 || vboard::LinkDevice(root, "VEI1", devices->vei1.slave_path(), error);
}

bool WriteReport(const vboard::Options& options, const std::string& report) {
    if (!options.report_path) {
        std::fwrite(report.data(), 1, report.size(), stdout);
        return std::fflush(stdout) == 0;
    }
    std::ofstream file(*options.report_path, std::ios::binary | std::ios::trunc);
    file << report;
    file.close();
    return static_cast<bool>(file);
}

vboard::FaultTargets Targets(const std::string& root, const Devices& devices,
                             sim::PtyModemLine& line, sim::RegisterFilePins& pins) {
    vboard::FaultTargets targets;
    targets.root = root;
    targets.com1_path = devices.com1.slave_path();
    targets.unplug = [&line] { line.Unplug(); };
    targets.stop_pin_sampling = [&pins] { pins.StopSampling(); };
    return targets;
}

// Everything that runs beside the command, started and stopped together.
class Board {
  public:
    Board(const vboard::Options& options, const std::string& root, Devices& devices,
          host::Clock& clock, const host::posix::RegisterFile& registers)
        : pins_(registers, clock, host::posix::RegisterFilePath(root)),
          line_(devices.com1.master(), clock, options.pace),
          recorder_(devices.vei1.master(), clock),
          registers_path_(host::posix::RegisterFilePath(root)),
          faults_(options.board_faults, Targets(root, devices, line_, pins_), clock) {
        sim::ModemOptions modem_options;
        modem_options.faults = options.faults;
        modem_options.on_point = [this](const sim::ModemPoint& point) {
            faults_.OnModemPoint(point);
        };
        model_ =
            std::make_unique<sim::ModemModel>(line_, pins_, clock, EmbeddedImage(host::kSwImageId),
                                              EmbeddedImage(host::kFsImageId), modem_options);
    }

    bool Start(std::string* error) {
        if (!line_.Start(error) || !recorder_.Start(error))
            return false;
        model_->Start();
        return faults_.Prepare(error);
    }

    vboard::FaultRunner& faults() { return faults_; }

    // The model first: it may be waiting in the line.
    void Stop(vboard::RunFacts* run) {
        faults_.Finish();
        model_->Stop();
        line_.Stop();
        recorder_.Stop();
        run->faults_applied = faults_.Applied();
        run->faults_pending = faults_.Pending();
        run->signals_sent = faults_.Signals();
        run->register_file_cut_short = pins_.cut_short();
        run->register_file_bytes = vboard::RegularFileSize(registers_path_);
        if (!run->register_file_bytes ||
            *run->register_file_bytes < host::posix::RegisterFile::kFileSize)
            run->register_file_cut_short = true;
        run->modem = model_->Report();
        run->line = line_.Counters();
        run->updater_speeds = line_.NearSpeedChanges();
        run->at_commands = recorder_.Commands();
        run->at_pending = recorder_.Pending();
    }

  private:
    sim::RegisterFilePins pins_;
    sim::PtyModemLine line_;
    vboard::AtRecorder recorder_;
    const std::string registers_path_;
    vboard::FaultRunner faults_;  // before the model, which reports its points to it
    std::unique_ptr<sim::ModemModel> model_;
};

// Runs the command with the board's faults and the watch on it.
void RunWithFaults(const vboard::Options& options, const std::string& root, Board& board,
                   host::Clock& clock, vboard::RunFacts* run) {
    vboard::FaultRunner& faults = board.faults();
    vboard::WatchOptions watch_options;
    watch_options.thread_limit = options.thread_limit;
    watch_options.time_limit_us = options.time_limit_us;
    if (faults.WantsEnd()) {
        watch_options.registry_path = host::posix::RegistryPath(root);
        watch_options.on_end = [&faults] { faults.Reach(vboard::Point::Kind::kEnd); };
    }
    vboard::CommandWatch watch(watch_options, clock);
    vboard::CommandOptions command_options;
    command_options.file_size_limit = options.fsize_limit;
    command_options.started = [&](pid_t pid, int64_t start_us) {
        watch.Start(pid, start_us);
        faults.Started(pid, start_us);
    };
    command_options.ended = [&] {
        watch.Stop();
        faults.Finish();
    };
    run->result = vboard::RunCommand(options.command, root, clock, command_options);
    run->watch = watch.Facts();
}

int RunBoard(const vboard::Options& options) {
    vboard::RootFolder root;
    std::string error;
    if (!root.Prepare(options.root, &error))
        return Failed(error);
    std::fprintf(stderr, "virtual-board: %s=%s\n", host::posix::kRootVariable, root.path().c_str());
    const vboard::BoardSetup setup{options.device_name, options.reboot};
    const bool ready = options.reuse ? vboard::ReuseRoot(root.path(), &error)
                                     : vboard::ProvisionRoot(root.path(), setup, &error);
    if (!ready)
        return Failed(error);
    Devices devices;
    const bool linked = MakeDevices(options, root.path(), &devices, &error);
    // Whatever happens from here on, the links go with the run.
    struct Unlink {
        const std::string& root;
        const Devices& devices;
        ~Unlink() {
            vboard::UnlinkDevice(root, "COM1", devices.com1.slave_path());
            vboard::UnlinkDevice(root, "VEI1", devices.vei1.slave_path());
        }
    } unlink{root.path(), devices};
    if (!linked)
        return Failed(error);
    const host::posix::RegisterFile registers(host::posix::RegisterFilePath(root.path()));
    if (!registers.ok())
        return Failed("register file: " + registers.error());

    // The model and the lines take the clock as an argument; the table is there for the shared
    // code that asks the platform for it.
    host::RealClock clock;
    host::Platform platform;
    platform.clock = &clock;
    host::ScopedPlatform installed(platform);
    Board board(options, root.path(), devices, clock, registers);
    if (!board.Start(&error))
        return Failed(error);

    const std::string debug_log = host::posix::DebugLogPath(root.path());
    const uint64_t debug_log_before = vboard::RegularFileSize(debug_log).value_or(0);
    vboard::RunFacts run;
    RunWithFaults(options, root.path(), board, clock, &run);
    board.Stop(&run);
    if (!run.result.started)
        return Failed(run.result.error);
    run.command = options.command;
    run.root = root.path();
    run.root_kept = !root.temporary();
    run.reused = options.reuse;
    run.paced = options.pace;
    run.faults = options.fault_lists;
    run.fsize_limit = options.fsize_limit;
    if (auto size = vboard::RegularFileSize(debug_log))
        run.debug_log_bytes = *size >= debug_log_before ? *size - debug_log_before : *size;
    const std::string report = vboard::ReportJson(run, vboard::ReadDeviceFacts(root.path()));
    if (!WriteReport(options, report))
        return Failed("cannot write the report");
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    vboard::Options options;
    std::string problem;
    if (!vboard::ParseOptions(args, &options, &problem)) {
        std::fprintf(stderr, "virtual-board: %s\n%s", problem.c_str(), vboard::kUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(vboard::kUsage, stdout);
        return kExitOk;
    }
    return RunBoard(options);
}
