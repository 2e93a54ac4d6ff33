// Every compiled variant of the lifting transforms gives the portable bits,
// over many lengths and with special values (NaN, infinities, signed zeros,
// subnormals) mixed in; and the vector passes fuse every lane.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_variant.h"
#include "portable/lifting_kernels.h"
#include "variant_bits_test_support.h"

namespace quorvane::wavelet::lifting {
namespace {

using variant_test::expect_same_bits;

std::vector<float> random_values(std::size_t n, std::uint32_t seed, bool special) {
  return variant_test::random_values(n, seed, special, 16);
}

TEST(LiftingVariants, EveryVariantGivesThePortableBits) {
  const LiftingKernels& portable = lifting_kernels(KernelVariant::Portable);
  for (const KernelVariant variant : available_kernel_variants()) {
    const LiftingKernels& kernels = lifting_kernels(variant);
    for (bool special : {false, true}) {
      for (std::size_t n = 4; n <= 200; ++n) {
        const std::string what = "variant " + std::to_string(static_cast<int>(variant)) +
                                 ", n " + std::to_string(n) + (special ? ", special" : "");
        const std::vector<float> x = random_values(n, static_cast<std::uint32_t>(n), special);
        const std::size_t e = even_count(n), o = odd_count(n);
        std::vector<float> a0(e), d0(o), a1(e), d1(o);

        portable.cdf97_forward(x, a0, d0);
        kernels.cdf97_forward(x, a1, d1);
        expect_same_bits(a0, a1, "cdf97 forward a, " + what);
        expect_same_bits(d0, d1, "cdf97 forward d, " + what);
        std::vector<float> y0(n), y1(n);
        std::vector<float> e0 = a0, o0 = d0, e1 = a0, o1 = d0;
        portable.cdf97_inverse(e0, o0, y0);
        kernels.cdf97_inverse(e1, o1, y1);
        expect_same_bits(y0, y1, "cdf97 inverse, " + what);

        portable.cdf53_forward(x, a0, d0);
        kernels.cdf53_forward(x, a1, d1);
        expect_same_bits(a0, a1, "cdf53 forward a, " + what);
        expect_same_bits(d0, d1, "cdf53 forward d, " + what);
        e0 = a0;
        e1 = a0;
        portable.cdf53_inverse(e0, d0, o0, y0);
        kernels.cdf53_inverse(e1, d0, o1, y1);
        expect_same_bits(y0, y1, "cdf53 inverse, " + what);
      }
    }
  }
}

// The passes on their own, in place or not, at every offset a vector loop
// can end on.
template <class Pass>
void expect_pass_matches_portable(Pass pass) {
  for (float c : {-1.5861343f, -0.052980117f, 0.8829111f, 0.44350687f, 0.1234567f}) {
    for (std::size_t n = 0; n <= 100; ++n) {
      const std::vector<float> neighbours = random_values(n + 1, static_cast<std::uint32_t>(n), true);
      const std::vector<float> base = random_values(n, static_cast<std::uint32_t>(n + 1000), true);
      std::vector<float> scalar(n), vector(n);
      PortablePasses::lift_adjacent_pairs(neighbours, c, base, scalar);
      pass(neighbours, c, base, vector);
      expect_same_bits(scalar, vector, "n " + std::to_string(n));
      std::vector<float> in_place = base;
      pass(neighbours, c, in_place, in_place);
      expect_same_bits(scalar, in_place, "in place, n " + std::to_string(n));
    }
  }
}

// a*a + c is 0 unfused but 2^-24 fused: a stray unfused lane shows.
template <class Pass>
void expect_every_lane_fused(Pass pass) {
  const float a = 1.0f + 0x1p-12f;
  const float c = -(1.0f + 0x1p-11f);
  std::vector<float> neighbours(18, a / 2.0f), base(17, c), out(17);
  pass(neighbours, a, base, out);
  for (float v : out) EXPECT_EQ(v, 0x1p-24f);
}

#if QUORVANE_X86_VARIANTS
TEST(LiftingVariants, Avx2PassEqualsPortableAndFuses) {
  const auto variants = available_kernel_variants();
  if (variants.back() != KernelVariant::X86Avx2Fma) GTEST_SKIP() << "no AVX2 with FMA";
  expect_pass_matches_portable(lift_adjacent_pairs_avx2);
  expect_every_lane_fused(lift_adjacent_pairs_avx2);
}
#endif

#if QUORVANE_NEON_VARIANTS
TEST(LiftingVariants, NeonPassEqualsPortableAndFuses) {
  expect_pass_matches_portable(lift_adjacent_pairs_neon);
  expect_every_lane_fused(lift_adjacent_pairs_neon);
}
#endif

TEST(LiftingVariants, PortableIsAlwaysAvailableAndFirst) {
  const auto variants = available_kernel_variants();
  ASSERT_FALSE(variants.empty());
  EXPECT_EQ(variants.front(), KernelVariant::Portable);
#if defined(QUORVANE_PORTABLE_KERNELS)
  EXPECT_EQ(active_kernel_variant(), KernelVariant::Portable);
#else
  EXPECT_EQ(active_kernel_variant(), variants.back());
#if QUORVANE_NEON_VARIANTS
  EXPECT_EQ(active_kernel_variant(), KernelVariant::Neon);
#endif
#endif
}

}  // namespace
}  // namespace quorvane::wavelet::lifting
