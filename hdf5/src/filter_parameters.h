// The filter's parameters (HDF5 cd_values): the writer's choice of options
// and what the dataset implies, read and written in one place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "quorvane/codec/options.h"
#include "quorvane/result.h"
#include "quorvane_hdf5.h"

namespace quorvane::hdf5 {

inline constexpr unsigned kFilterId = QUORVANE_H5Z_FILTER;
inline constexpr std::size_t kUserValueCount = QUORVANE_H5Z_USER_VALUES;
inline constexpr std::size_t kValueCount = QUORVANE_H5Z_VALUES;

// One message; it reaches the user through HDF5's error stack.
struct FilterError {
  std::string message;
};

template <class T>
using FilterResult = Result<T, FilterError>;

// What one dataset's chunks look like in the file.
struct ChunkLayout {
  unsigned element_size = 4;       // 4 float32, 8 float64
  bool big_endian = false;         // byte order of the stored elements
  std::uint32_t chunk_samples = 0;  // elements per chunk
};

// The coder slot's value that asks for coder 2 (the band coder), after the
// codec's own 0 deflate, 1 rANS, 2 auto. Opt-in: other readers of the
// format cannot read its streams.
inline constexpr unsigned kBandCoderValue = QUORVANE_H5Z_CODER_BANDS;

// What the writer chose: the codec's options, and whether the payload is
// coded with coder 2 instead of the coder `options` names.
struct WriterChoice {
  codec::CodecOptions options;
  bool band_coder = false;

  friend bool operator==(const WriterChoice&, const WriterChoice&) = default;
};

struct FilterParameters {
  codec::CodecOptions options;
  ChunkLayout layout;
  bool band_coder = false;
};

// The writer's values, checked; values missing at the end take the defaults.
FilterResult<WriterChoice> parse_user_values(std::span<const unsigned> values);

// The complete list a dataset stores, as written by `stored_values`.
FilterResult<FilterParameters> parse_stored_values(std::span<const unsigned> values);

std::array<unsigned, kValueCount> stored_values(const FilterParameters& parameters);

}  // namespace quorvane::hdf5
