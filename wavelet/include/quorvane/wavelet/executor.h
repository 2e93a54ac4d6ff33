// The operations every wavelet offers. Executors are immutable once built and
// shared through atomically counted handles (DwtExecutorHandle), so one
// executor may serve any number of threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "quorvane/wavelet/error.h"
#include "quorvane/wavelet/records.h"

namespace quorvane::wavelet {

// One analysis step.
class DwtForwardExecutor {
 public:
  virtual ~DwtForwardExecutor() = default;

  // Decomposes `input` once into spans of exactly dwt_size(input.size()).
  // All size checks run before anything is written.
  virtual WaveletStatus execute_forward(std::span<const float> input,
                                        std::span<float> approximations,
                                        std::span<float> details) const = 0;
  // The same, with caller-provided scratch of at least
  // required_scratch_size(input.size()) floats; its contents do not matter.
  virtual WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                                     std::span<float> approximations,
                                                     std::span<float> details,
                                                     std::span<float> scratch) const = 0;
  virtual std::size_t required_scratch_size(std::size_t input_length) const = 0;
  virtual DwtSize dwt_size(std::size_t input_length) const = 0;
};

// One synthesis step.
class DwtInverseExecutor {
 public:
  virtual ~DwtInverseExecutor() = default;

  // `output` must hold idwt_size({approximations, details}) floats. The
  // filter banks add into it, so it must be zero on entry.
  virtual WaveletStatus execute_inverse(std::span<const float> approximations,
                                        std::span<const float> details,
                                        std::span<float> output) const = 0;
  virtual std::size_t idwt_size(DwtSize size) const = 0;
};

class IncompleteDwtExecutor : public DwtForwardExecutor, public DwtInverseExecutor {
 public:
  // Length of the analysis filter.
  virtual std::size_t filter_length() const = 0;
};

class DwtExecutor : public IncompleteDwtExecutor {
 public:
  // `level` steps, each on the previous approximations; only the last step's
  // record is returned. Level 0 acts as 1.
  virtual WaveletResult<Dwt> dwt(std::span<const float> input, std::size_t level) const = 0;
  // `levels` steps, every one recorded, finest first. Levels 0 and 1 both give
  // one record.
  virtual WaveletResult<MultiDwt> multi_dwt(std::span<const float> input,
                                            std::size_t levels) const = 0;
  virtual WaveletResult<std::vector<float>> idwt(const DwtRef& level) const = 0;
  // Reconstructs from the coarsest level down to the finest.
  virtual WaveletResult<std::vector<float>> multi_idwt(const MultiDwtRef& decomposition) const = 0;
};

using DwtExecutorHandle = std::shared_ptr<const DwtExecutor>;
using IncompleteDwtExecutorHandle = std::shared_ptr<const IncompleteDwtExecutor>;

}  // namespace quorvane::wavelet
