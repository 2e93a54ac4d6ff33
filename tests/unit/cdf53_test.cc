#include "cdf53f.h"

#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane/wavelet/factory.h"
#include "unit/lifting_test_util.h"

namespace quorvane::wavelet {
namespace {

using lifting_test::expect_same_bits;
using lifting_test::InterleavedLifting;
using lifting_test::test_signal;

struct Halves {
  std::vector<float> approximations;
  std::vector<float> details;
};

Halves reference_forward(const std::vector<float>& x) {
  InterleavedLifting y(x);
  y.predict(-0.5f);
  y.update(0.25f);
  return {y.evens(), y.odds()};
}

std::vector<float> reference_inverse(const Halves& halves) {
  InterleavedLifting y(InterleavedLifting::interleaved(halves.approximations, halves.details));
  y.update(-0.25f);
  y.predict(0.5f);
  return y.samples();
}

Halves forward(const std::vector<float>& x) {
  Halves out{std::vector<float>(x.size() - x.size() / 2), std::vector<float>(x.size() / 2)};
  const WaveletStatus status = Cdf53{}.execute_forward(x, out.approximations, out.details);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return out;
}

TEST(Cdf53, SixSamplesGiveTheKnownValues) {
  const Halves out = forward({1, 2, 3, 4, 5, 6});
  // The last detail mirrors x[4]: 6 - (5 + 5) / 2 = 1.
  EXPECT_EQ(out.approximations, (std::vector<float>{1.0f, 3.0f, 5.25f}));
  EXPECT_EQ(out.details, (std::vector<float>{0.0f, 0.0f, 1.0f}));
}

TEST(Cdf53, ThreeSampleBordersMirrorTheOnlyDetail) {
  for (std::uint32_t seed = 0; seed < 20; ++seed) {
    const std::vector<float> x = test_signal(3, seed);
    const float d0 = std::fma(x[0] + x[2], -0.5f, x[1]);
    const float a0 = std::fma(d0 + d0, 0.25f, x[0]);
    const float a1 = std::fma(d0 + d0, 0.25f, x[2]);
    const Halves out = forward(x);
    expect_same_bits(out.approximations, std::vector<float>{a0, a1}, "approximations");
    expect_same_bits(out.details, std::vector<float>{d0}, "details");
  }
}

// Evens 0 and odds 1 give details of 1 everywhere, so every updated
// approximation is 0.5; none is left out, whatever the length.
TEST(Cdf53, UpdateReachesEveryInteriorSample) {
  for (std::size_t n = 3; n <= 200; ++n) {
    std::vector<float> x(n);
    for (std::size_t i = 1; i < n; i += 2) x[i] = 1.0f;
    const Halves out = forward(x);
    EXPECT_EQ(out.details, std::vector<float>(n / 2, 1.0f)) << n;
    EXPECT_EQ(out.approximations, std::vector<float>(n - n / 2, 0.5f)) << n;
  }
}

TEST(Cdf53, ForwardAndInverseMatchTheReferenceBitForBit) {
  const Cdf53 executor;
  std::vector<std::size_t> lengths;
  for (std::size_t n = 3; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {1024u, 1025u, 4097u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    SCOPED_TRACE(n);
    const std::vector<float> x = test_signal(n);
    const Halves expected = reference_forward(x);
    const Halves actual = forward(x);
    expect_same_bits(actual.approximations, expected.approximations, "approximations");
    expect_same_bits(actual.details, expected.details, "details");

    std::vector<float> output(n);
    ASSERT_TRUE(executor.execute_inverse(actual.approximations, actual.details, output).ok());
    expect_same_bits(output, reference_inverse(actual), "inverse");
  }
}

TEST(Cdf53, ReportsItsSizes) {
  const DwtExecutorHandle executor = make_cdf53_f32();
  ASSERT_NE(executor, nullptr);
  EXPECT_EQ(executor->filter_length(), 6u);
  struct Case {
    std::size_t n;
    DwtSize size;
  };
  const Case cases[] = {{0, {2, 1}}, {1, {2, 1}}, {2, {2, 1}}, {3, {2, 1}},
                        {4, {2, 2}}, {5, {3, 2}}, {6, {3, 3}}, {33, {17, 16}}};
  for (const Case& c : cases) {
    EXPECT_EQ(executor->dwt_size(c.n), c.size) << c.n;
    EXPECT_EQ(executor->required_scratch_size(c.n), 0u) << c.n;
  }
  EXPECT_EQ(executor->idwt_size({1, 1}), 3u);
  EXPECT_EQ(executor->idwt_size({2, 0}), 3u);
  EXPECT_EQ(executor->idwt_size({2, 1}), 3u);
  EXPECT_EQ(executor->idwt_size({2, 2}), 4u);
  EXPECT_EQ(executor->idwt_size({17, 16}), 33u);
}

TEST(Cdf53, ForwardRejectsBadSizesBeforeWriting) {
  const Cdf53 executor;
  const lifting_test::ForwardSizeCase cases[] = {
      {2, 1, 1, "Input size 2 can't be less than 3"},
      {0, 0, 0, "Input size 0 can't be less than 3"},
      {6, 4, 3, "Approximate size 4 does not match required size 6"},
      {3, 1, 1, "Approximate size 1 does not match required size 3"},
      {6, 3, 2, "Details size 2 does not match required size 6"},
      {7, 4, 4, "Details size 4 does not match required size 7"},
  };
  lifting_test::expect_forward_rejections(executor, cases);
}

TEST(Cdf53, InverseRejectsBadSizesBeforeWriting) {
  const Cdf53 executor;
  const lifting_test::InverseSizeCase cases[] = {
      {3, 3, 7, "Output size should be 6, but it was 7"},
      {2, 1, 2, "Output size should be 3, but it was 2"},
      {2, 0, 2, "Details size 0 does not match required size 1"},
      {1, 1, 2, "Approximate size 1 does not match required size 2"},
      {4, 2, 6, "Approximate size 4 does not match required size 3"},
      {2, 3, 5, "Approximate size 2 does not match required size 3"},
  };
  lifting_test::expect_inverse_rejections(executor, cases);
}

TEST(Cdf53, MultiLevelFailures) {
  const DwtExecutorHandle executor = make_cdf53_f32();
  const std::string too_small = "Buffer was too small for provided level";
  const std::vector<float> two = {1.0f, 2.0f};
  const std::vector<float> six = test_signal(6);
  for (std::size_t levels : {0u, 1u, 2u}) {
    auto multi = executor->multi_dwt(two, levels);
    ASSERT_FALSE(multi.ok());
    EXPECT_EQ(multi.error().message(), too_small);
    auto single = executor->dwt(two, levels);
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error().message(), too_small);
  }
  // 6 -> 3 -> 2: the third level has too little to work on.
  ASSERT_TRUE(executor->multi_dwt(six, 2).ok());
  ASSERT_TRUE(executor->dwt(six, 2).ok());
  auto multi = executor->multi_dwt(six, 3);
  ASSERT_FALSE(multi.ok());
  EXPECT_EQ(multi.error().message(), too_small);
  auto single = executor->dwt(six, 3);
  ASSERT_FALSE(single.ok());
  EXPECT_EQ(single.error().message(), too_small);

  const std::vector<float> approximations = {1, 2};
  const std::vector<float> details = {1};
  for (const MultiDwtRef& view : {MultiDwtRef{approximations, {}}, MultiDwtRef{{}, {details}}}) {
    auto inverse = executor->multi_idwt(view);
    ASSERT_FALSE(inverse.ok());
    EXPECT_EQ(inverse.error().message(), "Zero sized input is not supported");
  }
  // 2 + 1 gives 3 samples; a finer band of 1 detail does not pair with them.
  auto inverse = executor->multi_idwt(MultiDwtRef{approximations, {details, details}});
  ASSERT_FALSE(inverse.ok());
  EXPECT_EQ(inverse.error().message(), "Approximate size 3 does not match required size 2");
}

TEST(Cdf53, LevelsAndLevelZero) {
  const DwtExecutorHandle executor = make_cdf53_f32();
  const std::vector<float> x = test_signal(23);
  auto zero = executor->multi_dwt(x, 0);
  auto one = executor->multi_dwt(x, 1);
  ASSERT_TRUE(zero.ok() && one.ok());
  ASSERT_EQ(zero.value().levels.size(), 1u);
  ASSERT_EQ(one.value().levels.size(), 1u);
  const Halves expected = forward(x);
  for (const MultiDwt* m : {&zero.value(), &one.value()}) {
    EXPECT_EQ(m->levels[0].approximations, expected.approximations);
    EXPECT_EQ(m->levels[0].details, expected.details);
  }

  auto deep = executor->multi_dwt(x, 4);  // 23 -> 12 -> 6 -> 3 -> 2
  ASSERT_TRUE(deep.ok());
  ASSERT_EQ(deep.value().levels.size(), 4u);
  std::vector<float> input = x;
  for (const Dwt& level : deep.value().levels) {
    const Halves step = forward(input);
    expect_same_bits(level.approximations, step.approximations, "approximations");
    expect_same_bits(level.details, step.details, "details");
    input = level.approximations;
  }
  EXPECT_EQ(deep.value().levels.back().approximations.size(), 2u);
  auto last = executor->dwt(x, 4);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last.value().approximations, deep.value().levels.back().approximations);
  EXPECT_EQ(last.value().details, deep.value().levels.back().details);
}

TEST(Cdf53, ReconstructsEveryLength) {
  const DwtExecutorHandle executor = make_cdf53_f32();
  std::vector<std::size_t> lengths;
  for (std::size_t n = 3; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {4096u, 65537u, 262144u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    const std::vector<float> x = test_signal(n);
    for (std::size_t levels : {std::size_t{1}, lifting_test::deepest_levels(n, Cdf53::kMinimumLength)}) {
      auto decomposition = executor->multi_dwt(x, levels);
      ASSERT_TRUE(decomposition.ok()) << n;
      auto reconstruction = executor->multi_idwt(lifting_test::view_of(decomposition.value()));
      ASSERT_TRUE(reconstruction.ok()) << n;
      ASSERT_EQ(reconstruction.value().size(), n);
      EXPECT_LE(lifting_test::max_abs_difference(reconstruction.value(), x),
                lifting_test::reconstruction_tolerance(x, levels, 2.0f))
          << "n = " << n << ", levels = " << levels;
    }
  }
}

TEST(Cdf53, SharedExecutorGivesTheSameResultsOnTwoThreads) {
  const DwtExecutorHandle executor = make_cdf53_f32();
  const std::vector<float> first = test_signal(5000, 1);
  const std::vector<float> second = test_signal(4099, 2);
  auto run = [&](const std::vector<float>& x) {
    std::vector<float> flat;
    for (int repeat = 0; repeat < 20; ++repeat) {
      auto m = executor->multi_dwt(x, 6);
      if (!m.ok()) return std::vector<float>{};
      auto back = executor->multi_idwt(lifting_test::view_of(m.value()));
      if (!back.ok()) return std::vector<float>{};
      flat = back.value();
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
