// The generated images are a plausible boot-loader conversation: every command the updater
// writes is followed by the loader's answer.  Stages 0 to 3 (records 1 to 64) are the same in
// both images: the handshake, the certificate, a small RAM loader in five chunks, and the
// loader's set-up.  Stage 5 is the download proper: a begin command, region descriptors,
// sector erases, then data chunks each announced by a chunk header, and a final command.
//
// Everything but the data chunks has a fixed size, so the chunk sizes are worked out last to
// make the image come out at its exact size.  Payload bytes come from a fixed-seed generator.
#include "sim/fwgen/fwgen.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "download/image_format.h"

extern "C" const uint8_t fwgen_cert_start[];
extern "C" const uint8_t fwgen_cert_end[];

namespace fwgen {
namespace {

constexpr uint8_t kRead = image::kDirectionRead;
constexpr uint8_t kWrite = image::kDirectionWrite;
using image::kHeaderSize;
constexpr uint32_t kLargestWrite = 64512;
constexpr uint8_t kAnswer = 0xAA;  // every answer after the handshake starts with it

// What each image must come to.
struct Target {
    uint32_t size;
    uint32_t records;
    uint32_t reads;
    uint32_t writes;
    uint32_t writes_100_or_more;
    uint32_t writes_over_1000;
    uint64_t seed;  // for stage 5's bytes; stages 0 to 3 share one seed
};
constexpr Target kSwTarget{10'305'182, 1'672, 837, 835, 331, 326, 0x5357'494D'4147'4531};
constexpr Target kFsTarget{5'397'315, 890, 446, 444, 180, 177, 0x4653'494D'4147'4532};
constexpr uint64_t kSharedSeed = 0x424F'4F54'4C4F'4144;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fwgen: %s\n", what);
    std::abort();
}

// splitmix64: small, fast and the same everywhere.
class Prng {
  public:
    explicit Prng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E37'79B9'7F4A'7C15);
        z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9;
        z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EB;
        return z ^ (z >> 31);
    }
    void Fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; i += 8) {
            uint64_t v = Next();
            for (size_t k = 0; k < 8 && i + k < n; ++k)
                out[i + k] = static_cast<uint8_t>(v >> (8 * k));
        }
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out(n);
        Fill(out.data(), n);
        return out;
    }

  private:
    uint64_t state_;
};

using Bytes = std::vector<uint8_t>;

void PutLe(Bytes& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint16_t Sum16(std::span<const uint8_t> data) {
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    return static_cast<uint16_t>(sum);
}

// Appends records and keeps the tallies that the plan of stage 5 needs.
class ImageWriter {
  public:
    explicit ImageWriter(uint32_t capacity) { image_.reserve(capacity); }

    void Record(uint8_t stage, uint8_t direction, std::span<const uint8_t> payload) {
        auto n = static_cast<uint32_t>(payload.size());
        image::AppendRecord(image_, stage, direction, payload);
        ++records_;
        if (direction == kRead) {
            ++reads_;
        } else {
            ++writes_;
            writes_100_ += n >= 100 ? 1 : 0;
            writes_1000_ += n > 1000 ? 1 : 0;
        }
    }
    void Write(uint8_t stage, std::span<const uint8_t> payload) { Record(stage, kWrite, payload); }
    void Write(uint8_t stage, std::initializer_list<uint8_t> payload) {
        Record(stage, kWrite, {payload.begin(), payload.size()});
    }
    void Read(uint8_t stage, std::span<const uint8_t> payload) { Record(stage, kRead, payload); }
    void Read(uint8_t stage, std::initializer_list<uint8_t> payload) {
        Record(stage, kRead, {payload.begin(), payload.size()});
    }
    // The loader's answer to a command with n bytes of data.
    void AnswerWithData(uint8_t stage, uint8_t command, Prng& prng, size_t n) {
        Bytes answer{kAnswer, 0x00, command, 0x00};
        Bytes data = prng.Bytes(n);
        answer.insert(answer.end(), data.begin(), data.end());
        Read(stage, answer);
    }
    // The loader's plain acknowledgement of a command.
    void Ack(uint8_t stage, uint8_t command) { Read(stage, {kAnswer, 0x00, command, 0x00}); }

    uint32_t size() const { return static_cast<uint32_t>(image_.size()); }
    uint32_t records() const { return records_; }
    uint32_t reads() const { return reads_; }
    uint32_t writes() const { return writes_; }
    uint32_t writes_100() const { return writes_100_; }
    uint32_t writes_1000() const { return writes_1000_; }
    std::vector<uint8_t> Take() { return std::move(image_); }

  private:
    std::vector<uint8_t> image_;
    uint32_t records_ = 0;
    uint32_t reads_ = 0;
    uint32_t writes_ = 0;
    uint32_t writes_100_ = 0;
    uint32_t writes_1000_ = 0;
};

// A data chunk and the loader's answer: sequence number and a 16-bit sum of the bytes.
void WriteChunk(ImageWriter& w, uint8_t stage, uint16_t seq, std::span<const uint8_t> data) {
    w.Write(stage, data);
    uint16_t sum = Sum16(data);
    w.Read(stage, {kAnswer, 0x00, static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8),
                   static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)});
}

// Stage 0: the handshake exactly as the updater performs it.
void WriteHandshake(ImageWriter& w) {
    w.Read(0, {0x7A});
    w.Write(0, {0x3F});
    w.Read(0, {0xC8, 0x02, 0x04, 0x01, 0xFF, 0xFF, 0xFF, 0xFF});
    w.Write(0, {0x53, 0x36});
    w.Write(0, {0x51});
}

// Stage 1: boot ROM information, the certificate, the RAM loader and its parameters.
void WriteBootRom(ImageWriter& w, Prng& prng) {
    constexpr uint8_t s = 1;
    w.Write(s, {0x01, 0x00});
    w.AnswerWithData(s, 0x01, prng, 18);
    w.Write(s, Certificate());
    w.Ack(s, 0x02);
    constexpr uint32_t kLoaderChunks[] = {4096, 4096, 4096, 4096, 2848};
    w.Write(s, {0x10, 0x00, 0x4D, 0x00, 0x00, 5});
    w.Ack(s, 0x10);
    uint16_t seq = 0;
    for (uint32_t n : kLoaderChunks)
        WriteChunk(w, s, seq++, prng.Bytes(n));
    w.Write(s, {0x11});
    w.AnswerWithData(s, 0x11, prng, 4);
    w.Write(s, {0x12, 0x00, 0x00, 0x00, 0x40});
    w.Ack(s, 0x12);
    for (uint8_t param = 0; param < 5; ++param) {
        w.Write(s, {0x21, param, static_cast<uint8_t>(0x10 * param), 0x01});
        w.Read(s, {kAnswer, 0x00, 0x21, param});
    }
    w.Write(s, {0x2F});
    w.Ack(s, 0x2F);
    w.Read(s, {kAnswer, 0x00, 0xC8, 0x02, 0x00, 0x02});  // the loader reports stage 2
}

// Stage 2: the loader checks the certificate again and prepares the flash.
void WriteLoaderSetup(ImageWriter& w, Prng& prng) {
    constexpr uint8_t s = 2;
    w.Write(s, Certificate());
    w.Ack(s, 0x02);
    w.Write(s, {0x30});
    w.AnswerWithData(s, 0x30, prng, 6);
    w.Write(s, {0x31, 0x55, 0xAA});
    w.Ack(s, 0x31);
    w.Write(s, {0x32, 0x04, 0x00, 0x10, 0x00});
    w.Ack(s, 0x32);
    w.Write(s, {0x33, 0x01});
    w.Ack(s, 0x33);
    w.Write(s, {0x3E});
    w.Ack(s, 0x3E);
    w.Read(s, {kAnswer, 0x00, 0xC8, 0x03, 0x00, 0x03});  // stage 3
}

// Stage 3: the partition table.
void WritePartitions(ImageWriter& w, Prng& prng) {
    constexpr uint8_t s = 3;
    w.Write(s, {0x40, 0x00});
    w.AnswerWithData(s, 0x40, prng, 10);
    for (uint8_t part = 0; part < 4; ++part) {
        w.Write(s, {0x41, part, 0x00, static_cast<uint8_t>(0x20 * part), 0x00, 0x01});
        w.Read(s, {kAnswer, 0x00, 0x41, part});
    }
    w.Write(s, {0x4F});
    w.Ack(s, 0x4F);
    w.Read(s, {kAnswer, 0x00, 0xC8, 0x05, 0x00, 0x05});  // stage 5
}

// Sizes of the fixed parts of stage 5; the data chunks take what is left.
constexpr uint32_t kBeginSize = 8;
constexpr uint32_t kEraseSize = 4;
constexpr uint32_t kChunkHeaderSize = 11;
constexpr uint32_t kFinishSize = 2;
constexpr uint32_t kAckSize = 4;
constexpr uint32_t kChunkAckSize = 6;
constexpr uint32_t kFinishAnswerSize = 12;

uint32_t DescriptorSize(uint32_t index) {
    return 128 + (160 * index) % 800;  // always 100 to 1,000 bytes
}

struct Stage5Plan {
    uint32_t descriptors = 0;
    uint32_t erases = 0;
    std::vector<uint32_t> chunk_sizes;
};

// The chunks share the byte budget: a quarter of them are full-size, the rest split the
// remainder evenly, each above 1,000 bytes.
std::vector<uint32_t> SplitChunks(uint32_t chunks, uint64_t budget) {
    if (chunks == 0)
        Fail("no data chunk left for stage 5");
    uint32_t full = chunks / 4 > 0 ? chunks / 4 : 1;
    if (budget < uint64_t{full} * kLargestWrite)
        Fail("stage 5 budget too small for its full-size chunks");
    std::vector<uint32_t> sizes(full, kLargestWrite);
    uint32_t rest = chunks - full;
    uint64_t remaining = budget - uint64_t{full} * kLargestWrite;
    if (rest == 0) {
        if (remaining != 0)
            Fail("stage 5 budget does not fit its chunks");
        return sizes;
    }
    uint64_t base = remaining / rest;
    uint64_t extra = remaining % rest;
    if (base <= 1000 || base + (extra > 0 ? 1 : 0) > kLargestWrite)
        Fail("stage 5 chunks would fall outside 1,001 to 64,512 bytes");
    for (uint32_t i = 0; i < rest; ++i)
        sizes.push_back(static_cast<uint32_t>(base + (i < extra ? 1 : 0)));
    return sizes;
}

Stage5Plan PlanStage5(const ImageWriter& w, const Target& t) {
    uint32_t pairs = (t.records - w.records()) / 2;
    if (w.records() > t.records || (t.records - w.records()) % 2 != 0 ||
        t.reads - w.reads() != pairs || t.writes - w.writes() != pairs)
        Fail("stage 5 cannot be made of command and answer pairs");
    Stage5Plan plan;
    uint32_t chunks = t.writes_over_1000 - w.writes_1000();
    plan.descriptors =
        (t.writes_100_or_more - t.writes_over_1000) - (w.writes_100() - w.writes_1000());
    if (pairs < 2 + 2 * chunks + plan.descriptors)
        Fail("stage 5 has too few records for its chunks");
    plan.erases = pairs - 2 - 2 * chunks - plan.descriptors;
    uint64_t fixed = uint64_t{2} * pairs * kHeaderSize + kBeginSize + kAckSize +
                     uint64_t{plan.erases} * (kEraseSize + kAckSize) +
                     uint64_t{chunks} * (kChunkHeaderSize + kAckSize + kChunkAckSize) +
                     kFinishSize + kFinishAnswerSize;
    for (uint32_t i = 0; i < plan.descriptors; ++i)
        fixed += DescriptorSize(i) + kAckSize;
    if (uint64_t{w.size()} + fixed > t.size)
        Fail("stage 5's fixed part does not fit the image size");
    plan.chunk_sizes = SplitChunks(chunks, t.size - w.size() - fixed);
    return plan;
}

void WriteDownload(ImageWriter& w, const Stage5Plan& plan, Prng& prng) {
    constexpr uint8_t s = 5;
    uint32_t total = 0;
    for (uint32_t n : plan.chunk_sizes)
        total += n;
    auto chunks = static_cast<uint32_t>(plan.chunk_sizes.size());
    Bytes begin{0x50};
    PutLe(begin, total, 4);
    PutLe(begin, chunks, 2);
    begin.push_back(0x00);
    w.Write(s, begin);
    w.Ack(s, 0x50);
    for (uint32_t i = 0; i < plan.descriptors; ++i) {
        Bytes descriptor{0x52, static_cast<uint8_t>(i)};
        Bytes body = prng.Bytes(DescriptorSize(i) - descriptor.size());
        descriptor.insert(descriptor.end(), body.begin(), body.end());
        w.Write(s, descriptor);
        w.Ack(s, 0x52);
    }
    for (uint32_t sector = 0; sector < plan.erases; ++sector) {
        w.Write(s, {0x51, static_cast<uint8_t>(sector), static_cast<uint8_t>(sector >> 8), 0x01});
        w.Ack(s, 0x51);
    }
    uint32_t address = 0x0010'0000;
    Bytes data;
    for (uint32_t seq = 0; seq < chunks; ++seq) {
        uint32_t n = plan.chunk_sizes[seq];
        Bytes header{0x53};
        PutLe(header, seq, 2);
        PutLe(header, n, 4);
        PutLe(header, address, 4);
        w.Write(s, header);
        w.Ack(s, 0x53);
        data.resize(n);
        prng.Fill(data.data(), n);
        WriteChunk(w, s, static_cast<uint16_t>(seq), data);
        address += n;
    }
    w.Write(s, {0x5F, 0x00});
    Bytes done{kAnswer, 0x00, 0x5F, 0x00};
    PutLe(done, total, 4);
    PutLe(done, chunks, 4);
    w.Read(s, done);
}

}  // namespace

std::span<const uint8_t> Certificate() {
    return {fwgen_cert_start, static_cast<size_t>(fwgen_cert_end - fwgen_cert_start)};
}

std::vector<uint8_t> GenerateImage(ImageKind kind) {
    const Target& target = kind == ImageKind::kSw ? kSwTarget : kFsTarget;
    ImageWriter w(target.size);
    Prng shared(kSharedSeed);
    WriteHandshake(w);
    WriteBootRom(w, shared);
    WriteLoaderSetup(w, shared);
    WritePartitions(w, shared);
    Stage5Plan plan = PlanStage5(w, target);
    Prng own(target.seed);
    WriteDownload(w, plan, own);
    if (w.size() != target.size || w.records() != target.records)
        Fail("generated image misses its size or record count");
    return w.Take();
}

}  // namespace fwgen
