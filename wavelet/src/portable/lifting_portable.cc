// The portable lifting table, and the choice between the compiled variants.
#include "portable/lifting_kernels.h"

namespace quorvane::wavelet::lifting {

#if QUORVANE_X86_VARIANTS
extern const LiftingKernels kFmaLiftingKernels;
extern const LiftingKernels kAvx2LiftingKernels;
#endif
#if QUORVANE_NEON_VARIANTS
extern const LiftingKernels kNeonLiftingKernels;
#endif

namespace {

QUORVANE_LIFTING_KERNELS(, BaselinePasses)

const LiftingKernels kPortableLiftingKernels{cdf97_forward, cdf97_inverse, cdf53_forward,
                                             cdf53_inverse};

}  // namespace

const LiftingKernels& lifting_kernels(KernelVariant variant) {
  switch (variant) {
#if QUORVANE_X86_VARIANTS
    case KernelVariant::X86Fma:
      return kFmaLiftingKernels;
    case KernelVariant::X86Avx2Fma:
      return kAvx2LiftingKernels;
#endif
#if QUORVANE_NEON_VARIANTS
    case KernelVariant::Neon:
      return kNeonLiftingKernels;
#endif
    default:
      return kPortableLiftingKernels;
  }
}

}  // namespace quorvane::wavelet::lifting
