// The decompression pipeline: every refusal in its order with its exact
// message, and the faults a damaged or crafted stream must not turn into
// reads past a buffer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "codec_test_support.h"
#include "raw_deflate.h"

namespace quorvane::codec {
namespace {

using testing::compress_ok;
using testing::header_of;
using testing::put_u32;
using testing::test_signal;

constexpr CodecOptions kDeflate97{WaveletMethod::cdf97, 11, CutoffLevel::low, EntropyCoder::deflate};
constexpr CodecOptions kArans97{WaveletMethod::cdf97, 11, CutoffLevel::low, EntropyCoder::arans};

std::string decompress_error(std::span<const std::uint8_t> stream) {
  auto result = decompress(stream);
  return result.ok() ? "ok" : result.error().message();
}

TEST(Decompress, FailsInCheckOrder) {
  const std::vector<std::uint8_t> valid = compress_ok(test_signal(500), kDeflate97);
  const std::uint32_t payload_len = header_of(valid).payload_len;
  struct Case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"header", [](auto& s) { s.resize(51); }, "Header is invalid"},
      {"sample count 2^31 before a damaged payload",
       [](auto& s) { put_u32(s, 16, 0x80000000u), s.resize(60, 0xFF); },
       "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was 2147483648"},
      {"sample count before levels", [](auto& s) { put_u32(s, 16, 0xFFFFFFFFu), s[12] = 0; },
       "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was 4294967295"},
      {"levels 11", [](auto& s) { s[12] = 11; },
       "Can't decompress data, reason: Max supported level is 10 but it was 11"},
      {"levels 0", [](auto& s) { s[12] = 0; },
       "Can't decompress data, reason: Min supported level is 1 but it was 0"},
      {"sample count 0", [](auto& s) { put_u32(s, 16, 0); },
       "Can't decompress data, reason: Sample count must be at least 1"},
      {"one byte short", [](auto& s) { s.pop_back(); },
       "Can't decompress data, reason: Minimum data size is " + std::to_string(payload_len + 52) +
           ", but it was " + std::to_string(payload_len + 51)},
      {"payload length beyond 32 bits of stream", [](auto& s) { put_u32(s, 32, 0xFFFFFFFFu); },
       "Can't decompress data, reason: Minimum data size is 4294967347, but it was " +
           std::to_string(payload_len + 52)},
      {"invalid block type", [](auto& s) { s[52] = 0x07; },  // final block of type 3
       "Can't decompress data, reason: corrupt deflate stream"},
      {"truncated payload", [](auto& s) { put_u32(s, 32, 10), s.resize(62); },
       "Can't decompress data, reason: Coefficient data is shorter than the stream header requires"},
      {"crafted sample count", [](auto& s) { put_u32(s, 16, 2147483647u); },
       "Can't decompress data, reason: Coefficient data is shorter than the stream header requires"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> stream = valid;
    c.damage(stream);
    EXPECT_EQ(decompress_error(stream), c.message) << c.name;
  }
}

TEST(Decompress, RansPayloadErrorsAreReported) {
  std::vector<std::uint8_t> stream = compress_ok(test_signal(500), kArans97);
  stream[53] = 9;  // context bits above 8
  EXPECT_EQ(decompress_error(stream),
            "Can't decompress data, reason: Inconsistent or oversized length in stream");
  stream = compress_ok(test_signal(500), kArans97);
  const std::uint32_t cut = 20;
  put_u32(stream, 32, cut);
  stream.resize(HEADER_SIZE + cut);
  EXPECT_EQ(decompress_error(stream), "Can't decompress data, reason: Stream truncated");
}

TEST(Decompress, LevelsNineAndTenPassTheLevelChecks) {
  for (std::uint8_t levels : {9, 10}) {
    std::vector<std::uint8_t> stream = compress_ok(test_signal(5000), kDeflate97);
    stream[12] = levels;
    // The bands no longer match the payload, but the level checks pass.
    const std::string message = decompress_error(stream);
    EXPECT_EQ(message.find("supported level"), std::string::npos) << message;
  }
}

TEST(Decompress, ExactLengthDecodesAndTrailingBytesAreIgnored) {
  for (const CodecOptions& options : {kDeflate97, kArans97}) {
    const std::vector<float> x = test_signal(777);
    std::vector<std::uint8_t> stream = compress_ok(x, options);
    auto exact = decompress(stream);
    ASSERT_TRUE(exact.ok());
    stream.insert(stream.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9});
    auto padded = decompress(stream);
    ASSERT_TRUE(padded.ok());
    EXPECT_EQ(exact.value(), padded.value());
  }
}

TEST(Decompress, FlatSignalDecodesToCopiesOfItsValue) {
  for (float value : {4.5f, -1.0e-3f, 0.0f, 1.0e30f}) {
    for (const CodecOptions& options : {kDeflate97, kArans97}) {
      const std::vector<float> x(1234, value);
      auto y = decompress(compress_ok(x, options));
      ASSERT_TRUE(y.ok());
      EXPECT_EQ(y.value(), x);
    }
  }
}

// deflate_raw hands zlib a small output buffer at a time; the stream must be
// the one a single call into room for the whole result gives, appended after
// what the vector held. 1.5 MB of noisy bytes take several of those buffers.
TEST(RawDeflate, ChunkedOutputIsTheOneShotStreamAppended) {
  std::vector<std::uint8_t> input(1500000);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < input.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    input[i] = static_cast<std::uint8_t>((state >> 24) & (i % 3000 < 1500 ? 0xFF : 0x0F));
  }
  z_stream zs{};
  ASSERT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<std::uint8_t> one_shot(deflateBound(&zs, input.size()));
  zs.next_in = input.data();
  zs.avail_in = static_cast<uInt>(input.size());
  zs.next_out = one_shot.data();
  zs.avail_out = static_cast<uInt>(one_shot.size());
  ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  one_shot.resize(zs.total_out);
  deflateEnd(&zs);
  ASSERT_GT(one_shot.size(), std::size_t{3} << 18);  // more than three of deflate_raw's buffers

  std::vector<std::uint8_t> appended = {7, 8, 9};
  ASSERT_TRUE(deflate_raw(input, appended).ok());
  ASSERT_EQ(appended.size(), 3 + one_shot.size());
  EXPECT_EQ(appended[0], 7);
  EXPECT_EQ(appended[2], 9);
  EXPECT_TRUE(std::equal(one_shot.begin(), one_shot.end(), appended.begin() + 3));
}

TEST(RawInflate, StopsAtTheLimit) {
  // 1 MiB of zeros deflates to about a kilobyte; asking for 1000 bytes must
  // produce exactly those and no more.
  const std::vector<std::uint8_t> zeros(1 << 20, 0);
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(deflate_raw(zeros, payload).ok());
  auto limited = inflate_raw(payload, 1000);
  ASSERT_TRUE(limited.ok());
  EXPECT_EQ(limited.value().size(), 1000u);
  auto whole = inflate_raw(payload, std::size_t{1} << 40);
  ASSERT_TRUE(whole.ok());
  EXPECT_TRUE(std::equal(whole.value().begin(), whole.value().end(), zeros.begin(), zeros.end()));
}

TEST(RawInflate, CutPayloadYieldsWhatWasInflated) {
  std::vector<std::uint8_t> input(100000);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>((i * i) >> 7);
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(deflate_raw(input, payload).ok());
  payload.resize(payload.size() / 2);
  auto partial = inflate_raw(payload, input.size());
  ASSERT_TRUE(partial.ok());
  ASSERT_LT(partial.value().size(), input.size());
  EXPECT_TRUE(std::equal(partial.value().begin(), partial.value().end(), input.begin()));
}

// The fast inflate path gives zlib's result for whole, cut and limited
// payloads: same bytes, same error text, same stop at the limit.
struct InflateOutcome {
  bool ok;
  std::string error;
  std::vector<std::uint8_t> bytes;
};

InflateOutcome outcome(const Result<UninitializedVector<std::uint8_t>, std::string>& r) {
  if (!r.ok()) return {false, r.error(), {}};
  return {true, "", std::vector<std::uint8_t>(r.value().begin(), r.value().end())};
}

std::vector<std::uint8_t> coefficient_like_bytes(std::size_t n) {
  std::vector<std::uint8_t> input(n);
  for (std::size_t i = 0; i < n; ++i) {
    input[i] = static_cast<std::uint8_t>(i % 7 == 0 ? (i * 2654435761u) >> 24 : i / 97);
  }
  return input;
}

TEST(RawInflate, FastPathAgreesWithZlibOnWholeCutAndLimitedPayloads) {
  const std::vector<std::uint8_t> input = coefficient_like_bytes(6000);
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(deflate_raw(input, payload).ok());
  const std::vector<std::uint8_t> stored = {0x01, 0x03, 0x00, 0xFC, 0xFF, 1, 2, 3};
  const std::vector<std::uint8_t> block_type_3 = {0x07, 0x00};

  const auto expect_same = [](std::span<const std::uint8_t> p, std::size_t limit) {
    const InflateOutcome fast = outcome(inflate_raw(p, limit));
    const InflateOutcome slow = outcome(inflate_raw_zlib(p, limit));
    EXPECT_EQ(fast.ok, slow.ok);
    EXPECT_EQ(fast.error, slow.error);
    EXPECT_EQ(fast.bytes, slow.bytes);
  };
  for (const std::size_t limit : {input.size(), input.size() - 1, input.size() + 1, std::size_t{10},
                                  std::size_t{0}}) {
    for (std::size_t cut = 0; cut <= payload.size(); ++cut) {
      SCOPED_TRACE("cut " + std::to_string(cut) + " limit " + std::to_string(limit));
      expect_same(std::span(payload).first(cut), limit);
    }
  }
  for (std::size_t cut = 0; cut <= stored.size(); ++cut) expect_same(std::span(stored).first(cut), 3);
  expect_same(block_type_3, 100);
  EXPECT_EQ(outcome(inflate_raw(block_type_3, 100)).error, "corrupt deflate stream");
  EXPECT_EQ(outcome(inflate_raw(payload, input.size())).bytes, input);
}

// Damaged payloads: whenever zlib decodes one, the fast path gives the same
// bytes, and whenever both refuse one, the same message. libdeflate accepts a
// few malformed streams that zlib refuses (a code-length repeat running past
// the code count, litlen symbols 286-287, distance symbols 30-31, incomplete
// codes); those decode to bytes instead of "corrupt deflate stream".
TEST(RawInflate, DamagedPayloadsDecodeAsZlibDoesWhereZlibDecodes) {
  const std::vector<std::uint8_t> input = coefficient_like_bytes(6000);
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(deflate_raw(input, payload).ok());
  int lenient = 0;
  for (std::size_t at = 0; at < payload.size(); ++at) {
    for (const std::uint8_t flip : {0x01, 0x08, 0x40, 0xFF}) {
      std::vector<std::uint8_t> damaged = payload;
      damaged[at] ^= flip;
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(flip));
      const InflateOutcome fast = outcome(inflate_raw(damaged, input.size()));
      const InflateOutcome slow = outcome(inflate_raw_zlib(damaged, input.size()));
      if (slow.ok) {
        EXPECT_TRUE(fast.ok);
        EXPECT_EQ(fast.bytes, slow.bytes);
      } else if (!fast.ok) {
        EXPECT_EQ(fast.error, slow.error);
      } else {
        EXPECT_TRUE(has_fast_inflate());
        EXPECT_EQ(slow.error, "corrupt deflate stream");
        ++lenient;
      }
    }
  }
  // A handful at most: nearly every damage zlib notices, libdeflate notices too.
  EXPECT_LE(lenient, 8);
}

}  // namespace
}  // namespace quorvane::codec
