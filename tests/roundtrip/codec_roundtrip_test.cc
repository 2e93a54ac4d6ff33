// Compress, decompress, compare: every method and coder, every length from
// 1 to 200 and some long signals, the error bounded by the quantiser step.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "codec_test_support.h"
#include "quantizer.h"

namespace quorvane::codec {
namespace {

using testing::compress_ok;
using testing::test_signal;

struct RoundTrip {
  std::vector<float> input;
  std::vector<float> output;
  float max_error = 0;
};

RoundTrip round_trip(std::vector<float> x, const CodecOptions& options) {
  RoundTrip r;
  r.input = std::move(x);
  const std::vector<std::uint8_t> stream = compress_ok(r.input, options);
  auto decoded = decompress(stream);
  if (!decoded.ok()) throw std::runtime_error(decoded.error().message());
  r.output = std::move(decoded).value();
  for (std::size_t i = 0; i < r.input.size() && i < r.output.size(); ++i) {
    r.max_error = std::max(r.max_error, std::abs(r.output[i] - r.input[i]));
  }
  return r;
}

// What the quantiser allows: the dead zone plus truncation, in normalised
// units, scaled back by the range; the factor covers the synthesis gain
// accumulated over the levels.
float error_bound(std::span<const float> x, const CodecOptions& options) {
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  const float range = *hi - *lo;
  const float step = quantizer_step(options.scale);
  const float threshold = static_cast<float>(dead_zone_threshold(options.scale, options.cutoff));
  return 12.0f * (threshold + 1.0f) * step * range + 1e-6f * std::abs(*hi);
}

using Param = std::tuple<WaveletMethod, EntropyCoder>;

class EveryLength : public ::testing::TestWithParam<Param> {};

TEST_P(EveryLength, OneToTwoHundred) {
  const auto [method, coder] = GetParam();
  const CodecOptions options{method, 11, CutoffLevel::low, coder};
  for (std::size_t n = 1; n <= 200; ++n) {
    const RoundTrip r = round_trip(test_signal(n, static_cast<std::uint32_t>(n)), options);
    ASSERT_EQ(r.output.size(), n);
    EXPECT_LE(r.max_error, error_bound(r.input, options)) << "n = " << n;
  }
}

TEST_P(EveryLength, LongSignal) {
  const auto [method, coder] = GetParam();
  const CodecOptions options{method, 11, CutoffLevel::low, coder};
  const RoundTrip r = round_trip(test_signal(1'000'003, 11), options);
  ASSERT_EQ(r.output.size(), r.input.size());
  EXPECT_LE(r.max_error, error_bound(r.input, options));
}

TEST_P(EveryLength, EveryScaleAndCutoff) {
  const auto [method, coder] = GetParam();
  const std::vector<float> x = test_signal(4099, 5);
  for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
    for (CutoffLevel cutoff : {CutoffLevel::low, CutoffLevel::medium, CutoffLevel::high}) {
      const CodecOptions options{method, scale, cutoff, coder};
      const RoundTrip r = round_trip(x, options);
      ASSERT_EQ(r.output.size(), x.size());
      EXPECT_LE(r.max_error, error_bound(x, options)) << int(scale) << " " << int(cutoff);
    }
  }
}

std::string name_of(const ::testing::TestParamInfo<Param>& info) {
  static const char* methods[] = {"cdf53", "cdf97", "db4", "sym4"};
  static const char* coders[] = {"deflate", "arans", "auto"};
  return std::string(methods[static_cast<int>(std::get<0>(info.param))]) + "_" +
         coders[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Codec, EveryLength,
                         ::testing::Combine(::testing::Values(WaveletMethod::cdf53, WaveletMethod::cdf97,
                                                              WaveletMethod::db4, WaveletMethod::sym4),
                                            ::testing::Values(EntropyCoder::deflate, EntropyCoder::arans)),
                         name_of);

TEST(RoundTrip, ShortSignalsDecodeToThemselves) {
  // Shorter than every filter: the decoder must split the padded signal's
  // bands, not the unpadded count's.
  for (WaveletMethod method : {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                               WaveletMethod::sym4}) {
    const CodecOptions options{method, 12, CutoffLevel::low, EntropyCoder::deflate};
    const std::vector<float> x = {0.0f, 10.0f, -3.0f, 7.0f, 2.0f};
    const RoundTrip r = round_trip(x, options);
    ASSERT_EQ(r.output.size(), x.size());
    EXPECT_LE(r.max_error, 0.05f) << static_cast<int>(method);
  }
}

TEST(RoundTrip, NonFiniteSamplesAreSanitised) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> x = test_signal(300);
  for (float& v : x) v = v * 0.1f + 0.5f;  // inside [0, 1] so that 0 and 1 are in range
  x[10] = nan, x[20] = inf, x[30] = -inf;
  const RoundTrip r = round_trip(x, CodecOptions{});
  EXPECT_NEAR(r.output[10], 0.0f, 0.01f);
  EXPECT_NEAR(r.output[20], 1.0f, 0.01f);
  EXPECT_NEAR(r.output[30], 0.0f, 0.01f);
}

}  // namespace
}  // namespace quorvane::codec

namespace quorvane::codec {
namespace {

TEST(RoundTrip, SamplesNearTheLargestFloatStayFinite) {
  // The quantiser's error may carry these past the largest float.
  const std::vector<std::vector<float>> signals = {{0.0f, 3.4e38f, 3.4e38f},
                                                   {0.0f, 3.4e38f, 3.4e38f, 3.4e38f},
                                                   {-3.4e38f, -3.4e38f, 0.0f, 1.0f}};
  for (WaveletMethod method : {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                               WaveletMethod::sym4}) {
    for (const auto& x : signals) {
      const CodecOptions options{method, 6, CutoffLevel::high, EntropyCoder::deflate};
      auto y = decompress(testing::compress_ok(x, options));
      ASSERT_TRUE(y.ok());
      ASSERT_EQ(y.value().size(), x.size());
      for (float v : y.value()) EXPECT_TRUE(std::isfinite(v)) << static_cast<int>(method) << " " << v;
    }
  }
}

}  // namespace
}  // namespace quorvane::codec
