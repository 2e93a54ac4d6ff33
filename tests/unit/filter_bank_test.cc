// The convolution filter banks, one analysis and one synthesis step: sizes,
// refusals and their messages, window geometry under every border mode, the
// exact rounding of every output against plain reference code, and
// reconstruction for every order of both families.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "filter_padding.h"
#include "filter_bank_variants.h"
#include "neon/fixed_taps_filter_bank.h"
#include "neon/wavelet2taps_f32.h"
#include "neon/wavelet_n_taps_f32.h"
#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {
namespace {

constexpr BorderMode kAllModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                                    BorderMode::Reflect101, BorderMode::Zeros};

// db4 and sym4 as the factory narrows them.
constexpr std::array<float, 8> kDb4 = {0.2303778133088965f,    0.7148465705529157f,
                                       0.6308807679298589f,    -0.027983769416859854f,
                                       -0.18703481171909309f,  0.030841381835560764f,
                                       0.0328830116668852f,    -0.010597401785069032f};
constexpr std::array<float, 8> kSym4 = {0.0322231006040427f,   -0.012603967262037833f,
                                        -0.09921954357684722f, 0.29785779560527736f,
                                        0.8037387518059161f,   0.49761866763201545f,
                                        -0.02963552764599851f, -0.07576571478927333f};

std::vector<float> random_signal(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

std::vector<float> mirror(std::span<const float> low) {
  std::vector<float> high(low.size());
  for (std::size_t j = 0; j < low.size(); ++j) {
    high[j] = (j % 2 == 0 ? 1.0f : -1.0f) * low[low.size() - 1 - j];
  }
  return high;
}

// Every member for a tap vector of its count (the general one otherwise).
IncompleteDwtExecutorHandle filter_bank(BorderMode mode, std::span<const float> taps) {
  switch (taps.size()) {
    case 2: return std::make_shared<NeonWavelet2TapsF32>(mode, taps);
    case 4: return std::make_shared<NeonWavelet4TapsF32>(mode, taps);
    case 6: return std::make_shared<NeonWavelet6TapsF32>(mode, taps);
    case 8: return std::make_shared<NeonWavelet8TapsF32>(mode, taps);
    case 10: return std::make_shared<NeonWavelet10TapsF32>(mode, taps);
    case 12: return std::make_shared<NeonWavelet12TapsF32>(mode, taps);
    case 16: return std::make_shared<NeonWavelet16TapsF32>(mode, taps);
    default:
      return std::make_shared<NeonWaveletNTapsF32>(
          mode, std::vector<float>(taps.begin(), taps.end()), mirror(taps));
  }
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

void expect_same_bits(std::span<const float> actual, std::span<const float> expected,
                      const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(bits(actual[i]), bits(expected[i]))
        << what << " at " << i << ": " << actual[i] << " vs " << expected[i];
  }
}

// ---------------------------------------------------------------------------
// Plain reference code, written straight from the rules of each member.

// x~(i) with the table rules; `reflect101_as_reflect` is how the 4- to 16-tap
// members treat Reflect101.
float reference_border(std::span<const float> x, long i, BorderMode mode,
                       bool reflect101_as_reflect) {
  const long n = static_cast<long>(x.size());
  if (i >= 0 && i < n) return x[i];
  if (mode == BorderMode::Reflect101 && reflect101_as_reflect) mode = BorderMode::Reflect;
  switch (mode) {
    case BorderMode::Clamp: return i < 0 ? x[0] : x[n - 1];
    case BorderMode::Wrap: return i < 0 ? x[i + n] : x[i - n];
    case BorderMode::Reflect: return i < 0 ? x[-1 - i] : x[2 * n - 1 - i];
    case BorderMode::Reflect101:
      if (n == 1) return x[0];
      return i < 0 ? x[-i] : x[2 * n - 2 - i];
    default: return 0.0f;
  }
}

struct Branches {
  std::vector<float> approximations;
  std::vector<float> details;
};

// The 8-tap member exactly as described: lanes fma(c[j+4], w[j+4], c[j]*w[j]);
// outputs 0-2, the right border and an unpaired last interior output singly.
Branches reference_forward_8(std::span<const float> lp, std::span<const float> x,
                             BorderMode mode) {
  const std::vector<float> hp = mirror(lp);
  const long n = static_cast<long>(x.size());
  const long m = (n + 7) / 2;
  const long interior = n / 2 - 3;
  Branches out{std::vector<float>(m), std::vector<float>(m)};
  for (long k = 0; k < m; ++k) {
    float w[8];
    for (long j = 0; j < 8; ++j) w[j] = reference_border(x, 2 * k - 6 + j, mode, true);
    const bool single = k <= 2 || k >= n / 2 || (interior % 2 == 1 && k == n / 2 - 1);
    for (int branch = 0; branch < 2; ++branch) {
      const float* c = branch == 0 ? lp.data() : hp.data();
      float p[4];
      for (int j = 0; j < 4; ++j) p[j] = std::fma(c[j + 4], w[j + 4], c[j] * w[j]);
      const float v = single ? (p[0] + p[2]) + (p[1] + p[3]) : (p[0] + p[1]) + (p[2] + p[3]);
      (branch == 0 ? out.approximations : out.details)[k] = v;
    }
  }
  return out;
}

// The 4- to 16-tap members: lane j accumulates taps j, j+4, ... by fma;
// groups of `group` interior outputs from the first interior one, ending at
// n/2 - shortening; everything else singly.
Branches reference_forward_fixed(std::span<const float> lp, std::span<const float> x,
                                 BorderMode mode) {
  const long taps = static_cast<long>(lp.size());
  const long group = taps <= 6 ? 4 : 2;
  const long grouped_end = static_cast<long>(x.size()) / 2 - (taps == 4 ? 1 : 0);
  const long first_interior = taps / 2 - 1;
  const long whole_groups = (grouped_end - first_interior) / group;
  const std::vector<float> hp = mirror(lp);
  const long n = static_cast<long>(x.size());
  const long m = (n + taps - 1) / 2;
  Branches out{std::vector<float>(m), std::vector<float>(m)};
  for (long k = 0; k < m; ++k) {
    std::vector<float> w(taps);
    for (long j = 0; j < taps; ++j) w[j] = reference_border(x, 2 * k - (taps - 2) + j, mode, true);
    const bool grouped = k >= first_interior && k < first_interior + whole_groups * group;
    for (int branch = 0; branch < 2; ++branch) {
      const float* c = branch == 0 ? lp.data() : hp.data();
      float p[4];
      for (long j = 0; j < 4; ++j) {
        p[j] = c[j] * w[j];
        for (long t = j + 4; t < taps; t += 4) p[j] = std::fma(c[t], w[t], p[j]);
      }
      const float v = grouped ? (p[0] + p[1]) + (p[2] + p[3]) : (p[0] + p[2]) + (p[1] + p[3]);
      (branch == 0 ? out.approximations : out.details)[k] = v;
    }
  }
  return out;
}

// The transposed step of the 8-tap member, into `output` as given.
void reference_inverse_8(std::span<const float> lp, std::span<const float> a,
                         std::span<const float> d, std::vector<float>& output) {
  const std::vector<float> hp = mirror(lp);
  const long pairs = static_cast<long>(a.size());
  const long length = static_cast<long>(output.size());
  for (long k = 0; k < pairs; ++k) {
    const bool details_first = length < 16 || k <= 5 || k >= pairs - 4;
    for (long j = 0; j < 8; ++j) {
      const long i = 2 * k - 6 + j;
      if (i < 0 || i >= length) continue;
      if (details_first) {
        output[i] = std::fma(hp[j], d[k], output[i]);
        output[i] = std::fma(lp[j], a[k], output[i]);
      } else {
        output[i] = std::fma(lp[j], a[k], output[i]);
        output[i] = std::fma(hp[j], d[k], output[i]);
      }
    }
  }
}

Branches forward(const IncompleteDwtExecutor& bank, std::span<const float> x) {
  const DwtSize size = bank.dwt_size(x.size());
  Branches out{std::vector<float>(size.approximations), std::vector<float>(size.details)};
  const auto status = bank.execute_forward(x, out.approximations, out.details);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return out;
}

std::vector<float> inverse(const IncompleteDwtExecutor& bank, const Branches& coefficients) {
  std::vector<float> y(bank.idwt_size({coefficients.approximations.size(),
                                       coefficients.details.size()}));
  const auto status = bank.execute_inverse(coefficients.approximations, coefficients.details, y);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return y;
}

// ---------------------------------------------------------------------------
// Sizes

TEST(FilterBankSizes, EightTaps) {
  const NeonWavelet8TapsF32 bank(BorderMode::Wrap, kDb4);
  EXPECT_EQ(bank.filter_length(), 8u);
  EXPECT_EQ(bank.dwt_size(8), (DwtSize{7, 7}));
  EXPECT_EQ(bank.idwt_size({7, 7}), 8u);
  EXPECT_EQ(bank.dwt_size(9), (DwtSize{8, 8}));
  EXPECT_EQ(bank.idwt_size({8, 8}), 10u);
  EXPECT_EQ(bank.required_scratch_size(1000), 0u);
  // Too few pairs to cover any sample: zero, not a wrapped-around length.
  EXPECT_EQ(bank.idwt_size({2, 2}), 0u);
  EXPECT_EQ(bank.idwt_size({0, 0}), 0u);
}

TEST(FilterBankSizes, EveryMemberReconstructsEvenLengthsExactlyAndOddOneLonger) {
  for (std::size_t taps : {2, 4, 6, 8, 10, 12, 14, 16, 18, 48}) {
    const std::vector<float> lp(taps, 0.25f);
    const auto bank = filter_bank(BorderMode::Wrap, lp);
    EXPECT_EQ(bank->filter_length(), taps);
    for (std::size_t n = taps; n < taps + 9; ++n) {
      const DwtSize size = bank->dwt_size(n);
      EXPECT_EQ(size.approximations, (n + taps - 1) / 2);
      EXPECT_EQ(size.details, size.approximations);
      EXPECT_EQ(bank->idwt_size(size), n % 2 == 0 ? n : n + 1) << taps << " taps, n " << n;
    }
  }
}

TEST(FilterBankSizes, GeneralMemberScratchHoldsTheExtendedSignal) {
  const std::vector<float> lp(14, 0.25f);
  const auto bank = filter_bank(BorderMode::Wrap, lp);
  EXPECT_EQ(bank->required_scratch_size(20), 44u);  // 14 + 2*16 - 2
  EXPECT_EQ(bank->required_scratch_size(21), 46u);
}

TEST(FilterBankTaps, FixedMembersStoreWholeVectorsWithZeroPadding) {
  const NeonWavelet6TapsF32 six(BorderMode::Wrap, std::vector<float>{1, 2, 3, 4, 5, 6});
  EXPECT_EQ(std::vector<float>(six.low_pass().begin(), six.low_pass().end()),
            (std::vector<float>{1, 2, 3, 4, 5, 6, 0, 0}));
  EXPECT_EQ(std::vector<float>(six.high_pass().begin(), six.high_pass().end()),
            (std::vector<float>{6, -5, 4, -3, 2, -1, 0, 0}));
  const NeonWavelet2TapsF32 two(BorderMode::Wrap, std::vector<float>{0.5f, 0.25f});
  EXPECT_EQ(std::vector<float>(two.low_pass().begin(), two.low_pass().end()),
            (std::vector<float>{0.5f, 0.25f, 0.5f, 0.25f}));
  EXPECT_EQ(std::vector<float>(two.high_pass().begin(), two.high_pass().end()),
            (std::vector<float>{0.25f, -0.5f, 0.25f, -0.5f}));
  const NeonWavelet8TapsF32 db4(BorderMode::Wrap, kDb4);
  const std::vector<float> high(db4.high_pass().begin(), db4.high_pass().end());
  EXPECT_EQ(high, low_pass_to_high(kDb4));
  EXPECT_EQ(high[0], -0.0105974022f);
  EXPECT_EQ(high[7], -0.230377808f);
  EXPECT_EQ(NeonWavelet16TapsF32::kStoredTaps, 16u);
  EXPECT_EQ(NeonWavelet10TapsF32::kStoredTaps, 12u);
  EXPECT_EQ(NeonWavelet4TapsF32::kStoredTaps, 4u);
}

// ---------------------------------------------------------------------------
// Refusals: the first failing check wins, and nothing is written.

TEST(FilterBankErrors, ForwardChecksInOrderAndLeaveOutputsUntouched) {
  for (std::size_t taps : {2, 4, 6, 8, 10, 12, 14, 16, 20}) {
    const std::vector<float> lp(taps, 0.5f);
    const auto bank = filter_bank(BorderMode::Wrap, lp);
    const std::vector<float> short_input(taps - 1, 1.0f);
    std::vector<float> a(64, 7.0f), d(64, 7.0f);
    auto status = bank->execute_forward(short_input, std::span(a).first(3), std::span(d).first(3));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(), "Input size " + std::to_string(taps - 1) +
                                            " can't be less than " + std::to_string(taps));

    const std::vector<float> x(taps + 1, 1.0f);
    const std::size_t m = bank->dwt_size(x.size()).approximations;
    status = bank->execute_forward(x, std::span(a).first(m - 1), std::span(d).first(m));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), WaveletError::unexpected_decomposition_size(m - 1));
    status = bank->execute_forward(x, std::span(a).first(m), std::span(d).first(m + 1));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), WaveletError::unexpected_decomposition_size(m + 1));
    for (float v : a) ASSERT_EQ(v, 7.0f);
    for (float v : d) ASSERT_EQ(v, 7.0f);
  }
}

TEST(FilterBankErrors, EightTapMessages) {
  const NeonWavelet8TapsF32 bank(BorderMode::Wrap, kDb4);
  std::vector<float> a(8), d(8);
  const std::vector<float> five(5, 1.0f), seven(7, 1.0f), nine(9, 1.0f);
  EXPECT_EQ(bank.execute_forward(five, a, d).error().message(),
            "Input size 5 can't be less than 8");
  EXPECT_EQ(bank.execute_forward(seven, a, d).error().message(),
            "Input size 7 can't be less than 8");
  EXPECT_EQ(bank.execute_forward(nine, std::span(a).first(7), std::span(d).first(7))
                .error()
                .message(),
            "Approximation and details expected to be half of original signal length but it "
            "was 7");

  const std::vector<float> a7(7, 1.0f), d6(6, 1.0f), d7(7, 1.0f);
  std::vector<float> out(9, 3.0f);
  EXPECT_EQ(bank.execute_inverse(a7, d6, std::span(out).first(8)).error().message(),
            "Approx and details must match, but they don't 7x6");
  EXPECT_EQ(bank.execute_inverse(a7, d7, out).error().message(),
            "Output size should be 8, but it was 9");
  for (float v : out) EXPECT_EQ(v, 3.0f);
}

TEST(FilterBankErrors, InverseChecksForEveryMember) {
  for (std::size_t taps : {2, 4, 6, 8, 10, 12, 14, 16, 20}) {
    const std::vector<float> lp(taps, 0.5f);
    const auto bank = filter_bank(BorderMode::Wrap, lp);
    const std::vector<float> a(20, 1.0f), d(19, 1.0f);
    std::vector<float> out(64, 3.0f);
    const std::size_t expected = 2 * 20 - taps + 2;
    EXPECT_EQ(bank->execute_inverse(a, d, std::span(out).first(expected)).error(),
              WaveletError::approx_details_mismatch(20, 19));
    EXPECT_EQ(bank->execute_inverse(a, a, std::span(out).first(expected + 1)).error(),
              WaveletError::output_size_mismatch(expected + 1, expected));
    EXPECT_EQ(bank->execute_inverse(a, a, std::span(out).first(expected - 2)).error(),
              WaveletError::output_size_mismatch(expected - 2, expected));
    for (float v : out) ASSERT_EQ(v, 3.0f);
  }
}

TEST(FilterBankErrors, GeneralMemberRefusesShortScratch) {
  const std::vector<float> lp(14, 0.5f);
  const auto bank = filter_bank(BorderMode::Wrap, lp);
  const std::vector<float> x(20, 1.0f);
  std::vector<float> a(16, 7.0f), d(16, 7.0f), scratch(44, 7.0f);
  auto status = bank->execute_forward_with_scratch(x, a, d, {});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "Scratch size expected to be 44 but it was 0");
  status = bank->execute_forward_with_scratch(x, a, d, std::span(scratch).first(43));
  EXPECT_EQ(status.error(), WaveletError::scratch_size_mismatch(44, 43));
  for (float v : a) ASSERT_EQ(v, 7.0f);
  // Size checks come before the scratch check.
  status = bank->execute_forward_with_scratch(x, std::span(a).first(15), d, {});
  EXPECT_EQ(status.error(), WaveletError::unexpected_decomposition_size(15));
  // Enough scratch, or more, works; its prior contents do not matter.
  EXPECT_TRUE(bank->execute_forward_with_scratch(x, a, d, scratch).ok());
  std::vector<float> larger(100, 1e30f);
  std::vector<float> a2(16), d2(16);
  EXPECT_TRUE(bank->execute_forward_with_scratch(x, a2, d2, larger).ok());
  EXPECT_EQ(a, a2);
  EXPECT_EQ(d, d2);
}

// ---------------------------------------------------------------------------
// Window geometry. With a one-hot low-pass filter e_t, a[k] is exactly the
// window sample t of output k, so every output reveals which extended sample
// it read.

// Samples 100 + index: a zero border stands out from x[0].
std::vector<float> marked_ramp(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = 100.0f + static_cast<float>(i);
  return x;
}

TEST(FilterBankWindows, EveryOutputReadsItsWindowThroughTheBorderRule) {
  for (std::size_t taps : {2, 4, 6, 8, 10, 12, 14, 16, 18}) {
    const bool fixed = taps >= 4 && taps <= 16 && taps != 14;
    for (BorderMode mode : kAllModes) {
      for (std::size_t n = taps; n < taps + 12; ++n) {
        const std::vector<float> x = marked_ramp(n);
        for (std::size_t t = 0; t < taps; ++t) {
          std::vector<float> lp(taps, 0.0f);
          lp[t] = 1.0f;
          const auto bank = filter_bank(mode, lp);
          const Branches out = forward(*bank, x);
          for (std::size_t k = 0; k < out.approximations.size(); ++k) {
            const long i = 2 * static_cast<long>(k) - static_cast<long>(taps - 2) +
                           static_cast<long>(t);
            ASSERT_EQ(out.approximations[k], reference_border(x, i, mode, fixed))
                << taps << " taps, mode " << static_cast<int>(mode) << ", n " << n << ", k "
                << k << ", tap " << t;
          }
        }
      }
    }
  }
}

TEST(FilterBankWindows, EightTapWrapWindowOfTheFirstOutput) {
  // n = 8: output 0 reads x[2] ... x[7], x[0], x[1].
  const std::vector<float> x = marked_ramp(8);
  const std::array<std::size_t, 8> expected = {2, 3, 4, 5, 6, 7, 0, 1};
  for (std::size_t t = 0; t < 8; ++t) {
    std::array<float, 8> lp{};
    lp[t] = 1.0f;
    const NeonWavelet8TapsF32 bank(BorderMode::Wrap, lp);
    EXPECT_EQ(forward(bank, x).approximations[0], x[expected[t]]);
  }
}

TEST(FilterBankWindows, TwoTapOddLastOutputPairsWithTheSamplePastTheEnd) {
  // n = 5: x~[5] is x[0] (Wrap), x[4] (Clamp, Reflect), x[3] (Reflect101), 0.
  const std::vector<float> x = marked_ramp(5);
  const std::array<std::pair<BorderMode, float>, 6> cases = {{{BorderMode::Clamp, 104.0f},
                                                              {BorderMode::Wrap, 100.0f},
                                                              {BorderMode::Reflect, 104.0f},
                                                              {BorderMode::Reflect101, 103.0f},
                                                              {BorderMode::Zeros, 0.0f},
                                                              {static_cast<BorderMode>(7), 0.0f}}};
  for (const auto& [mode, value] : cases) {
    const NeonWavelet2TapsF32 bank(mode, std::vector<float>{0.0f, 1.0f});
    const Branches out = forward(bank, x);
    ASSERT_EQ(out.approximations.size(), 3u);
    EXPECT_EQ(out.approximations[2], value) << static_cast<int>(mode);
  }
}

TEST(FilterBankWindows, ModesAboveFourActAsZeros) {
  const std::vector<float> x = random_signal(23, 5);
  for (std::size_t taps : {2, 8, 12, 14}) {
    const std::vector<float> lp = random_signal(taps, 6);
    const Branches zeros = forward(*filter_bank(BorderMode::Zeros, lp), x);
    const Branches seven = forward(*filter_bank(static_cast<BorderMode>(7), lp), x);
    expect_same_bits(seven.approximations, zeros.approximations, "a");
    expect_same_bits(seven.details, zeros.details, "d");
  }
}

// ---------------------------------------------------------------------------
// Exact rounding

TEST(FilterBankRounding, EightTapForwardMatchesTheReferenceBitForBit) {
  for (const auto& taps : {kDb4, kSym4}) {
    for (BorderMode mode : kAllModes) {
      const NeonWavelet8TapsF32 bank(mode, taps);
      for (std::size_t n = 8; n <= 200; ++n) {
        const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
        const Branches actual = forward(bank, x);
        const Branches expected = reference_forward_8(taps, x, mode);
        const std::string what = "mode " + std::to_string(static_cast<int>(mode)) + " n " +
                                 std::to_string(n);
        expect_same_bits(actual.approximations, expected.approximations, "a, " + what);
        expect_same_bits(actual.details, expected.details, "d, " + what);
      }
    }
  }
}

TEST(FilterBankRounding, EightTapSingleAndPairedSumsReallyDiffer) {
  // Guards the reference test against inputs where both trees agree: some
  // outputs must depend on the tree chosen.
  std::size_t differing = 0;
  for (std::size_t n = 8; n <= 200; ++n) {
    const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
    const NeonWavelet8TapsF32 bank(BorderMode::Wrap, kDb4);
    const Branches actual = forward(bank, x);
    for (std::size_t k = 3; k + 1 < n / 2; ++k) {
      float p[4];
      for (int j = 0; j < 4; ++j) {
        p[j] = std::fma(kDb4[j + 4], x[2 * k - 6 + j + 4], kDb4[j] * x[2 * k - 6 + j]);
      }
      const float single = (p[0] + p[2]) + (p[1] + p[3]);
      const float paired = (p[0] + p[1]) + (p[2] + p[3]);
      if (single != paired) {
        ++differing;
        EXPECT_EQ(actual.approximations[k], paired) << n << " " << k;
      }
    }
  }
  EXPECT_GT(differing, 100u);
}

TEST(FilterBankRounding, EightTapInverseMatchesTheReferenceBitForBit) {
  for (const auto& taps : {kDb4, kSym4}) {
    const NeonWavelet8TapsF32 bank(BorderMode::Wrap, taps);
    for (std::size_t pairs = 3; pairs <= 110; ++pairs) {
      const std::vector<float> a = random_signal(pairs, static_cast<std::uint32_t>(pairs));
      const std::vector<float> d = random_signal(pairs, static_cast<std::uint32_t>(pairs + 1000));
      const std::size_t length = 2 * pairs - 6;
      std::vector<float> actual(length, 0.0f), expected(length, 0.0f);
      ASSERT_TRUE(bank.execute_inverse(a, d, actual).ok());
      reference_inverse_8(taps, a, d, expected);
      expect_same_bits(actual, expected, "pairs " + std::to_string(pairs));

      // The step adds into what the output already holds.
      std::vector<float> base = random_signal(length, static_cast<std::uint32_t>(pairs + 2000));
      std::vector<float> accumulated = base;
      ASSERT_TRUE(bank.execute_inverse(a, d, accumulated).ok());
      reference_inverse_8(taps, a, d, base);
      expect_same_bits(accumulated, base, "accumulating, pairs " + std::to_string(pairs));
    }
  }
}

TEST(FilterBankRounding, EightTapInverseTermOrderMatters) {
  // Swapping the order of the two fused terms changes some outputs, so the
  // reference comparison above does pin the order down.
  std::size_t differing = 0;
  for (std::size_t pairs = 11; pairs <= 60; ++pairs) {
    const std::vector<float> a = random_signal(pairs, static_cast<std::uint32_t>(pairs));
    const std::vector<float> d = random_signal(pairs, static_cast<std::uint32_t>(pairs + 1000));
    const std::vector<float> hp = mirror(kDb4);
    const std::size_t length = 2 * pairs - 6;
    std::vector<float> flipped(length, 0.0f), actual(length, 0.0f);
    ASSERT_TRUE(NeonWavelet8TapsF32(BorderMode::Wrap, kDb4).execute_inverse(a, d, actual).ok());
    for (std::size_t k = 0; k < pairs; ++k) {
      const bool details_first = !(k <= 5 || k + 4 >= pairs);
      for (std::size_t j = 0; j < 8; ++j) {
        const long i = 2 * static_cast<long>(k) - 6 + static_cast<long>(j);
        if (i < 0 || i >= static_cast<long>(length)) continue;
        float& y = flipped[i];
        y = details_first ? std::fma(kDb4[j], a[k], std::fma(hp[j], d[k], y))
                          : std::fma(hp[j], d[k], std::fma(kDb4[j], a[k], y));
      }
    }
    for (std::size_t i = 0; i < length; ++i) differing += bits(flipped[i]) != bits(actual[i]);
  }
  EXPECT_GT(differing, 20u);
}

TEST(FilterBankRounding, FixedMembersFollowTheirLaneScheme) {
  for (std::size_t taps : {4, 6, 8, 10, 12, 16}) {
    const std::vector<float> lp = random_signal(taps, static_cast<std::uint32_t>(taps));
    for (BorderMode mode : kAllModes) {
      const auto bank = filter_bank(mode, lp);
      for (std::size_t n = taps; n <= taps + 60; ++n) {
        const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(7 * n));
        const Branches actual = forward(*bank, x);
        const Branches expected = reference_forward_fixed(lp, x, mode);
        const std::string what = std::to_string(taps) + " taps, mode " +
                                 std::to_string(static_cast<int>(mode)) + ", n " +
                                 std::to_string(n);
        expect_same_bits(actual.approximations, expected.approximations, "a, " + what);
        expect_same_bits(actual.details, expected.details, "d, " + what);
      }
    }
  }
}

TEST(FilterBankRounding, TwoTapOutputsAndSynthesis) {
  const std::vector<float> lp = {0.70710677f, 0.70710677f};
  const std::vector<float> hp = mirror(lp);
  for (BorderMode mode : kAllModes) {
    const NeonWavelet2TapsF32 bank(mode, lp);
    for (std::size_t n = 2; n <= 41; ++n) {
      const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
      const Branches out = forward(bank, x);
      for (std::size_t k = 0; k < n / 2; ++k) {
        ASSERT_EQ(bits(out.approximations[k]), bits((lp[0] * x[2 * k]) + (lp[1] * x[2 * k + 1])));
        ASSERT_EQ(bits(out.details[k]), bits((hp[0] * x[2 * k]) + (hp[1] * x[2 * k + 1])));
      }
      if (n % 2 == 1) {
        const float past = reference_border(x, static_cast<long>(n), mode, false);
        ASSERT_EQ(bits(out.approximations.back()), bits(std::fma(lp[1], past, lp[0] * x[n - 1])));
        ASSERT_EQ(bits(out.details.back()), bits(std::fma(hp[1], past, hp[0] * x[n - 1])));
      }
      const std::vector<float> y = inverse(bank, out);
      for (std::size_t k = 0; k < out.approximations.size(); ++k) {
        for (std::size_t j = 0; j < 2; ++j) {
          const float expected =
              std::fma(lp[j], out.approximations[k], std::fma(hp[j], out.details[k], 0.0f));
          ASSERT_EQ(bits(y[2 * k + j]), bits(expected));
        }
      }
    }
  }
}

TEST(FilterBankRounding, GeneralMemberAgreesWithAPlainConvolution) {
  for (std::size_t taps : {14, 18, 20, 48}) {
    const std::vector<float> lp = random_signal(taps, static_cast<std::uint32_t>(taps));
    const std::vector<float> hp = mirror(lp);
    for (BorderMode mode : kAllModes) {
      const auto bank = filter_bank(mode, lp);
      for (std::size_t n = taps; n <= taps + 30; ++n) {
        const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
        const Branches out = forward(*bank, x);
        for (std::size_t k = 0; k < out.approximations.size(); ++k) {
          double a = 0.0, d = 0.0, magnitude = 0.0;
          for (std::size_t j = 0; j < taps; ++j) {
            const long i = 2 * static_cast<long>(k) - static_cast<long>(taps - 2) +
                           static_cast<long>(j);
            const double w = reference_border(x, i, mode, false);
            a += static_cast<double>(lp[j]) * w;
            d += static_cast<double>(hp[j]) * w;
            magnitude += std::abs(static_cast<double>(lp[j]) * w);
          }
          ASSERT_NEAR(out.approximations[k], a, 1e-6 * (magnitude + 1.0));
          ASSERT_NEAR(out.details[k], d, 1e-6 * (magnitude + 1.0));
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The portable kernels give the same bits as whichever variant the executors
// chose for this CPU (the FMA-instruction one where it runs).

template <std::size_t kTaps>
void expect_portable_forward_matches(std::span<const float> lp) {
  for (BorderMode mode : kAllModes) {
    const FixedTapsFilterBank<kTaps> bank(mode, lp);
    for (std::size_t n = kTaps; n <= kTaps + 70; ++n) {
      const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(3 * n));
      const Branches chosen = forward(bank, x);
      Branches portable{std::vector<float>(chosen.approximations.size()),
                        std::vector<float>(chosen.details.size())};
      filter_bank::fixed_taps_forward_portable<kTaps>(bank.low_pass().data(),
                                                      bank.high_pass().data(), mode, x,
                                                      portable.approximations, portable.details);
      const std::string what = std::to_string(kTaps) + " taps, n " + std::to_string(n);
      expect_same_bits(portable.approximations, chosen.approximations, what);
      expect_same_bits(portable.details, chosen.details, what);

      const std::vector<float> y = inverse(bank, chosen);
      std::vector<float> y_portable(y.size(), 0.0f);
      filter_bank::synthesis_portable(bank.low_pass().first(kTaps), bank.high_pass().first(kTaps),
                                      chosen.approximations, chosen.details, y_portable,
                                      kTaps == 8 ? filter_bank::TermOrder::EightTap
                                                 : filter_bank::TermOrder::DetailsFirst);
      expect_same_bits(y_portable, y, "inverse, " + what);
    }
  }
}

TEST(FilterBankVariants, PortableKernelsMatchTheChosenOnes) {
  expect_portable_forward_matches<4>(random_signal(4, 1));
  expect_portable_forward_matches<6>(random_signal(6, 2));
  expect_portable_forward_matches<8>(kDb4);
  expect_portable_forward_matches<10>(random_signal(10, 3));
  expect_portable_forward_matches<12>(random_signal(12, 4));
  expect_portable_forward_matches<16>(random_signal(16, 5));

  for (std::size_t taps : {14, 18, 48}) {
    const std::vector<float> lp = random_signal(taps, static_cast<std::uint32_t>(taps));
    const std::vector<float> hp = mirror(lp);
    const auto bank = filter_bank(BorderMode::Reflect101, lp);
    for (std::size_t n = taps; n <= taps + 40; ++n) {
      const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
      const Branches chosen = forward(*bank, x);
      std::vector<float> arena(bank->required_scratch_size(n));
      const std::size_t left = taps - 2;
      write_arena_1d_impl(x, arena, left, arena.size() - n - left, BorderMode::Reflect101);
      Branches portable{std::vector<float>(chosen.approximations.size()),
                        std::vector<float>(chosen.details.size())};
      filter_bank::convolve_arena_portable(lp.data(), hp.data(), taps, arena.data(),
                                           portable.approximations, portable.details);
      expect_same_bits(portable.approximations, chosen.approximations, "general a");
      expect_same_bits(portable.details, chosen.details, "general d");
    }
  }
}

// ---------------------------------------------------------------------------
// Reconstruction: every order of both families, every border mode.

struct Family {
  std::string name;
  std::vector<float> taps;
};

std::vector<Family> all_orders() {
  std::vector<Family> orders;
  for (int k = 1; k <= 24; ++k) {
    orders.push_back({"db" + std::to_string(k), get_wavelet(static_cast<DaubechiesFamily>(k - 1))});
  }
  for (int k = 2; k <= 20; ++k) {
    orders.push_back({"sym" + std::to_string(k), get_wavelet(static_cast<SymletFamily>(k - 2))});
  }
  return orders;
}

TEST(FilterBankReconstruction, ForwardThenInverseGivesTheSignalBack) {
  for (const Family& order : all_orders()) {
    const std::size_t taps = order.taps.size();
    for (BorderMode mode : kAllModes) {
      const auto bank = filter_bank(mode, order.taps);
      for (std::size_t n = taps; n <= taps + 40; n += (n < taps + 12 ? 1 : 7)) {
        const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n + taps));
        const std::vector<float> y = inverse(*bank, forward(*bank, x));
        ASSERT_EQ(y.size(), n % 2 == 0 ? n : n + 1);
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_NEAR(y[i], x[i], 2e-5f) << order.name << " mode " << static_cast<int>(mode)
                                         << " n " << n << " i " << i;
        }
      }
    }
  }
}

TEST(FilterBankReconstruction, TablesGiveTheTapsTheMembersWereCheckedWith) {
  EXPECT_EQ(get_wavelet(DaubechiesFamily::Db4), std::vector<float>(kDb4.begin(), kDb4.end()));
  EXPECT_EQ(get_wavelet(SymletFamily::Sym4), std::vector<float>(kSym4.begin(), kSym4.end()));
}

}  // namespace
}  // namespace quorvane::wavelet
