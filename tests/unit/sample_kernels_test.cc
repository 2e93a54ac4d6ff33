// Every variant of the per-sample kernels against the scalar definitions,
// bit for bit, over many lengths (so every vector block and tail size occurs)
// and the special values: NaN, infinities, signed zeros, clamp edges.
#include "kernels/sample_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "normalization.h"
#include "quantizer.h"

namespace quorvane::codec::kernels {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kLargest = std::numeric_limits<float>::max();

std::vector<const SampleKernels*> variants() {
  std::vector<const SampleKernels*> all = {&portable_sample_kernels()};
  if (const SampleKernels* avx2 = avx2_fma_sample_kernels()) all.push_back(avx2);
  return all;
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Values that sit on every edge the kernels treat specially, in units of
// the quantiser (multiplied by the factor they become these products).
const std::vector<float> kEdges = {
    kNaN, -kNaN, std::bit_cast<float>(0x7FC00001u), kInf, -kInf, 0.0f, -0.0f,
    kLargest, -kLargest, std::numeric_limits<float>::denorm_min(), -1e-40f,
    32767.0f, 32767.5f, 32767.99f, 32768.0f, 40000.0f, -32768.0f, -32768.5f, -32769.0f,
    -32767.5f, 0.5f, -0.5f, 0.99999994f, -0.99999994f, 1.0f, -1.0f,
    2.0f, -2.0f, 2.9f, -2.9f, 13.0f, 14.0f, -14.0f, 20.99f, 21.0f, -21.0f, 1e30f, -1e30f};

// Random samples with an edge value at random places, the same for a seed.
std::vector<float> mixed(std::size_t n, std::uint32_t seed, float spread) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, spread);
  std::uniform_int_distribution<std::size_t> pick(0, kEdges.size() - 1);
  std::vector<float> v(n);
  for (float& x : v) x = (rng() % 4 == 0) ? kEdges[pick(rng)] : normal(rng);
  return v;
}

std::vector<std::size_t> lengths() {
  std::vector<std::size_t> n;
  for (std::size_t i = 0; i <= 70; ++i) n.push_back(i);
  for (std::size_t i : {127, 128, 129, 255, 1000, 4099}) n.push_back(i);
  return n;
}

// --- Scalar definitions --------------------------------------------------

float reference_sanitize(float x) {
  if (std::isnan(x)) return 0.0f;
  if (std::isinf(x)) return x > 0.0f ? 1.0f : 0.0f;
  return x;
}

float reference_denormalize(float y, float mean, float range, float min) {
  const float out = std::fma(y + mean, range, min);
  return std::fmax(std::fmin(out, kLargest), -kLargest);
}

TEST(SampleKernels, DispatchPicksOneOfTheVariants) {
  const SampleKernels& chosen = sample_kernels();
  bool found = false;
  for (const SampleKernels* v : variants()) found = found || v == &chosen;
  EXPECT_TRUE(found) << chosen.name;
#if defined(QUORVANE_PORTABLE_KERNELS)
  EXPECT_EQ(&chosen, &portable_sample_kernels());
#else
  EXPECT_EQ(&chosen, variants().back()) << "the fastest variant this CPU runs";
#endif
}

TEST(SampleKernels, SanitiseAndExtremesMatchTheScalarDefinition) {
  for (const SampleKernels* k : variants()) {
    for (std::size_t n : lengths()) {
      const std::vector<float> in = mixed(n, static_cast<std::uint32_t>(n), 100.0f);
      std::vector<float> out(n, 7.0f);
      const Extremes e = k->sanitize_extremes(in.data(), out.data(), n);
      float min = kInf;
      float max = -kInf;
      for (std::size_t i = 0; i < n; ++i) {
        const float x = reference_sanitize(in[i]);
        ASSERT_EQ(bits(out[i]), bits(x)) << k->name << " n=" << n << " i=" << i;
        min = x < min ? x : min;
        max = x > max ? x : max;
      }
      // The kernels may pick either zero; normalize() settles the sign.
      EXPECT_TRUE(e.min == min && e.max == max) << k->name << " n=" << n;
    }
  }
}

TEST(SampleKernels, QuantiseWithDeadZoneMatchesTheScalarDefinition) {
  for (const SampleKernels* k : variants()) {
    for (std::size_t n : lengths()) {
      for (std::uint8_t scale : {6, 11, 12}) {
        const float factor = quantizer_factor(scale);
        std::vector<float> in = mixed(n, static_cast<std::uint32_t>(n * 13 + scale), 8.0f);
        // Half of the edges land on the product, not on the coefficient.
        for (std::size_t i = 0; i < n; i += 2) in[i] = in[i] / factor;
        for (std::int32_t threshold : {0, 2, 21}) {
          std::vector<std::uint8_t> out(2 * n, 0xAB);
          k->quantize_to_bytes(in.data(), n, factor, threshold, out.data());
          for (std::size_t i = 0; i < n; ++i) {
            const std::int16_t q = apply_dead_zone(quantize(in[i], factor), threshold);
            const auto expected = static_cast<std::uint16_t>(q);
            const auto got = static_cast<std::uint16_t>(out[2 * i] | (out[2 * i + 1] << 8));
            ASSERT_EQ(got, expected) << k->name << " n=" << n << " i=" << i << " c=" << in[i]
                                     << " factor=" << factor << " T=" << threshold;
          }
        }
      }
    }
  }
}

TEST(SampleKernels, QuantiseClampsNaNAndTheEdges) {
  // The products themselves, with the factor 1: a NaN product ends as 32767.
  const std::vector<std::pair<float, std::int16_t>> cases = {
      {kNaN, 32767},         {-kNaN, 32767},       {kInf, 32767},      {-kInf, -32768},
      {32767.5f, 32767},     {32768.0f, 32767},    {-32768.5f, -32768}, {-32769.0f, -32768},
      {-32767.5f, -32767},   {-0.0f, 0},           {2.9f, 2},          {-2.9f, -2}};
  for (const SampleKernels* k : variants()) {
    for (std::size_t copies : {1, 16, 17}) {  // scalar tail and vector block
      std::vector<float> in;
      for (std::size_t c = 0; c < copies; ++c) {
        for (const auto& [value, q] : cases) in.push_back(value);
      }
      std::vector<std::uint8_t> out(2 * in.size());
      k->quantize_to_bytes(in.data(), in.size(), 1.0f, 0, out.data());
      for (std::size_t i = 0; i < in.size(); ++i) {
        const auto got = static_cast<std::int16_t>(out[2 * i] | (out[2 * i + 1] << 8));
        EXPECT_EQ(got, cases[i % cases.size()].second) << k->name << " value " << in[i];
      }
    }
  }
}

TEST(SampleKernels, DequantiseMatchesTheScalarDefinition) {
  for (const SampleKernels* k : variants()) {
    for (std::size_t n : lengths()) {
      std::mt19937 rng(static_cast<std::uint32_t>(n));
      std::vector<std::uint8_t> bytes(2 * n);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
      if (n >= 2) {  // both ends of the range
        bytes[0] = 0x00, bytes[1] = 0x80;
        bytes[2] = 0xFF, bytes[3] = 0x7F;
      }
      for (std::uint8_t scale : {6, 12}) {
        std::vector<float> out(n);
        k->dequantize_bytes(bytes.data(), n, quantizer_step(scale), out.data());
        for (std::size_t i = 0; i < n; ++i) {
          const auto q = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
          ASSERT_EQ(bits(out[i]), bits(static_cast<float>(q) * quantizer_step(scale)))
              << k->name << " n=" << n << " i=" << i;
        }
      }
    }
  }
}

TEST(SampleKernels, DenormaliseMatchesTheScalarDefinition) {
  struct Constants {
    float mean, range, min;
  };
  const std::vector<Constants> constants = {
      {0.37f, 2.5f, -1.25f},
      {-0.5f, 3.0e38f, -1.5e38f},  // rounds past the largest float: clamped
      {0.0f, kInf, 1.0f},          // a zero times infinity is NaN: the largest float
      {0.1f, 1e-30f, -0.0f},
      {0.0f, 0.0f, -0.0f}};
  for (const SampleKernels* k : variants()) {
    for (std::size_t n : lengths()) {
      for (const Constants& c : constants) {
        std::vector<float> y = mixed(n, static_cast<std::uint32_t>(n + 99), 0.6f);
        for (std::size_t i = 0; i < n; i += 5) y[i] = -c.mean;  // exact zero sum
        const std::vector<float> in = y;
        k->denormalize(y.data(), n, c.mean, c.range, c.min);
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_EQ(bits(y[i]), bits(reference_denormalize(in[i], c.mean, c.range, c.min)))
              << k->name << " n=" << n << " i=" << i << " y=" << in[i] << " range=" << c.range;
        }
      }
    }
  }
}

TEST(SampleKernels, NormaliseAndSubtractMatchTheScalarDefinition) {
  for (const SampleKernels* k : variants()) {
    for (std::size_t n : lengths()) {
      std::vector<float> v = mixed(n, static_cast<std::uint32_t>(3 * n), 50.0f);
      for (float& x : v) x = reference_sanitize(x);
      const float min = -35.0f;
      const float inv = 1.0f / 70.5f;
      std::vector<float> expected = v;
      float sum = 0.0f;
      for (float& x : expected) {
        x = (x - min) * inv;
        sum += x;
      }
      const float got_sum = k->normalize_and_sum(v.data(), n, min, inv);
      EXPECT_EQ(bits(got_sum), bits(sum)) << k->name << " n=" << n;
      k->subtract(v.data(), n, 0.3f);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(v[i]), bits(expected[i] - 0.3f)) << k->name << " n=" << n << " i=" << i;
      }
    }
  }
}

// The whole of normalize() on the dispatched kernels against its scalar
// definition, including which zero becomes min or max.
TEST(Normalize, MatchesTheScalarDefinitionBitForBit) {
  std::vector<std::vector<float>> signals;
  for (std::size_t n : lengths()) {
    if (n > 0) signals.push_back(mixed(n, static_cast<std::uint32_t>(n + 7), 3.0f));
  }
  // Zero extremes whose sign depends on which zero comes first, at every
  // pair of lane positions (the later zero in a lower lane too).
  for (std::size_t first = 0; first < 16; ++first) {
    for (std::size_t second = first + 1; second < 24; ++second) {
      for (float sign : {1.0f, -1.0f}) {
        std::vector<float> above(24, 2.0f * sign);  // zeros are the minimum, then the maximum
        above[first] = sign * 0.0f;
        above[second] = -sign * 0.0f;
        signals.push_back(above);
        for (float& x : above) x = x == 0.0f ? x : -x;
        signals.push_back(above);
      }
    }
  }
  for (std::size_t n : {9, 17, 40}) {
    std::vector<float> positive(n, 2.0f);
    positive[n / 2] = -0.0f;
    positive[n - 1] = 0.0f;
    signals.push_back(positive);
    std::vector<float> negative(n, -2.0f);
    negative[1] = 0.0f;
    negative[n - 2] = -0.0f;
    negative[n - 1] = kNaN;  // sanitised to +0, after the others
    signals.push_back(negative);
    std::vector<float> flat(n, -0.0f);
    flat[n - 1] = 0.0f;
    signals.push_back(flat);
  }
  for (const std::vector<float>& s : signals) {
    float min = kInf;
    float max = -kInf;
    std::vector<float> values;
    for (float x : s) {
      values.push_back(reference_sanitize(x));
      min = values.back() < min ? values.back() : min;
      max = values.back() > max ? values.back() : max;
    }
    float mean = 0.0f;
    const float range = max - min;
    if (range > kFlatRange) {
      const float inv = 1.0f / range;
      float sum = 0.0f;
      for (float& x : values) {
        x = (x - min) * inv;
        sum += x;
      }
      mean = sum / static_cast<float>(values.size());
      for (float& x : values) x -= mean;
    } else {
      for (float& x : values) x = 0.0f;
    }
    const NormalizedSignal got = normalize(s);
    const std::string where = "n=" + std::to_string(s.size());
    EXPECT_EQ(bits(got.min), bits(min)) << where;
    EXPECT_EQ(bits(got.max), bits(max)) << where;
    EXPECT_EQ(bits(got.mean), bits(mean)) << where;
    ASSERT_EQ(got.values.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(bits(got.values[i]), bits(values[i])) << where << " i=" << i;
    }
  }
}

}  // namespace
}  // namespace quorvane::codec::kernels
