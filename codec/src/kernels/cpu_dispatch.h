// Which instruction-set variant of the codec's per-sample kernels runs on
// this CPU, decided once per process.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_CODEC_X86_VARIANTS 1
#define QUORVANE_CODEC_AVX2_FMA_TARGET [[gnu::target("avx2,fma")]]
#else
#define QUORVANE_CODEC_X86_VARIANTS 0
#define QUORVANE_CODEC_AVX2_FMA_TARGET
#endif

namespace quorvane::codec::kernels {

// Eight-lane AVX2 vectors with FMA instructions.
inline bool cpu_has_avx2_fma() {
#if QUORVANE_CODEC_X86_VARIANTS
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported;
#else
  return false;
#endif
}

}  // namespace quorvane::codec::kernels
