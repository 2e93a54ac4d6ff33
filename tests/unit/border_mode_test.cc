// Border values (both readings of Reflect101)
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
  write_arena_1d_impl(x, arena, left, right, mode);
  return arena;
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

TEST(ArenaPaddingDeathTest, LengthMismatchIsAnInternalFault) {
  const std::vector<float> x = ramp(5);
  std::vector<float> arena(9);
  EXPECT_DEATH(write_arena_1d_impl(x, arena, 2, 3, BorderMode::Wrap),
               "internal error: entered unreachable code: This is an internal configuration "
               "error. Please, report it.");
}

// ---------------------------------------------------------------------------
// Reflect101 read as Reflect (the 4- to 16-tap members)

TEST(BorderValueAsReflect, ChangesOnlyReflect101) {
  for (std::size_t size = 1; size <= 40; ++size) {
    const std::vector<float> x = marked_ramp(size);
    const auto n = static_cast<std::int64_t>(size);
    for (BorderMode mode : kAllModes) {
      const BorderMode rule = mode == BorderMode::Reflect101 ? BorderMode::Reflect : mode;
      for (std::int64_t i = -n + 1; i < 2 * n; ++i) {
        ASSERT_EQ(border_value(x, i, mode, Reflect101Rule::AsReflect), border_value(x, i, rule))
            << size << " " << static_cast<int>(mode) << " " << i;
      }
    }
  }
}

TEST(BorderValueAsReflect, FourTapsFiveSamplesReflect101GivesReflectValues) {
  const std::vector<float> x = ramp(5);
  const auto value = [&](std::int64_t i) {
    return border_value(x, i, BorderMode::Reflect101, Reflect101Rule::AsReflect);
  };
  EXPECT_EQ(value(-2), 1.0f);
  EXPECT_EQ(value(-1), 0.0f);
  EXPECT_EQ(value(5), 4.0f);
  EXPECT_EQ(value(6), 3.0f);
  EXPECT_EQ(value(7), 2.0f);
}

TEST(BorderValueAsReflect, ModesAboveFourAndZerosGiveZero) {
  const std::vector<float> x = marked_ramp(6);
  for (std::uint32_t raw : {4u, 5u, 7u}) {
    const auto mode = static_cast<BorderMode>(raw);
    EXPECT_EQ(border_value(x, -1, mode, Reflect101Rule::AsReflect), 0.0f);
    EXPECT_EQ(border_value(x, 6, mode, Reflect101Rule::AsReflect), 0.0f);
    EXPECT_EQ(border_value(x, 3, mode, Reflect101Rule::AsReflect), x[3]);
  }
}

// Far outside the signal the periodic rules keep folding.
TEST(BorderValue, ReflectRulesFoldFarOut) {
  const std::vector<float> x = ramp(4);  // period 8 for Reflect, 6 for Reflect101
  for (std::int64_t i = -40; i <= 40; ++i) {
    const std::int64_t m8 = ((i % 8) + 8) % 8;
    const std::int64_t m6 = ((i % 6) + 6) % 6;
    EXPECT_EQ(border_value(x, i, BorderMode::Reflect), static_cast<float>(m8 < 4 ? m8 : 7 - m8));
    EXPECT_EQ(border_value(x, i, BorderMode::Reflect101), static_cast<float>(m6 < 4 ? m6 : 6 - m6));
  }
}

}  // namespace
}  // namespace quorvane::wavelet
