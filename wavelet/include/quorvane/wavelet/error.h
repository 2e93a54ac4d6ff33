// The wavelet engine's error type: sixteen variants, each rendering one
// message from a fixed template. The codec only ever sees the rendered text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvane/result.h"

namespace quorvane::wavelet {

class WaveletError {
 public:
  // Declaration order is part of the type; keep it.
  enum class Kind : std::uint8_t {
    CannotAllocate,
    UnexpectedDecompositionSize,
    ApproxDetailsMismatch,
    InputNotDivisible,
    Overflow,
    OutputSizeMismatch,
    InputTooShort,
    InputOutputSizeMismatch,
    ZeroOrOddSizedWavelet,
    FilterCenterTooLarge,
    BufferTooSmallForLevel,
    ApproximationSizeMismatch,
    DetailsSizeMismatch,
    ZeroSizedInput,
    InputSizeMismatch,
    ScratchSizeMismatch,
  };

  static WaveletError cannot_allocate(std::size_t bytes) { return {Kind::CannotAllocate, bytes, 0}; }
  static WaveletError unexpected_decomposition_size(std::size_t size) {
    return {Kind::UnexpectedDecompositionSize, size, 0};
  }
  static WaveletError approx_details_mismatch(std::size_t approximations_length,
                                              std::size_t details_length) {
    return {Kind::ApproxDetailsMismatch, approximations_length, details_length};
  }
  static WaveletError input_not_divisible(std::size_t divisor) {
    return {Kind::InputNotDivisible, divisor, 0};
  }
  static WaveletError overflow() { return {Kind::Overflow, 0, 0}; }
  static WaveletError output_size_mismatch(std::size_t actual, std::size_t expected) {
    return {Kind::OutputSizeMismatch, actual, expected};
  }
  static WaveletError input_too_short(std::size_t size, std::size_t minimum) {
    return {Kind::InputTooShort, size, minimum};
  }
  static WaveletError input_output_size_mismatch(std::size_t input_size, std::size_t output_size) {
    return {Kind::InputOutputSizeMismatch, input_size, output_size};
  }
  static WaveletError zero_or_odd_sized_wavelet() { return {Kind::ZeroOrOddSizedWavelet, 0, 0}; }
  static WaveletError filter_center_too_large(std::size_t center, std::size_t filter_size) {
    return {Kind::FilterCenterTooLarge, center, filter_size};
  }
  static WaveletError buffer_too_small_for_level() { return {Kind::BufferTooSmallForLevel, 0, 0}; }
  static WaveletError approximation_size_mismatch(std::size_t size, std::size_t required) {
    return {Kind::ApproximationSizeMismatch, size, required};
  }
  static WaveletError details_size_mismatch(std::size_t size, std::size_t required) {
    return {Kind::DetailsSizeMismatch, size, required};
  }
  static WaveletError zero_sized_input() { return {Kind::ZeroSizedInput, 0, 0}; }
  static WaveletError input_size_mismatch(std::size_t expected, std::size_t actual) {
    return {Kind::InputSizeMismatch, expected, actual};
  }
  static WaveletError scratch_size_mismatch(std::size_t expected, std::size_t actual) {
    return {Kind::ScratchSizeMismatch, expected, actual};
  }

  Kind kind() const { return kind_; }
  // The payload fields in declaration order (0 where the variant has fewer).
  std::size_t first() const { return first_; }
  std::size_t second() const { return second_; }

  std::string message() const;

  friend bool operator==(const WaveletError&, const WaveletError&) = default;

 private:
  WaveletError(Kind kind, std::size_t first, std::size_t second)
      : kind_(kind), first_(first), second_(second) {}

  Kind kind_;
  std::size_t first_;
  std::size_t second_;
};

template <class T>
using WaveletResult = Result<T, WaveletError>;
using WaveletStatus = Status<WaveletError>;

}  // namespace quorvane::wavelet
