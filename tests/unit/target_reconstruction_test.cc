// The target encoder measures its candidates on its own reconstruction and
// decodes only the stream it keeps, so that reconstruction must be the
// decoder's to the bit; and its rounding quantiser must keep the plain
// definition it was written from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "quorvane/codec/codec.h"
#include "target/analysis.h"
#include "target/rounding_quantizer.h"

namespace quorvane::codec::target {
namespace {

std::int16_t defined_rounding(float t, float dead_zone) {
  const float magnitude = std::fabs(t);
  if (!(magnitude >= dead_zone)) return 0;
  const auto q = static_cast<std::int16_t>(std::fmin(std::floor(magnitude + 0.5f), kLargestUnits));
  return t < 0.0f ? static_cast<std::int16_t>(-q) : q;
}

TEST(RoundingQuantizer, MatchesItsDefinition) {
  const float infinity = std::numeric_limits<float>::infinity();
  std::vector<float> values = {0.0f, -0.0f, 0.49999997f, 0.5f, 0.50000006f, 0.6f, 1.4999999f, 1.5f, 2.5f,
                               8388607.5f, 32766.4f, 32766.5f, 32766.9f, 32767.0f, 32767.5f, 32768.0f,
                               1e9f, infinity, std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::denorm_min()};
  for (float t = 0.0f; t < 40000.0f; t = t * 1.01f + 0.013f) values.push_back(t);
  for (const float dead_zone : {0.5f, 0.6f, 0.8f, 1.5f, 4.0f}) {
    for (const float value : values) {
      for (const float t : {value, -value}) {
        EXPECT_EQ(quantize_rounded(t, dead_zone), defined_rounding(t, dead_zone))
            << "t=" << t << " dead zone " << dead_zone;
      }
    }
  }
}

// Every method, short and long signals, coarse and fine steps: the
// reconstruction from the quantised coefficients equals what `decompress`
// returns for the stream written from them.
TEST(TargetReconstruction, EqualsTheDecoderBitForBit) {
  const WaveletMethod methods[] = {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                                   WaveletMethod::sym4};
  for (const WaveletMethod method : methods) {
    for (const std::size_t n : {std::size_t{5}, std::size_t{777}, std::size_t{40001}}) {
      std::vector<float> x(n);
      for (std::size_t i = 0; i < n; ++i) {
        x[i] = 3.0f * std::sin(static_cast<float>(i) * 0.013f) + 0.25f * std::sin(static_cast<float>(i) * 1.7f) - 7.0f;
      }
      auto analysis = analyse(x, method, 0);
      ASSERT_TRUE(analysis.ok()) << analysis.error().message();
      const std::size_t levels = analysis.value().max_levels();
      for (const float step : {0.3f, 0.01f, 0.0007f}) {
        SCOPED_TRACE("method " + std::to_string(static_cast<int>(method)) + " n=" + std::to_string(n) +
                     " step " + std::to_string(step));
        auto map = stored_map(analysis.value(), step, natural_scale(analysis.value(), step));
        ASSERT_TRUE(map.ok()) << map.error().message();
        const std::vector<std::int16_t> coefficients =
            quantize_bands(analysis.value(), levels, map.value().units_per_coefficient, 0.6f);
        auto rebuilt = reconstruct(analysis.value(), levels, coefficients, map.value());
        ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().message();
        auto stream = write_stream(analysis.value(), levels, coefficients, map.value(), StreamCoder::arans);
        ASSERT_TRUE(stream.ok()) << stream.error().message();
        auto decoded = decompress(stream.value());
        ASSERT_TRUE(decoded.ok()) << decoded.error().message();
        ASSERT_EQ(rebuilt.value().size(), decoded.value().size());
        EXPECT_EQ(std::memcmp(rebuilt.value().data(), decoded.value().data(), n * sizeof(float)), 0);
      }
    }
  }
}

}  // namespace
}  // namespace quorvane::codec::target
