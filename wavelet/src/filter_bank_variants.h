// The compiled variants of the filter-bank kernels and the choice between
// them. The portable kernels (portable/filter_bank_kernels.h) define the
// results; the others give the same bits.
#pragma once

#include <cstddef>
#include <span>

#include "kernel_variant.h"
#include "portable/filter_bank_kernels.h"

// X(L) for the tap count of every fixed-tap member.
#define QUORVANE_FOR_EACH_FIXED_TAPS(X) X(4) X(6) X(8) X(10) X(12) X(16)

namespace quorvane::wavelet::filter_bank {

#if QUORVANE_X86_VARIANTS
// The target attribute sits on the declaration too: a template's
// instantiations take the attributes of its first declaration.
template <std::size_t kTaps>
QUORVANE_FMA_TARGET void fixed_taps_forward_fma(const float* lp, const float* hp, BorderMode mode,
                            std::span<const float> input, std::span<float> approximations,
                            std::span<float> details);
QUORVANE_FMA_TARGET void synthesis_fma(std::span<const float> low_pass, std::span<const float> high_pass,
                   std::span<const float> approximations, std::span<const float> details,
                   std::span<float> output, TermOrder order);
QUORVANE_FMA_TARGET void convolve_arena_fma(const float* low_pass, const float* high_pass, std::size_t taps,
                        const float* arena, std::span<float> approximations,
                        std::span<float> details);
#endif

#if QUORVANE_NEON_VARIANTS
template <std::size_t kTaps>
void fixed_taps_forward_neon(const float* lp, const float* hp, BorderMode mode,
                             std::span<const float> input, std::span<float> approximations,
                             std::span<float> details);
#endif

template <std::size_t kTaps>
void fixed_taps_forward(KernelVariant variant, const float* lp, const float* hp, BorderMode mode,
                        std::span<const float> input, std::span<float> approximations,
                        std::span<float> details) {
  switch (variant) {
#if QUORVANE_X86_VARIANTS
    case KernelVariant::X86Fma:
    case KernelVariant::X86Avx2Fma:
      return fixed_taps_forward_fma<kTaps>(lp, hp, mode, input, approximations, details);
#endif
#if QUORVANE_NEON_VARIANTS
    case KernelVariant::Neon:
      return fixed_taps_forward_neon<kTaps>(lp, hp, mode, input, approximations, details);
#endif
    default:
      return fixed_taps_forward_portable<kTaps>(lp, hp, mode, input, approximations, details);
  }
}

// Synthesis and the general member's convolution have no NEON code of their
// own: on AArch64 the portable code's std::fma is already one instruction.
inline void synthesis(KernelVariant variant, std::span<const float> low_pass,
                      std::span<const float> high_pass, std::span<const float> approximations,
                      std::span<const float> details, std::span<float> output, TermOrder order) {
#if QUORVANE_X86_VARIANTS
  if (variant == KernelVariant::X86Fma || variant == KernelVariant::X86Avx2Fma) {
    return synthesis_fma(low_pass, high_pass, approximations, details, output, order);
  }
#endif
  (void)variant;
  synthesis_portable(low_pass, high_pass, approximations, details, output, order);
}

inline void convolve_arena(KernelVariant variant, const float* low_pass, const float* high_pass,
                           std::size_t taps, const float* arena, std::span<float> approximations,
                           std::span<float> details) {
#if QUORVANE_X86_VARIANTS
  if (variant == KernelVariant::X86Fma || variant == KernelVariant::X86Avx2Fma) {
    return convolve_arena_fma(low_pass, high_pass, taps, arena, approximations, details);
  }
#endif
  (void)variant;
  convolve_arena_portable(low_pass, high_pass, taps, arena, approximations, details);
}

}  // namespace quorvane::wavelet::filter_bank
