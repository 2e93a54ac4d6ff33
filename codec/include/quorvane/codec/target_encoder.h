// The target encoder: standard streams (decodable by the unchanged
// `decompress`) written with settings the reference `compress` never uses: a
// continuous quantiser step, rounding to nearest with a chosen dead zone and
// up to 10 levels, either given explicitly or chosen to meet a quality target
// (largest absolute error, smallest PSNR, largest RMSE) with the fewest bytes.
//
// What the stream format allows, and so what this encoder can reach:
// - Every coefficient is an int16 in units of one step for all bands. A
//   signal needs roughly range / step times the coarsest band's gain
//   (about 2^(levels/2)) quantiser units to be represented; beyond 32767
//   units the coefficients would clamp, so tight targets force fewer levels,
//   and a bound far below range / 32767 (e.g. one LSB on full-scale 16-bit
//   audio) is out of reach. Such targets fail with TargetUnreachable.
// - 1..10 decomposition levels; one step for all bands (no per-band
//   weighting), which the dead zone partly makes up for.
// - Reconstructions are float32: a bound below half a float32 ULP of the
//   samples cannot be promised.
// - The decoder's affine map out = fma(y + mean, max - min, min) is the only
//   place the step lives, so the stored max - min is step * 2^scale and not
//   the signal's range; the header's reserved tail then records the true
//   extremes (see ProvenanceRecord).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorvane/codec/header.h"
#include "quorvane/codec/options.h"
#include "quorvane/result.h"

namespace quorvane::codec {

// Entropy coders by the id the stream header stores. New coders get the next
// id here and one entry in kStreamCoders; everything else goes through these.
// `bands` (coder 2) is opt-in: decoders of the format older than it cannot
// read it, so it is written only when asked for.
enum class StreamCoder : std::uint8_t { deflate = 0, arans = 1, bands = 2 };
inline constexpr StreamCoder kStreamCoders[] = {StreamCoder::deflate, StreamCoder::arans, StreamCoder::bands};
const char* stream_coder_name(StreamCoder coder);

inline constexpr std::uint8_t kMaxTargetLevels = 10;

// Everything the explicit encoder needs besides the samples.
struct TargetSettings {
  WaveletMethod method = WaveletMethod::cdf97;
  std::uint8_t levels = 8;  // 1..10
  // 6..12. Decides only how the step is split between the header's scale and
  // its stored range (stored max - min = step * 2^scale).
  std::uint8_t scale = 12;
  float step = 0.0f;  // quantiser step in the signal's own units, > 0
  // Detail coefficients smaller than dead_zone steps become 0; the rest are
  // rounded to the nearest step. 0.5 is plain rounding; 0.5..4.
  float dead_zone = 0.5f;
  StreamCoder coder = StreamCoder::arans;

  friend bool operator==(const TargetSettings&, const TargetSettings&) = default;
};

class TargetError {
 public:
  enum class Kind : std::uint8_t {
    InvalidSettings,    // a settings field outside its range
    InvalidTarget,      // no bound, or a bound that is negative or NaN
    NonFiniteInput,     // NaN or infinity among the samples
    TargetUnreachable,  // no stream of the format meets the target
    CodecFailed,        // the codec reported an error (its message is kept)
  };
  TargetError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind() const { return kind_; }
  const std::string& message() const { return text_; }
  friend bool operator==(const TargetError&, const TargetError&) = default;

 private:
  Kind kind_;
  std::string text_;
};

template <class T>
using TargetResult = Result<T, TargetError>;

// A standard stream of `samples` with exactly these settings. The step the
// decoder applies is (max - min as stored) * 2^-scale, which may differ from
// settings.step in its last float bits.
TargetResult<std::vector<std::uint8_t>> encode_with_settings(std::span<const float> samples,
                                                             const TargetSettings& settings);

// A quality target; every bound given must hold, at least one is needed.
// PSNR takes the signal's range (max - min) as its peak.
struct QualityTarget {
  std::optional<double> max_abs_error;
  std::optional<double> min_psnr;
  std::optional<double> max_rmse;
  std::vector<WaveletMethod> methods;  // empty: all four
  std::vector<StreamCoder> coders;     // empty: the rANS coder
};

// Measured on the stream as `decompress` decodes it, against the samples.
struct AchievedMetrics {
  double max_abs_error = 0.0;
  double rmse = 0.0;
  double psnr = 0.0;  // +inf for an exact reconstruction
};

struct TargetEncoding {
  std::vector<std::uint8_t> stream;
  TargetSettings settings;
  AchievedMetrics metrics;
  // How often the closed loop had to shrink the step it first chose because
  // the max-error correction could not bring every sample inside the bound
  // (or the model missed an RMSE goal). Each retry costs ratio and time.
  std::uint32_t step_retries = 0;
  // The stream as `decompress` decoded it for the check above, so that a
  // caller who measures it again need not decode it a second time.
  std::vector<float> decoded;
};

// The smallest stream this encoder finds that meets `target`, verified by
// decoding it with `decompress`. Never returns a stream that misses.
TargetResult<TargetEncoding> encode_to_target(std::span<const float> samples,
                                              const QualityTarget& target);

// Error measures of `decoded` against `samples` (equal lengths).
AchievedMetrics measure(std::span<const float> samples, std::span<const float> decoded);

// The record the target encoder leaves in the header's reserved tail: the
// signal's true extremes, which the stored min/max no longer are. Layout:
// tag "QTE1", min and max as little-endian float32, 4 zero bytes. Decoders
// never look at it.
struct ProvenanceRecord {
  float true_min = 0.0f;
  float true_max = 0.0f;
};
inline constexpr std::uint8_t kProvenanceTag[4] = {'Q', 'T', 'E', '1'};
std::array<std::uint8_t, 16> provenance_tail(const ProvenanceRecord& record);
// The record in a header's tail, if it carries one.
std::optional<ProvenanceRecord> read_provenance(const QuorvaneHeader& header);

}  // namespace quorvane::codec
