#include "kernel_variant.h"

#include <vector>

namespace quorvane::wavelet {
namespace {

std::vector<KernelVariant> detect_variants() {
  std::vector<KernelVariant> variants{KernelVariant::Portable};
#if QUORVANE_X86_VARIANTS
  if (__builtin_cpu_supports("fma")) {
    variants.push_back(KernelVariant::X86Fma);
    if (__builtin_cpu_supports("avx2")) variants.push_back(KernelVariant::X86Avx2Fma);
  }
#endif
#if QUORVANE_NEON_VARIANTS
  // Advanced SIMD with fused multiply-add is part of every AArch64 CPU.
  variants.push_back(KernelVariant::Neon);
#endif
  return variants;
}

const std::vector<KernelVariant>& variants() {
  static const std::vector<KernelVariant> detected = detect_variants();
  return detected;
}

}  // namespace

KernelVariant active_kernel_variant() {
#if defined(QUORVANE_PORTABLE_KERNELS)
  return KernelVariant::Portable;
#else
  static const KernelVariant chosen = variants().back();
  return chosen;
#endif
}

std::span<const KernelVariant> available_kernel_variants() { return variants(); }

}  // namespace quorvane::wavelet
