#include "neon/wavelet_n_taps_f32.h"

#include <cassert>
#include <utility>

#include "checked_allocation.h"
#include "filter_bank_variants.h"
#include "filter_padding.h"

namespace quorvane::wavelet {

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
  QUORVANE_TRY(WorkBuffer scratch, work_buffer(required_scratch_size(input.size())));
  return execute_forward_with_scratch(input, approximations, details, scratch.span());
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
  write_arena_1d_impl(input, arena, left, right, border_mode());
  filter_bank::convolve_arena(active_kernel_variant(), low_pass_.data(), high_pass_.data(), taps_,
                              arena.data(), approximations, details);
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
  filter_bank::synthesis(active_kernel_variant(), low_pass_, high_pass_, approximations, details,
                         output, filter_bank::TermOrder::DetailsFirst);
  return {};
}

std::size_t NeonWaveletNTapsF32::idwt_size(DwtSize size) const {
  return filter_bank::reconstruction_length(size.approximations, taps_);
}

std::size_t NeonWaveletNTapsF32::filter_length() const { return taps_; }

}  // namespace quorvane::wavelet
