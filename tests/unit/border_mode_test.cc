// Border values, the invariant-divisor division behind BorderInterpolation,
// and the arena padding of the general N-tap filter bank.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "border_mode.h"
#include "filter_padding.h"

namespace quorvane::wavelet {
namespace {

constexpr BorderMode kAllModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                                    BorderMode::Reflect101, BorderMode::Zeros};

// Samples whose value is their index, so an extended signal reads as indices.
std::vector<float> ramp(std::size_t n) {
  std::vector<float> x(n);
  std::iota(x.begin(), x.end(), 0.0f);
  return x;
}

// Shifted by 100 so that a zero border is told apart from x[0].
std::vector<float> marked_ramp(std::size_t n) {
  std::vector<float> x = ramp(n);
  for (float& v : x) v += 100.0f;
  return x;
}

struct Geometry {
  std::size_t outputs;
  std::size_t extended;
  std::size_t left;
  std::size_t right;
};

// The extended signal of one forward step of an L-tap filter bank.
Geometry forward_geometry(std::size_t taps, std::size_t n) {
  const std::size_t outputs = (n + taps - 1) / 2;
  const std::size_t extended = taps + 2 * outputs - 2;
  const std::size_t left = (extended - n) / 2;
  return {outputs, extended, left, extended - n - left};
}

std::vector<float> padded(std::span<const float> x, std::size_t left, std::size_t right,
                          BorderMode mode) {
  std::vector<float> arena(left + x.size() + right, -1.0f);
  EXPECT_TRUE(write_arena_1d_impl(x, arena, left, right, mode).ok());
  return arena;
}

// ---------------------------------------------------------------------------
// SignedDivider

std::int64_t truncating_division(std::int64_t n, std::int64_t d) { return n / d; }

std::vector<std::int64_t> test_numerators() {
  std::vector<std::int64_t> values;
  for (std::int64_t n = -3000; n <= 3000; ++n) values.push_back(n);
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (std::int64_t v : {kMax, kMax - 1, kMin + 1, kMin, kMax / 3, kMin / 3}) values.push_back(v);
  for (int k = 1; k < 63; ++k) {
    const std::int64_t p = std::int64_t{1} << k;
    for (std::int64_t v : {p - 1, p, p + 1}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  std::mt19937_64 rng(0x5eed);
  for (int k = 0; k < 2000; ++k) {
    const auto v = static_cast<std::int64_t>(rng());
    values.push_back(v);
    values.push_back(v >> (k % 63));
  }
  return values;
}

std::vector<std::int64_t> test_divisors() {
  std::vector<std::int64_t> values;
  for (std::int64_t d = 1; d <= 1100; ++d) values.push_back(d);
  for (int k = 11; k < 63; ++k) {
    const std::int64_t p = std::int64_t{1} << k;
    for (std::int64_t v : {p - 1, p, p + 1, p + p / 3}) values.push_back(v);
  }
  values.push_back(std::numeric_limits<std::int64_t>::max());
  std::mt19937_64 rng(0xd1f);
  for (int k = 0; k < 200; ++k) {
    const auto v = static_cast<std::int64_t>(rng() >> (1 + k % 62));
    if (v != 0) values.push_back(v);
  }
  const std::size_t positives = values.size();
  for (std::size_t k = 0; k < positives; k += 7) values.push_back(-values[k]);
  return values;
}

TEST(SignedDivider, MatchesTruncatingDivision) {
  const std::vector<std::int64_t> numerators = test_numerators();
  for (std::int64_t d : test_divisors()) {
    const SignedDivider divider = SignedDivider::make(d);
    for (std::int64_t n : numerators) {
      if (d == -1 && n == std::numeric_limits<std::int64_t>::min()) continue;  // overflows
      ASSERT_EQ(divider.divide(n), truncating_division(n, d)) << n << " / " << d;
    }
  }
}

TEST(SignedDivider, PowerOfTwoIsAPureShift) {
  for (int k = 0; k < 63; ++k) {
    const SignedDivider divider = SignedDivider::make(std::int64_t{1} << k);
    EXPECT_EQ(divider.multiplier, 0);
    EXPECT_EQ(divider.control, k);
    EXPECT_EQ(divider.abs_divisor, std::uint64_t{1} << k);
  }
  const SignedDivider negative = SignedDivider::make(-8);
  EXPECT_EQ(negative.multiplier, 0);
  EXPECT_EQ(negative.control, 3 | 0x80);
  EXPECT_EQ(negative.abs_divisor, 8u);
}

TEST(SignedDivider, BuildsBothMultiplierForms) {
  // 7: s = 2, 2^65 mod 7 = 4 and 7 - 4 < 4, so q + 1 with shift s - 1.
  const SignedDivider seven = SignedDivider::make(7);
  EXPECT_EQ(seven.control, 1);
  EXPECT_EQ(static_cast<std::uint64_t>(seven.multiplier), 0x4924924924924925ull);  // 2^65/7 + 1
  // 3: s = 1, 2^64 mod 3 = 1 and 3 - 1 >= 2, so 2q + 1 with the add-back flag.
  const SignedDivider three = SignedDivider::make(3);
  EXPECT_EQ(three.control, 1 | 0x40);
  EXPECT_EQ(static_cast<std::uint64_t>(three.multiplier), 0xAAAAAAAAAAAAAAABull);
  // Negative divisor: flag and negated multiplier.
  const SignedDivider minus_three = SignedDivider::make(-3);
  EXPECT_EQ(minus_three.control, 1 | 0x40 | 0x80);
  EXPECT_EQ(minus_three.multiplier, -three.multiplier);
  EXPECT_EQ(minus_three.divisor, -3);
  EXPECT_EQ(minus_three.abs_divisor, 3u);
}

TEST(SignedDivider, TrivialDividerIsIdentity) {
  const SignedDivider divider = SignedDivider::trivial();
  EXPECT_EQ(divider.multiplier, 0);
  EXPECT_EQ(divider.divisor, 1);
  EXPECT_EQ(divider.abs_divisor, 1u);
  EXPECT_EQ(divider.control, 0);
  for (std::int64_t n : {-5, 0, 9, 1 << 30}) EXPECT_EQ(divider.divide(n), n);
}

// ---------------------------------------------------------------------------
// border_value and the rule table

TEST(BorderValue, FiveRulesAroundASignalOfFive) {
  const std::vector<float> x = marked_ramp(5);  // 100 101 102 103 104
  struct Case {
    BorderMode mode;
    float at_minus_2, at_minus_1, at_5, at_6;
  };
  const Case cases[] = {
      {BorderMode::Clamp, 100, 100, 104, 104},
      {BorderMode::Wrap, 103, 104, 100, 101},
      {BorderMode::Reflect, 101, 100, 104, 103},
      {BorderMode::Reflect101, 102, 101, 103, 102},
      {BorderMode::Zeros, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    EXPECT_EQ(border_value(x, -2, c.mode), c.at_minus_2);
    EXPECT_EQ(border_value(x, -1, c.mode), c.at_minus_1);
    EXPECT_EQ(border_value(x, 5, c.mode), c.at_5);
    EXPECT_EQ(border_value(x, 6, c.mode), c.at_6);
    for (std::int64_t i = 0; i < 5; ++i) EXPECT_EQ(border_value(x, i, c.mode), x[i]);
  }
}

TEST(BorderValue, RulesHoldAcrossTheWholeReach) {
  // -n < i < 2n, against the rule table written out directly.
  for (std::size_t size = 2; size <= 12; ++size) {
    const std::vector<float> x = marked_ramp(size);
    const auto n = static_cast<std::int64_t>(size);
    for (std::int64_t i = -n + 1; i < 2 * n; ++i) {
      if (i >= 0 && i < n) continue;
      const bool low = i < 0;
      EXPECT_EQ(border_value(x, i, BorderMode::Clamp), low ? x[0] : x[n - 1]);
      EXPECT_EQ(border_value(x, i, BorderMode::Wrap), low ? x[i + n] : x[i - n]);
      EXPECT_EQ(border_value(x, i, BorderMode::Reflect), low ? x[-1 - i] : x[2 * n - 1 - i]);
      if (i <= 2 * n - 2) {
        EXPECT_EQ(border_value(x, i, BorderMode::Reflect101), low ? x[-i] : x[2 * n - 2 - i]);
      }
    }
  }
}

TEST(BorderValue, WrapUsesTheEuclideanRemainderFarOut) {
  const std::vector<float> x = ramp(7);
  for (std::int64_t i = -50; i <= 50; ++i) {
    const std::int64_t expected = ((i % 7) + 7) % 7;
    EXPECT_EQ(border_value(x, i, BorderMode::Wrap), static_cast<float>(expected)) << i;
  }
}

TEST(BorderValue, Reflect101OfOneSampleRepeatsIt) {
  const std::vector<float> x = {42.0f};
  for (std::int64_t i : {-3, -1, 1, 2, 5}) {
    EXPECT_EQ(border_value(x, i, BorderMode::Reflect101), 42.0f);
  }
}

TEST(BorderValue, ModesAboveFourActAsZeros) {
  const std::vector<float> x = marked_ramp(6);
  for (std::uint32_t raw : {5u, 7u, 255u, 0xFFFFFFFFu}) {
    const auto mode = static_cast<BorderMode>(raw);
    for (std::int64_t i : {-3, -1, 6, 8}) EXPECT_EQ(border_value(x, i, mode), 0.0f);
    EXPECT_EQ(border_value(x, 2, mode), x[2]);
  }
}

// ---------------------------------------------------------------------------
// Padding geometry of forward steps

TEST(ArenaPadding, EightTapsTenSamplesWrap) {
  const Geometry geo = forward_geometry(8, 10);
  EXPECT_EQ(geo.outputs, 8u);
  EXPECT_EQ(geo.extended, 22u);
  EXPECT_EQ(geo.left, 6u);
  EXPECT_EQ(geo.right, 6u);
  const std::vector<float> x = ramp(10);
  const std::vector<float> e = padded(x, geo.left, geo.right, BorderMode::Wrap);
  const std::vector<float> expected = {4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4,
                                       5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5};
  EXPECT_EQ(e, expected);
  // The first output's window: e[0] .. e[7].
  const std::vector<float> first_window(e.begin(), e.begin() + 8);
  EXPECT_EQ(first_window, (std::vector<float>{4, 5, 6, 7, 8, 9, 0, 1}));
}

TEST(ArenaPadding, EightTapsNineSamplesWrap) {
  const Geometry geo = forward_geometry(8, 9);
  EXPECT_EQ(geo.outputs, 8u);
  EXPECT_EQ(geo.left, 6u);
  EXPECT_EQ(geo.right, 7u);
  const std::vector<float> e = padded(ramp(9), geo.left, geo.right, BorderMode::Wrap);
  const std::vector<float> expected = {3, 4, 5, 6, 7, 8, 0, 1, 2, 3, 4,
                                       5, 6, 7, 8, 0, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(e, expected);
}

TEST(ArenaPadding, FourTapsFiveSamplesReflectAndReflect101) {
  const Geometry geo = forward_geometry(4, 5);
  EXPECT_EQ(geo.left, 2u);
  EXPECT_EQ(geo.right, 3u);
  const std::vector<float> x = ramp(5);
  EXPECT_EQ(padded(x, 2, 3, BorderMode::Reflect),
            (std::vector<float>{1, 0, 0, 1, 2, 3, 4, 4, 3, 2}));
  EXPECT_EQ(padded(x, 2, 3, BorderMode::Reflect101),
            (std::vector<float>{2, 1, 0, 1, 2, 3, 4, 3, 2, 1}));
}

TEST(ArenaPadding, TwoTapsFiveSamplesAllModes) {
  const Geometry geo = forward_geometry(2, 5);
  EXPECT_EQ(geo.left, 0u);
  EXPECT_EQ(geo.right, 1u);
  const std::vector<float> x = marked_ramp(5);
  const float expected_right[] = {104, 100, 104, 103, 0};
  for (std::size_t m = 0; m < 5; ++m) {
    const std::vector<float> e = padded(x, geo.left, geo.right, kAllModes[m]);
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e.back(), expected_right[m]) << m;
  }
}

TEST(ArenaPadding, ModeSevenPadsZeros) {
  const std::vector<float> x = marked_ramp(8);
  const std::vector<float> e = padded(x, 6, 7, static_cast<BorderMode>(7));
  for (std::size_t t = 0; t < 6; ++t) EXPECT_EQ(e[t], 0.0f);
  for (std::size_t t = 0; t < 8; ++t) EXPECT_EQ(e[6 + t], x[t]);
  for (std::size_t t = 0; t < 7; ++t) EXPECT_EQ(e[14 + t], 0.0f);
}

TEST(ArenaPadding, ClampWithSignalAsLongAsTheFilter) {
  for (std::size_t taps : {4u, 8u, 16u}) {
    const Geometry geo = forward_geometry(taps, taps);
    const std::vector<float> x = marked_ramp(taps);
    const std::vector<float> e = padded(x, geo.left, geo.right, BorderMode::Clamp);
    for (std::size_t t = 0; t < geo.left; ++t) EXPECT_EQ(e[t], x.front());
    for (std::size_t t = 0; t < geo.right; ++t) EXPECT_EQ(e[geo.left + taps + t], x.back());
  }
}

TEST(ArenaPadding, MatchesBorderValueForEveryModeAndGeometry) {
  for (std::size_t taps = 2; taps <= 48; taps += 2) {
    for (std::size_t n = taps; n <= taps + 5; ++n) {
      const Geometry geo = forward_geometry(taps, n);
      ASSERT_EQ(geo.left, taps - 2);
      ASSERT_EQ(geo.right, n % 2 == 0 ? taps - 2 : taps - 1);
      const std::vector<float> x = marked_ramp(n);
      for (BorderMode mode : kAllModes) {
        const std::vector<float> e = padded(x, geo.left, geo.right, mode);
        for (std::size_t j = 0; j < e.size(); ++j) {
          const auto i = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(geo.left);
          ASSERT_EQ(e[j], border_value(x, i, mode)) << taps << " " << n << " " << j;
        }
      }
    }
  }
}

TEST(ArenaPadding, DispatchIsTheScalarRoutineAndStable) {
  const ArenaWriter writer = make_arena_1d_dispatch();
  EXPECT_EQ(writer, &write_arena_1d_impl);
  EXPECT_EQ(make_arena_1d_dispatch(), writer);
}

TEST(ArenaPaddingDeathTest, LengthMismatchIsAnInternalFault) {
  const std::vector<float> x = ramp(5);
  std::vector<float> arena(9);
  EXPECT_DEATH((void)write_arena_1d_impl(x, arena, 2, 3, BorderMode::Wrap),
               "internal error: entered unreachable code: This is an internal configuration "
               "error. Please, report it.");
}

// ---------------------------------------------------------------------------
// BorderInterpolation

TEST(BorderInterpolation, KeepsItsFieldsAndDividerOnlyWhereNeeded) {
  const BorderInterpolation wrap = BorderInterpolation::make(BorderMode::Wrap, 0, 10);
  EXPECT_EQ(wrap.start(), 0);
  EXPECT_EQ(wrap.length(), 10);
  EXPECT_EQ(wrap.mode(), BorderMode::Wrap);
  EXPECT_EQ(wrap.divider().divisor, 10);
  EXPECT_NE(wrap.divider().multiplier, 0);
  for (BorderMode mode : {BorderMode::Clamp, BorderMode::Zeros, static_cast<BorderMode>(9)}) {
    const SignedDivider d = BorderInterpolation::make(mode, 0, 10).divider();
    EXPECT_EQ(d.multiplier, 0);
    EXPECT_EQ(d.divisor, 1);
    EXPECT_EQ(d.abs_divisor, 1u);
    EXPECT_EQ(d.control, 0);
  }
}

TEST(BorderInterpolation, AgreesWithBorderValueAndTakesReflectForReflect101) {
  for (std::size_t size = 2; size <= 40; ++size) {
    const std::vector<float> x = marked_ramp(size);
    const auto n = static_cast<std::int64_t>(size);
    for (BorderMode mode : kAllModes) {
      const BorderInterpolation border = BorderInterpolation::make(mode, 0, n);
      const BorderMode rule = mode == BorderMode::Reflect101 ? BorderMode::Reflect : mode;
      for (std::int64_t i = -n + 1; i < 2 * n; ++i) {
        ASSERT_EQ(border.value(x, i), border_value(x, i, rule))
            << size << " " << static_cast<int>(mode) << " " << i;
      }
    }
  }
}

TEST(BorderInterpolation, FourTapsFiveSamplesReflect101GivesReflectValues) {
  const std::vector<float> x = ramp(5);
  const BorderInterpolation border = BorderInterpolation::make(BorderMode::Reflect101, 0, 5);
  EXPECT_EQ(border.value(x, -2), 1.0f);
  EXPECT_EQ(border.value(x, -1), 0.0f);
  EXPECT_EQ(border.value(x, 5), 4.0f);
  EXPECT_EQ(border.value(x, 6), 3.0f);
  EXPECT_EQ(border.value(x, 7), 2.0f);
}

TEST(BorderInterpolation, ModesAboveFourAndZerosGiveZero) {
  const std::vector<float> x = marked_ramp(6);
  for (std::uint32_t raw : {4u, 5u, 7u}) {
    const BorderInterpolation border =
        BorderInterpolation::make(static_cast<BorderMode>(raw), 0, 6);
    EXPECT_EQ(border.value(x, -1), 0.0f);
    EXPECT_EQ(border.value(x, 6), 0.0f);
    EXPECT_EQ(border.value(x, 3), x[3]);
  }
}

}  // namespace
}  // namespace quorvane::wavelet
