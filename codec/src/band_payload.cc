#include "quorvane/codec/band_payload.h"

#include <algorithm>
#include <string>

#include "quorvane/arans/band_coder.h"
#include "wavelet_choice.h"

namespace quorvane::codec {

CodecResult<std::vector<std::uint8_t>> encode_band_payload(std::span<const std::int16_t> coefficients,
                                                           WaveletMethod method,
                                                           std::uint32_t sample_count,
                                                           std::uint8_t levels) {
  const wavelet::DwtExecutorHandle executor = executor_for(method);
  if (!executor || sample_count == 0 || levels == 0 || levels > 10) {
    return Err{QuorvaneError::compression_failed("No band layout for these header fields")};
  }
  // As the decoder derives it: short signals were transformed at the filter length.
  std::size_t length = std::max<std::size_t>(sample_count, executor->filter_length());
  arans::BandLayout layout;
  for (unsigned level = 0; level < levels; ++level) {
    const wavelet::DwtSize size = executor->dwt_size(length);
    layout.details.push_back(size.details);
    layout.approximations = size.approximations;
    length = size.approximations;
  }
  auto payload = arans::encode_bands(coefficients, layout);
  if (!payload.ok()) {
    std::size_t count = 0;
    (void)layout.total(count);
    return Err{QuorvaneError::compression_failed(
        "The bands of this stream hold " + std::to_string(count) + " coefficients, but " +
        std::to_string(coefficients.size()) + " were given")};
  }
  return std::move(payload).value();
}

}  // namespace quorvane::codec
