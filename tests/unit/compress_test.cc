// The compression pipeline: refusals, header fields, padding, quantiser and
// dead zone as seen in the stream.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "codec_test_support.h"
#include "payload_length.h"
#include "transform_error.h"
#include "quorvane/wavelet/factory.h"

namespace quorvane::codec {
namespace {

using testing::coefficients_of;
using testing::compress_ok;
using testing::header_of;
using testing::test_signal;

constexpr CodecOptions kDeflate97{WaveletMethod::cdf97, 11, CutoffLevel::low, EntropyCoder::deflate};

std::string compress_error(std::span<const float> x, const CodecOptions& options) {
  auto result = compress(x, options);
  return result.ok() ? "ok" : result.error().message();
}

TEST(Compress, RefusesWhatItCannotEncode) {
  const std::vector<float> x = test_signal(100);
  EXPECT_EQ(compress_error({}, CodecOptions{}),
            "Unsupported compression configuration 'Can't compress empty data'");
  for (std::uint8_t scale : {0, 5, 13, 255}) {
    CodecOptions options;
    options.scale = scale;
    EXPECT_EQ(compress_error(x, options),
              "Only scaled 6..12 is supported, but it was " + std::to_string(scale));
  }
  EXPECT_EQ(compress_error(x, CodecOptions::unpack(0x0B070200)),
            "Unsupported compression configuration 'Unknown wavelet method 7'");
  EXPECT_EQ(compress_error(x, CodecOptions::unpack(0x0B010203)),
            "Unsupported compression configuration 'Unknown cutoff level 3'");
  EXPECT_EQ(compress_error(x, CodecOptions::unpack(0x0B010300)),
            "Unsupported compression configuration 'Unknown entropy coder 3'");
}

TEST(Compress, RefusesARangeBeyondFloat32) {
  const float big = 3.0e38f;
  const std::vector<float> x = {-big, 0.0f, big};
  EXPECT_EQ(compress_error(x, CodecOptions{}),
            "Unsupported compression configuration 'Signal range exceeds the float32 range'");
  const std::vector<float> fine = {-1.0e38f, 0.0f, 1.0e38f};
  EXPECT_EQ(compress_error(fine, CodecOptions{}), "ok");
}

TEST(Compress, PayloadLengthMustFitTheHeaderField) {
  EXPECT_EQ(payload_length_field(0).value(), 0u);
  EXPECT_EQ(payload_length_field(4294967295u).value(), 4294967295u);
  auto too_long = payload_length_field(std::size_t{1} << 32);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().kind(), QuorvaneError::Kind::CompressionFailed);
  EXPECT_EQ(too_long.error().message(),
            "Payload of 4294967296 bytes is longer than the 4294967295 bytes a stream header can describe");
}

TEST(Compress, WritesTheHeaderFields) {
  const std::vector<float> x = test_signal(1000);
  const std::vector<std::uint8_t> stream = compress_ok(x, CodecOptions{});
  const QuorvaneHeader h = header_of(stream);
  EXPECT_EQ(std::string(h.magic.begin(), h.magic.end()), "QRVN");
  EXPECT_EQ(h.version[0], 1);
  EXPECT_EQ(h.version[1], 1);
  EXPECT_EQ(std::string(h.method.begin(), h.method.end()), "cf97");
  EXPECT_EQ(h.levels, 6);  // floor(log2(1000 / 10))
  EXPECT_EQ(h.scale, 11);
  EXPECT_EQ(h.coder, kCoderArans);
  EXPECT_EQ(h.reserved, 0);
  EXPECT_EQ(h.sample_count, 1000u);
  EXPECT_EQ(h.min, *std::min_element(x.begin(), x.end()));
  EXPECT_EQ(h.max, *std::max_element(x.begin(), x.end()));
  EXPECT_EQ(stream.size(), HEADER_SIZE + h.payload_len);
  for (std::uint8_t b : h.reserved_tail) EXPECT_EQ(b, 0);
}

TEST(Compress, AutoIsTheRansCoderAndDeflateDiffersOnlyInItsPayload) {
  const std::vector<float> x = test_signal(3000);
  CodecOptions options;
  options.coder = EntropyCoder::automatic;
  const auto automatic = compress_ok(x, options);
  options.coder = EntropyCoder::arans;
  const auto arans = compress_ok(x, options);
  options.coder = EntropyCoder::deflate;
  const auto deflate = compress_ok(x, options);
  EXPECT_EQ(automatic, arans);
  QuorvaneHeader a = header_of(arans);
  QuorvaneHeader d = header_of(deflate);
  EXPECT_EQ(d.coder, kCoderDeflate);
  a.coder = d.coder;
  a.payload_len = d.payload_len;
  std::vector<std::uint8_t> ha(HEADER_SIZE), hd(HEADER_SIZE);
  a.write(std::span<std::uint8_t, HEADER_SIZE>(ha.data(), HEADER_SIZE));
  d.write(std::span<std::uint8_t, HEADER_SIZE>(hd.data(), HEADER_SIZE));
  EXPECT_EQ(ha, hd);
}

TEST(Compress, IsDeterministic) {
  const std::vector<float> x = test_signal(5000, 7);
  for (const CodecOptions& options : testing::kAllMethodsDeflate) {
    EXPECT_EQ(compress_ok(x, options), compress_ok(x, options));
  }
}

TEST(Compress, FlatSignalGivesZeroCoefficientsAndZeroMean) {
  const std::vector<float> x(300, 4.5f);
  const auto stream = compress_ok(x, kDeflate97);
  const QuorvaneHeader h = header_of(stream);
  EXPECT_EQ(h.min, 4.5f);
  EXPECT_EQ(h.max, 4.5f);
  EXPECT_EQ(h.mean, 0.0f);
  for (std::int16_t q : coefficients_of(stream)) ASSERT_EQ(q, 0);
}

TEST(Compress, ShortSignalIsPaddedToTheFilterLength) {
  const std::vector<float> x = {1.0f, 5.0f, 2.0f, 8.0f, 3.0f};
  const auto stream = compress_ok(x, kDeflate97);
  const QuorvaneHeader h = header_of(stream);
  EXPECT_EQ(h.sample_count, 5u);
  EXPECT_EQ(h.levels, 1);
  // One level of the 10-sample padded signal: 5 approximations, 5 details.
  EXPECT_EQ(coefficients_of(stream).size(), 10u);

  // The padding repeats the signal: a 10-sample signal of two periods gives
  // the same coefficients.
  std::vector<float> doubled = x;
  doubled.insert(doubled.end(), x.begin(), x.end());
  const auto reference = compress_ok(doubled, kDeflate97);
  EXPECT_EQ(coefficients_of(stream), coefficients_of(reference));
}

TEST(Compress, CoefficientsFollowTheTransformAndQuantiser) {
  // Recompute the coefficient vector from the transform and compare.
  const std::vector<float> x = test_signal(700, 3);
  for (std::uint8_t scale : {6, 9, 12}) {
    for (CutoffLevel cutoff : {CutoffLevel::low, CutoffLevel::medium, CutoffLevel::high}) {
      const CodecOptions options{WaveletMethod::cdf97, scale, cutoff, EntropyCoder::deflate};
      const auto stream = compress_ok(x, options);
      const QuorvaneHeader h = header_of(stream);

      const float range = h.max - h.min;
      const float inv = 1.0f / range;
      std::vector<float> normalized(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) normalized[i] = (x[i] - h.min) * inv - h.mean;
      auto decomposition = wavelet::make_cdf97_f32()->multi_dwt(normalized, h.levels);
      ASSERT_TRUE(decomposition.ok());

      const float factor = std::ldexp(1.0f, scale);
      const int threshold = ((scale - 6) / 2) * (cutoff == CutoffLevel::low      ? 1
                                                 : cutoff == CutoffLevel::medium ? 3
                                                                                 : 7);
      std::vector<std::int16_t> expected;
      for (float c : decomposition.value().levels.back().approximations) {
        expected.push_back(static_cast<std::int16_t>(std::trunc(c * factor)));
      }
      for (const auto& level : decomposition.value().levels) {
        for (float c : level.details) {
          const auto q = static_cast<std::int16_t>(std::trunc(c * factor));
          expected.push_back(std::abs(q) < threshold ? 0 : q);
        }
      }
      EXPECT_EQ(coefficients_of(stream), expected) << int(scale) << " " << int(cutoff);
    }
  }
}

}  // namespace
}  // namespace quorvane::codec

namespace quorvane::codec {
namespace {

TEST(TransformErrors, AllocationFailureIsOutOfMemory) {
  const QuorvaneError oom = from_transform_error(wavelet::WaveletError::cannot_allocate(4000));
  EXPECT_EQ(oom.kind(), QuorvaneError::Kind::OutOfMemory);
  EXPECT_EQ(oom.message(), "Out of memory, can't allocate additional 1000");
  const QuorvaneError other = from_transform_error(wavelet::WaveletError::input_too_short(5, 8));
  EXPECT_EQ(other.kind(), QuorvaneError::Kind::TransformFailed);
  EXPECT_EQ(other.message(), "Input size 5 can't be less than 8");
}

}  // namespace
}  // namespace quorvane::codec
