// The fwimage commands.  `verify` and `info` judge an image with the same walk as the
// updater's load step, so the build refuses exactly the images the updater would refuse.
#include "tools/fwimage/fwimage_cli.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/fwgen/fwgen.h"

namespace fwimage {
namespace {

constexpr int kOk = 0;
constexpr int kBad = 1;
constexpr int kUsage = 2;

const char kUsageLine[] = "usage: fwimage generate sw|fs FILE | info FILE | verify FILE\n";

int Usage(std::ostream& err) {
    err << kUsageLine;
    return kUsage;
}

std::optional<std::vector<uint8_t>> ReadFile(const std::string& path, std::ostream& err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err << "fwimage: cannot open " << path << "\n";
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) {
        err << "fwimage: cannot read " << path << "\n";
        return std::nullopt;
    }
    if (bytes.size() > UINT32_MAX) {
        err << "fwimage: " << path << ": larger than 4 GiB, not an image\n";
        return std::nullopt;
    }
    return bytes;
}

// Writes through a temporary file and renames it into place, and leaves an unchanged file
// alone, so that a rebuild of the tool does not make everything that embeds the image stale.
bool WriteFileIfChanged(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::ostream& err) {
    std::ifstream old(path, std::ios::binary);
    if (old) {
        std::vector<uint8_t> current((std::istreambuf_iterator<char>(old)),
                                     std::istreambuf_iterator<char>());
        if (current == bytes)
            return true;
    }
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            err << "fwimage: cannot write " << temp << "\n";
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        err << "fwimage: cannot rename " << temp << " to " << path << "\n";
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

void ReportBad(const std::string& path, const image::Check& check, std::ostream& err) {
    err << "fwimage: " << path << ": bad image: record " << check.record << " at offset "
        << check.offset << ": " << image::FaultText(check.fault) << "\n";
}

int Generate(const std::string& kind, const std::string& path, std::ostream& out,
             std::ostream& err) {
    if (kind != "sw" && kind != "fs")
        return Usage(err);
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
    if (argc < 2)
        return Usage(err);
    std::string command = argv[1];
    if (command == "generate" && argc == 4)
        return Generate(argv[2], argv[3], out, err);
    if (command == "info" && argc == 3)
        return Info(argv[2], out, err);
    if (command == "verify" && argc == 3)
        return Verify(argv[2], out, err);
    return Usage(err);
}

}  // namespace fwimage
