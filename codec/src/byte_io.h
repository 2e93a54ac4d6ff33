// Little-endian loads and stores, independent of the host's byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace quorvane::codec {

inline std::uint32_t load_le32(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline void store_le32(std::span<std::uint8_t, 4> out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
  out[2] = static_cast<std::uint8_t>(value >> 16);
  out[3] = static_cast<std::uint8_t>(value >> 24);
}

inline float load_le_f32(std::span<const std::uint8_t, 4> bytes) {
  return std::bit_cast<float>(load_le32(bytes));
}

inline void store_le_f32(std::span<std::uint8_t, 4> out, float value) {
  store_le32(out, std::bit_cast<std::uint32_t>(value));
}

}  // namespace quorvane::codec
