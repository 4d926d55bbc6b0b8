// Every fact of the generated images, through the same facts code as `fwimage info`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "download/image_format.h"
#include "sim/fwgen/fwgen.h"
#include "tests/images/image_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(VerifyImage, AcceptsPayloadsAtTheLimits) {
    images_test::ImageBuilder image;
    image.Filled(images_test::kRead, 256).Add(images_test::kWrite, {}).Filled(2, 65536);
    EXPECT_TRUE(
        image::VerifyImage(image.bytes().data(), static_cast<uint32_t>(image.bytes().size())).ok);
}

struct Record {
    uint8_t marker, stage, reserved, direction;
    Bytes payload;
};

std::vector<Record> Records(const Bytes& bytes) {
    std::vector<Record> records;
    for (size_t at = 0; at + 8 <= bytes.size();) {
        const uint8_t* h = &bytes[at];
        size_t end = at + 8 + image::RecordLength(h);
        records.push_back({h[0], h[1], h[2], h[3], Bytes(h + 8, bytes.data() + end)});
        at = end;
    }
    return records;
}

class GeneratedImages : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sw_ = new Bytes(fwgen::GenerateImage(fwgen::ImageKind::kSw));
        fs_ = new Bytes(fwgen::GenerateImage(fwgen::ImageKind::kFs));
    }
    static void TearDownTestSuite() {
        delete sw_;
        delete fs_;
    }
    static Bytes* sw_;
    static Bytes* fs_;
};
Bytes* GeneratedImages::sw_ = nullptr;
Bytes* GeneratedImages::fs_ = nullptr;

// size, records, reads, writes, read min/max, write min/max, writes >= 100, > 1000, empty,
// last record's direction and length, then the stage runs.
std::vector<uint32_t> FactList(const Bytes& bytes) {
    image::Facts f = image::CollectFacts(bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::vector<uint32_t> list{f.size,
                               f.records,
                               f.read_records,
                               f.write_records,
                               f.read_min,
                               f.read_max,
                               f.write_min,
                               f.write_max,
                               f.writes_100_or_more,
                               f.writes_over_1000,
                               f.zero_length_records,
                               f.last_direction,
                               f.last_length};
    for (const auto& run : f.stages)
        list.insert(list.end(), {run.stage, run.first, run.last});
    list.push_back(f.check.ok);
    return list;
}

TEST_F(GeneratedImages, MeetEveryFactAndAreTheSameEachTime) {
    EXPECT_EQ(FactList(*sw_),
              (std::vector<uint32_t>{10'305'182, 1'672, 837, 835, 1,  22, 1,  64'512, 331, 326,
                                     0,          1,     12,  0,   1,  5,  1,  6,      38,  2,
                                     39,         51,    3,   52,  64, 5,  65, 1'672,  true}));
    EXPECT_EQ(FactList(*fs_),
              (std::vector<uint32_t>{5'397'315, 890, 446, 444, 1,  22, 1,  64'512, 180, 177,
                                     0,         1,   12,  0,   1,  5,  1,  6,      38,  2,
                                     39,        51,  3,   52,  64, 5,  65, 890,    true}));
    EXPECT_EQ(fwgen::GenerateImage(fwgen::ImageKind::kFs), *fs_);
}

TEST_F(GeneratedImages, RecordsHoldTheHandshakeTheCertificateAndAnswers) {
    const std::vector<Bytes> handshake = {
        {0x7A}, {0x3F}, {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, {0x53, 0x36}, {0x51}};
    const uint8_t directions[] = {1, 2, 1, 2, 2};
    std::ifstream cert_file(IMAGES_CERT_FILE, std::ios::binary);
    const Bytes cert{std::istreambuf_iterator<char>(cert_file), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(cert.empty());

    const std::vector<Record> sw = Records(*sw_);
    const std::vector<Record> fs = Records(*fs_);
    for (const auto* records : {&sw, &fs}) {
        for (size_t i = 0; i < records->size(); ++i) {
            const Record& r = (*records)[i];
            SCOPED_TRACE("record " + std::to_string(i + 1));
            ASSERT_EQ(r.marker, 0xBB);
            ASSERT_EQ(r.reserved, 0);
            if (i < 5) {
                EXPECT_EQ(r.payload, handshake[i]);
                EXPECT_EQ(r.direction, directions[i]);
            } else if (r.direction == 1) {
                ASSERT_EQ(r.payload[0], 0xAA);
                ASSERT_NE(std::count(r.payload.begin(), r.payload.end(), 0x00), 0);
            }
        }
        EXPECT_EQ((*records)[7].payload, cert);
        EXPECT_EQ((*records)[38].payload, cert);
    }
    // Records 1 to 64 are byte for byte the same; record 65 is where the images part.
    for (size_t i = 0; i < 64; ++i)
        EXPECT_EQ(std::tie(sw[i].stage, sw[i].direction, sw[i].payload),
                  std::tie(fs[i].stage, fs[i].direction, fs[i].payload));
    EXPECT_NE(sw[64].payload, fs[64].payload);
}

TEST_F(GeneratedImages, CertificateInRecordEightParses) {
    if (std::system("openssl version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl is not installed";
    std::string path = ::testing::TempDir() + "images_record8_" + std::to_string(getpid()) + ".der";
    Bytes payload = Records(*sw_)[7].payload;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(payload.data()),
               static_cast<std::streamsize>(payload.size()));
    std::string command = "openssl x509 -inform DER -noout -in '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::remove(path.c_str());
}

}  // namespace
