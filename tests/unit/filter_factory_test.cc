// make_daubechies_f32 and make_symlet_f32: which filter bank each order gets,
// the taps and border mode it is built with, and the driver around it.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "completed_dwt_executor.h"
#include "neon/fixed_taps_filter_bank.h"
#include "neon/wavelet2taps_f32.h"
#include "neon/wavelet_n_taps_f32.h"
#include "quorvane/wavelet/factory.h"
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

const IncompleteDwtExecutor& inner_of(const DwtExecutorHandle& executor) {
  const auto* driver = dynamic_cast<const CompletedDwtExecutor*>(executor.get());
  EXPECT_NE(driver, nullptr);
  return *driver->inner();
}

template <class Member>
void expect_member(const IncompleteDwtExecutor& inner, std::span<const float> taps,
                   BorderMode mode, const std::string& what) {
  const auto* member = dynamic_cast<const Member*>(&inner);
  ASSERT_NE(member, nullptr) << what;
  EXPECT_EQ(member->border_mode(), mode) << what;
  const std::vector<float> high = low_pass_to_high(taps);
  const std::size_t stored = member->low_pass().size();
  EXPECT_EQ(stored % 4, 0u) << what;
  for (std::size_t j = 0; j < stored; ++j) {
    // Members store Haar's pair twice; the others pad with zero taps.
    const bool twice = taps.size() == 2;
    const float low = twice ? taps[j % 2] : (j < taps.size() ? taps[j] : 0.0f);
    const float hp = twice ? high[j % 2] : (j < taps.size() ? high[j] : 0.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(member->low_pass()[j]), std::bit_cast<std::uint32_t>(low))
        << what << " tap " << j;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(member->high_pass()[j]), std::bit_cast<std::uint32_t>(hp))
        << what << " tap " << j;
  }
}

void expect_right_member(const DwtExecutorHandle& executor, std::span<const float> taps,
                         BorderMode mode, const std::string& what) {
  ASSERT_NE(executor, nullptr) << what;
  EXPECT_EQ(executor->filter_length(), taps.size()) << what;
  const IncompleteDwtExecutor& inner = inner_of(executor);
  switch (taps.size()) {
    case 2: expect_member<NeonWavelet2TapsF32>(inner, taps, mode, what); break;
    case 4: expect_member<NeonWavelet4TapsF32>(inner, taps, mode, what); break;
    case 6: expect_member<NeonWavelet6TapsF32>(inner, taps, mode, what); break;
    case 8: expect_member<NeonWavelet8TapsF32>(inner, taps, mode, what); break;
    case 10: expect_member<NeonWavelet10TapsF32>(inner, taps, mode, what); break;
    case 12: expect_member<NeonWavelet12TapsF32>(inner, taps, mode, what); break;
    case 16: expect_member<NeonWavelet16TapsF32>(inner, taps, mode, what); break;
    default: {
      const auto* general = dynamic_cast<const NeonWaveletNTapsF32*>(&inner);
      ASSERT_NE(general, nullptr) << what;
      EXPECT_EQ(general->border_mode(), mode) << what;
      EXPECT_EQ(std::vector<float>(general->low_pass().begin(), general->low_pass().end()),
                std::vector<float>(taps.begin(), taps.end()))
          << what;
      EXPECT_EQ(std::vector<float>(general->high_pass().begin(), general->high_pass().end()),
                low_pass_to_high(taps))
          << what;
    }
  }
}

TEST(FilterFactory, EveryDaubechiesOrderGetsTheMemberForItsTapCount) {
  for (BorderMode mode : {BorderMode::Wrap, BorderMode::Reflect101}) {
    for (int k = 1; k <= 24; ++k) {
      const auto order = static_cast<DaubechiesFamily>(k - 1);
      const std::vector<float> taps = get_wavelet(order);
      ASSERT_EQ(taps.size(), static_cast<std::size_t>(2 * k));
      expect_right_member(make_daubechies_f32(order, mode), taps, mode, "db" + std::to_string(k));
    }
  }
}

TEST(FilterFactory, EverySymletOrderGetsTheMemberForItsTapCount) {
  for (BorderMode mode : {BorderMode::Clamp, BorderMode::Zeros}) {
    for (int k = 2; k <= 20; ++k) {
      const auto order = static_cast<SymletFamily>(k - 2);
      const std::vector<float> taps = get_wavelet(order);
      ASSERT_EQ(taps.size(), static_cast<std::size_t>(2 * k));
      expect_right_member(make_symlet_f32(order, mode), taps, mode, "sym" + std::to_string(k));
    }
  }
}

TEST(FilterFactory, NamedExamples) {
  EXPECT_EQ(make_daubechies_f32(DaubechiesFamily::Db1, BorderMode::Wrap)->filter_length(), 2u);
  EXPECT_NE(dynamic_cast<const NeonWaveletNTapsF32*>(
                &inner_of(make_daubechies_f32(DaubechiesFamily::Db7, BorderMode::Wrap))),
            nullptr);
  EXPECT_NE(dynamic_cast<const NeonWaveletNTapsF32*>(
                &inner_of(make_daubechies_f32(DaubechiesFamily::Db24, BorderMode::Wrap))),
            nullptr);
  EXPECT_NE(dynamic_cast<const NeonWavelet4TapsF32*>(
                &inner_of(make_symlet_f32(SymletFamily::Sym2, BorderMode::Wrap))),
            nullptr);
  for (const auto& executor : {make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap),
                               make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap)}) {
    EXPECT_EQ(executor->filter_length(), 8u);
    EXPECT_EQ(executor->dwt_size(8), (DwtSize{7, 7}));
    EXPECT_EQ(executor->idwt_size({7, 7}), 8u);
  }
}

TEST(FilterFactory, EachCallBuildsItsOwnExecutor) {
  const auto first = make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap);
  const auto second = make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap);
  EXPECT_NE(first.get(), second.get());
  EXPECT_NE(&inner_of(first), &inner_of(second));
}

TEST(FilterFactory, CodecWaveletsMatchTheirMemberBitForBit) {
  const std::vector<float> x = random_signal(300, 1);
  for (const auto& [executor, taps] :
       {std::pair{make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap),
                  get_wavelet(DaubechiesFamily::Db4)},
        std::pair{make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap),
                  get_wavelet(SymletFamily::Sym4)}}) {
    const NeonWavelet8TapsF32 member(BorderMode::Wrap, taps);
    std::vector<float> a(153), d(153);
    ASSERT_TRUE(member.execute_forward(x, a, d).ok());
    const MultiDwt decomposition = executor->multi_dwt(x, 1).value();
    EXPECT_EQ(decomposition.levels[0].approximations, a);
    EXPECT_EQ(decomposition.levels[0].details, d);
  }
}

TEST(FilterFactory, TheBorderModeOnlyChangesBorderOutputs) {
  // db4 on n samples: outputs 0-2 and n/2 ... M-1 touch the border.
  for (std::size_t n : {40, 41}) {
    const std::vector<float> x = random_signal(n, static_cast<std::uint32_t>(n));
    const Dwt wrap = make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)->dwt(x, 1).value();
    const Dwt zeros = make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Zeros)->dwt(x, 1).value();
    ASSERT_EQ(wrap.approximations.size(), zeros.approximations.size());
    for (std::size_t k = 0; k < wrap.approximations.size(); ++k) {
      const bool border = k < 3 || k >= n / 2;
      if (border) {
        EXPECT_NE(wrap.approximations[k], zeros.approximations[k]) << n << " " << k;
      } else {
        EXPECT_EQ(wrap.approximations[k], zeros.approximations[k]) << n << " " << k;
        EXPECT_EQ(wrap.details[k], zeros.details[k]) << n << " " << k;
      }
    }
  }
}

}  // namespace
}  // namespace quorvane::wavelet
