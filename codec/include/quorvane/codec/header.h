// The 52-byte stream header that precedes every payload. All numbers are
// little-endian; floats are IEEE-754 binary32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "quorvane/codec/error.h"
#include "quorvane/codec/options.h"

namespace quorvane::codec {

inline constexpr std::size_t HEADER_SIZE = 52;

inline constexpr std::uint8_t kCoderDeflate = 0;
inline constexpr std::uint8_t kCoderArans = 1;
// Opt-in: never written by default (docs/format.md).
inline constexpr std::uint8_t kCoderBands = 2;

// One member per header field, in stream order and of the same width.
struct QuorvaneHeader {
  std::array<std::uint8_t, 4> magic{};
  std::array<std::uint8_t, 2> version{};
  std::array<std::uint8_t, 2> compression_tag{};
  std::array<std::uint8_t, 4> method{};
  std::uint8_t levels = 0;
  std::uint8_t scale = 0;
  std::uint8_t coder = 0;
  std::uint8_t reserved = 0;
  std::uint32_t sample_count = 0;
  float min = 0.0f;
  float max = 0.0f;
  float mean = 0.0f;
  std::uint32_t payload_len = 0;
  std::array<std::uint8_t, 16> reserved_tail{};

  // Parses and validates the first 52 bytes; the rest is ignored.
  static CodecResult<QuorvaneHeader> from_bytes(std::span<const std::uint8_t> bytes);

  // A header as the encoder writes it: magic "QRVN", version 1.1, tag "f3",
  // zero reserved bytes.
  static QuorvaneHeader for_stream(WaveletMethod method, std::uint8_t levels, std::uint8_t scale,
                                   std::uint8_t coder, std::uint32_t sample_count, float min,
                                   float max, float mean, std::uint32_t payload_len);

  // Writes every field, byte for byte, into `out`.
  void write(std::span<std::uint8_t, HEADER_SIZE> out) const;
};

// The four-byte code of a method ("cf53", "cf97", "db04", "sym4").
std::array<std::uint8_t, 4> method_code(WaveletMethod method);
// The method a code names, if any.
std::optional<WaveletMethod> method_from_code(std::span<const std::uint8_t, 4> code);

}  // namespace quorvane::codec
