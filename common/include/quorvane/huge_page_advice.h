// Large buffers ask for transparent huge pages. A fresh buffer of 10^7 floats
// takes about ten thousand 4 KiB page faults the first time it is written,
// which cost more than the transform that writes it; with 2 MiB pages it
// takes twenty. Only advice: where the kernel does not grant huge pages
// (disabled, another page size, not Linux) nothing changes, and no result
// depends on it.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvane {

// Smaller buffers would gain at most a few faults.
inline constexpr std::size_t kHugePageAdviceMinBytes = std::size_t{8} << 20;

// Advises the 2 MiB-aligned part of [data, data + bytes), before its pages
// are first touched.
inline void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr || bytes < kHugePageAdviceMinBytes) return;
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  if (end > first) (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace quorvane
