// The portable streaming CDF 9/7 levels, and the choice between the
// compiled variants of them.
#include "portable/cdf97_streaming.h"

namespace quorvane::wavelet::lifting {

#if QUORVANE_X86_VARIANTS
void cdf97_forward_streaming_fma(std::span<const float> input, std::span<float> approximations,
                                 std::span<float> details);
void cdf97_forward_streaming_avx2(std::span<const float> input, std::span<float> approximations,
                                  std::span<float> details);
void cdf97_inverse_streaming_fma(const StripBand& approximations,
                                 const StripBand& details, std::span<float> output);
void cdf97_inverse_streaming_avx2(const StripBand& approximations,
                                  const StripBand& details, std::span<float> output);
#endif
#if QUORVANE_NEON_VARIANTS
void cdf97_forward_streaming_neon(std::span<const float> input, std::span<float> approximations,
                                  std::span<float> details);
void cdf97_inverse_streaming_neon(const StripBand& approximations,
                                  const StripBand& details, std::span<float> output);
#endif

namespace {

void cdf97_inverse_streaming_portable(const StripBand& approximations,
                                      const StripBand& details, std::span<float> output) {
  cdf97_inverse_streaming_steps<BaselinePasses, PortableStripPasses>(approximations, details,
                                                                     output);
}

void cdf97_forward_streaming_portable(std::span<const float> input,
                                      std::span<float> approximations, std::span<float> details) {
  cdf97_forward_streaming_steps<BaselinePasses, PortableStripPasses>(input, approximations,
                                                                     details);
}

}  // namespace

Cdf97ForwardStreaming cdf97_forward_streaming(KernelVariant variant) {
  switch (variant) {
#if QUORVANE_X86_VARIANTS
    case KernelVariant::X86Fma:
      return cdf97_forward_streaming_fma;
    case KernelVariant::X86Avx2Fma:
      return cdf97_forward_streaming_avx2;
#endif
#if QUORVANE_NEON_VARIANTS
    case KernelVariant::Neon:
      return cdf97_forward_streaming_neon;
#endif
    default:
      return cdf97_forward_streaming_portable;
  }
}

Cdf97InverseStreaming cdf97_inverse_streaming(KernelVariant variant) {
  switch (variant) {
#if QUORVANE_X86_VARIANTS
    case KernelVariant::X86Fma:
      return cdf97_inverse_streaming_fma;
    case KernelVariant::X86Avx2Fma:
      return cdf97_inverse_streaming_avx2;
#endif
#if QUORVANE_NEON_VARIANTS
    case KernelVariant::Neon:
      return cdf97_inverse_streaming_neon;
#endif
    default:
      return cdf97_inverse_streaming_portable;
  }
}

}  // namespace quorvane::wavelet::lifting
