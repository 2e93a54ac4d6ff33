#include "neon/wavelet_n_taps_f32.h"

#include <array>
#include <cassert>
#include <utility>

#include "checked_allocation.h"
#include "filter_padding.h"
#include "neon/filter_bank_common.h"

namespace quorvane::wavelet {
namespace filter_bank {

// Both branches of every output from the arena, output k reading the window
// that starts at arena[2k]. All outputs share one tree, so blocks of four,
// the pair and the single give the same values.
QUORVANE_KERNEL_INLINE void convolve_arena_kernel(const float* low_pass, const float* high_pass,
                                                  std::size_t taps, const float* arena,
                                                  std::span<float> approximations,
                                                  std::span<float> details) {
  for (std::size_t k = 0; k < approximations.size(); ++k) {
    const float* window = arena + 2 * k;
    approximations[k] =
        filter_bank::grouped_sum(filter_bank::lane_values(low_pass, window, taps));
    details[k] = filter_bank::grouped_sum(filter_bank::lane_values(high_pass, window, taps));
  }
}

void convolve_arena_portable(const float* low_pass, const float* high_pass, std::size_t taps,
                             const float* arena, std::span<float> approximations,
                             std::span<float> details) {
  convolve_arena_kernel(low_pass, high_pass, taps, arena, approximations, details);
}

#if QUORVANE_X86_VARIANTS
QUORVANE_FMA_TARGET void convolve_arena_fma(const float* low_pass, const float* high_pass,
                                            std::size_t taps, const float* arena,
                                            std::span<float> approximations,
                                            std::span<float> details) {
  convolve_arena_kernel(low_pass, high_pass, taps, arena, approximations, details);
}
#endif

}  // namespace filter_bank

NeonWaveletNTapsF32::NeonWaveletNTapsF32(BorderMode border_mode, std::vector<float> low_pass,
                                         std::vector<float> high_pass)
    : low_pass_(std::move(low_pass)),
      high_pass_(std::move(high_pass)),
      taps_(low_pass_.size()),
      border_mode_(static_cast<std::uint32_t>(border_mode)) {
  assert(taps_ >= 4 && taps_ % 2 == 0 && high_pass_.size() == taps_);
}

WaveletStatus NeonWaveletNTapsF32::execute_forward(std::span<const float> input,
                                                   std::span<float> approximations,
                                                   std::span<float> details) const {
  // Refuse bad sizes before paying for the arena.
  QUORVANE_TRY_STATUS(filter_bank::check_forward_sizes(input.size(), taps_, approximations.size(),
                                                       details.size()));
  QUORVANE_TRY(std::vector<float> scratch, zeroed_floats(required_scratch_size(input.size())));
  return execute_forward_with_scratch(input, approximations, details, scratch);
}

WaveletStatus NeonWaveletNTapsF32::execute_forward_with_scratch(std::span<const float> input,
                                                                std::span<float> approximations,
                                                                std::span<float> details,
                                                                std::span<float> scratch) const {
  const std::size_t n = input.size();
  QUORVANE_TRY_STATUS(
      filter_bank::check_forward_sizes(n, taps_, approximations.size(), details.size()));
  const std::size_t arena_length = required_scratch_size(n);
  if (scratch.size() < arena_length) {
    return Err{WaveletError::scratch_size_mismatch(arena_length, scratch.size())};
  }

  // L - 2 samples on the left; L - 2 on the right for even n, L - 1 for odd.
  const std::span<float> arena = scratch.first(arena_length);
  const std::size_t left = (arena_length - n) / 2;
  const std::size_t right = arena_length - n - left;
  QUORVANE_TRY_STATUS(make_arena_1d_dispatch()(input, arena, left, right, border_mode()));

#if QUORVANE_X86_VARIANTS
  if (filter_bank::use_fma_instructions()) {
    filter_bank::convolve_arena_fma(low_pass_.data(), high_pass_.data(), taps_, arena.data(), approximations,
                       details);
    return {};
  }
#endif
  filter_bank::convolve_arena_portable(low_pass_.data(), high_pass_.data(), taps_, arena.data(),
                          approximations, details);
  return {};
}

std::size_t NeonWaveletNTapsF32::required_scratch_size(std::size_t input_length) const {
  return taps_ + 2 * filter_bank::outputs_per_branch(input_length, taps_) - 2;
}

DwtSize NeonWaveletNTapsF32::dwt_size(std::size_t input_length) const {
  const std::size_t m = filter_bank::outputs_per_branch(input_length, taps_);
  return {m, m};
}

WaveletStatus NeonWaveletNTapsF32::execute_inverse(std::span<const float> approximations,
                                                   std::span<const float> details,
                                                   std::span<float> output) const {
  QUORVANE_TRY_STATUS(filter_bank::check_inverse_sizes(approximations.size(), details.size(),
                                                       output.size(), taps_));
  filter_bank::accumulate_synthesis(low_pass_, high_pass_, approximations, details, output,
                                    filter_bank::TermOrder::DetailsFirst);
  return {};
}

std::size_t NeonWaveletNTapsF32::idwt_size(DwtSize size) const {
  return filter_bank::reconstruction_length(size.approximations, taps_);
}

std::size_t NeonWaveletNTapsF32::filter_length() const { return taps_; }

}  // namespace quorvane::wavelet
