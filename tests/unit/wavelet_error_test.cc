#include "quorvane/wavelet/error.h"

#include <gtest/gtest.h>

namespace quorvane::wavelet {
namespace {

TEST(WaveletError, RendersEveryTemplate) {
  struct Case {
    WaveletError error;
    const char* text;
  };
  const Case cases[] = {
      {WaveletError::cannot_allocate(40), "Cannot allocate 40 bytes to vector"},
      {WaveletError::unexpected_decomposition_size(7),
       "Approximation and details expected to be half of original signal length but it was 7"},
      {WaveletError::approx_details_mismatch(7, 6), "Approx and details must match, but they don't 7x6"},
      {WaveletError::input_not_divisible(2), "Input must be divisible by 2"},
      {WaveletError::overflow(), "Overflow is happened"},
      {WaveletError::output_size_mismatch(9, 8), "Output size should be 8, but it was 9"},
      {WaveletError::input_too_short(5, 8), "Input size 5 can't be less than 8"},
      {WaveletError::input_output_size_mismatch(3, 4), "Input size 3 does not match output size 4"},
      {WaveletError::zero_or_odd_sized_wavelet(), "Zero or odd sized wavelet"},
      {WaveletError::filter_center_too_large(9, 8), "Filter center 9 was larger than filter size 8"},
      {WaveletError::buffer_too_small_for_level(), "Buffer was too small for provided level"},
      {WaveletError::approximation_size_mismatch(5, 4), "Approximate size 5 does not match required size 4"},
      {WaveletError::details_size_mismatch(0, 1), "Details size 0 does not match required size 1"},
      {WaveletError::zero_sized_input(), "Zero sized input is not supported"},
      {WaveletError::input_size_mismatch(10, 11), "Input size expected to be 10 but it was 11"},
      {WaveletError::scratch_size_mismatch(44, 0), "Scratch size expected to be 44 but it was 0"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

TEST(WaveletError, VariantsKeepDeclarationOrder) {
  EXPECT_EQ(static_cast<int>(WaveletError::Kind::CannotAllocate), 0);
  EXPECT_EQ(static_cast<int>(WaveletError::Kind::ApproxDetailsMismatch), 2);
  EXPECT_EQ(static_cast<int>(WaveletError::Kind::OutputSizeMismatch), 5);
  EXPECT_EQ(static_cast<int>(WaveletError::Kind::ScratchSizeMismatch), 15);
}

}  // namespace
}  // namespace quorvane::wavelet
