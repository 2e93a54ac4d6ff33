// Test support for comparing kernel variants bit for bit: random samples
// with the special values sprinkled in, and a comparison that lets NaN meet
// any NaN.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace quorvane::wavelet::variant_test {

// n values in [-4, 4); with `special`, about one in `special_one_in` is
// replaced by NaN, an infinity, a signed zero, the smallest subnormal or
// -FLT_MAX.
inline std::vector<float> random_values(std::size_t n, std::uint32_t seed, bool special,
                                        int special_one_in) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  std::uniform_int_distribution<int> pick(0, special_one_in - 1);
  constexpr float kSpecial[] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(), 0.0f, -0.0f,
                                std::numeric_limits<float>::denorm_min(),
                                -std::numeric_limits<float>::max()};
  std::vector<float> v(n);
  for (float& x : v) {
    x = value(rng);
    if (special && pick(rng) == 0) x = kSpecial[pick(rng) % std::size(kSpecial)];
  }
  return v;
}

// Same bits. A NaN that an invalid operation creates (inf - inf, 0 * inf)
// has no defined sign or payload: the C library's fmaf and the FMA
// instructions pick different ones, so NaN only has to meet NaN.
inline void expect_same_bits(std::span<const float> expected, std::span<const float> actual,
                             const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::isnan(expected[i])) {
      ASSERT_TRUE(std::isnan(actual[i])) << what << ", index " << i;
      continue;
    }
    ASSERT_EQ(std::bit_cast<std::uint32_t>(expected[i]), std::bit_cast<std::uint32_t>(actual[i]))
        << what << ", index " << i;
  }
}

}  // namespace quorvane::wavelet::variant_test
