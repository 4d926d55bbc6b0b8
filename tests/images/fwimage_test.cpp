// The fwimage commands, run in-process on hand-made images in a scratch folder.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "tests/images/image_builder.h"
#include "tools/fwimage/fwimage_cli.h"

namespace {

using images_test::ImageBuilder;
using Json = nlohmann::ordered_json;
using images_test::kRead;
using images_test::kWrite;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class FwimageTest : public ::testing::Test {
  protected:
    ~FwimageTest() override {
        for (const auto& path : paths_)
            std::remove(path.c_str());
    }
    std::string Put(const std::string& name, const std::vector<uint8_t>& bytes) {
        paths_.push_back(::testing::TempDir() + "fwimage_test_" + std::to_string(getpid()) + name);
        std::ofstream(paths_.back(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return paths_.back();
    }
    static Result Fwimage(std::vector<std::string> args) {
        args.insert(args.begin(), "fwimage");
        std::vector<const char*> argv;
        for (const auto& arg : args)
            argv.push_back(arg.c_str());
        std::ostringstream out, err;
        int status = fwimage::Run(static_cast<int>(argv.size()), argv.data(), out, err);
        return {status, out.str(), err.str()};
    }
    std::vector<std::string> paths_;
};

TEST_F(FwimageTest, VerifyNamesTheFirstBadRecordAndItsOffset) {
    struct Case {
        ImageBuilder image;
        std::string message;
    };
    std::vector<Case> cases(6);
    cases[0].image.Filled(kWrite, 1).Filled(0, 1);
    cases[0].message = "record 2 at offset 9: direction is neither 1 (read) nor 2 (write)";
    cases[1].image.Filled(kRead, 256).Filled(kRead, 257);
    cases[1].message = "record 2 at offset 264: read payload longer than 256 bytes";
    cases[2].image.Filled(kWrite, 65537);
    cases[2].message = "record 1 at offset 0: write payload longer than 65536 bytes";
    cases[3].image.Filled(kRead, 2).Header(kWrite, 50).Raw({1, 2});
    cases[3].message = "record 2 at offset 10: payload runs past the end of the image";
    cases[4].image.Filled(kRead, 1).Filled(kWrite, 1).Raw({0xBB, 1});
    cases[4].message = "record 3 at offset 18: fewer than 8 header bytes";
    cases[5].message = "record 1 at offset 0: the image holds no record";

    for (size_t i = 0; i < cases.size(); ++i) {
        std::string path = Put("bad" + std::to_string(i), cases[i].image.bytes());
        Result r = Fwimage({"verify", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(": bad image: " + cases[i].message), std::string::npos) << r.err;
        r = Fwimage({"info", path});
        EXPECT_EQ(r.status, 1);
        const Json facts = Json::parse(r.out);
        EXPECT_FALSE(facts.at("valid").get<bool>());
        const Json& bad = facts.at("first_bad_record");
        const std::string said = "record " + bad.at("record").dump() + " at offset " +
                                 bad.at("offset").dump() + ": " +
                                 bad.at("reason").get<std::string>();
        EXPECT_EQ(said.rfind(cases[i].message, 0), 0u) << said;
    }
    EXPECT_EQ(Fwimage({"verify", ::testing::TempDir() + "fwimage_test_missing"}).status, 1);
}

TEST_F(FwimageTest, InfoPrintsTheFactsAsJson) {
    ImageBuilder image;
    image.Filled(kRead, 1, 0)
        .Filled(kWrite, 99, 0)
        .Filled(kWrite, 100, 1)
        .Add(kWrite, {}, 1)
        .Filled(kWrite, 1000, 1)
        .Filled(kWrite, 1001, 5)
        .Filled(kRead, 22, 5)
        .Filled(kRead, 12, 5);
    Result r = Fwimage({"info", Put("small", image.bytes())});
    EXPECT_EQ(r.status, 0) << r.err;
    // Field names, order and value types as scripts read them.
    EXPECT_EQ(Json::parse(r.out), Json::parse(R"({
        "size": 2299, "records": 8, "read_records": 3, "write_records": 5,
        "read_min": 1, "read_max": 22, "write_min": 0, "write_max": 1001,
        "writes_100_or_more": 3, "writes_over_1000": 1, "zero_length_records": 1,
        "stages": [{"stage": 0, "first": 1, "last": 2}, {"stage": 1, "first": 3, "last": 5},
                   {"stage": 5, "first": 6, "last": 8}],
        "last_record": {"direction": 1, "length": 12},
        "valid": true})"));
}

// A write that fails part way (here a file-size limit, as on a full disk) keeps the old
// image whole and leaves no temporary file.
// Windows's rename does not replace a file: the image must still take the old one's place.
TEST_F(FwimageTest, GenerateReplacesAnOlderFile) {
    const std::string path = Put("replaced", {'o', 'l', 'd'});
    ASSERT_EQ(Fwimage({"generate", "fs", path}).status, 0);
    const Result verified = Fwimage({"verify", path});
    EXPECT_EQ(verified.status, 0) << verified.err;
    std::ifstream replaced(path + ".tmp");
    EXPECT_FALSE(replaced.is_open()) << "a temporary file was left";
}

#if !defined(_WIN32)  // the file-size limit is Linux's
TEST_F(FwimageTest, AFailedGenerateKeepsTheOldFileAndLeavesNothingBehind) {
    const std::string path = Put("generated", {'o', 'l', 'd'});
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1 << 20;
    auto* const old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Result r = Fwimage({"generate", "sw", path});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fwimage: " + path + ": File too large\n");
    std::ifstream kept(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "old");
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0) << "a temporary file was left";
}

#endif

}  // namespace
