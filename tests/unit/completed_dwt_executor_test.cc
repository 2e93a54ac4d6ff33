// The multi-level driver around the filter banks: level lengths, the checks
// before every level, trimming in multi_idwt, every error path, and sharing
// one executor between threads.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "completed_dwt_executor.h"
#include "neon/fixed_taps_filter_bank.h"
#include "neon/wavelet2taps_f32.h"
#include "neon/wavelet_n_taps_f32.h"
#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {
namespace {

std::vector<float> random_signal(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

std::shared_ptr<const CompletedDwtExecutor> completed(IncompleteDwtExecutorHandle inner) {
  const std::size_t length = inner->filter_length();
  return std::make_shared<const CompletedDwtExecutor>(std::move(inner), length);
}

std::shared_ptr<const CompletedDwtExecutor> db4(BorderMode mode = BorderMode::Wrap) {
  return completed(
      std::make_shared<const NeonWavelet8TapsF32>(mode, get_wavelet(DaubechiesFamily::Db4)));
}

MultiDwtRef view(const MultiDwt& decomposition) {
  MultiDwtRef ref{decomposition.levels.back().approximations, {}};
  for (const Dwt& level : decomposition.levels) ref.details.push_back(level.details);
  return ref;
}

std::vector<std::size_t> level_lengths(const MultiDwt& decomposition) {
  std::vector<std::size_t> lengths;
  for (const Dwt& level : decomposition.levels) {
    EXPECT_EQ(level.approximations.size(), level.details.size());
    lengths.push_back(level.approximations.size());
  }
  return lengths;
}

void expect_same_bits(std::span<const float> actual, std::span<const float> expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(actual[i]), std::bit_cast<std::uint32_t>(expected[i]))
        << "at " << i;
  }
}

// An inner executor with scripted sizes and failures.
class ScriptedInner final : public IncompleteDwtExecutor {
 public:
  std::size_t reported_filter_length = 4;
  std::size_t forward_size = 0;  // 0: half the input, rounded up
  std::size_t inverse_size = 0;
  std::size_t failing_forward_call = SIZE_MAX;
  mutable std::size_t forward_calls = 0;

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> a,
                                std::span<float> d) const override {
    if (forward_calls++ == failing_forward_call) return Err{WaveletError::overflow()};
    for (std::size_t k = 0; k < a.size(); ++k) {
      a[k] = input[(2 * k) % input.size()];
      d[k] = -a[k];
    }
    return {};
  }
  WaveletStatus execute_forward_with_scratch(std::span<const float>, std::span<float>,
                                             std::span<float>, std::span<float>) const override {
    return Err{WaveletError::input_not_divisible(3)};
  }
  std::size_t required_scratch_size(std::size_t n) const override { return n + 11; }
  DwtSize dwt_size(std::size_t n) const override {
    const std::size_t m = forward_size != 0 ? forward_size : (n + 1) / 2;
    return {m, m};
  }
  WaveletStatus execute_inverse(std::span<const float>, std::span<const float>,
                                std::span<float>) const override {
    return Err{WaveletError::zero_or_odd_sized_wavelet()};
  }
  std::size_t idwt_size(DwtSize size) const override {
    return inverse_size != 0 ? inverse_size : 2 * size.approximations;
  }
  std::size_t filter_length() const override { return reported_filter_length; }
};

// ---------------------------------------------------------------------------
// multi_dwt and dwt

TEST(CompletedDwtExecutor, MultiDwtLevelLengthsFinestFirst) {
  const auto executor = db4();
  const std::vector<float> x64 = random_signal(64, 1);
  const auto three = executor->multi_dwt(x64, 3);
  ASSERT_TRUE(three.ok());
  EXPECT_EQ(level_lengths(three.value()), (std::vector<std::size_t>{35, 21, 14}));

  const auto odd = executor->multi_dwt(random_signal(63, 2), 3);
  ASSERT_TRUE(odd.ok());
  EXPECT_EQ(level_lengths(odd.value()), (std::vector<std::size_t>{35, 21, 14}));

  // 10 >= 8, so the third level of a 20-sample signal runs; so does a fourth
  // on 8 samples, but not a fifth on 7.
  const std::vector<float> x20 = random_signal(20, 3);
  EXPECT_EQ(level_lengths(executor->multi_dwt(x20, 3).value()),
            (std::vector<std::size_t>{13, 10, 8}));
  EXPECT_EQ(level_lengths(executor->multi_dwt(x20, 4).value()),
            (std::vector<std::size_t>{13, 10, 8, 7}));
  EXPECT_EQ(executor->multi_dwt(x20, 5).error().message(), "Buffer was too small for provided level");
}

TEST(CompletedDwtExecutor, ShortInputsFailDifferentlyForOneAndSeveralLevels) {
  const auto executor = db4();
  const std::vector<float> x7 = random_signal(7, 4);
  EXPECT_EQ(executor->multi_dwt(x7, 2).error().message(), "Buffer was too small for provided level");
  EXPECT_EQ(executor->multi_dwt(x7, 1).error().message(), "Input size 7 can't be less than 8");
  EXPECT_EQ(executor->multi_dwt(x7, 0).error().message(), "Input size 7 can't be less than 8");
  EXPECT_EQ(executor->dwt(x7, 2).error(), WaveletError::buffer_too_small_for_level());
  EXPECT_EQ(executor->dwt(x7, 1).error(), WaveletError::input_too_short(7, 8));
  EXPECT_EQ(executor->dwt(x7, 0).error(), WaveletError::input_too_short(7, 8));
  EXPECT_EQ(executor->multi_dwt({}, 3).error(), WaveletError::buffer_too_small_for_level());
  EXPECT_EQ(executor->multi_dwt({}, 1).error(), WaveletError::input_too_short(0, 8));
}

TEST(CompletedDwtExecutor, LevelsAreTheInnerStepsChained) {
  const auto executor = db4();
  const NeonWavelet8TapsF32& inner = static_cast<const NeonWavelet8TapsF32&>(*executor->inner());
  for (std::size_t n : {8, 9, 31, 64, 100, 257}) {
    const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
    const auto decomposition = executor->multi_dwt(x, 4);
    if (!decomposition.ok()) {
      EXPECT_EQ(decomposition.error(), WaveletError::buffer_too_small_for_level());
      continue;
    }
    std::vector<float> current = x;
    for (const Dwt& level : decomposition.value().levels) {
      const DwtSize size = inner.dwt_size(current.size());
      std::vector<float> a(size.approximations), d(size.details);
      ASSERT_TRUE(inner.execute_forward(current, a, d).ok());
      expect_same_bits(level.approximations, a);
      expect_same_bits(level.details, d);
      current = a;
    }
    // dwt keeps only the last level of the same chain.
    const auto last = executor->dwt(x, 4);
    ASSERT_TRUE(last.ok());
    expect_same_bits(last.value().approximations, decomposition.value().levels.back().approximations);
    expect_same_bits(last.value().details, decomposition.value().levels.back().details);
  }
}

TEST(CompletedDwtExecutor, LevelZeroActsAsOne) {
  const auto executor = db4();
  const std::vector<float> x = random_signal(50, 5);
  const MultiDwt zero = executor->multi_dwt(x, 0).value();
  const MultiDwt one = executor->multi_dwt(x, 1).value();
  ASSERT_EQ(zero.levels.size(), 1u);
  ASSERT_EQ(one.levels.size(), 1u);
  expect_same_bits(zero.levels[0].approximations, one.levels[0].approximations);
  expect_same_bits(zero.levels[0].details, one.levels[0].details);
  const Dwt dwt0 = executor->dwt(x, 0).value();
  expect_same_bits(dwt0.approximations, one.levels[0].approximations);
  expect_same_bits(dwt0.details, one.levels[0].details);
}

TEST(CompletedDwtExecutor, AbsurdLevelCountsEndInBufferTooSmall) {
  const auto executor = db4();
  const std::vector<float> x = random_signal(1000, 6);
  EXPECT_EQ(executor->multi_dwt(x, SIZE_MAX).error(), WaveletError::buffer_too_small_for_level());
  EXPECT_EQ(executor->dwt(x, SIZE_MAX).error(), WaveletError::buffer_too_small_for_level());
}

// ---------------------------------------------------------------------------
// idwt and multi_idwt

TEST(CompletedDwtExecutor, MultiIdwtCutsIntermediateReconstructions) {
  const auto executor = db4();
  for (std::size_t n : {64, 63}) {
    const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
    const MultiDwt decomposition = executor->multi_dwt(x, 3).value();
    const auto y = executor->multi_idwt(view(decomposition));
    ASSERT_TRUE(y.ok()) << y.error().message();
    ASSERT_EQ(y.value().size(), 64u);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(y.value()[i], x[i], 2e-5f) << n << " " << i;
  }
  // The coarsest synthesis of 14 pairs gives 22 samples, cut to 21; the next
  // gives 36, cut to 35.
  const MultiDwt decomposition = executor->multi_dwt(random_signal(64, 7), 3).value();
  EXPECT_EQ(executor->idwt_size({14, 14}), 22u);
  EXPECT_EQ(executor->idwt_size({21, 21}), 36u);
  EXPECT_EQ(executor->idwt_size({35, 35}), 64u);
}

TEST(CompletedDwtExecutor, MultiIdwtEqualsIdwtStepsByHand) {
  const auto executor = db4();
  const std::vector<float> x = random_signal(77, 8);
  const MultiDwt decomposition = executor->multi_dwt(x, 3).value();
  const auto& levels = decomposition.levels;
  std::vector<float> y = executor->idwt({levels[2].approximations, levels[2].details}).value();
  for (std::size_t i = 2; i-- > 0;) {
    y.resize(levels[i].details.size());
    y = executor->idwt({y, levels[i].details}).value();
  }
  expect_same_bits(executor->multi_idwt(view(decomposition)).value(), y);
}

TEST(CompletedDwtExecutor, IdwtIsOneZeroFilledInverseStep) {
  const auto executor = db4();
  const std::vector<float> a = random_signal(30, 9), d = random_signal(30, 10);
  std::vector<float> expected(54, 0.0f);
  ASSERT_TRUE(executor->inner()->execute_inverse(a, d, expected).ok());
  expect_same_bits(executor->idwt({a, d}).value(), expected);
  EXPECT_EQ(executor->idwt({std::span(a).first(5), std::span(d).first(4)}).error().message(),
            "Approx and details must match, but they don't 5x4");
  // Two pairs cover no sample of an 8-tap synthesis: an empty result rather
  // than a wrapped-around length.
  const auto tiny = executor->idwt({std::span(a).first(2), std::span(d).first(2)});
  ASSERT_TRUE(tiny.ok());
  EXPECT_TRUE(tiny.value().empty());
  EXPECT_EQ(executor->multi_idwt({std::span(a).first(2), {std::span(d).first(3), std::span(d).first(2)}})
                .error(),
            WaveletError::approx_details_mismatch(0, 3));
}

TEST(CompletedDwtExecutor, MultiIdwtRefusals) {
  const auto executor = db4();
  const std::vector<float> a = random_signal(14, 11), d14 = random_signal(14, 12),
                           d13 = random_signal(13, 13), d30 = random_signal(30, 14);
  EXPECT_EQ(executor->multi_idwt({a, {}}).error().message(), "Zero sized input is not supported");
  EXPECT_EQ(executor->multi_idwt({{}, {d14}}).error().message(),
            "Zero sized input is not supported");
  // Coarsest approximations and details of different lengths.
  EXPECT_EQ(executor->multi_idwt({a, {d13}}).error(), WaveletError::approx_details_mismatch(14, 13));
  EXPECT_EQ(executor->multi_idwt({a, {d14, d13}}).error(),
            WaveletError::approx_details_mismatch(14, 13));
  // 14 pairs give 22 samples: too few for 30 finer details.
  EXPECT_EQ(executor->multi_idwt({a, {d30, d14}}).error(),
            WaveletError::approx_details_mismatch(22, 30));
}

TEST(CompletedDwtExecutor, ReconstructsThroughEveryMemberAndMode) {
  const std::vector<IncompleteDwtExecutorHandle (*)(BorderMode)> makers = {
      [](BorderMode m) -> IncompleteDwtExecutorHandle {
        return std::make_shared<const NeonWavelet2TapsF32>(m, get_wavelet(DaubechiesFamily::Db1));
      },
      [](BorderMode m) -> IncompleteDwtExecutorHandle {
        return std::make_shared<const NeonWavelet4TapsF32>(m, get_wavelet(SymletFamily::Sym2));
      },
      [](BorderMode m) -> IncompleteDwtExecutorHandle {
        return std::make_shared<const NeonWavelet8TapsF32>(m, get_wavelet(SymletFamily::Sym4));
      },
      [](BorderMode m) -> IncompleteDwtExecutorHandle {
        return std::make_shared<const NeonWavelet12TapsF32>(m, get_wavelet(DaubechiesFamily::Db6));
      },
      [](BorderMode m) { return wavelet_n_taps(m, get_wavelet(DaubechiesFamily::Db7)); },
  };
  for (auto make : makers) {
    for (BorderMode mode : {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                            BorderMode::Reflect101, BorderMode::Zeros}) {
      const auto executor = completed(make(mode));
      const std::size_t taps = executor->filter_length();
      for (std::size_t n = 4 * taps; n < 4 * taps + 40; n += 3) {
        const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
        for (std::size_t levels : {1, 2, 3}) {
          const auto decomposition = executor->multi_dwt(x, levels);
          ASSERT_TRUE(decomposition.ok()) << decomposition.error().message();
          const auto y = executor->multi_idwt(view(decomposition.value()));
          ASSERT_TRUE(y.ok()) << y.error().message();
          ASSERT_EQ(y.value().size(), n + n % 2);
          for (std::size_t i = 0; i < n; ++i) {
            ASSERT_NEAR(y.value()[i], x[i], 5e-5f)
                << taps << " taps, mode " << static_cast<int>(mode) << ", n " << n << ", "
                << levels << " levels, i " << i;
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Forwarding, errors of the inner executor, allocation failures

TEST(CompletedDwtExecutor, ForwardsSingleLevelOperationsAndCachesTheFilterLength) {
  auto inner = std::make_shared<ScriptedInner>();
  const CompletedDwtExecutor executor(inner, 4);
  inner->reported_filter_length = 99;
  EXPECT_EQ(executor.filter_length(), 4u);
  EXPECT_EQ(executor.required_scratch_size(5), 16u);
  EXPECT_EQ(executor.dwt_size(9), (DwtSize{5, 5}));
  EXPECT_EQ(executor.idwt_size({5, 5}), 10u);
  std::vector<float> buffer(8);
  EXPECT_EQ(executor.execute_forward_with_scratch(buffer, buffer, buffer, buffer).error(),
            WaveletError::input_not_divisible(3));
  EXPECT_EQ(executor.execute_inverse(buffer, buffer, buffer).error(),
            WaveletError::zero_or_odd_sized_wavelet());
}

TEST(CompletedDwtExecutor, InnerErrorsComeBackUnchanged) {
  auto inner = std::make_shared<ScriptedInner>();
  const CompletedDwtExecutor executor(inner, 4);
  const std::vector<float> x = random_signal(64, 15);
  inner->failing_forward_call = 2;  // the third level
  EXPECT_EQ(executor.multi_dwt(x, 5).error(), WaveletError::overflow());
  inner->forward_calls = 0;
  EXPECT_EQ(executor.dwt(x, 5).error(), WaveletError::overflow());
  inner->forward_calls = 0;
  inner->failing_forward_call = 0;
  EXPECT_EQ(executor.multi_dwt(x, 1).error(), WaveletError::overflow());
  const std::vector<float> a(4, 1.0f);
  EXPECT_EQ(executor.idwt({a, a}).error(), WaveletError::zero_or_odd_sized_wavelet());
  EXPECT_EQ(executor.multi_idwt({a, {a}}).error(), WaveletError::zero_or_odd_sized_wavelet());
}

TEST(CompletedDwtExecutor, UnallocatableCoefficientBuffersAreReported) {
  // More floats than a vector can hold: the allocation fails without ending
  // the process.
  constexpr std::size_t kHuge = std::size_t{1} << 61;
  auto inner = std::make_shared<ScriptedInner>();
  const CompletedDwtExecutor executor(inner, 4);
  const std::vector<float> x = random_signal(64, 16);
  inner->forward_size = kHuge;
  EXPECT_EQ(executor.multi_dwt(x, 1).error(), WaveletError::cannot_allocate(kHuge * sizeof(float)));
  EXPECT_EQ(executor.multi_dwt(x, 3).error(), WaveletError::cannot_allocate(kHuge * sizeof(float)));
  EXPECT_EQ(executor.dwt(x, 2).error(), WaveletError::cannot_allocate(kHuge * sizeof(float)));
  inner->forward_size = 0;
  inner->inverse_size = kHuge;
  const std::vector<float> a(4, 1.0f);
  EXPECT_EQ(executor.idwt({a, a}).error(), WaveletError::cannot_allocate(kHuge * sizeof(float)));
  EXPECT_EQ(executor.multi_idwt({a, {a}}).error(),
            WaveletError::cannot_allocate(kHuge * sizeof(float)));
}

// ---------------------------------------------------------------------------
// Threads

TEST(CompletedDwtExecutor, ThreadsSharingOneExecutorGetTheSingleThreadResults) {
  const auto executor = db4();
  std::vector<std::vector<float>> signals;
  for (std::uint32_t s = 0; s < 2; ++s) signals.push_back(random_signal(4096 + 37 * s, 100 + s));
  std::vector<MultiDwt> expected;
  for (const auto& x : signals) expected.push_back(executor->multi_dwt(x, 6).value());

  std::array<std::vector<MultiDwt>, 2> results;
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        auto r = executor->multi_dwt(signals[t], 6);
        if (r.ok()) results[t].push_back(std::move(r).value());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < 2; ++t) {
    ASSERT_EQ(results[t].size(), 20u);
    for (const MultiDwt& r : results[t]) {
      ASSERT_EQ(r.levels.size(), expected[t].levels.size());
      for (std::size_t l = 0; l < r.levels.size(); ++l) {
        expect_same_bits(r.levels[l].approximations, expected[t].levels[l].approximations);
        expect_same_bits(r.levels[l].details, expected[t].levels[l].details);
      }
    }
  }
}

}  // namespace
}  // namespace quorvane::wavelet
