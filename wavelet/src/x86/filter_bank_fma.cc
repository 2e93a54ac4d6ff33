// The portable filter-bank kernels compiled for FMA instructions, so that
// each std::fma is one vfmadd instead of a call of fmaf.
#include "filter_bank_variants.h"

#if QUORVANE_X86_VARIANTS

namespace quorvane::wavelet::filter_bank {

template <std::size_t kTaps>
QUORVANE_FMA_TARGET void fixed_taps_forward_fma(const float* lp, const float* hp,
                                                BorderMode mode, std::span<const float> input,
                                                std::span<float> approximations,
                                                std::span<float> details) {
  fixed_taps_forward_kernel<kTaps, PortableLanes<kTaps>>(lp, hp, mode, input, approximations,
                                                         details);
}

#define QUORVANE_INSTANTIATE(L)                                                         \
  template void fixed_taps_forward_fma<L>(const float*, const float*, BorderMode,               \
                      std::span<const float>, std::span<float>, std::span<float>);
QUORVANE_FOR_EACH_FIXED_TAPS(QUORVANE_INSTANTIATE)
#undef QUORVANE_INSTANTIATE

QUORVANE_FMA_TARGET void synthesis_fma(std::span<const float> low_pass,
                                       std::span<const float> high_pass,
                                       std::span<const float> approximations,
                                       std::span<const float> details, std::span<float> output,
                                       TermOrder order) {
  synthesis_kernel(low_pass, high_pass, approximations, details, output, order);
}

QUORVANE_FMA_TARGET void convolve_arena_fma(const float* low_pass, const float* high_pass,
                                            std::size_t taps, const float* arena,
                                            std::span<float> approximations,
                                            std::span<float> details) {
  convolve_arena_kernel(low_pass, high_pass, taps, arena, approximations, details);
}

}  // namespace quorvane::wavelet::filter_bank

#endif
