#include "quorvane/wavelet/error.h"

#include <string>

namespace quorvane::wavelet {

std::string WaveletError::message() const {
  const std::string a = std::to_string(first_);
  const std::string b = std::to_string(second_);
  switch (kind_) {
    case Kind::CannotAllocate:
      return "Cannot allocate " + a + " bytes to vector";
    case Kind::UnexpectedDecompositionSize:
      return "Approximation and details expected to be half of original signal length but it was " + a;
    case Kind::ApproxDetailsMismatch:
      return "Approx and details must match, but they don't " + a + "x" + b;
    case Kind::InputNotDivisible:
      return "Input must be divisible by " + a;
    case Kind::Overflow:
      return "Overflow is happened";
    case Kind::OutputSizeMismatch:
      // The expected size (second field) is printed first.
      return "Output size should be " + b + ", but it was " + a;
    case Kind::InputTooShort:
      return "Input size " + a + " can't be less than " + b;
    case Kind::InputOutputSizeMismatch:
      return "Input size " + a + " does not match output size " + b;
    case Kind::ZeroOrOddSizedWavelet:
      return "Zero or odd sized wavelet";
    case Kind::FilterCenterTooLarge:
      return "Filter center " + a + " was larger than filter size " + b;
    case Kind::BufferTooSmallForLevel:
      return "Buffer was too small for provided level";
    case Kind::ApproximationSizeMismatch:
      return "Approximate size " + a + " does not match required size " + b;
    case Kind::DetailsSizeMismatch:
      return "Details size " + a + " does not match required size " + b;
    case Kind::ZeroSizedInput:
      return "Zero sized input is not supported";
    case Kind::InputSizeMismatch:
      return "Input size expected to be " + a + " but it was " + b;
    case Kind::ScratchSizeMismatch:
      return "Scratch size expected to be " + a + " but it was " + b;
  }
  return "Unknown wavelet error";
}

}  // namespace quorvane::wavelet
