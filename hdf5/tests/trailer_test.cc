// The trailer of chunks with NaN and infinities: the format's own example
// byte for byte, round trips through the filter's chunk codec, and every
// refusal of a damaged or impossible trailer.
#include "trailer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "chunk_codec.h"
#include "quorvane/codec/codec.h"

namespace quorvane::hdf5 {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Bytes stream_of(const std::vector<float>& samples) {
  return codec::compress(samples, codec::CodecOptions{}).value();
}

codec::QuorvaneHeader header_of(const Bytes& chunk) { return codec::QuorvaneHeader::from_bytes(chunk).value(); }

// `stream` + `records` + a footer with a correct checksum.
Bytes craft(const Bytes& stream, const Bytes& records, std::uint8_t version = 1, std::uint8_t dtype = 1,
            std::uint16_t reserved = 0) {
  Bytes chunk = stream;
  chunk.insert(chunk.end(), records.begin(), records.end());
  const auto length = static_cast<std::uint32_t>(records.size() + 16);
  chunk.push_back(version);
  chunk.push_back(dtype);
  chunk.push_back(static_cast<std::uint8_t>(reserved));
  chunk.push_back(static_cast<std::uint8_t>(reserved >> 8));
  for (int i = 0; i < 4; ++i) chunk.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  const auto crc = static_cast<std::uint32_t>(crc32(0, chunk.data(), static_cast<uInt>(chunk.size())));
  for (int i = 0; i < 4; ++i) chunk.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  for (char c : {'Q', 'V', 'T', 'R'}) chunk.push_back(static_cast<std::uint8_t>(c));
  return chunk;
}

std::string read_error(const Bytes& chunk) {
  auto trailer = read_trailer(chunk, header_of(chunk));
  return trailer ? std::string("no error") : trailer.error().message;
}

TEST(Trailer, TheFormatsExampleByteForByte) {
  const std::vector<float> samples = {1, kNan, kNan, 2, kInf, -kInf};
  const auto runs = find_non_finite(samples);
  ASSERT_EQ(runs, (std::vector<NonFiniteRun>{{1, 2, NonFiniteKind::nan},
                                             {4, 1, NonFiniteKind::positive_infinity},
                                             {5, 1, NonFiniteKind::negative_infinity}}));
  const Bytes stream = stream_of({1, 1.5f, 1.5f, 2, 2, 2});
  const Bytes trailer = build_trailer(stream, TrailerDtype::float32, runs, std::nullopt);
  const Bytes records = {0x01, 0x07, 0x03, 0x01, 0x08, 0x01, 0x05, 0x00, 0x06};
  Bytes chunk = stream;
  chunk.insert(chunk.end(), trailer.begin(), trailer.end());
  EXPECT_EQ(chunk, craft(stream, records));
  auto read = read_trailer(chunk, header_of(chunk));
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_EQ(read.value().runs, runs);
  EXPECT_EQ(read.value().dtype, TrailerDtype::float32);
  EXPECT_FALSE(read.value().placeholder_samples.has_value());
}

TEST(Trailer, FillingInterpolatesBetweenFiniteNeighboursAsNumpyInterpDoes) {
  std::vector<float> samples = {kNan, 1, kNan, -kInf, 4, kNan, 0.1f, kNan, kNan, 0.2f, kInf, kInf};
  fill_non_finite(samples);
  // np.interp([7, 8], [6, 9], [0.1, 0.2]) in float64, rounded to float32.
  const double step = (static_cast<double>(0.2f) - static_cast<double>(0.1f)) / 3.0;
  const std::vector<float> expected = {1, 1, 2, 3, 4, 2.05f, 0.1f,
                                       static_cast<float>(step * 1.0 + static_cast<double>(0.1f)),
                                       static_cast<float>(step * 2.0 + static_cast<double>(0.1f)),
                                       0.2f, 0.2f, 0.2f};
  EXPECT_EQ(samples, expected);
  std::vector<float> nothing_finite = {kNan, kInf, -kInf};
  fill_non_finite(nothing_finite);
  EXPECT_EQ(nothing_finite, (std::vector<float>{0, 0, 0}));
}

std::vector<float> signal_with_gaps(std::size_t n, std::uint32_t seed, double share) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)) * 5.0);
    const double draw = uniform(random);
    if (draw < share) samples[i] = draw < share / 2 ? kNan : (draw < share * 0.75 ? kInf : -kInf);
  }
  return samples;
}

template <class Sample>
Bytes raw_bytes(const std::vector<float>& samples) {
  const std::vector<Sample> converted(samples.begin(), samples.end());
  Bytes bytes(converted.size() * sizeof(Sample));
  std::memcpy(bytes.data(), converted.data(), bytes.size());
  return bytes;
}

template <class Sample>
std::vector<float> decoded_floats(const Bytes& out) {
  std::vector<Sample> wide(out.size() / sizeof(Sample));
  std::memcpy(wide.data(), out.data(), out.size());
  return std::vector<float>(wide.begin(), wide.end());
}

template <class Sample>
void expect_round_trip(const std::vector<float>& samples) {
  const ChunkLayout layout{sizeof(Sample), false, static_cast<std::uint32_t>(samples.size())};
  auto chunk = encode_chunk(raw_bytes<Sample>(samples), FilterParameters{{}, layout});
  ASSERT_TRUE(chunk.ok()) << chunk.error().message;
  Bytes out(decoded_chunk_size(layout));
  auto status = decode_chunk(chunk.value(), layout, out);
  ASSERT_TRUE(status.ok()) << status.error().message;
  const std::vector<float> decoded = decoded_floats<Sample>(out);
  // Finite samples are exactly the codec's round trip of the filled signal.
  std::vector<float> filled = samples;
  fill_non_finite(filled);
  const auto reference = codec::decompress(stream_of(filled)).value();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::isnan(samples[i])) {
      EXPECT_TRUE(std::isnan(decoded[i])) << i;
    } else if (std::isinf(samples[i])) {
      EXPECT_EQ(decoded[i], samples[i]) << i;
    } else {
      EXPECT_EQ(decoded[i], reference[i]) << i;
    }
  }
}

// The example chunks of docs/trailer-format.md, whole: every reader of the
// format reads what the filter writes, and the filter fills NaN exactly as
// the reference writer does (the stream in front would differ otherwise).
TEST(Trailer, TheFormatDocumentsExampleChunksByteForByte) {
  std::vector<float> samples = {1, kNan, kNan, 2, kInf, -kInf};
  samples.resize(16, 3.0f);
  const Bytes records_and_footer_32 = {0x01, 0x07, 0x03, 0x01, 0x08, 0x01, 0x05, 0x00, 0x06,
                                       0x01, 0x01, 0x00, 0x00, 0x19, 0x00, 0x00, 0x00,
                                       0xf6, 0xa1, 0x41, 0xcc, 0x51, 0x56, 0x54, 0x52};
  const Bytes footer_64 = {0x01, 0x02, 0x00, 0x00, 0x19, 0x00, 0x00, 0x00,
                           0x6b, 0xbb, 0xa9, 0xfd, 0x51, 0x56, 0x54, 0x52};
  auto narrow = encode_chunk(raw_bytes<float>(samples), FilterParameters{{}, ChunkLayout{4, false, 16}});
  ASSERT_TRUE(narrow.ok());
  ASSERT_EQ(narrow.value().size(), 92u + 25u);
  EXPECT_EQ(Bytes(narrow.value().begin() + 92, narrow.value().end()), records_and_footer_32);
  auto wide = encode_chunk(raw_bytes<double>(samples), FilterParameters{{}, ChunkLayout{8, false, 16}});
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(Bytes(wide.value().begin(), wide.value().begin() + 92), Bytes(narrow.value().begin(), narrow.value().begin() + 92));
  EXPECT_EQ(Bytes(wide.value().end() - 16, wide.value().end()), footer_64);

  const Bytes four_nan = {
      0x51, 0x52, 0x56, 0x4e, 0x01, 0x01, 0x66, 0x33, 0x63, 0x66, 0x39, 0x37, 0x01, 0x0b, 0x01, 0x00, 0x01, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03,
      0x0a, 0x0a, 0x7b, 0x01, 0xf8, 0x00, 0x0f, 0xd0, 0xf8, 0xb7, 0x40, 0x69, 0x7b, 0x01, 0xf8, 0x00, 0x0f, 0xd0,
      0xf8, 0xb7, 0x40, 0x69, 0x02, 0x01, 0x04, 0x01, 0x03, 0x01, 0x00, 0x10, 0x01, 0x01, 0x00, 0x00, 0x18, 0x00,
      0x00, 0x00, 0x32, 0x6a, 0x76, 0x34, 0x51, 0x56, 0x54, 0x52};
  const std::vector<float> nan4(4, kNan);
  auto placeholder = encode_chunk(raw_bytes<float>(nan4), FilterParameters{{}, ChunkLayout{4, false, 4}});
  ASSERT_TRUE(placeholder.ok());
  EXPECT_EQ(placeholder.value(), four_nan);
}

TEST(Trailer, NonFiniteSamplesComeBackWhereTheyWere) {
  for (std::size_t n : {2u, 9u, 100u, 5000u}) {
    for (double share : {0.01, 0.1, 0.5, 0.95}) {
      SCOPED_TRACE(std::to_string(n) + " samples, share " + std::to_string(share));
      auto samples = signal_with_gaps(n, static_cast<std::uint32_t>(n), share);
      samples[n / 2] = 0.5f;  // at least one finite sample
      expect_round_trip<float>(samples);
      expect_round_trip<double>(samples);
    }
  }
}

TEST(Trailer, AChunkOfNothingButNonFiniteValuesCostsAFewDozenBytes) {
  std::vector<float> samples(10000, kNan);
  samples[7] = kInf;
  const ChunkLayout layout{4, false, 10000};
  auto chunk = encode_chunk(raw_bytes<float>(samples), FilterParameters{{}, layout});
  ASSERT_TRUE(chunk.ok());
  EXPECT_LT(chunk.value().size(), 120u);
  auto read = read_trailer(chunk.value(), header_of(chunk.value()));
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().placeholder_samples, 10000u);
  expect_round_trip<float>(samples);
  expect_round_trip<double>(samples);
}

TEST(Trailer, ScatteredRunsAreDeflatedAndReadBack) {
  auto samples = signal_with_gaps(20000, 7, 0.1);
  const auto runs = find_non_finite(samples);
  std::vector<float> filled = samples;
  fill_non_finite(filled);
  const Bytes stream = stream_of(filled);
  const Bytes trailer = build_trailer(stream, TrailerDtype::float32, runs, std::nullopt);
  EXPECT_EQ(trailer[0], 0x03);
  Bytes chunk = stream;
  chunk.insert(chunk.end(), trailer.begin(), trailer.end());
  auto read = read_trailer(chunk, header_of(chunk));
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_EQ(read.value().runs, runs);
}

TEST(Trailer, BareStreamsAndTheOldFloat64MarkerStillRead) {
  const Bytes stream = stream_of({1, 2, 3, 4});
  auto bare = read_trailer(stream, header_of(stream));
  ASSERT_TRUE(bare.ok());
  EXPECT_FALSE(bare.value().dtype.has_value());
  Bytes legacy = stream;
  for (char c : {'Q', 'V', 'f', '8'}) legacy.push_back(static_cast<std::uint8_t>(c));
  auto old = read_trailer(legacy, header_of(legacy));
  ASSERT_TRUE(old.ok());
  EXPECT_EQ(old.value().dtype, TrailerDtype::float64);
  // Informational records (tags from 0x80) are skipped.
  const Bytes skipped = craft(stream, {0x90, 0x02, 0xAA, 0xBB});
  EXPECT_EQ(read_error(skipped), "no error");
}

TEST(Trailer, RefusesEveryDamagedOrImpossibleTrailer) {
  const Bytes stream = stream_of(std::vector<float>(10, 1.0f));  // 10 samples
  const Bytes good = craft(stream, {0x01, 0x03, 0x01, 0x00, 0x04});
  ASSERT_EQ(read_error(good), "no error");
  struct Case {
    Bytes chunk;
    const char* message;
  };
  Bytes flipped = good;
  flipped[60] ^= 0x01;
  Bytes short_length = good;
  short_length[good.size() - 12] = 4;
  const Bytes deflated_garbage = craft(stream, {0x03, 0x02, 0xFF, 0xFF});
  const std::vector<Case> cases = {
      {Bytes(stream.begin(), stream.end() - 1), "quorvane filter: truncated: the stream needs"},
      {[&] { Bytes c = stream; c.push_back(0); c.push_back(1); return c; }(),
       "quorvane filter: the 2 bytes after the stream are not a quorvane trailer (damaged or truncated)"},
      {flipped, "quorvane filter: checksum mismatch: the stream or its trailer is damaged"},
      {short_length, "quorvane filter: trailer length 4 does not match the 21 bytes after the stream"},
      {craft(stream, {}, 2), "quorvane filter: trailer version 2 is not supported (this reader knows 1)"},
      {craft(stream, {}, 1, 3), "quorvane filter: trailer names unknown dtype code 3"},
      {craft(stream, {}, 1, 1, 7), "quorvane filter: trailer reserved field is 7, not 0"},
      {craft(stream, {0x05, 0x00}), "quorvane filter: trailer record 0x05 is not known to this reader"},
      {craft(stream, {0x90, 0x00, 0x90, 0x00}), "quorvane filter: trailer record 0x90 appears twice"},
      {craft(stream, {0x01, 0x09, 0x00}), "quorvane filter: trailer record 0x01 claims 9 bytes, 1 remain"},
      {craft(stream, {0x01, 0x80}), "quorvane filter: trailer record ends inside its length"},
      {craft(stream, {0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
       "quorvane filter: trailer record length is longer than 5 bytes"},
      {craft(stream, {0x01, 0x03, 0x01, 0x00, 0x07}),
       "quorvane filter: trailer names an unknown kind of non-finite value"},
      {craft(stream, {0x01, 0x03, 0x01, 0x0A, 0x04}), "quorvane filter: trailer holds a run outside the 10 samples"},
      {craft(stream, {0x01, 0x03, 0x01, 0x00, 0x00}), "quorvane filter: trailer holds a run outside the 10 samples"},
      {craft(stream, {0x01, 0x03, 0x02, 0x00, 0x04}),
       "quorvane filter: trailer claims 2 non-finite runs in 10 samples and holds 1"},
      {craft(stream, {0x01, 0x00}), "quorvane filter: trailer non-finite runs record is empty"},
      {craft(stream, {0x01, 0x02, 0x01, 0x80}), "quorvane filter: trailer non-finite runs ends inside a number"},
      {craft(stream, {0x01, 0x06, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
       "quorvane filter: trailer non-finite runs holds a number longer than 5 bytes"},
      {craft(stream, {0x01, 0x03, 0x01, 0x00, 0x04, 0x03, 0x00}),
       "quorvane filter: trailer holds the non-finite runs twice (plain and deflated)"},
      {deflated_garbage, "quorvane filter: trailer deflated non-finite runs are damaged"},
      {craft(stream, {0x02, 0x01, 0x00, 0x01, 0x03, 0x01, 0x00, 0x04}),
       "quorvane filter: trailer sample count record is not one count of 1..2^31-1"},
      {craft(stream, {0x02, 0x01, 0x05, 0x01, 0x03, 0x01, 0x00, 0x04}),
       "quorvane filter: trailer gives 5 samples but its runs cover 1"},
  };
  for (const Case& c : cases) {
    const std::string message = read_error(c.chunk);
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << "expected: " << c.message << "\n got: " << message;
  }
}

TEST(Trailer, DeflatedRunsMustEndWithTheirRecordAndStayWithinTheLimit) {
  const Bytes stream = stream_of(std::vector<float>(10, 1.0f));
  const auto pack = [](const Bytes& body) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes packed(deflateBound(&z, static_cast<uLong>(body.size())));
    z.next_in = const_cast<Bytef*>(body.data());
    z.avail_in = static_cast<uInt>(body.size());
    z.next_out = packed.data();
    z.avail_out = static_cast<uInt>(packed.size());
    deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    return packed;
  };
  const auto record = [](Bytes body) {
    Bytes r = {0x03, static_cast<std::uint8_t>(body.size())};
    r.insert(r.end(), body.begin(), body.end());
    return r;
  };
  const Bytes runs = {0x01, 0x00, 0x04};
  EXPECT_EQ(read_error(craft(stream, record(pack(runs)))), "no error");
  Bytes extra = pack(runs);
  extra.push_back(0x00);
  EXPECT_EQ(read_error(craft(stream, record(extra))),
            "quorvane filter: trailer deflated non-finite runs do not end where their record does");
  const Bytes cut = pack(runs);
  EXPECT_EQ(read_error(craft(stream, record(Bytes(cut.begin(), cut.end() - 1)))),
            "quorvane filter: trailer deflated non-finite runs do not end where their record does");
  // 10 samples allow at most 5 x 21 = 105 bytes of runs.
  EXPECT_EQ(read_error(craft(stream, record(pack(Bytes(200, 0x00))))),
            "quorvane filter: trailer deflated non-finite runs inflate beyond 105 bytes");
}

TEST(Trailer, TheChunkMustHoldTheDatasetsDtypeAndSampleCount) {
  std::vector<float> samples = {1, kNan, 3, 4};
  const ChunkLayout narrow{4, false, 4};
  auto chunk = encode_chunk(raw_bytes<float>(samples), FilterParameters{{}, narrow});
  ASSERT_TRUE(chunk.ok());
  const ChunkLayout wide{8, false, 4};
  Bytes out(decoded_chunk_size(wide));
  auto status = decode_chunk(chunk.value(), wide, out);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message,
            "quorvane filter: the chunk's trailer records float32 samples, the dataset holds float64");

  std::vector<float> all_nan(6, kNan);
  auto placeholder = encode_chunk(raw_bytes<float>(all_nan), FilterParameters{{}, ChunkLayout{4, false, 6}});
  ASSERT_TRUE(placeholder.ok());
  const ChunkLayout other{4, false, 7};
  Bytes seven(decoded_chunk_size(other));
  status = decode_chunk(placeholder.value(), other, seven);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "quorvane filter: the stored stream holds 6 samples, the dataset's chunks hold 7");
}

}  // namespace
}  // namespace quorvane::hdf5
