// virtual-board: the board around the updater on a host.  It provisions a device root, runs
// the modem model on a pseudo-terminal for COM1: and an AT command recorder on one for VEI1:,
// runs the command under test against them and reports what the board saw.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/platform.h"
#include "host/device_root.h"
#include "host/posix/register_file.h"
#include "host/real_clock.h"
#include "host/version.h"
#include "res/embedded_resources.h"
#include "sim/board_pins.h"
#include "sim/register_file_pins.h"
#include "sim/modem_model.h"
#include "sim/pty_line.h"
#include "tools/common/cli.h"
#include "tools/virtual-board/at_recorder.h"
#include "tools/virtual-board/board_report.h"
#include "tools/virtual-board/command.h"
#include "tools/virtual-board/command_watch.h"
#include "tools/virtual-board/fault_runner.h"
#include "tools/virtual-board/options.h"
#include "tools/virtual-board/provision.h"

namespace {

constexpr const char* kName = "virtual-board";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

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

// To standard error by default, after the board's last lines; "-" is standard output.
bool WriteReport(const vboard::Options& options, const std::string& report) {
    if (!options.report_path || *options.report_path == "-") {
        FILE* stream = options.report_path ? stdout : stderr;
        std::fwrite(report.data(), 1, report.size(), stream);
        return std::fflush(stream) == 0;
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
        : pins_(registers, clock, host::RegisterFilePath(root)),
          line_(devices.com1.master(), clock, options.pace),
          recorder_(devices.vei1.master(), clock),
          registers_path_(host::RegisterFilePath(root)),
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
        watch_options.registry_path = host::RegistryPath(root);
        watch_options.on_end = [&faults] { faults.Reach(vboard::Point::Kind::kEnd); };
    }
    vboard::CommandWatch watch(watch_options, clock);
    vboard::CommandOptions command_options;
    command_options.file_size_limit = options.fsize_limit;
    command_options.output_to_stderr = options.report_path && *options.report_path == "-";
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

// Provisions the root, runs the command on the board and gathers what the run saw; false with
// the reason in *error when the board or the command could not be run.  Everything that runs
// beside the command has stopped and let go of the root when it returns.
bool RunInRoot(const vboard::Options& options, const vboard::RootFolder& root,
               vboard::RunFacts* run, std::string* error) {
    const vboard::BoardSetup setup{options.device_name, options.reboot};
    const bool ready = options.reuse ? vboard::ReuseRoot(root.path(), error)
                                     : vboard::ProvisionRoot(root.path(), setup, error);
    if (!ready)
        return false;
    Devices devices;
    const bool linked = MakeDevices(options, root.path(), &devices, error);
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
        return false;
    const host::posix::RegisterFile registers(host::RegisterFilePath(root.path()));
    if (!registers.ok()) {
        *error = "register file: " + registers.error();
        return false;
    }

    // The model and the lines take the clock as an argument; the table is there for the shared
    // code that asks the platform for it.
    host::RealClock clock;
    host::Platform platform;
    platform.clock = &clock;
    host::ScopedPlatform installed(platform);
    Board board(options, root.path(), devices, clock, registers);
    if (!board.Start(error))
        return false;

    const std::string debug_log = host::DebugLogPath(root.path());
    const uint64_t debug_log_before = vboard::RegularFileSize(debug_log).value_or(0);
    RunWithFaults(options, root.path(), board, clock, run);
    board.Stop(run);
    if (!run->result.started) {
        *error = run->result.error;
        return false;
    }
    if (auto size = vboard::RegularFileSize(debug_log))
        run->debug_log_bytes = *size >= debug_log_before ? *size - debug_log_before : *size;
    return true;
}

bool CommandFailed(const vboard::CommandResult& result) {
    return result.exit_status != 0 || result.signal != 0;
}

std::string HowItFailed(const vboard::RunFacts& run) {
    const vboard::CommandResult& result = run.result;
    if (result.signal == 0)
        return "failed (exit status " + std::to_string(result.exit_status) + ")";
    const char* name = sigabbrev_np(result.signal);
    std::string how = "was killed by SIG" + std::string(name != nullptr ? name : "?") + " (" +
                      std::to_string(result.signal) + ")";
    if (!run.watch.killed_for.empty())
        how += ", by the board: " + run.watch.killed_for;
    return how;
}

// The debug log is the only place that says why a command failed: a temporary root's is kept.
void SayWhereTheLogIs(const vboard::RootFolder& root, vboard::RunFacts* run) {
    if (!CommandFailed(run->result))
        return;
    const std::string how = "virtual-board: the command " + HowItFailed(*run);
    if (!root.temporary()) {
        std::fprintf(stderr, "%s; its debug log is %s\n", how.c_str(),
                     host::DebugLogPath(root.path()).c_str());
        return;
    }
    std::string error;
    run->debug_log_kept = vboard::KeepDebugLog(root.path(), &error);
    if (run->debug_log_kept)
        std::fprintf(stderr, "%s; its debug log is kept in %s\n", how.c_str(),
                     run->debug_log_kept->c_str());
    else
        std::fprintf(stderr, "%s; %s\n", how.c_str(), error.c_str());
}

// The root's path again where the command's dialog no longer covers it.
void EndRoot(vboard::RootFolder& root) {
    const std::string path = root.path();
    if (!root.temporary())
        std::fprintf(stderr, "virtual-board: the device root stays in %s\n", path.c_str());
    else if (root.Remove())
        std::fprintf(stderr, "virtual-board: removed the temporary device root %s\n", path.c_str());
    else
        std::fprintf(stderr, "virtual-board: the temporary device root %s could not be removed\n",
                     path.c_str());
}

int RunBoard(const vboard::Options& options) {
    vboard::RootFolder root;
    std::string error;
    if (!root.Prepare(options.root, &error))
        return Failed(error);
    std::fprintf(stderr, "virtual-board: %s=%s\n", host::kRootVariable, root.path().c_str());
    vboard::RunFacts run;
    if (!RunInRoot(options, root, &run, &error)) {
        const int status = Failed(error);
        EndRoot(root);
        return status;
    }
    run.command = options.command;
    run.root = root.path();
    run.root_kept = !root.temporary();
    run.reused = options.reuse;
    run.paced = options.pace;
    run.faults = options.fault_lists;
    run.fsize_limit = options.fsize_limit;
    SayWhereTheLogIs(root, &run);
    const std::string report = vboard::ReportJson(run, vboard::ReadDeviceFacts(root.path()));
    EndRoot(root);
    if (!WriteReport(options, report))
        return Failed("cannot write the report");
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::optional<int> answered =
            tools::AnswerHelpOrVersion(argc, argv, kName, vboard::kUsage, std::cout))
        return *answered;
    const std::vector<std::string> args(argv + 1, argv + argc);
    vboard::Options options;
    std::string problem;
    if (!vboard::ParseOptions(args, &options, &problem))
        return tools::UsageError(kName, problem, std::cerr);
    // Also when they stand after other options.
    if (options.help || options.version || options.fault_help) {
        if (options.help)
            std::cout << vboard::kUsage;
        else if (options.version)
            std::cout << kName << ' ' << host::ProjectVersion() << '\n';
        else
            std::cout << vboard::kFaultHelp;
        std::cout.flush();
        return kExitOk;
    }
    return RunBoard(options);
}
