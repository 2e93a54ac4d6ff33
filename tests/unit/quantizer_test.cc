#include "quantizer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "level_count.h"
#include "normalization.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/options.h"

namespace quorvane::codec {
namespace {

TEST(CodecOptions, PacksIntoOneWord) {
  EXPECT_EQ(CodecOptions{}.pack(), 0x0B010200u);
  const CodecOptions options{WaveletMethod::sym4, 7, CutoffLevel::high, EntropyCoder::deflate};
  EXPECT_EQ(options.pack(), 0x07030002u);
  EXPECT_EQ(CodecOptions::unpack(options.pack()), options);
}

TEST(Quantizer, FactorAndStepArePowersOfTwo) {
  for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
    EXPECT_EQ(quantizer_factor(scale), std::ldexp(1.0f, scale));
    EXPECT_EQ(quantizer_step(scale), std::ldexp(1.0f, -scale));
  }
}

TEST(Quantizer, TruncatesTowardZeroAndClamps) {
  EXPECT_EQ(quantize(2.9f, 1.0f), 2);
  EXPECT_EQ(quantize(-2.9f, 1.0f), -2);
  EXPECT_EQ(quantize(0.75f, 4.0f), 3);
  EXPECT_EQ(quantize(40000.0f, 1.0f), 32767);
  EXPECT_EQ(quantize(-40000.0f, 1.0f), -32768);
  EXPECT_EQ(quantize(std::numeric_limits<float>::infinity(), 1.0f), 32767);
  EXPECT_EQ(quantize(-std::numeric_limits<float>::infinity(), 1.0f), -32768);
  EXPECT_EQ(quantize(std::numeric_limits<float>::quiet_NaN(), 1.0f), 32767);
}

TEST(Quantizer, DeadZoneThresholds) {
  const int expected[7][3] = {{0, 0, 0}, {0, 0, 0}, {1, 3, 7}, {1, 3, 7},
                              {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
  for (std::uint8_t scale = 6; scale <= 12; ++scale) {
    EXPECT_EQ(dead_zone_threshold(scale, CutoffLevel::low), expected[scale - 6][0]);
    EXPECT_EQ(dead_zone_threshold(scale, CutoffLevel::medium), expected[scale - 6][1]);
    EXPECT_EQ(dead_zone_threshold(scale, CutoffLevel::high), expected[scale - 6][2]);
  }
  EXPECT_EQ(apply_dead_zone(20, 21), 0);
  EXPECT_EQ(apply_dead_zone(-20, 21), 0);
  EXPECT_EQ(apply_dead_zone(21, 21), 21);
  EXPECT_EQ(apply_dead_zone(-21, 21), -21);
  EXPECT_EQ(apply_dead_zone(-32768, 21), -32768);
  EXPECT_EQ(apply_dead_zone(0, 0), 0);
  EXPECT_EQ(apply_dead_zone(1, 0), 1);
}

TEST(LevelCount, FixedCountsBelowEightySamples) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {1, 1}, {19, 1}, {20, 2}, {39, 2}, {40, 3}, {59, 3}, {60, 4}, {79, 4}};
  for (const auto& [n, levels] : cases) {
    for (std::size_t f : {6, 8, 10}) EXPECT_EQ(level_count(n, f), levels) << n;
  }
  for (std::size_t f : {6, 8, 10}) EXPECT_EQ(level_count(80, f), 3u);
}

TEST(LevelCount, ComputeMaxLevels) {
  EXPECT_EQ(compute_max_levels(5, 10), 1u);
  EXPECT_EQ(compute_max_levels(10, 10), 1u);   // q = 1
  EXPECT_EQ(compute_max_levels(39, 10), 1u);   // q = 3
  EXPECT_EQ(compute_max_levels(40, 10), 2u);
  EXPECT_EQ(compute_max_levels(2559, 10), 7u);
  EXPECT_EQ(compute_max_levels(2560, 10), 8u);
  EXPECT_EQ(compute_max_levels(1535, 6), 7u);
  EXPECT_EQ(compute_max_levels(1536, 6), 8u);
  EXPECT_EQ(compute_max_levels(2048, 8), 8u);
  EXPECT_EQ(compute_max_levels(std::size_t{1} << 40, 8), 8u);
}

TEST(Normalize, SanitisesThenNormalises) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float samples[] = {nan, inf, -inf, 3.0f, -1.0f};
  const NormalizedSignal s = normalize(samples);
  EXPECT_EQ(s.min, -1.0f);
  EXPECT_EQ(s.max, 3.0f);
  // (0, 1, 0, 3, -1) -> (0.25, 0.5, 0.25, 1, 0), mean 0.4
  const float mean = 2.0f / 5.0f;
  EXPECT_EQ(s.mean, mean);
  const float expected[] = {0.25f - mean, 0.5f - mean, 0.25f - mean, 1.0f - mean, 0.0f - mean};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(s.values[i], expected[i]) << i;
}

TEST(Normalize, MeanIsASequentialSinglePrecisionSum) {
  std::vector<float> samples(100001);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 977) * 0.37f;
  const NormalizedSignal s = normalize(samples);
  float sum = 0.0f;
  const float inv = 1.0f / (s.max - s.min);
  for (float x : samples) sum += (x - s.min) * inv;
  EXPECT_EQ(std::bit_cast<std::uint32_t>(s.mean),
            std::bit_cast<std::uint32_t>(sum / static_cast<float>(samples.size())));
}

TEST(Normalize, FlatSignalsBecomeZeros) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kFlatRange), 0x3727C5ACu);
  const float nearly_flat[] = {1.0f, 1.0f + 9.0e-6f, 1.0f};
  const NormalizedSignal s = normalize(nearly_flat);
  EXPECT_EQ(s.mean, 0.0f);
  EXPECT_EQ(s.min, 1.0f);
  EXPECT_EQ(s.max, 1.0f + 9.0e-6f);
  for (float v : s.values) EXPECT_EQ(v, 0.0f);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float only_nan[] = {nan, nan};
  const NormalizedSignal z = normalize(only_nan);
  EXPECT_EQ(z.min, 0.0f);
  EXPECT_EQ(z.max, 0.0f);
}

}  // namespace
}  // namespace quorvane::codec
