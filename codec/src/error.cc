#include "quorvane/codec/error.h"

#include <cstddef>
#include <string>

#include "utf8.h"

namespace quorvane::codec {

QuorvaneError QuorvaneError::invalid_compression_method(std::array<std::uint8_t, 4> code) {
  QuorvaneError error(Kind::InvalidCompressionMethod);
  error.bytes_ = code;
  error.byte_count_ = 4;
  return error;
}

QuorvaneError QuorvaneError::invalid_magic(std::array<std::uint8_t, 4> magic) {
  QuorvaneError error(Kind::InvalidMagic);
  error.bytes_ = magic;
  error.byte_count_ = 4;
  return error;
}

QuorvaneError QuorvaneError::invalid_compression_tag(std::array<std::uint8_t, 2> tag) {
  QuorvaneError error(Kind::InvalidCompressionTag);
  error.bytes_ = {tag[0], tag[1], 0, 0};
  error.byte_count_ = 2;
  return error;
}

QuorvaneError QuorvaneError::invalid_header_version(std::array<std::uint8_t, 2> version) {
  QuorvaneError error(Kind::InvalidHeaderVersion);
  error.bytes_ = {version[0], version[1], 0, 0};
  error.byte_count_ = 2;
  return error;
}

QuorvaneError QuorvaneError::transform_failed(std::string text) {
  QuorvaneError error(Kind::TransformFailed);
  error.text_ = std::move(text);
  return error;
}

QuorvaneError QuorvaneError::compression_failed(std::string text) {
  QuorvaneError error(Kind::CompressionFailed);
  error.text_ = std::move(text);
  return error;
}

QuorvaneError QuorvaneError::out_of_memory(std::uint64_t count) {
  QuorvaneError error(Kind::OutOfMemory);
  error.number_ = count;
  return error;
}

QuorvaneError QuorvaneError::invalid_header() { return QuorvaneError(Kind::InvalidHeader); }

QuorvaneError QuorvaneError::unsupported_configuration(std::string text) {
  QuorvaneError error(Kind::UnsupportedConfiguration);
  error.text_ = std::move(text);
  return error;
}

QuorvaneError QuorvaneError::decompression_failed(std::string text) {
  QuorvaneError error(Kind::DecompressionFailed);
  error.text_ = std::move(text);
  return error;
}

QuorvaneError QuorvaneError::unsupported_scale(std::uint8_t scale) {
  QuorvaneError error(Kind::UnsupportedScale);
  error.number_ = scale;
  return error;
}

QuorvaneError QuorvaneError::unknown_entropy_coder(std::uint8_t coder) {
  QuorvaneError error(Kind::UnknownEntropyCoder);
  error.number_ = coder;
  return error;
}

namespace {

// Byte payloads are shown as text when they are valid UTF-8, else as one
// question mark per byte ("????" or "??").
std::string bytes_as_text(const std::array<std::uint8_t, 4>& bytes, std::size_t count) {
  const std::string_view view(reinterpret_cast<const char*>(bytes.data()), count);
  if (is_valid_utf8(view)) return std::string(view);
  return std::string(count, '?');
}

}  // namespace

std::string QuorvaneError::message() const {
  switch (kind_) {
    case Kind::InvalidCompressionMethod:
    case Kind::InvalidCompressionTag:
      // The tag shares the method's wording; only the shown code's length differs.
      return "Invalid compression method '" + bytes_as_text(bytes_, byte_count_) + "'";
    case Kind::InvalidMagic:
      return "Magic should be 'QRVN' but it was '" + bytes_as_text(bytes_, byte_count_) + "'";
    case Kind::InvalidHeaderVersion:
      return "Invalid header version '" + bytes_as_text(bytes_, byte_count_) + "'";
    case Kind::TransformFailed:
    case Kind::CompressionFailed:
      return text_;
    case Kind::OutOfMemory:
      return "Out of memory, can't allocate additional " + std::to_string(number_);
    case Kind::InvalidHeader:
      return "Header is invalid";
    case Kind::UnsupportedConfiguration:
      return "Unsupported compression configuration '" + text_ + "'";
    case Kind::DecompressionFailed:
      return "Can't decompress data, reason: " + text_;
    case Kind::UnsupportedScale:
      return "Only scaled 6..12 is supported, but it was " + std::to_string(number_);
    case Kind::UnknownEntropyCoder:
      return "Unknown entropy coder " + std::to_string(number_);
  }
  return "Unknown codec error";
}

}  // namespace quorvane::codec
