// QuorvaneError: the codec's single error type. Twelve variants with fixed
// message templates; byte-array payloads hold the raw bytes read from a stream.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "quorvane/result.h"

namespace quorvane::codec {

class QuorvaneError {
 public:
  // Declaration order is part of the type; keep it.
  enum class Kind : std::uint8_t {
    InvalidCompressionMethod,
    InvalidMagic,
    InvalidCompressionTag,
    InvalidHeaderVersion,
    TransformFailed,
    CompressionFailed,
    OutOfMemory,
    InvalidHeader,
    UnsupportedConfiguration,
    DecompressionFailed,
    UnsupportedScale,
    UnknownEntropyCoder,
  };

  static QuorvaneError invalid_compression_method(std::array<std::uint8_t, 4> code);
  static QuorvaneError invalid_magic(std::array<std::uint8_t, 4> magic);
  static QuorvaneError invalid_compression_tag(std::array<std::uint8_t, 2> tag);
  static QuorvaneError invalid_header_version(std::array<std::uint8_t, 2> version);
  static QuorvaneError transform_failed(std::string text);
  static QuorvaneError compression_failed(std::string text);
  static QuorvaneError out_of_memory(std::uint64_t count);
  static QuorvaneError invalid_header();
  static QuorvaneError unsupported_configuration(std::string text);
  static QuorvaneError decompression_failed(std::string text);
  static QuorvaneError unsupported_scale(std::uint8_t scale);
  static QuorvaneError unknown_entropy_coder(std::uint8_t coder);

  Kind kind() const { return kind_; }
  // The text payload (empty for the other variants).
  const std::string& text() const { return text_; }
  // The numeric payload of OutOfMemory, UnsupportedScale, UnknownEntropyCoder.
  std::uint64_t number() const { return number_; }

  // The rendered message. Never fails.
  std::string message() const;

  friend bool operator==(const QuorvaneError&, const QuorvaneError&) = default;

 private:
  explicit QuorvaneError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::array<std::uint8_t, 4> bytes_{};
  std::uint8_t byte_count_ = 0;
  std::string text_;
  std::uint64_t number_ = 0;
};

template <class T>
using CodecResult = Result<T, QuorvaneError>;

}  // namespace quorvane::codec
