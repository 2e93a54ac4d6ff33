#include "neon/cdf97_f32.h"

#include <bit>
#include <cstdint>
#include <memory>

#include "lifting_kernels.h"
#include "lifting_levels.h"
#include "quorvane/wavelet/factory.h"

namespace quorvane::wavelet {
namespace {


// Lifting constants by bit pattern, so no decimal-to-binary conversion can
// move them.
constexpr float kAlpha = std::bit_cast<float>(std::uint32_t{0xBFCB0673});  // -1.5861343
constexpr float kBeta = std::bit_cast<float>(std::uint32_t{0xBD5901AE});   // -0.052980117
constexpr float kGamma = std::bit_cast<float>(std::uint32_t{0x3F620676});  // 0.8829111
constexpr float kDelta = std::bit_cast<float>(std::uint32_t{0x3EE31355});  // 0.44350687
// K scales the forward approximations and the inverse details; K' the other
// two. K' is its own constant, one ulp above the float reciprocal of K
// (0x3F5EAF6F): nothing is ever divided.
constexpr float kScale = std::bit_cast<float>(std::uint32_t{0x3F93263D});         // 1.1496044
constexpr float kInverseScale = std::bit_cast<float>(std::uint32_t{0x3F5EAF70});  // 0.86986446

static_assert(std::bit_cast<std::uint32_t>(-kAlpha) == 0x3FCB0673);
static_assert(std::bit_cast<std::uint32_t>(-kBeta) == 0x3D5901AE);
static_assert(std::bit_cast<std::uint32_t>(-kGamma) == 0xBF620676);
static_assert(std::bit_cast<std::uint32_t>(-kDelta) == 0xBEE31355);

// The vectorised update pass handles the interior in blocks of this many samples.
constexpr std::size_t kUpdateBlock = 16;

}  // namespace

// The vectorised update pass processes the interior (i = 1 ... E - 2) in
// blocks of 16 starting at i = 1 and runs its final partial block only when
// floor(O/16) and floor((O-1)/16) both equal floor((E-2)/16). For n >= 32
// with n mod 32 in {0, 1, 2} that leaves the samples of the partial block
// (16*floor(n/32) - 15 ... ceil(n/2) - 2) unchanged. Stored streams were
// written with exactly this coverage, so it is kept for stream compatibility;
// the inverse applies the same rule, so forward and inverse still pair up.
std::size_t dwt97_update_interior_end(std::size_t even_count, std::size_t odd_count) {
  const std::size_t interior = even_count - 2;
  const std::size_t full_blocks = interior / kUpdateBlock;
  const bool partial_block_runs =
      odd_count / kUpdateBlock == full_blocks && (odd_count - 1) / kUpdateBlock == full_blocks;
  return 1 + (partial_block_runs ? interior : full_blocks * kUpdateBlock);
}

void dwt97_forward_update_even(std::span<float> evens, std::span<const float> odds, float c) {
  lifting::update_evens(odds, c, evens, dwt97_update_interior_end(evens.size(), odds.size()));
}

void NeonCdf97F32::forward_checked(std::span<const float> input,
                                   std::span<float> approximations,
                                   std::span<float> details) const {
  lifting::predict_odds_from_interleaved(input, kAlpha, details);
  lifting::split_evens(input, approximations);
  dwt97_forward_update_even(approximations, details, kBeta);
  lifting::predict_odds(approximations, kGamma, details, details);
  dwt97_forward_update_even(approximations, details, kDelta);
  lifting::scale_all(approximations, kScale);
  lifting::scale_all(details, kInverseScale);
}

WaveletStatus NeonCdf97F32::inverse_checked(std::span<const float> approximations,
                                            std::span<const float> details,
                                            std::span<float> output) const {
  std::vector<float> evens(approximations.begin(), approximations.end());
  std::vector<float> odds(details.begin(), details.end());
  lifting::scale_all(evens, kInverseScale);
  lifting::scale_all(odds, kScale);
  dwt97_forward_update_even(evens, odds, -kDelta);
  lifting::predict_odds(evens, -kGamma, odds, odds);
  dwt97_forward_update_even(evens, odds, -kBeta);
  lifting::predict_odds(evens, -kAlpha, odds, odds);
  lifting::interleave(evens, odds, output);
  return {};
}

DwtExecutorHandle make_cdf97_f32() { return std::make_shared<const NeonCdf97F32>(); }

}  // namespace quorvane::wavelet
