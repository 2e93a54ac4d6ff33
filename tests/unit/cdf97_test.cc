#include "neon/cdf97_f32.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane/wavelet/factory.h"
#include "unit/lifting_test_util.h"

namespace quorvane::wavelet {
namespace {

using lifting_test::bits;
using lifting_test::expect_same_bits;
using lifting_test::from_bits;
using lifting_test::InterleavedLifting;
using lifting_test::test_signal;

const float kAlpha = from_bits(0xBFCB0673);
const float kBeta = from_bits(0xBD5901AE);
const float kGamma = from_bits(0x3F620676);
const float kDelta = from_bits(0x3EE31355);
const float kK = from_bits(0x3F93263D);
const float kKPrime = from_bits(0x3F5EAF70);

// Even samples (half-array index i) that the update leaves alone, stated in
// terms of the signal length: for n >= 32 with n mod 32 in {0, 1, 2}, the
// indices 16*floor(n/32) - 15 ... ceil(n/2) - 2.
bool update_touches(std::size_t n, std::size_t i) {
  if (n < 32 || n % 32 > 2) return true;
  const std::size_t first_left_alone = 16 * (n / 32) - 15;
  const std::size_t last_left_alone = (n - n / 2) - 2;
  return i < first_left_alone || i > last_left_alone;
}

struct Halves {
  std::vector<float> approximations;
  std::vector<float> details;
};

Halves reference_forward(const std::vector<float>& x, lifting_test::MulAdd mul_add = lifting_test::fused) {
  InterleavedLifting y(x, mul_add, update_touches);
  y.predict(kAlpha);
  y.update(kBeta);
  y.predict(kGamma);
  y.update(kDelta);
  y.scale(kK, kKPrime);
  return {y.evens(), y.odds()};
}

std::vector<float> reference_inverse(const Halves& halves) {
  InterleavedLifting y(InterleavedLifting::interleaved(halves.approximations, halves.details),
                       lifting_test::fused, update_touches);
  y.scale(kKPrime, kK);
  y.update(-kDelta);
  y.predict(-kGamma);
  y.update(-kBeta);
  y.predict(-kAlpha);
  return y.samples();
}

Halves forward(const NeonCdf97F32& executor, const std::vector<float>& x) {
  Halves out{std::vector<float>(x.size() - x.size() / 2), std::vector<float>(x.size() / 2)};
  const WaveletStatus status = executor.execute_forward(x, out.approximations, out.details);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return out;
}

TEST(Cdf97, SixSamplesGiveTheKnownBits) {
  const Halves out = forward(NeonCdf97F32{}, {1, 2, 3, 4, 5, 6});
  const std::uint32_t approximations[] = {0x3FF16A2B, 0x4088A8BF, 0x40E524D1};
  const std::uint32_t details[] = {0x3E3504F3, 0xBE042CEA, 0x3F1C98F7};
  ASSERT_EQ(out.approximations.size(), 3u);
  ASSERT_EQ(out.details.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(bits(out.approximations[i]), approximations[i]) << i;
    EXPECT_EQ(bits(out.details[i]), details[i]) << i;
  }
}

TEST(Cdf97, FiveSamplesGiveTheKnownValues) {
  const Halves out = forward(NeonCdf97F32{}, {1, 2, 3, 4, 5});
  // Shortest decimals of the exact float results.
  EXPECT_EQ(out.approximations, (std::vector<float>{1.8860525f, 4.2426405f, 6.5992293f}));
  EXPECT_EQ(out.details, (std::vector<float>{0.17677669f, -0.17677663f}));
}

// Every border rule of the shortest signal, written out step by step.
TEST(Cdf97, FourSampleBordersMirrorTheMissingNeighbours) {
  for (std::uint32_t seed = 0; seed < 20; ++seed) {
    const std::vector<float> x = test_signal(4, seed);
    float d0 = std::fma(x[0] + x[2], kAlpha, x[1]);
    float d1 = std::fma(x[2] + x[2], kAlpha, x[3]);
    float a0 = std::fma(d0 + d0, kBeta, x[0]);
    float a1 = std::fma(d0 + d1, kBeta, x[2]);
    d0 = std::fma(a0 + a1, kGamma, d0);
    d1 = std::fma(a1 + a1, kGamma, d1);
    a0 = std::fma(d0 + d0, kDelta, a0);
    a1 = std::fma(d0 + d1, kDelta, a1);
    const Halves out = forward(NeonCdf97F32{}, x);
    expect_same_bits(out.approximations, std::vector<float>{a0 * kK, a1 * kK}, "approximations");
    expect_same_bits(out.details, std::vector<float>{d0 * kKPrime, d1 * kKPrime}, "details");
  }
}

TEST(Cdf97, FiveSampleRightBorderDoublesItsOnlyDetail) {
  const std::vector<float> x = test_signal(5, 7);
  float d0 = std::fma(x[0] + x[2], kAlpha, x[1]);
  float d1 = std::fma(x[2] + x[4], kAlpha, x[3]);
  float a0 = std::fma(d0 + d0, kBeta, x[0]);
  float a1 = std::fma(d0 + d1, kBeta, x[2]);
  float a2 = std::fma(d1 + d1, kBeta, x[4]);
  d0 = std::fma(a0 + a1, kGamma, d0);
  d1 = std::fma(a1 + a2, kGamma, d1);
  a0 = std::fma(d0 + d0, kDelta, a0);
  a1 = std::fma(d0 + d1, kDelta, a1);
  a2 = std::fma(d1 + d1, kDelta, a2);
  const Halves out = forward(NeonCdf97F32{}, x);
  expect_same_bits(out.approximations, std::vector<float>{a0 * kK, a1 * kK, a2 * kK}, "approximations");
  expect_same_bits(out.details, std::vector<float>{d0 * kKPrime, d1 * kKPrime}, "details");
}

// The update pass leaves the final partial block of 16 alone for some
// lengths; which samples it touches is visible with zero evens, unit odds and
// c = 1: a touched sample becomes 2, an untouched one stays 0.
std::vector<bool> touched_by_update(std::size_t n) {
  std::vector<float> evens(n - n / 2, 0.0f);
  const std::vector<float> odds(n / 2, 1.0f);
  dwt97_forward_update_even(evens, odds, 1.0f);
  std::vector<bool> touched;
  for (float e : evens) touched.push_back(e == 2.0f);
  return touched;
}

TEST(Cdf97, UpdateLeavesTheStatedSamplesAlone) {
  struct Case {
    std::size_t n;
    std::size_t first_left_alone;
    std::size_t last_left_alone;  // 0: every sample is updated
  };
  const Case cases[] = {{32, 1, 14}, {33, 1, 15}, {34, 1, 15}, {35, 0, 0}, {31, 0, 0},
                        {36, 0, 0},  {64, 17, 30}, {65, 17, 31}, {66, 17, 31}, {67, 0, 0}};
  for (const Case& c : cases) {
    const std::vector<bool> touched = touched_by_update(c.n);
    for (std::size_t i = 0; i < touched.size(); ++i) {
      const bool left_alone = c.last_left_alone != 0 && i >= c.first_left_alone && i <= c.last_left_alone;
      EXPECT_EQ(touched[i], !left_alone) << "n = " << c.n << ", i = " << i;
    }
  }
}

TEST(Cdf97, UpdateCoverageFollowsTheLengthRuleForAllLengths) {
  for (std::size_t n = 4; n <= 400; ++n) {
    const std::vector<bool> touched = touched_by_update(n);
    for (std::size_t i = 0; i < touched.size(); ++i) {
      ASSERT_EQ(touched[i], update_touches(n, i)) << "n = " << n << ", i = " << i;
    }
  }
}

TEST(Cdf97, ForwardAndInverseMatchTheReferenceBitForBit) {
  const NeonCdf97F32 executor;
  std::vector<std::size_t> lengths;
  for (std::size_t n = 4; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {1024u, 1025u, 1026u, 4097u, 10000u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    SCOPED_TRACE(n);
    const std::vector<float> x = test_signal(n);
    const Halves expected = reference_forward(x);
    const Halves actual = forward(executor, x);
    expect_same_bits(actual.approximations, expected.approximations, "approximations");
    expect_same_bits(actual.details, expected.details, "details");

    std::vector<float> output(n);
    ASSERT_TRUE(executor.execute_inverse(actual.approximations, actual.details, output).ok());
    expect_same_bits(output, reference_inverse(actual), "inverse");
  }
}

// The skipped samples matter: a transform updating every interior sample
// would write other coefficients for n = 32.
TEST(Cdf97, CoverageRuleChangesTheCoefficients) {
  const std::vector<float> x = test_signal(32);
  const Halves actual = forward(NeonCdf97F32{}, x);
  const Halves expected = reference_forward(x);
  EXPECT_EQ(actual.approximations, expected.approximations);
  InterleavedLifting full(x);
  full.predict(kAlpha);
  full.update(kBeta);
  full.predict(kGamma);
  full.update(kDelta);
  full.scale(kK, kKPrime);
  EXPECT_NE(actual.approximations, full.evens());
}

TEST(Cdf97, FusionCanary) {
  // Toolchain: the compiler neither drops nor adds fusion.
  volatile float a = 1.0f + 0x1p-12f;
  volatile float c = -(1.0f + 0x1p-11f);
  EXPECT_EQ(std::fma(a, a, c), 0x1p-24f);
  EXPECT_EQ(a * a + c, 0.0f);

  // Transform: choose x1 = -round(alpha * (x0 + x2)), so that the first
  // predict is the rounding error of the product when fused and 0 when not.
  const float s = 1.0f + 0x1p-12f;
  const std::vector<float> x = {s, -(s * kAlpha), 0.0f, 0.25f, 0.5f, -0.75f};
  const Halves fused_reference = reference_forward(x, lifting_test::fused);
  const Halves unfused_reference = reference_forward(x, lifting_test::unfused);
  ASSERT_NE(fused_reference.details, unfused_reference.details);
  const Halves actual = forward(NeonCdf97F32{}, x);
  expect_same_bits(actual.details, fused_reference.details, "details");
  expect_same_bits(actual.approximations, fused_reference.approximations, "approximations");
}

TEST(Cdf97, ReportsItsSizes) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  ASSERT_NE(executor, nullptr);
  EXPECT_EQ(executor->filter_length(), 10u);
  struct Case {
    std::size_t n;
    DwtSize size;
  };
  const Case cases[] = {{0, {2, 2}}, {1, {2, 2}}, {2, {2, 2}}, {3, {2, 2}}, {4, {2, 2}},
                        {5, {3, 2}}, {6, {3, 3}}, {7, {4, 3}}, {33, {17, 16}}};
  for (const Case& c : cases) {
    EXPECT_EQ(executor->dwt_size(c.n), c.size) << c.n;
    EXPECT_EQ(executor->required_scratch_size(c.n), 0u) << c.n;
  }
  EXPECT_EQ(executor->idwt_size({1, 1}), 4u);
  EXPECT_EQ(executor->idwt_size({2, 1}), 4u);
  EXPECT_EQ(executor->idwt_size({2, 2}), 4u);
  EXPECT_EQ(executor->idwt_size({3, 2}), 5u);
  EXPECT_EQ(executor->idwt_size({17, 16}), 33u);
}

TEST(Cdf97, ForwardRejectsBadSizesBeforeWriting) {
  const NeonCdf97F32 executor;
  const lifting_test::ForwardSizeCase cases[] = {
      {3, 2, 1, "Input size 3 can't be less than 4"},
      {0, 0, 0, "Input size 0 can't be less than 4"},
      {8, 5, 4, "Approximate size 5 does not match required size 8"},
      {9, 4, 4, "Approximate size 4 does not match required size 9"},
      {8, 4, 3, "Details size 3 does not match required size 8"},
      {9, 5, 5, "Details size 5 does not match required size 9"},
  };
  lifting_test::expect_forward_rejections(executor, cases);
}

TEST(Cdf97, InverseRejectsBadSizesBeforeWriting) {
  const NeonCdf97F32 executor;
  const lifting_test::InverseSizeCase cases[] = {
      {4, 4, 9, "Output size should be 8, but it was 9"},
      {4, 4, 7, "Output size should be 8, but it was 7"},
      {5, 3, 8, "Approximate size 5 does not match required size 4"},
      {3, 4, 7, "Approximate size 3 does not match required size 4"},
      {1, 1, 2, "Approximate size 1 does not match required size 2"},
      {2, 1, 3, "Details size 1 does not match required size 2"},
      {2, 0, 2, "Details size 0 does not match required size 2"},
  };
  lifting_test::expect_inverse_rejections(executor, cases);
}

TEST(Cdf97, ScratchIsIgnored) {
  const NeonCdf97F32 executor;
  const std::vector<float> x = test_signal(37);
  std::vector<float> approximations(19), details(18), scratch(5, -7.0f);
  ASSERT_TRUE(executor.execute_forward_with_scratch(x, approximations, details, scratch).ok());
  const Halves plain = forward(executor, x);
  EXPECT_EQ(approximations, plain.approximations);
  EXPECT_EQ(details, plain.details);
  EXPECT_EQ(scratch, std::vector<float>(5, -7.0f));
  ASSERT_TRUE(executor.execute_forward_with_scratch(x, approximations, details, {}).ok());
}

TEST(Cdf97, MultiLevelFailures) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  const std::string too_small = "Buffer was too small for provided level";
  const std::vector<float> three = test_signal(3);
  const std::vector<float> ten = test_signal(10);
  for (std::size_t levels : {0u, 1u, 2u}) {
    auto multi = executor->multi_dwt(three, levels);
    ASSERT_FALSE(multi.ok());
    EXPECT_EQ(multi.error().message(), too_small);
    auto single = executor->dwt(three, levels);
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error().message(), too_small);
  }
  // 10 -> 5 -> 3: the third level has too little to work on.
  ASSERT_TRUE(executor->multi_dwt(ten, 2).ok());
  auto multi = executor->multi_dwt(ten, 3);
  ASSERT_FALSE(multi.ok());
  EXPECT_EQ(multi.error().message(), too_small);
  auto single = executor->dwt(ten, 3);
  ASSERT_FALSE(single.ok());
  EXPECT_EQ(single.error().message(), too_small);
  // An absurd level count fails the same way instead of exhausting memory.
  auto absurd = executor->multi_dwt(ten, std::numeric_limits<std::size_t>::max());
  ASSERT_FALSE(absurd.ok());
  EXPECT_EQ(absurd.error().message(), too_small);

  const std::vector<float> approximations = {1, 2};
  const std::vector<float> details = {1, 2};
  for (const MultiDwtRef& view : {MultiDwtRef{approximations, {}}, MultiDwtRef{{}, {details}}}) {
    auto inverse = executor->multi_idwt(view);
    ASSERT_FALSE(inverse.ok());
    EXPECT_EQ(inverse.error().message(), "Zero sized input is not supported");
  }
  // A mismatched level surfaces the single-level error.
  const std::vector<float> wrong = {1, 2, 3, 4, 5};
  auto inverse = executor->multi_idwt(MultiDwtRef{approximations, {wrong, details}});
  ASSERT_FALSE(inverse.ok());
  EXPECT_EQ(inverse.error().message(), "Approximate size 4 does not match required size 5");
}

// Results whose size cannot even be represented are refused with
// CannotAllocate before any sample is read (the spans are never touched).
TEST(Cdf97, UnallocatableResultsReportTheirSize) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  const float sample = 0.0f;
  const std::size_t huge = std::size_t{1} << 60;
  auto inverse = executor->idwt(DwtRef{{&sample, huge}, {&sample, huge}});
  ASSERT_FALSE(inverse.ok());
  EXPECT_EQ(inverse.error().message(), "Cannot allocate 9223372036854775808 bytes to vector");
  auto forward_one = executor->multi_dwt({&sample, std::size_t{1} << 62}, 1);
  ASSERT_FALSE(forward_one.ok());
  EXPECT_EQ(forward_one.error().message(), "Cannot allocate 9223372036854775808 bytes to vector");
  auto forward_dwt = executor->dwt({&sample, std::size_t{1} << 62}, 4);
  ASSERT_FALSE(forward_dwt.ok());
  EXPECT_EQ(forward_dwt.error().message(), "Cannot allocate 9223372036854775808 bytes to vector");
}

TEST(Cdf97, LevelZeroActsAsOne) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  const std::vector<float> x = test_signal(21);
  auto zero = executor->multi_dwt(x, 0);
  auto one = executor->multi_dwt(x, 1);
  ASSERT_TRUE(zero.ok() && one.ok());
  ASSERT_EQ(zero.value().levels.size(), 1u);
  ASSERT_EQ(one.value().levels.size(), 1u);
  const Halves expected = forward(NeonCdf97F32{}, x);
  for (const MultiDwt* m : {&zero.value(), &one.value()}) {
    EXPECT_EQ(m->levels[0].approximations, expected.approximations);
    EXPECT_EQ(m->levels[0].details, expected.details);
  }
  auto dwt_zero = executor->dwt(x, 0);
  ASSERT_TRUE(dwt_zero.ok());
  EXPECT_EQ(dwt_zero.value().approximations, expected.approximations);
  EXPECT_EQ(dwt_zero.value().details, expected.details);
}

TEST(Cdf97, EveryLevelIsTheStepOnThePreviousApproximations) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  const std::vector<float> x = test_signal(75);
  auto multi = executor->multi_dwt(x, 4);  // 75 -> 38 -> 19 -> 10 -> 5
  ASSERT_TRUE(multi.ok());
  const std::vector<Dwt>& levels = multi.value().levels;
  ASSERT_EQ(levels.size(), 4u);
  std::vector<float> input = x;
  const std::size_t sizes[][2] = {{38, 37}, {19, 19}, {10, 9}, {5, 5}};
  for (std::size_t k = 0; k < levels.size(); ++k) {
    EXPECT_EQ(levels[k].approximations.size(), sizes[k][0]);
    EXPECT_EQ(levels[k].details.size(), sizes[k][1]);
    const Halves expected = forward(NeonCdf97F32{}, input);
    expect_same_bits(levels[k].approximations, expected.approximations, "approximations");
    expect_same_bits(levels[k].details, expected.details, "details");
    input = levels[k].approximations;
  }
  auto last = executor->dwt(x, 4);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last.value().approximations, levels.back().approximations);
  EXPECT_EQ(last.value().details, levels.back().details);
}

TEST(Cdf97, ReconstructsEveryLength) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  std::vector<std::size_t> lengths;
  for (std::size_t n = 4; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {4096u, 65537u, 262144u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    const std::vector<float> x = test_signal(n);
    for (std::size_t levels : {std::size_t{1}, lifting_test::deepest_levels(n, NeonCdf97F32::kMinimumLength)}) {
      auto decomposition = executor->multi_dwt(x, levels);
      ASSERT_TRUE(decomposition.ok()) << n;
      auto reconstruction = executor->multi_idwt(lifting_test::view_of(decomposition.value()));
      ASSERT_TRUE(reconstruction.ok()) << n;
      ASSERT_EQ(reconstruction.value().size(), n);
      EXPECT_LE(lifting_test::max_abs_difference(reconstruction.value(), x),
                lifting_test::reconstruction_tolerance(x, levels))
          << "n = " << n << ", levels = " << levels;
    }
  }
}

TEST(Cdf97, SharedExecutorGivesTheSameResultsOnTwoThreads) {
  const DwtExecutorHandle executor = make_cdf97_f32();
  const std::vector<float> first = test_signal(5000, 1);
  const std::vector<float> second = test_signal(4099, 2);
  auto run = [&](const std::vector<float>& x) {
    std::vector<float> flat;
    for (int repeat = 0; repeat < 20; ++repeat) {
      auto m = executor->multi_dwt(x, 6);
      if (!m.ok()) return std::vector<float>{};
      flat.clear();
      for (const Dwt& level : m.value().levels) {
        flat.insert(flat.end(), level.approximations.begin(), level.approximations.end());
        flat.insert(flat.end(), level.details.begin(), level.details.end());
      }
    }
    return flat;
  };
  const std::vector<float> expected_first = run(first);
  const std::vector<float> expected_second = run(second);
  ASSERT_FALSE(expected_first.empty());
  std::vector<float> got_first, got_second;
  std::thread a([&] { got_first = run(first); });
  std::thread b([&] { got_second = run(second); });
  a.join();
  b.join();
  EXPECT_EQ(got_first, expected_first);
  EXPECT_EQ(got_second, expected_second);
}

}  // namespace
}  // namespace quorvane::wavelet
