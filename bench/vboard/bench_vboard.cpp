// Prints what the virtual board costs over pseudo-terminals.
//
// By default, in one run: a plain stop-and-wait copier pushing the embedded images' records
// (the same sizes, in the same order: the updater's write records one way, the modem's answers
// the other) through a pseudo-terminal pair, then virtual-board running gsm-updater unpaced;
// both throughputs in MB/s of image bytes carried to the modem, and their ratio.  The replay's
// window runs from the first handshake to the FS image's completion.  Part of that window is
// waiting by design, whatever the board's speed: the updater's pause between the images, its
// label settles (10 ms before each label a progress step sets), and the modem's answer
// latency before each read record; the figures are printed again with those taken out.
//
// --paced runs the board with --pace instead (minutes: the line's own time) and prints the
// board's CPU seconds (its own, the updater's taken out) and the paced window against the
// line's own time for the bytes carried.
//
// The programs are taken from this program's folder unless --board / --updater name them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host/platform.h"
#include "res/embedded_resources.h"
#include "sim/image_records.h"
#include "sim/modem_model.h"
#include "sim/pty_line.h"

namespace {

constexpr double kMega = 1e6;
constexpr double kLabelSettleS = 0.010;    // the updater's pause before each remaining-time label
constexpr uint32_t kHandshakeRecords = 5;  // records the handshake performs, never replayed

struct Record {
    bool to_modem = false;
    uint32_t length = 0;
    bool replayed = false;  // past the handshake's records
};

std::vector<Record> ImageRecordSizes() {
    res::EmbeddedResources resources;
    const host::ResourceModule module = resources.Module();
    std::vector<Record> records;
    for (int id : {host::kSwImageId, host::kFsImageId}) {
        const host::ResourceId image = resources.Find(module, host::kBinType, id);
        const std::span<const uint8_t> bytes(resources.Load(module, image),
                                             resources.SizeOf(module, image));
        const sim::ImageRecords index(bytes);
        for (uint32_t n = 1; n <= index.count(); ++n)
            records.push_back(
                {index.At(n).direction == 2, index.At(n).length, n > kHandshakeRecords});
    }
    return records;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = read(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// One side of the copier: writes the records that go its way and reads the others.
bool CopySide(int fd, const std::vector<Record>& records, bool near) {
    std::vector<uint8_t> buffer(1 << 16, 0x5A);
    for (const Record& record : records) {
        if (buffer.size() < record.length)
            buffer.resize(record.length, 0x5A);
        const bool sends = record.to_modem == near;
        if (!(sends ? WriteAll(fd, buffer.data(), record.length)
                    : ReadAll(fd, buffer.data(), record.length)))
            return false;
    }
    return true;
}

// MB/s of bytes to the modem; nullopt when the pair could not be made or the copy broke.
std::optional<double> CopierMbps(const std::vector<Record>& records, uint64_t to_modem) {
    sim::PtyDevice pair;
    std::string error;
    if (!pair.Open(&error)) {
        std::fprintf(stderr, "copier: %s\n", error.c_str());
        return std::nullopt;
    }
    const int near = open(pair.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (near < 0 || tcgetattr(near, &t) != 0)
        return std::nullopt;
    t.c_cc[VMIN] = 1;  // block in read
    tcsetattr(near, TCSANOW, &t);
    fcntl(pair.master(), F_SETFL, fcntl(pair.master(), F_GETFL) & ~O_NONBLOCK);
    const auto start = std::chrono::steady_clock::now();
    bool far_ok = false;
    std::thread far([&] { far_ok = CopySide(pair.master(), records, false); });
    const bool near_ok = CopySide(near, records, true);
    far.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(near);
    if (!near_ok || !far_ok)
        return std::nullopt;
    return static_cast<double>(to_modem) / kMega / seconds;
}

// The updater's progress steps, from its debug log ("\n==============REM= 7m43" each): every
// step sets the remaining-time label after its settle, and all of them fall in the replay.
int ProgressSteps(const std::filesystem::path& debug_log) {
    std::ifstream file(debug_log, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(file), {});
    int steps = 0;
    for (size_t at = 0; (at = text.find("==============REM=", at)) != std::string::npos; ++at)
        ++steps;
    return steps;
}

struct BoardRun {
    nlohmann::json report;
    double cpu_s = 0;  // the board and the updater it waited for
    int labels = 0;    // the updater's progress steps: one label settle each
};

double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

std::optional<BoardRun> RunBoard(const std::string& board, const std::string& updater, bool paced) {
    const std::filesystem::path report =
        std::filesystem::temp_directory_path() / ("bench_vboard." + std::to_string(getpid()));
    // A root of the bench's own, to read the updater's debug log once the run is over.
    const std::filesystem::path root = report.string() + ".root";
    std::vector<std::string> args = {board, "--report", report.string(), "--root", root.string()};
    if (paced)
        args.push_back("--pace");
    args.insert(args.end(), {"--", updater});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", board.c_str(), status);
        return std::nullopt;
    }
    BoardRun run;
    std::ifstream file(report);
    run.report = nlohmann::json::parse(file, nullptr, false);
    run.labels = ProgressSteps(root / "debug.log");
    std::filesystem::remove(report);
    std::filesystem::remove_all(root);
    if (run.report.is_discarded() || run.report.value("exit_status", -1) != 0) {
        std::fprintf(stderr, "the update did not succeed\n");
        return std::nullopt;
    }
    run.cpu_s = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    return run;
}

struct Window {
    double start_s = 0;  // the first handshake
    double end_s = 0;    // the FS image complete
    double gap_s = 0;    // from the SW image complete to the second handshake
    double seconds() const { return end_s - start_s; }
};

double EventTime(const nlohmann::json& event) {
    return event.at("time_s").get<double>();
}

std::optional<Window> ReplayWindow(const nlohmann::json& report) {
    std::vector<double> handshakes;
    std::optional<double> sw_complete;
    std::optional<double> fs_complete;
    for (const nlohmann::json& event : report.at("timeline")) {
        const std::string name = event.value("event", "");
        if (name == "handshake")
            handshakes.push_back(EventTime(event));
        if (name == "image complete")
            (event.value("image", "") == "FS" ? fs_complete : sw_complete) = EventTime(event);
    }
    if (handshakes.size() != 2 || !sw_complete || !fs_complete)
        return std::nullopt;  // a retried pass: the figures would not compare
    return Window{handshakes[0], *fs_complete, handshakes[1] - *sw_complete};
}

int Unpaced(const std::string& board, const std::string& updater) {
    const std::vector<Record> records = ImageRecordSizes();
    uint64_t to_modem = 0;
    int answers = 0;
    for (const Record& record : records) {
        to_modem += record.to_modem ? record.length : 0;
        answers += record.replayed && !record.to_modem;
    }
    const std::optional<double> copier = CopierMbps(records, to_modem);
    const std::optional<BoardRun> run = RunBoard(board, updater, false);
    if (!copier || !run)
        return 1;
    const std::optional<Window> window = ReplayWindow(run->report);
    if (!window)
        return 1;
    const double carried = run->report.at("line").at("bytes_to_modem").get<double>();
    const double replay = carried / kMega / window->seconds();
    const int labels = run->labels;
    const double latency_s = answers * sim::ModemOptions{}.answer_latency_ms / 1000.0;
    const double waits_s = window->gap_s + labels * kLabelSettleS + latency_s;
    const double carriage = carried / kMega / (window->seconds() - waits_s);
    std::printf("copier: %zu records, %.3f MB to the modem: %.1f MB/s\n", records.size(),
                static_cast<double>(to_modem) / kMega, *copier);
    std::printf(
        "replay: %.3f MB to the modem in %.3f s (first handshake to FS complete): "
        "%.1f MB/s, ratio %.3f\n",
        carried / kMega, window->seconds(), replay, replay / *copier);
    std::printf(
        "  waits by design in it: %.3f s between the images, %d labels x 10 ms, "
        "%d answers x %u ms\n",
        window->gap_s, labels, answers, sim::ModemOptions{}.answer_latency_ms);
    std::printf("  without them: %.3f s: %.1f MB/s, ratio %.3f\n", window->seconds() - waits_s,
                carriage, carriage / *copier);
    std::printf("  board CPU %.3f s (user+system, the updater's %.3f s taken out)\n",
                run->cpu_s - run->report.at("cpu_s").get<double>(),
                run->report.at("cpu_s").get<double>());
    return 0;
}

int Paced(const std::string& board, const std::string& updater) {
    const std::optional<BoardRun> run = RunBoard(board, updater, true);
    if (!run)
        return 1;
    const std::optional<Window> window = ReplayWindow(run->report);
    if (!window)
        return 1;
    const nlohmann::json& line = run->report.at("line");
    const double line_s = line.at("line_time_to_modem_s").get<double>() +
                          line.at("line_time_from_modem_s").get<double>();
    const double updater_cpu = run->report.at("cpu_s").get<double>();
    std::printf(
        "paced: board CPU %.3f s (user+system, the updater's %.3f s taken out) "
        "over %.3f s\n",
        run->cpu_s - updater_cpu, updater_cpu, run->report.at("wall_s").get<double>());
    std::printf(
        "paced window %.3f s (first handshake to FS complete, %.3f s between the images), "
        "line's own time %.3f s: %+.2f%%\n",
        window->seconds(), window->gap_s, line_s, (window->seconds() / line_s - 1) * 100);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path here =
        std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::string board = here / "virtual-board";
    std::string updater = here / "gsm-updater";
    bool paced = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--paced")
            paced = true;
        else if (arg == "--board" && i + 1 < argc)
            board = argv[++i];
        else if (arg == "--updater" && i + 1 < argc)
            updater = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_vboard [--paced] [--board PATH] [--updater PATH]\n");
            return 2;
        }
    }
    return paced ? Paced(board, updater) : Unpaced(board, updater);
}
