// The small public pieces of the target encoder: coder names, the provenance
// record in the header's reserved tail, and the error measures.
#include <cmath>
#include <cstring>
#include <limits>

#include "byte_io.h"
#include "quorvane/codec/target_encoder.h"

namespace quorvane::codec {

const char* stream_coder_name(StreamCoder coder) {
  switch (coder) {
    case StreamCoder::deflate:
      return "deflate";
    case StreamCoder::arans:
      return "arans";
    case StreamCoder::bands:
      return "bands";
  }
  return "unknown";
}

std::array<std::uint8_t, 16> provenance_tail(const ProvenanceRecord& record) {
  std::array<std::uint8_t, 16> tail{};
  std::memcpy(tail.data(), kProvenanceTag, 4);
  store_le_f32(std::span<std::uint8_t, 4>(tail.data() + 4, 4), record.true_min);
  store_le_f32(std::span<std::uint8_t, 4>(tail.data() + 8, 4), record.true_max);
  return tail;
}

std::optional<ProvenanceRecord> read_provenance(const QuorvaneHeader& header) {
  const auto& tail = header.reserved_tail;
  if (std::memcmp(tail.data(), kProvenanceTag, 4) != 0) return std::nullopt;
  ProvenanceRecord record;
  record.true_min = load_le_f32(std::span<const std::uint8_t, 4>(tail.data() + 4, 4));
  record.true_max = load_le_f32(std::span<const std::uint8_t, 4>(tail.data() + 8, 4));
  return record;
}

AchievedMetrics measure(std::span<const float> samples, std::span<const float> decoded) {
  AchievedMetrics metrics;
  double squares = 0.0;
  float min = std::numeric_limits<float>::infinity();
  float max = -min;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double error = static_cast<double>(decoded[i]) - static_cast<double>(samples[i]);
    metrics.max_abs_error = std::max(metrics.max_abs_error, std::fabs(error));
    squares += error * error;
    min = std::min(min, samples[i]);
    max = std::max(max, samples[i]);
  }
  metrics.rmse = samples.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(samples.size()));
  const double peak = samples.empty() ? 0.0 : static_cast<double>(max) - static_cast<double>(min);
  if (metrics.rmse == 0.0) {
    metrics.psnr = std::numeric_limits<double>::infinity();
  } else if (peak == 0.0) {
    metrics.psnr = -std::numeric_limits<double>::infinity();
  } else {
    metrics.psnr = 20.0 * std::log10(peak / metrics.rmse);
  }
  return metrics;
}

}  // namespace quorvane::codec
