// Coder-2 streams through the unchanged decompress: the coefficients of a
// reference stream recoded by the band coder decode to the very same
// samples, for every method, level count and scale; hostile coder-2 streams
// fail fast and cheaply.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "codec_test_support.h"
#include "quorvane/codec/band_payload.h"

namespace quorvane::codec {
namespace {

using testing::coefficients_of;
using testing::compress_ok;
using testing::header_of;
using testing::test_signal;

// The same coefficients behind the same header fields, coded with coder 2.
std::vector<std::uint8_t> recoded(std::span<const std::uint8_t> deflate_stream) {
  QuorvaneHeader header = header_of(deflate_stream);
  const std::vector<std::int16_t> q = coefficients_of(deflate_stream);
  auto payload = encode_band_payload(q, *method_from_code(header.method), header.sample_count,
                                    header.levels);
  EXPECT_TRUE(payload.ok());
  header.coder = kCoderBands;
  header.payload_len = static_cast<std::uint32_t>(payload.value().size());
  std::vector<std::uint8_t> stream(HEADER_SIZE);
  header.write(std::span<std::uint8_t, HEADER_SIZE>(stream.data(), HEADER_SIZE));
  stream.insert(stream.end(), payload.value().begin(), payload.value().end());
  return stream;
}

std::vector<float> decoded(std::span<const std::uint8_t> stream) {
  auto r = decompress(stream);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r.value() : std::vector<float>{};
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), 4 * a.size()) == 0;
}

// Lengths cover the padded short signals (1..9), every level count from 1 to
// 8 and odd band sizes; scales 6..12 move the coefficients from a few bits
// to the full 16.
TEST(BandCoderStream, DecodesToTheSamplesOfTheReferenceStream) {
  const std::size_t lengths[] = {1, 2, 5, 7, 9, 10, 19, 20, 41, 79, 80, 163, 400, 1000, 1500, 2561, 20011};
  const WaveletMethod methods[] = {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                                   WaveletMethod::sym4};
  std::set<unsigned> level_counts;
  for (const WaveletMethod method : methods) {
    for (const std::size_t n : lengths) {
      for (std::uint8_t scale = 6; scale <= 12; scale += (n > 2000 ? 3 : 1)) {
        SCOPED_TRACE(::testing::Message() << "method " << static_cast<int>(method) << " n " << n
                                          << " scale " << int{scale});
        const std::vector<float> x = test_signal(n, static_cast<std::uint32_t>(n));
        const auto reference =
            compress_ok(x, {method, scale, CutoffLevel::low, EntropyCoder::deflate});
        const auto stream = recoded(reference);
        EXPECT_EQ(header_of(stream).coder, kCoderBands);
        EXPECT_TRUE(same_bits(decoded(stream), decoded(reference)));
        level_counts.insert(header_of(stream).levels);
      }
    }
  }
  EXPECT_EQ(level_counts.size(), 8u);
}

// The codec's entry writes exactly the reference stream recoded: same header
// fields (only coder id and payload length differ), whatever coder the
// options name, for every cut-off and short and long signals.
TEST(BandCoderStream, CompressWithBandCoderIsTheReferenceStreamRecoded) {
  const WaveletMethod methods[] = {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                                   WaveletMethod::sym4};
  const CutoffLevel cutoffs[] = {CutoffLevel::low, CutoffLevel::medium, CutoffLevel::high};
  const EntropyCoder coders[] = {EntropyCoder::deflate, EntropyCoder::arans, EntropyCoder::automatic};
  unsigned index = 0;
  for (const WaveletMethod method : methods) {
    for (const std::size_t n : {1u, 7u, 80u, 1001u, 5000u}) {
      for (const CutoffLevel cutoff : cutoffs) {
        const std::uint8_t scale = static_cast<std::uint8_t>(6 + index % 7);
        const EntropyCoder coder = coders[index++ % 3];
        SCOPED_TRACE(::testing::Message() << "method " << static_cast<int>(method) << " n " << n
                                          << " scale " << int{scale});
        const std::vector<float> x = test_signal(n, static_cast<std::uint32_t>(n + index));
        auto stream = compress_with_band_coder(x, {method, scale, cutoff, coder});
        ASSERT_TRUE(stream.ok()) << stream.error().message();
        EXPECT_EQ(stream.value(), recoded(compress_ok(x, {method, scale, cutoff, EntropyCoder::deflate})));
      }
    }
  }
}

// The same checks as compress, with the same messages.
TEST(BandCoderStream, CompressWithBandCoderRefusesWhatCompressRefuses) {
  const std::vector<float> x = test_signal(100, 1);
  const std::vector<float> wide = {-3e38f, 3e38f, 0.0f};
  const std::pair<std::span<const float>, CodecOptions> cases[] = {
      {{}, {}},
      {x, {WaveletMethod::cdf97, 5, CutoffLevel::low, EntropyCoder::automatic}},
      {x, {WaveletMethod::cdf97, 13, CutoffLevel::low, EntropyCoder::automatic}},
      {x, {static_cast<WaveletMethod>(4), 11, CutoffLevel::low, EntropyCoder::automatic}},
      {x, {WaveletMethod::cdf97, 11, static_cast<CutoffLevel>(3), EntropyCoder::automatic}},
      {wide, {}},
  };
  for (const auto& [samples, options] : cases) {
    auto expected = compress(samples, options);
    ASSERT_FALSE(expected.ok());
    auto r = compress_with_band_coder(samples, options);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), expected.error().message());
  }
}

TEST(BandCoderStream, DamagedPayloadsFailWithTheCoderMessage) {
  const auto stream = recoded(compress_ok(
      test_signal(3000), {WaveletMethod::cdf97, 11, CutoffLevel::low, EntropyCoder::deflate}));
  const std::size_t payload_len = stream.size() - HEADER_SIZE;

  auto cut = stream;  // the header's payload length still claims the old size
  cut.resize(stream.size() - 2);
  testing::put_u32(cut, 32, static_cast<std::uint32_t>(payload_len - 2));
  auto extra = stream;
  extra.insert(extra.end(), {0, 0});
  testing::put_u32(extra, 32, static_cast<std::uint32_t>(payload_len + 2));
  auto other_count = stream;  // another sample count: other bands
  testing::put_u32(other_count, 16, 2999);

  const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
      {cut, "Can't decompress data, reason: Stream truncated"},
      {extra, "Can't decompress data, reason: Inconsistent or oversized length in stream"},
  };
  for (const auto& [damaged, text] : cases) {
    auto r = decompress(damaged);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), text);
  }
  EXPECT_FALSE(decompress(other_count).ok());
  // Bytes after the payload stay outside it and are ignored.
  auto trailing = stream;
  trailing.push_back(0x55);
  EXPECT_TRUE(same_bits(decoded(trailing), decoded(stream)));
}

TEST(BandCoderStream, EncoderEntryRefusesCoefficientsThatDoNotFit) {
  const std::vector<std::int16_t> q(12);  // cdf53, 10 samples, 1 level: 5 + 5
  EXPECT_EQ(encode_band_payload(std::span(q).first(10), WaveletMethod::cdf53, 10, 1).value().size(), 4u);
  EXPECT_EQ(encode_band_payload(q, WaveletMethod::cdf53, 10, 1).error().message(),
            "The bands of this stream hold 10 coefficients, but 12 were given");
  EXPECT_FALSE(encode_band_payload(q, WaveletMethod::cdf53, 0, 1).ok());
  EXPECT_FALSE(encode_band_payload(q, WaveletMethod::cdf53, 10, 0).ok());
  EXPECT_FALSE(encode_band_payload(q, WaveletMethod::cdf53, 10, 11).ok());
}

TEST(BandCoderStream, CoderByteThreeAndAboveIsStillRefused) {
  auto stream = recoded(compress_ok(
      test_signal(100), {WaveletMethod::cdf53, 9, CutoffLevel::low, EntropyCoder::deflate}));
  for (const std::uint8_t coder : {3, 4, 255}) {
    stream[14] = coder;
    auto r = decompress(stream);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "Unknown entropy coder " + std::to_string(coder));
  }
}

// 2^31 - 1 samples and 10 levels behind payloads that cannot supply them:
// refused at once, before any memory is taken for the declared bands.
TEST(BandCoderStream, HugeDeclaredCountsFailFast) {
  const std::vector<std::uint8_t> payloads[] = {
      {0x00, 0x00, 0x01, 0x00},
      {0xff, 0xff, 0xff, 0xff, 0x00, 0x00},
      std::vector<std::uint8_t>(4096, 0xff),
  };
  for (const auto& payload : payloads) {
    QuorvaneHeader header = QuorvaneHeader::for_stream(WaveletMethod::cdf97, 10, 11, kCoderBands,
                                                       2147483647u, 0.0f, 1.0f, 0.0f,
                                                       static_cast<std::uint32_t>(payload.size()));
    std::vector<std::uint8_t> stream(HEADER_SIZE);
    header.write(std::span<std::uint8_t, HEADER_SIZE>(stream.data(), HEADER_SIZE));
    stream.insert(stream.end(), payload.begin(), payload.end());
    auto r = decompress(stream);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "Can't decompress data, reason: Stream truncated");
  }
}

}  // namespace
}  // namespace quorvane::codec
