// The quorvane trailer (docs/trailer-format.md): what follows a stream in a
// chunk whose samples the stream alone cannot give back, here the NaN and
// infinities of a chunk. Written and read byte for byte as the format
// document says, so that every other reader of the format reads the
// filter's chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "filter_parameters.h"
#include "quorvane/codec/header.h"

namespace quorvane::hdf5 {

enum class NonFiniteKind : std::uint8_t { nan = 0, positive_infinity = 1, negative_infinity = 2 };

// A stretch of samples of one non-finite kind.
struct NonFiniteRun {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  NonFiniteKind kind = NonFiniteKind::nan;
  friend bool operator==(const NonFiniteRun&, const NonFiniteRun&) = default;
};

enum class TrailerDtype : std::uint8_t { float32 = 1, float64 = 2 };

struct Trailer {
  // Absent for a bare stream.
  std::optional<TrailerDtype> dtype;
  std::vector<NonFiniteRun> runs;
  // Set when every sample is non-finite: the stream is a placeholder and the
  // chunk holds this many samples, all of them in `runs`.
  std::optional<std::uint32_t> placeholder_samples;
};

// The maximal runs of NaN, +inf and -inf, in sample order.
std::vector<NonFiniteRun> find_non_finite(std::span<const float> samples);

// Replaces every non-finite sample by the linear interpolation of its
// nearest finite neighbours (the nearest one at either end), computed in
// double precision and rounded once to float, as NumPy's interp does: the
// values stay inside the finite range and smooth, so they cost no ratio.
// Without any finite sample, every sample becomes 0.0.
void fill_non_finite(std::span<float> samples);

// Writes every sample the runs cover.
void apply_runs(std::span<float> samples, std::span<const NonFiniteRun> runs);

// The trailer bytes to append to `stream` (exactly one whole stream).
std::vector<std::uint8_t> build_trailer(std::span<const std::uint8_t> stream, TrailerDtype dtype,
                                        std::span<const NonFiniteRun> runs,
                                        std::optional<std::uint32_t> placeholder_samples);

// Checks and reads what follows the stream in `chunk`; `header` is the
// chunk's parsed stream header. A damaged, truncated or impossible trailer
// is refused.
FilterResult<Trailer> read_trailer(std::span<const std::uint8_t> chunk, const codec::QuorvaneHeader& header);

}  // namespace quorvane::hdf5
