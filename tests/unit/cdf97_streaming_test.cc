// The strip-by-strip CDF 9/7 levels (forward and inverse) of every compiled
// variant give the bits of the full-pass portable ones: at every length near
// the strip boundaries and the vector widths, small and large, with special
// values mixed in; and the multi-level inverse, which runs level after level
// in alternating buffers, gives the bits of the portable levels chained.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_variant.h"
#include "portable/cdf97_streaming.h"
#include "portable/lifting_kernels.h"
#include "quorvane/wavelet/band_source.h"
#include "quorvane/wavelet/factory.h"
#include "variant_bits_test_support.h"

namespace quorvane::wavelet::lifting {
namespace {

using variant_test::expect_same_bits;

std::vector<float> random_values(std::size_t n, std::uint32_t seed, bool special) {
  return variant_test::random_values(n, seed, special, 64);
}

// The full-pass definition of one level.
std::vector<float> portable_inverse(std::span<const float> approximations,
                                    std::span<const float> details) {
  std::vector<float> evens(approximations.begin(), approximations.end());
  std::vector<float> odds(details.begin(), details.end());
  std::vector<float> output(evens.size() + odds.size());
  lifting_kernels(KernelVariant::Portable).cdf97_inverse(evens, odds, output);
  return output;
}

// Every length from the smallest to past a few vector widths, every length
// around the first three strip boundaries (a strip ends where the odds run
// out, so both parities of n land on each side), and some large ones whose
// update leaves part of the interior alone (n mod 32 in {0, 1, 2}).
std::vector<std::size_t> lengths_to_check() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 4; n <= 160; ++n) lengths.push_back(n);
  for (std::size_t strips = 1; strips <= 3; ++strips) {
    const std::size_t boundary = 2 * strips * kCdf97Strip;
    for (std::size_t n = boundary - 12; n <= boundary + 12; ++n) lengths.push_back(n);
  }
  for (std::size_t n : {4097u, 8191u, 10000u, 65536u, 65537u, 65538u, 100003u}) {
    lengths.push_back(n);
  }
  return lengths;
}

TEST(Cdf97StreamingInverse, EveryVariantGivesTheFullPassBits) {
  for (const KernelVariant variant : available_kernel_variants()) {
    const Cdf97InverseStreaming inverse = cdf97_inverse_streaming(variant);
    for (bool special : {false, true}) {
      for (const std::size_t n : lengths_to_check()) {
        const std::string what = "variant " + std::to_string(static_cast<int>(variant)) +
                                 ", n " + std::to_string(n) + (special ? ", special" : "");
        const std::vector<float> a =
            random_values(even_count(n), static_cast<std::uint32_t>(n), special);
        const std::vector<float> d =
            random_values(odd_count(n), static_cast<std::uint32_t>(n + 7919), special);
        const std::vector<float> expected = portable_inverse(a, d);
        std::vector<float> y(n, 12345.0f);
        inverse(band_of(a), band_of(d), y);
        expect_same_bits(expected, y, what);
        // The approximations as the last samples of the output, as the
        // multi-level inverse lays them out.
        std::vector<float> in_place(n, 12345.0f);
        std::copy(a.begin(), a.end(), in_place.end() - static_cast<std::ptrdiff_t>(a.size()));
        inverse(band_of(std::span<const float>(in_place).last(a.size())), band_of(d), in_place);
        expect_same_bits(expected, in_place, "in place, " + what);
      }
    }
  }
}

TEST(Cdf97StreamingForward, EveryVariantGivesTheFullPassBits) {
  const LiftingKernels& portable = lifting_kernels(KernelVariant::Portable);
  for (const KernelVariant variant : available_kernel_variants()) {
    const Cdf97ForwardStreaming forward = cdf97_forward_streaming(variant);
    for (bool special : {false, true}) {
      for (const std::size_t n : lengths_to_check()) {
        const std::string what = "variant " + std::to_string(static_cast<int>(variant)) +
                                 ", n " + std::to_string(n) + (special ? ", special" : "");
        const std::vector<float> x = random_values(n, static_cast<std::uint32_t>(n), special);
        std::vector<float> a0(even_count(n)), d0(odd_count(n));
        std::vector<float> a1(even_count(n), 12345.0f), d1(odd_count(n), 12345.0f);
        portable.cdf97_forward(x, a0, d0);
        forward(x, a1, d1);
        expect_same_bits(a0, a1, "approximations, " + what);
        expect_same_bits(d0, d1, "details, " + what);
      }
    }
  }
}

// A source over floats held in a vector, each read rounded through a
// product with `step` (as a decoder's dequantisation is), and counting the
// samples it hands out.
struct ScaledFloats {
  std::vector<float> values;
  float step;
  mutable std::size_t samples_read = 0;

  static void read(const void* context, std::size_t offset, std::size_t count, float* out) {
    const auto& self = *static_cast<const ScaledFloats*>(context);
    for (std::size_t i = 0; i < count; ++i) out[i] = self.values.at(offset + i) * self.step;
    self.samples_read += count;
  }
  BandSource source() const { return {&ScaledFloats::read, this}; }
};

TEST(Cdf97StreamingInverse, EveryVariantReadsBandsFromASource) {
  for (const KernelVariant variant : available_kernel_variants()) {
    const Cdf97InverseStreaming inverse = cdf97_inverse_streaming(variant);
    for (const std::size_t n : lengths_to_check()) {
      const std::string what =
          "variant " + std::to_string(static_cast<int>(variant)) + ", n " + std::to_string(n);
      // Approximations and details side by side in one source, 5 values in.
      ScaledFloats stored{random_values(5 + n, static_cast<std::uint32_t>(n), true), 0.375f};
      const std::size_t e = even_count(n), o = odd_count(n);
      std::vector<float> a(e), d(o);
      for (std::size_t i = 0; i < e; ++i) a[i] = stored.values[5 + i] * stored.step;
      for (std::size_t i = 0; i < o; ++i) d[i] = stored.values[5 + e + i] * stored.step;
      const BandSource source = stored.source();
      std::vector<float> y(n, 12345.0f);
      inverse(StripBand{nullptr, &source, 5, e}, StripBand{nullptr, &source, 5 + e, o}, y);
      expect_same_bits(portable_inverse(a, d), y, what);
      EXPECT_EQ(stored.samples_read, n) << what;  // every coefficient read once
    }
  }
}

// The multi-level inverse over a source: the bits of multi_idwt over the
// same coefficients as floats, for every level count a length allows.
TEST(Cdf97StreamingInverse, MultiLevelFromASourceEqualsMultiIdwt) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  for (const std::size_t n : {4u, 5u, 9u, 17u, 31u, 64u, 1000u, 2049u, 4099u, 70001u}) {
    std::vector<DwtSize> sizes;
    for (std::size_t length = n; length >= 4; length = even_count(length)) {
      sizes.push_back({even_count(length), odd_count(length)});
    }
    while (!sizes.empty()) {
      const std::string what = "n " + std::to_string(n) + ", levels " + std::to_string(sizes.size());
      // Stream order: coarsest approximations, then details finest first.
      ScaledFloats stored{random_values(n, static_cast<std::uint32_t>(n + sizes.size()), false),
                          0.5f};
      std::vector<float> floats(n);
      for (std::size_t i = 0; i < n; ++i) floats[i] = stored.values[i] * stored.step;
      MultiDwtRef view;
      std::size_t offset = sizes.back().approximations;
      view.approximations = std::span<const float>(floats).first(offset);
      for (const DwtSize& size : sizes) {
        view.details.push_back(std::span<const float>(floats).subspan(offset, size.details));
        offset += size.details;
      }
      ASSERT_EQ(offset, n) << what;
      auto expected = executor->multi_idwt(view);
      auto actual = cdf97_multi_idwt_from_source(stored.source(), sizes);
      ASSERT_TRUE(expected.ok() && actual.ok()) << what;
      expect_same_bits(expected.value(), actual.value(), what);
      EXPECT_EQ(stored.samples_read, n) << what;
      sizes.pop_back();
    }
  }
}

// The errors of multi_idwt, with no coefficient read.
TEST(Cdf97StreamingInverse, SourceSizesAreCheckedLikeMultiIdwt) {
  const ScaledFloats stored{std::vector<float>(64, 1.0f), 1.0f};
  const std::vector<DwtSize> none;
  EXPECT_EQ(cdf97_multi_idwt_from_source(stored.source(), none).error(),
            WaveletError::zero_sized_input());
  const std::vector<DwtSize> empty_approximations = {{0, 2}};
  EXPECT_EQ(cdf97_multi_idwt_from_source(stored.source(), empty_approximations).error(),
            WaveletError::zero_sized_input());
  // As in MismatchAtTheFinestLevelIsReported: 10 + 12 samples want 11.
  const std::vector<DwtSize> mismatched = {{10, 12}, {5, 5}, {3, 2}};
  auto result = cdf97_multi_idwt_from_source(stored.source(), mismatched);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "Approximate size 10 does not match required size 11");
  const std::vector<DwtSize> short_details = {{2, 1}};
  EXPECT_EQ(cdf97_multi_idwt_from_source(stored.source(), short_details).error(),
            WaveletError::details_size_mismatch(1, 2));
  // The coarser levels ran, the finest did not.
  EXPECT_EQ(stored.samples_read, 3u + 2u + 5u);
}

// The bands are read in place, so they must come back untouched.
TEST(Cdf97StreamingInverse, LeavesTheBandsAlone) {
  for (const KernelVariant variant : available_kernel_variants()) {
    const std::size_t n = 4 * kCdf97Strip + 3;
    const std::vector<float> a = random_values(even_count(n), 1, false);
    const std::vector<float> d = random_values(odd_count(n), 2, false);
    std::vector<float> a_copy = a, d_copy = d, y(n);
    cdf97_inverse_streaming(variant)(band_of(a_copy), band_of(d_copy), y);
    expect_same_bits(a, a_copy, "approximations");
    expect_same_bits(d, d_copy, "details");
  }
}

std::vector<float> portable_cdf53_inverse(std::span<const float> approximations,
                                          std::span<const float> details) {
  std::vector<float> evens(approximations.begin(), approximations.end());
  std::vector<float> odds(details.size());
  std::vector<float> output(evens.size() + odds.size());
  lifting_kernels(KernelVariant::Portable).cdf53_inverse(evens, details, odds, output);
  return output;
}

using LevelInverse = std::vector<float> (*)(std::span<const float>, std::span<const float>);

// multi_idwt, which builds every level inside its result, against the
// portable levels chained by hand, for every level count a length allows.
void expect_multi_level_equals_chained_levels(const DwtExecutorHandle& executor,
                                              LevelInverse portable_inverse) {
  for (const std::size_t n : {4u, 5u, 9u, 17u, 31u, 64u, 1000u, 2049u, 4099u, 70001u}) {
    // Band sizes of every level, finest first.
    std::vector<std::size_t> even_sizes, odd_sizes;
    for (std::size_t length = n; length >= 4; length = even_count(length)) {
      even_sizes.push_back(even_count(length));
      odd_sizes.push_back(odd_count(length));
    }
    for (std::size_t levels = 1; levels <= even_sizes.size(); ++levels) {
      const std::string what = "n " + std::to_string(n) + ", levels " + std::to_string(levels);
      std::vector<std::vector<float>> details;
      for (std::size_t i = 0; i < levels; ++i) {
        details.push_back(random_values(odd_sizes[i], static_cast<std::uint32_t>(n + i), false));
      }
      const std::vector<float> approximations =
          random_values(even_sizes[levels - 1], static_cast<std::uint32_t>(n * 3), false);

      std::vector<float> expected = approximations;
      for (std::size_t i = levels; i-- > 0;) expected = portable_inverse(expected, details[i]);

      MultiDwtRef view;
      view.approximations = approximations;
      for (const auto& level : details) view.details.emplace_back(level);
      auto reconstructed = executor->multi_idwt(view);
      ASSERT_TRUE(reconstructed.ok()) << what;
      expect_same_bits(expected, reconstructed.value(), what);
    }
  }
}

TEST(Cdf97StreamingInverse, MultiLevelEqualsChainedPortableLevels) {
  expect_multi_level_equals_chained_levels(make_cdf97_f32(), portable_inverse);
}

TEST(Cdf53Inverse, MultiLevelEqualsChainedPortableLevels) {
  expect_multi_level_equals_chained_levels(make_cdf53_f32(), portable_cdf53_inverse);
}

// A wrong band at the finest of three levels is reported with the
// single-level message, after the coarser levels have run.
TEST(Cdf97StreamingInverse, MismatchAtTheFinestLevelIsReported) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  const std::vector<float> approximations(3, 1.0f), coarse(2, 1.0f), middle(5, 1.0f);
  const std::vector<float> finest(12, 1.0f);  // 10 + 12 samples want 11 approximations
  auto inverse = executor->multi_idwt(MultiDwtRef{approximations, {finest, middle, coarse}});
  ASSERT_FALSE(inverse.ok());
  EXPECT_EQ(inverse.error().message(), "Approximate size 10 does not match required size 11");
}

}  // namespace
}  // namespace quorvane::wavelet::lifting
