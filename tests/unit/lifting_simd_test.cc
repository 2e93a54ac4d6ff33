// The vector lifting pass gives the scalar pass's bits for every length and
// offset, in place or not.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "cpu_features.h"
#include "lifting_kernels.h"

namespace quorvane::wavelet::lifting {
namespace {

std::vector<float> random_values(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  std::vector<float> v(n);
  for (float& x : v) x = value(rng);
  return v;
}

TEST(LiftingSimd, Avx2PassEqualsScalarBitForBit) {
  if (!use_avx2_fma_instructions()) GTEST_SKIP() << "no AVX2 with FMA on this CPU";
  // The CDF 9/7 constants and one with a long mantissa.
  for (float c : {-1.5861343f, -0.052980117f, 0.8829111f, 0.44350687f, 0.1234567f}) {
    for (std::size_t n = 0; n <= 300; ++n) {
      const std::vector<float> neighbours = random_values(n + 1, static_cast<std::uint32_t>(n));
      const std::vector<float> base = random_values(n, static_cast<std::uint32_t>(n + 1000));
      std::vector<float> scalar(n), vector(n);
      lift_adjacent_pairs_scalar(neighbours, c, base, scalar);
      lift_adjacent_pairs_avx2(neighbours, c, base, vector);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(vector[i]), std::bit_cast<std::uint32_t>(scalar[i]))
            << "n = " << n << ", i = " << i;
      }
      std::vector<float> in_place = base;
      lift_adjacent_pairs_avx2(neighbours, c, in_place, in_place);
      ASSERT_EQ(in_place, scalar);
    }
  }
}

TEST(LiftingSimd, FusesEveryLane) {
  if (!use_avx2_fma_instructions()) GTEST_SKIP() << "no AVX2 with FMA on this CPU";
  // a*a + c is 0 unfused but 2^-24 fused: a stray unfused lane shows.
  const float a = 1.0f + 0x1p-12f;
  const float c = -(1.0f + 0x1p-11f);
  std::vector<float> neighbours(18, a / 2.0f), base(17, c), out(17);
  lift_adjacent_pairs_avx2(neighbours, a, base, out);
  for (float v : out) EXPECT_EQ(v, 0x1p-24f);
}

}  // namespace
}  // namespace quorvane::wavelet::lifting
