// fma_through_double against the C library's fmaf (std::fma), bit for bit:
// every pair of special values, sums that a plain double computation rounds
// twice onto a tie, subnormal and overflowing results, and random triples
// across the exponent range.
#include "quorvane/fused_multiply_add.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace quorvane {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// Equal bits, or both NaN (which NaN comes out is not fixed even among FMA
// instructions: it depends on operand order).
::testing::AssertionResult same_as_fmaf(float a, float b, float c) {
  const float expected = std::fma(a, b, c);
  const float actual = fma_through_double(a, b, c);
  if (std::isnan(expected) ? std::isnan(actual) : bits(expected) == bits(actual)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << std::hexfloat << "fma(" << a << ", " << b << ", " << c << "): fmaf gives " << expected
         << ", through double " << actual;
}

// The plain double computation: right except where its two roundings meet.
float twice_rounded(float a, float b, float c) {
  return static_cast<float>(static_cast<double>(a) * static_cast<double>(b) + c);
}

TEST(FmaThroughDouble, SpecialValuesInEveryPosition) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<float> specials = {
      0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -2.0f, 3.0f,
      std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
      from_bits(0x007FFFFF), from_bits(0x807FFFFF),   // largest subnormals
      from_bits(0x00800000), from_bits(0x80800000),   // smallest normals
      from_bits(0x3F800001), from_bits(0xBF7FFFFF),   // 1 + ulp, -(1 - ulp/2)
      std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
      from_bits(0x5F800000), from_bits(0x1F800000),   // 2^64, 2^-64
      kInf, -kInf, std::numeric_limits<float>::quiet_NaN(), from_bits(0xFFC00123)};
  for (float a : specials) {
    for (float b : specials) {
      for (float c : specials) ASSERT_TRUE(same_as_fmaf(a, b, c));
    }
  }
}

TEST(FmaThroughDouble, SignedZeroResults) {
  // Exact cancellation gives +0; zero products keep the sign rules of a sum.
  EXPECT_EQ(bits(fma_through_double(2.0f, 3.0f, -6.0f)), bits(0.0f));
  EXPECT_EQ(bits(fma_through_double(-0.0f, 5.0f, -0.0f)), bits(-0.0f));
  EXPECT_EQ(bits(fma_through_double(-0.0f, 5.0f, 0.0f)), bits(0.0f));
  EXPECT_EQ(bits(fma_through_double(0.0f, -5.0f, -0.0f)), bits(-0.0f));
}

TEST(FmaThroughDouble, SumsThatRoundTwiceOntoATie) {
  // (2^-24 + 2^-47)(1 - 2^-23) = 2^-24 - 2^-70: with c = 1 + 2^-23 the exact
  // sum lies just below the midpoint 1 + 3 * 2^-24, which a double rounds
  // onto, and the tie then goes to the even neighbour 1 + 2^-22.
  const float a = from_bits(0x33800001);
  const float b = from_bits(0x3F7FFFFE);
  const float c = from_bits(0x3F800001);
  ASSERT_NE(bits(twice_rounded(a, b, c)), bits(std::fma(a, b, c)));
  EXPECT_EQ(bits(fma_through_double(a, b, c)), bits(std::fma(a, b, c)));
  EXPECT_EQ(bits(fma_through_double(a, b, c)), 0x3F800001u);
  EXPECT_TRUE(same_as_fmaf(-a, b, -c));

  // A search near such ties: products just beside a power of two, added to
  // values of every exponent so that the product's leading bits fall on
  // c's half unit and its low bits far below.
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<std::uint32_t> mantissa(0, 0x7FFFFF);
  std::uniform_int_distribution<int> exponent(20, 230);
  std::uniform_int_distribution<int> below(23, 27);
  int double_rounding_cases = 0;
  for (int i = 0; i < 400000; ++i) {
    const int ec = exponent(rng);
    const int product_exponent = ec - below(rng);
    const int ea = product_exponent / 2 + 63;
    const int eb = product_exponent - ea + 127;
    const std::uint32_t sign_a = (rng() & 1u) << 31;
    const std::uint32_t sign_c = (rng() & 1u) << 31;
    // Mantissas near all-zero or all-one give products just beside a power of two.
    const std::uint32_t ma = (rng() & 1u) ? (mantissa(rng) & 0x3Fu) : 0x7FFFFFu - (mantissa(rng) & 0x3Fu);
    const std::uint32_t mb = (rng() & 1u) ? (mantissa(rng) & 0x3Fu) : 0x7FFFFFu - (mantissa(rng) & 0x3Fu);
    const float fa = from_bits(sign_a | (static_cast<std::uint32_t>(ea) << 23) | ma);
    const float fb = from_bits((static_cast<std::uint32_t>(eb) << 23) | mb);
    const float fc = from_bits(sign_c | (static_cast<std::uint32_t>(ec) << 23) | mantissa(rng));
    if (bits(twice_rounded(fa, fb, fc)) != bits(std::fma(fa, fb, fc))) ++double_rounding_cases;
    ASSERT_TRUE(same_as_fmaf(fa, fb, fc));
  }
  // The search must actually reach the cases a double alone gets wrong.
  EXPECT_GT(double_rounding_cases, 50) << double_rounding_cases;
}

TEST(FmaThroughDouble, SubnormalAndOverflowingResults) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> mantissa(0, 0x7FFFFF);
  std::uniform_int_distribution<int> low_exponent(0, 30);
  int subnormal_results = 0;
  int infinite_results = 0;
  for (int i = 0; i < 300000; ++i) {
    const std::uint32_t signs = rng();
    // Products around 2^-149 ... 2^-118 and addends of that size, subnormals included.
    const int ea = 127 - 60 + low_exponent(rng) / 2;
    const int eb = 127 - 60 - low_exponent(rng);
    const float a = from_bits(((signs & 1u) << 31) | (static_cast<std::uint32_t>(ea) << 23) | mantissa(rng));
    const float b = from_bits(((signs & 2u) << 30) | (static_cast<std::uint32_t>(eb) << 23) | mantissa(rng));
    const float c = from_bits(((signs & 4u) << 29) | (static_cast<std::uint32_t>(low_exponent(rng) / 8) << 23) |
                              mantissa(rng));
    const float small = std::fma(a, b, c);
    if (small != 0.0f && std::fabs(small) < std::numeric_limits<float>::min()) ++subnormal_results;
    ASSERT_TRUE(same_as_fmaf(a, b, c));

    // Products around FLT_MAX, with addends of both signs near it.
    const float big_a = from_bits(((signs & 8u) << 28) | (static_cast<std::uint32_t>(190 + low_exponent(rng) % 4) << 23) | mantissa(rng));
    const float big_b = from_bits((static_cast<std::uint32_t>(186 + low_exponent(rng) % 8) << 23) | mantissa(rng));
    const float big_c = from_bits(((signs & 16u) << 27) | (static_cast<std::uint32_t>(250 + low_exponent(rng) % 5) << 23) | mantissa(rng));
    if (std::isinf(std::fma(big_a, big_b, big_c))) ++infinite_results;
    ASSERT_TRUE(same_as_fmaf(big_a, big_b, big_c));
  }
  EXPECT_GT(subnormal_results, 1000) << subnormal_results;
  EXPECT_GT(infinite_results, 1000) << infinite_results;
  // The exact overflow threshold FLT_MAX + ulp/2 ties to the even infinity.
  const float half_ulp_of_max = from_bits(0x73000000);  // 2^103
  EXPECT_TRUE(same_as_fmaf(half_ulp_of_max, 1.0f, std::numeric_limits<float>::max()));
  EXPECT_TRUE(std::isinf(fma_through_double(half_ulp_of_max, 1.0f, std::numeric_limits<float>::max())));
}

TEST(FmaThroughDouble, RandomTriplesOverTheWholeRange) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  std::uniform_int_distribution<int> near(-30, 30);
  for (int i = 0; i < 1000000; ++i) {
    const float a = from_bits(any_bits(rng));
    const float b = from_bits(any_bits(rng));
    ASSERT_TRUE(same_as_fmaf(a, b, from_bits(any_bits(rng))));
    // An addend of about the product's size, where cancellation happens.
    const float p = a * b;
    if (std::isfinite(p) && p != 0.0f) {
      const float c = -std::ldexp(p, near(rng) / 10) + from_bits(any_bits(rng) & 0x807FFFFFu);
      ASSERT_TRUE(same_as_fmaf(a, b, c));
    }
  }
}

}  // namespace
}  // namespace quorvane
