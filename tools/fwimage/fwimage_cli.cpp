// The fwimage commands.  `verify` and `info` judge an image with the same walk as the
// updater's load step, so the build refuses exactly the images the updater would refuse.
#include "tools/fwimage/fwimage_cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/fwgen/fwgen.h"
#include "tools/common/cli.h"

namespace fwimage {
namespace {

// What the two systems call the same things.  On Windows a descriptor is opened in binary mode
// (text mode would turn the images' CR LF pairs into LF), is not inherited unless asked, and
// has no links to refuse; fsync is _commit, and a rename does not replace an existing file.
#if defined(_WIN32)
constexpr int kOpenFlags = O_BINARY | O_NOINHERIT;
constexpr int kNoFollow = 0;
int SyncFile(int fd) {
    return _commit(fd);
}
int ReplaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : EACCES;
}
#else
constexpr int kOpenFlags = O_CLOEXEC;
constexpr int kNoFollow = O_NOFOLLOW;
int SyncFile(int fd) {
    return fsync(fd);
}
int ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}
#endif

constexpr int kOk = 0;
constexpr int kBad = 1;
constexpr const char* kName = "fwimage";

const char kUsage[] =
    "usage: fwimage generate sw|fs FILE   write a generated SW or FS image to FILE\n"
    "       fwimage info FILE             print the image's facts as one JSON object\n"
    "       fwimage verify FILE           check that the image's records tile it\n"
    "       fwimage --help | --version\n"
    "\n"
    "generate replaces FILE whole or not at all, and leaves a FILE that already holds the\n"
    "same image untouched.  Exit status: 0 done and the image good, 1 a bad image or a file\n"
    "that cannot be read or written (the reason on standard error), 2 a usage error.\n";

// Every file error names the path and the system's reason: "fwimage: PATH: REASON".
bool FileError(const std::string& path, int reason, std::ostream& err) {
    err << kName << ": " << path << ": " << std::strerror(reason) << "\n";
    return false;
}

bool TooLarge(const std::string& path, std::ostream& err) {
    err << kName << ": " << path << ": larger than 4 GiB, not an image\n";
    return false;
}

// Closes a descriptor when the scope ends.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The whole file.  A folder is refused before reading, since reading one fails only on some
// systems; what is not a regular file (a pipe) is read up to one byte past the largest image.
bool ReadAll(const std::string& path, std::vector<uint8_t>* bytes, std::ostream& err) {
    Descriptor file(open(path.c_str(), O_RDONLY | kOpenFlags));
    struct stat info {};
    if (file.get() < 0 || fstat(file.get(), &info) != 0)
        return FileError(path, errno, err);
    if (S_ISDIR(info.st_mode))
        return FileError(path, EISDIR, err);
    constexpr uint64_t kLimit = uint64_t{UINT32_MAX} + 1;
    if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) >= kLimit)
        return TooLarge(path, err);
    if (S_ISREG(info.st_mode))
        bytes->reserve(static_cast<size_t>(info.st_size));
    std::vector<uint8_t> chunk(size_t{1} << 16);
    while (bytes->size() < kLimit) {
        const ssize_t got = read(file.get(), chunk.data(), static_cast<unsigned>(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return FileError(path, errno, err);
        if (got == 0)
            return true;
        bytes->insert(bytes->end(), chunk.begin(), chunk.begin() + got);
    }
    return TooLarge(path, err);
}

std::optional<std::vector<uint8_t>> ReadFile(const std::string& path, std::ostream& err) {
    std::vector<uint8_t> bytes;
    if (!ReadAll(path, &bytes, err))
        return std::nullopt;
    return bytes;
}

// 0, or the system's reason why the bytes did not all reach the disk.
int WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        // A gibibyte at a time: Windows counts a transfer in an unsigned int.
        const auto count = static_cast<unsigned>(std::min(bytes.size() - done, size_t{1} << 30));
        const ssize_t wrote = write(fd, bytes.data() + done, count);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            return errno;
        if (wrote == 0)
            return EIO;
        done += static_cast<size_t>(wrote);
    }
    return SyncFile(fd) == 0 ? 0 : errno;
}

// Whether path already holds exactly these bytes; anything unreadable does not.
bool Holds(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ostringstream ignored;
    std::vector<uint8_t> current;
    return ReadAll(path, &current, ignored) && current == bytes;
}

// Writes through a temporary file and renames it into place, and leaves an unchanged file
// alone, so that a rebuild of the tool does not make everything that embeds the image stale.
// A failure leaves the old file as it was and no temporary file behind.
bool WriteFileIfChanged(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::ostream& err) {
    struct stat info {};
    const bool exists = stat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return FileError(path, EISDIR, err);
    if (exists && S_ISREG(info.st_mode) && Holds(path, bytes))
        return true;
    const std::string temp = path + ".tmp";
    int reason = 0;
    {
        Descriptor out(
            open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags | kNoFollow, 0666));
        if (out.get() < 0)
            return FileError(path, errno, err);
        reason = WriteAll(out.get(), bytes);
    }
    if (reason == 0)
        reason = ReplaceFile(temp, path);
    if (reason != 0) {
        std::remove(temp.c_str());
        return FileError(path, reason, err);
    }
    return true;
}

void ReportBad(const std::string& path, const image::Check& check, std::ostream& err) {
    err << "fwimage: " << path << ": bad image: record " << check.record << " at offset "
        << check.offset << ": " << image::FaultText(check.fault) << "\n";
}

int Generate(const std::string& kind, const std::string& path, std::ostream& out,
             std::ostream& err) {
    std::vector<uint8_t> bytes =
        fwgen::GenerateImage(kind == "sw" ? fwgen::ImageKind::kSw : fwgen::ImageKind::kFs);
    image::Check check = image::VerifyImage(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!check.ok) {
        ReportBad("generated " + kind + " image", check, err);
        return kBad;
    }
    if (!WriteFileIfChanged(path, bytes, err))
        return kBad;
    out << path << ": " << kind << " image, " << bytes.size() << " bytes\n";
    return kOk;
}

int Info(const std::string& path, std::ostream& out, std::ostream& err) {
    auto bytes = ReadFile(path, err);
    if (!bytes)
        return kBad;
    image::Facts facts = image::CollectFacts(bytes->data(), static_cast<uint32_t>(bytes->size()));
    out << FactsJson(facts);
    if (!facts.check.ok) {
        ReportBad(path, facts.check, err);
        return kBad;
    }
    return kOk;
}

int Verify(const std::string& path, std::ostream& out, std::ostream& err) {
    auto bytes = ReadFile(path, err);
    if (!bytes)
        return kBad;
    auto size = static_cast<uint32_t>(bytes->size());
    image::Check check = image::VerifyImage(bytes->data(), size);
    if (!check.ok) {
        ReportBad(path, check, err);
        return kBad;
    }
    out << path << ": good image, " << size << " bytes\n";
    return kOk;
}

struct Command {
    std::string_view name;
    std::vector<std::string_view> operands;
};

const Command kCommands[] = {
    {"generate", {"sw|fs", "FILE"}},
    {"info", {"FILE"}},
    {"verify", {"FILE"}},
};

// The usage error of a command line, or nothing when it is well formed.
std::string CheckArguments(const std::vector<std::string>& args) {
    if (args.empty())
        return "no command given";
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                       [&](const Command& c) { return c.name == args[0]; });
    if (command == std::end(kCommands))
        return (args[0].rfind('-', 0) == 0 ? "unknown option '" : "unknown command '") + args[0] +
               "'";
    const size_t given = args.size() - 1;
    if (given < command->operands.size())
        return args[0] + ": missing operand " + std::string(command->operands[given]);
    if (given > command->operands.size())
        return args[0] + ": extra argument '" + args[command->operands.size() + 1] + "'";
    if (args[0] == "generate" && args[1] != "sw" && args[1] != "fs")
        return "generate: '" + args[1] + "' is not an image kind (sw or fs)";
    return "";
}

using Json = nlohmann::ordered_json;

// A minimum or maximum of a direction without records is no number at all.
Json Extreme(uint32_t count, uint32_t value) {
    return count == 0 ? Json(nullptr) : Json(value);
}

}  // namespace

std::string FactsJson(const image::Facts& f) {
    Json json = {{"size", f.size},
                 {"records", f.records},
                 {"read_records", f.read_records},
                 {"write_records", f.write_records},
                 {"read_min", Extreme(f.read_records, f.read_min)},
                 {"read_max", Extreme(f.read_records, f.read_max)},
                 {"write_min", Extreme(f.write_records, f.write_min)},
                 {"write_max", Extreme(f.write_records, f.write_max)},
                 {"writes_100_or_more", f.writes_100_or_more},
                 {"writes_over_1000", f.writes_over_1000},
                 {"zero_length_records", f.zero_length_records}};
    Json& stages = json["stages"] = Json::array();
    for (const image::StageRun& run : f.stages)
        stages.push_back({{"stage", run.stage}, {"first", run.first}, {"last", run.last}});
    json["last_record"] = nullptr;
    if (f.records != 0)
        json["last_record"] = {{"direction", f.last_direction}, {"length", f.last_length}};
    json["valid"] = f.check.ok;
    if (!f.check.ok) {
        json["first_bad_record"] = {{"record", f.check.record},
                                    {"offset", f.check.offset},
                                    {"reason", image::FaultText(f.check.fault)}};
    }
    return json.dump(2) + "\n";
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    // The convention's answer only reads the arguments.
    if (auto answered =
            tools::AnswerHelpOrVersion(argc, const_cast<char**>(argv), kName, kUsage, out))
        return *answered;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::string problem = CheckArguments(args); !problem.empty())
        return tools::UsageError(kName, problem, err);
    if (args[0] == "generate")
        return Generate(args[1], args[2], out, err);
    if (args[0] == "info")
        return Info(args[1], out, err);
    return Verify(args[1], out, err);
}

}  // namespace fwimage
