// Test support for the lifting executors: an independent reference that lifts
// the interleaved signal in place with whole-sample symmetric extension
// (x[-1] = x[1], x[n] = x[n-2]), plus signal generators and comparisons.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane/wavelet/executor.h"
#include "quorvane/wavelet/records.h"

namespace quorvane::wavelet::lifting_test {

inline std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }
inline float from_bits(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }

// p * c + t with one rounding, or with two (the project builds with
// -ffp-contract=off, so the unfused form really rounds twice).
using MulAdd = float (*)(float p, float c, float t);
inline float fused(float p, float c, float t) { return std::fma(p, c, t); }
inline float unfused(float p, float c, float t) { return p * c + t; }

// Decides whether the even sample with half-array index i of an n-sample
// signal takes part in an update.
using UpdateCoverage = std::function<bool(std::size_t n, std::size_t i)>;
inline bool every_sample(std::size_t, std::size_t) { return true; }

inline std::size_t mirrored(std::ptrdiff_t j, std::size_t n) {
  const auto last = static_cast<std::ptrdiff_t>(n) - 1;
  if (j < 0) return static_cast<std::size_t>(-j);
  if (j > last) return static_cast<std::size_t>(2 * last - j);
  return static_cast<std::size_t>(j);
}

class InterleavedLifting {
 public:
  explicit InterleavedLifting(std::vector<float> samples, MulAdd mul_add = fused,
                              UpdateCoverage coverage = every_sample)
      : y_(std::move(samples)), mul_add_(mul_add), coverage_(std::move(coverage)) {}

  // Odd samples from their even neighbours.
  void predict(float c) {
    for (std::size_t j = 1; j < y_.size(); j += 2) lift(j, c);
  }
  // Even samples from their odd neighbours.
  void update(float c) {
    for (std::size_t j = 0; j < y_.size(); j += 2) {
      if (coverage_(y_.size(), j / 2)) lift(j, c);
    }
  }
  void scale(float even_factor, float odd_factor) {
    for (std::size_t j = 0; j < y_.size(); ++j) y_[j] = y_[j] * (j % 2 == 0 ? even_factor : odd_factor);
  }

  std::vector<float> evens() const { return every_other(0); }
  std::vector<float> odds() const { return every_other(1); }
  const std::vector<float>& samples() const { return y_; }

  static std::vector<float> interleaved(std::span<const float> evens, std::span<const float> odds) {
    std::vector<float> y(evens.size() + odds.size());
    for (std::size_t j = 0; j < y.size(); ++j) y[j] = j % 2 == 0 ? evens[j / 2] : odds[j / 2];
    return y;
  }

 private:
  void lift(std::size_t j, float c) {
    const auto s = static_cast<std::ptrdiff_t>(j);
    const float left = y_[mirrored(s - 1, y_.size())];
    const float right = y_[mirrored(s + 1, y_.size())];
    y_[j] = mul_add_(left + right, c, y_[j]);
  }
  std::vector<float> every_other(std::size_t start) const {
    std::vector<float> out;
    for (std::size_t j = start; j < y_.size(); j += 2) out.push_back(y_[j]);
    return out;
  }

  std::vector<float> y_;
  MulAdd mul_add_;
  UpdateCoverage coverage_;
};

// Deterministic signal with a trend, an oscillation and noise of either sign.
inline std::vector<float> test_signal(std::size_t n, std::uint32_t seed = 1) {
  std::mt19937 rng(seed + static_cast<std::uint32_t>(n));
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i);
    x[i] = 0.01f * t + 2.0f * std::sin(0.3f * t) + noise(rng);
  }
  return x;
}

inline void expect_same_bits(std::span<const float> actual, std::span<const float> expected,
                             const char* what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(bits(actual[i]), bits(expected[i]))
        << what << "[" << i << "]: " << actual[i] << " vs " << expected[i];
  }
}

inline float max_abs_difference(std::span<const float> a, std::span<const float> b) {
  float worst = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

// A forward and inverse pair rounds a few times per sample and level: allow
// that many float epsilons of the signal's magnitude per level.
inline float reconstruction_tolerance(std::span<const float> x, std::size_t levels,
                                      float epsilons_per_level = 8.0f) {
  float magnitude = 1.0f;
  for (float v : x) magnitude = std::max(magnitude, std::fabs(v));
  return epsilons_per_level * std::numeric_limits<float>::epsilon() * magnitude * static_cast<float>(levels);
}

// Deepest decomposition a length allows when every level needs `minimum`
// samples.
inline std::size_t deepest_levels(std::size_t n, std::size_t minimum) {
  std::size_t levels = 0;
  for (; n >= minimum; n -= n / 2) ++levels;
  return levels;
}

// The view multi_idwt takes of a multi_dwt result.
inline MultiDwtRef view_of(const MultiDwt& decomposition) {
  MultiDwtRef view{decomposition.levels.back().approximations, {}};
  for (const Dwt& level : decomposition.levels) view.details.push_back(level.details);
  return view;
}

// Size checks: every case is refused with its message, through both forward
// entry points, and the caller's buffers are left as they were.
struct ForwardSizeCase {
  std::size_t n, approximations, details;
  const char* message;
};
struct InverseSizeCase {
  std::size_t approximations, details, n;
  const char* message;
};

inline void expect_forward_rejections(const DwtForwardExecutor& executor,
                                      std::span<const ForwardSizeCase> cases) {
  for (const ForwardSizeCase& c : cases) {
    const std::vector<float> x(c.n, 1.0f);
    std::vector<float> approximations(c.approximations, -7.0f);
    std::vector<float> details(c.details, -7.0f);
    std::vector<float> scratch(3, -7.0f);
    for (bool with_scratch : {false, true}) {
      const WaveletStatus status =
          with_scratch ? executor.execute_forward_with_scratch(x, approximations, details, scratch)
                       : executor.execute_forward(x, approximations, details);
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().message(), c.message);
      EXPECT_EQ(approximations, std::vector<float>(c.approximations, -7.0f));
      EXPECT_EQ(details, std::vector<float>(c.details, -7.0f));
    }
  }
}

inline void expect_inverse_rejections(const DwtInverseExecutor& executor,
                                      std::span<const InverseSizeCase> cases) {
  for (const InverseSizeCase& c : cases) {
    const std::vector<float> approximations(c.approximations, 1.0f);
    const std::vector<float> details(c.details, 1.0f);
    std::vector<float> output(c.n, -7.0f);
    const WaveletStatus status = executor.execute_inverse(approximations, details, output);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(), c.message);
    EXPECT_EQ(output, std::vector<float>(c.n, -7.0f));
  }
}

}  // namespace quorvane::wavelet::lifting_test
