// CodecOptions: how one signal is compressed, and the default options. The
// codec applies no defaults of its own (compress takes every field as given);
// the defaults here are the one statement of what QuorvCompressionOptions()
// and compress_signal without options use, and what the Python tools read.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvane::codec {

enum class WaveletMethod : std::uint8_t { cdf53 = 0, cdf97 = 1, db4 = 2, sym4 = 3 };
enum class CutoffLevel : std::uint8_t { low = 0, medium = 1, high = 2 };
// `auto` is spelled `automatic` here because `auto` is a C++ keyword; it is
// the rANS coder (no trial of both).
enum class EntropyCoder : std::uint8_t { deflate = 0, arans = 1, automatic = 2 };

inline constexpr std::uint8_t kMinScale = 6;
inline constexpr std::uint8_t kMaxScale = 12;

// A default-constructed CodecOptions holds the default options.
struct CodecOptions {
  WaveletMethod method = WaveletMethod::cdf97;
  std::uint8_t scale = 11;
  CutoffLevel cutoff = CutoffLevel::low;
  EntropyCoder coder = EntropyCoder::automatic;

  // One 32-bit word, least significant byte first: cutoff, coder, method,
  // scale. The defaults pack to 0x0B010200.
  constexpr std::uint32_t pack() const {
    return static_cast<std::uint32_t>(cutoff) | (static_cast<std::uint32_t>(coder) << 8) |
           (static_cast<std::uint32_t>(method) << 16) | (static_cast<std::uint32_t>(scale) << 24);
  }
  static constexpr CodecOptions unpack(std::uint32_t word) {
    return CodecOptions{static_cast<WaveletMethod>((word >> 16) & 0xFF),
                        static_cast<std::uint8_t>(word >> 24),
                        static_cast<CutoffLevel>(word & 0xFF),
                        static_cast<EntropyCoder>((word >> 8) & 0xFF)};
  }

  friend constexpr bool operator==(const CodecOptions&, const CodecOptions&) = default;
};

inline constexpr CodecOptions kDefaultCodecOptions{};

// The option values as the Python options class spells them.
constexpr std::string_view method_name(WaveletMethod method) {
  switch (method) {
    case WaveletMethod::cdf53:
      return "cdf53";
    case WaveletMethod::cdf97:
      return "cdf97";
    case WaveletMethod::db4:
      return "db4";
    case WaveletMethod::sym4:
      return "sym4";
  }
  return "";
}

constexpr std::string_view cutoff_name(CutoffLevel cutoff) {
  switch (cutoff) {
    case CutoffLevel::low:
      return "low";
    case CutoffLevel::medium:
      return "medium";
    case CutoffLevel::high:
      return "high";
  }
  return "";
}

}  // namespace quorvane::codec
