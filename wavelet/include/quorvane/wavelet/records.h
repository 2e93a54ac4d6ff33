// Decomposition records: owned results of forward transforms and read-only
// views handed to inverse transforms.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quorvane::wavelet {

// One decomposition step.
struct Dwt {
  std::vector<float> approximations;
  std::vector<float> details;
};

// A multi-level decomposition, finest level first. Every level keeps the
// approximations its step produced, so the coarsest approximation of the
// whole decomposition is levels.back().approximations.
struct MultiDwt {
  std::vector<Dwt> levels;
};

// Read-only view of one level, input of a single synthesis step.
struct DwtRef {
  std::span<const float> approximations;
  std::span<const float> details;
};

// Read-only view of a multi-level decomposition: the coarsest approximation
// only, and the detail bands finest first (the order of MultiDwt::levels).
struct MultiDwtRef {
  std::span<const float> approximations;
  std::vector<std::span<const float>> details;
};

// Lengths of one decomposition step: approximations first, details second.
struct DwtSize {
  std::size_t approximations;
  std::size_t details;
  friend bool operator==(const DwtSize&, const DwtSize&) = default;
};

}  // namespace quorvane::wavelet
