#include "trailer.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace quorvane::hdf5 {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'V', 'T', 'R'};
constexpr std::array<std::uint8_t, 4> kLegacyFloat64 = {'Q', 'V', 'f', '8'};
constexpr std::size_t kFooterSize = 16;
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kRecordRuns = 0x01;
constexpr std::uint8_t kRecordSampleCount = 0x02;
constexpr std::uint8_t kRecordRunsDeflated = 0x03;
// Tags from here on may be skipped by a reader that does not know them.
constexpr std::uint8_t kFirstSkippableTag = 0x80;
constexpr std::size_t kMaxVarintBytes = 5;
constexpr std::uint64_t kMaxSamples = 2147483647;

FilterError trailer_error(const std::string& text) { return FilterError{"quorvane filter: " + text}; }

std::string tag_text(std::uint8_t tag) {
  static const char* digits = "0123456789abcdef";
  return std::string("0x") + digits[tag >> 4] + digits[tag & 15];
}

std::uint32_t load_u32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Unsigned LEB128, seven bits a byte, low group first, minimal length.
void append_varint(std::vector<std::uint8_t>& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t crc32_of(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) {
  uLong value = crc;
  while (!bytes.empty()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
    value = crc32(value, bytes.data(), static_cast<uInt>(piece));
    bytes = bytes.subspan(piece);
  }
  return static_cast<std::uint32_t>(value);
}

void append_record(std::vector<std::uint8_t>& out, std::uint8_t tag, std::span<const std::uint8_t> body) {
  out.push_back(tag);
  append_varint(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
}

// Raw DEFLATE at level 9, as the reference writer packs runs; empty when
// zlib fails, and the plain record is written instead.
std::vector<std::uint8_t> deflate_raw(std::span<const std::uint8_t> body) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::vector<std::uint8_t> packed(deflateBound(&stream, static_cast<uLong>(body.size())));
  stream.next_in = const_cast<Bytef*>(body.data());
  stream.avail_in = static_cast<uInt>(body.size());
  stream.next_out = packed.data();
  stream.avail_out = static_cast<uInt>(packed.size());
  const int status = deflate(&stream, Z_FINISH);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  return status == Z_STREAM_END ? packed : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> runs_body(std::span<const NonFiniteRun> runs) {
  std::vector<std::uint8_t> body;
  append_varint(body, runs.size());
  std::uint64_t end = 0;
  for (const NonFiniteRun& run : runs) {
    append_varint(body, run.start - end);
    append_varint(body, (static_cast<std::uint64_t>(run.length) << 2) | static_cast<std::uint64_t>(run.kind));
    end = static_cast<std::uint64_t>(run.start) + run.length;
  }
  return body;
}

// Every varint of `body`, which must hold whole varints only.
FilterResult<std::vector<std::uint64_t>> decode_varints(std::span<const std::uint8_t> body, const char* what) {
  std::vector<std::uint64_t> numbers;
  std::size_t position = 0;
  while (position < body.size()) {
    std::uint64_t value = 0;
    std::size_t index = 0;
    for (;; ++index) {
      if (index == kMaxVarintBytes) {
        return Err{trailer_error(std::string("trailer ") + what + " holds a number longer than 5 bytes")};
      }
      if (position + index >= body.size()) {
        return Err{trailer_error(std::string("trailer ") + what + " ends inside a number")};
      }
      const std::uint8_t byte = body[position + index];
      value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * index);
      if (byte < 0x80) break;
    }
    numbers.push_back(value);
    position += index + 1;
  }
  return numbers;
}

FilterResult<std::vector<std::uint8_t>> inflate_runs(std::span<const std::uint8_t> packed, std::uint64_t samples) {
  // A runs body of n samples holds at most n runs of two 5-byte varints and
  // a 5-byte count; more output than that is refused while inflating.
  const std::uint64_t limit = kMaxVarintBytes * (1 + 2 * samples);
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return Err{trailer_error("out of memory")};
  std::vector<std::uint8_t> body;
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  int status = Z_OK;
  while (status == Z_OK) {
    const std::size_t used = body.size();
    if (used > limit) break;
    body.resize(used + 65536);
    stream.next_out = body.data() + used;
    stream.avail_out = 65536;
    status = inflate(&stream, Z_NO_FLUSH);
    body.resize(used + (65536 - stream.avail_out));
  }
  const bool ended = status == Z_STREAM_END;
  const bool whole = stream.avail_in == 0;
  inflateEnd(&stream);
  if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR || status == Z_STREAM_ERROR) {
    return Err{trailer_error("trailer deflated non-finite runs are damaged")};
  }
  if (body.size() > limit) {
    return Err{trailer_error("trailer deflated non-finite runs inflate beyond " + std::to_string(limit) + " bytes")};
  }
  if (!ended || !whole) return Err{trailer_error("trailer deflated non-finite runs do not end where their record does")};
  return body;
}

FilterResult<std::vector<NonFiniteRun>> parse_runs(std::span<const std::uint8_t> body, std::uint64_t samples) {
  auto numbers = decode_varints(body, "non-finite runs");
  if (!numbers) return Err{numbers.error()};
  const std::vector<std::uint64_t>& n = numbers.value();
  if (n.empty()) return Err{trailer_error("trailer non-finite runs record is empty")};
  const std::uint64_t count = n[0];
  if (count > samples || n.size() != 1 + 2 * count) {
    return Err{trailer_error("trailer claims " + std::to_string(count) + " non-finite runs in " +
                             std::to_string(samples) + " samples and holds " + std::to_string((n.size() - 1) / 2))};
  }
  const FilterError outside = trailer_error("trailer holds a run outside the " + std::to_string(samples) + " samples");
  std::vector<NonFiniteRun> runs;
  runs.reserve(count);
  std::uint64_t end = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t gap = n[1 + 2 * i];
    const std::uint64_t code = n[2 + 2 * i];
    const std::uint64_t length = code >> 2;
    if ((code & 3) == 3) return Err{trailer_error("trailer names an unknown kind of non-finite value")};
    if (length < 1 || length > samples || gap > samples) return Err{outside};
    const std::uint64_t start = end + gap;
    end = start + length;
    if (end > samples) return Err{outside};
    runs.push_back(NonFiniteRun{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length),
                                static_cast<NonFiniteKind>(code & 3)});
  }
  return runs;
}

}  // namespace

std::vector<NonFiniteRun> find_non_finite(std::span<const float> samples) {
  std::vector<NonFiniteRun> runs;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const float value = samples[i];
    if (std::isfinite(value)) continue;
    const NonFiniteKind kind = std::isnan(value) ? NonFiniteKind::nan
                               : value > 0       ? NonFiniteKind::positive_infinity
                                                 : NonFiniteKind::negative_infinity;
    if (!runs.empty() && runs.back().kind == kind && runs.back().start + runs.back().length == i) {
      ++runs.back().length;
    } else {
      runs.push_back(NonFiniteRun{static_cast<std::uint32_t>(i), 1, kind});
    }
  }
  return runs;
}

void fill_non_finite(std::span<float> samples) {
  const std::size_t n = samples.size();
  std::size_t i = 0;
  std::size_t left = n;  // last finite index before i; n while there is none
  while (i < n) {
    if (std::isfinite(samples[i])) {
      left = i++;
      continue;
    }
    std::size_t right = i;
    while (right < n && !std::isfinite(samples[right])) ++right;
    for (std::size_t k = i; k < right; ++k) {
      if (left == n && right == n) {
        samples[k] = 0.0f;  // nothing finite at all
      } else if (left == n) {
        samples[k] = samples[right];
      } else if (right == n) {
        samples[k] = samples[left];
      } else {
        const double y0 = samples[left];
        const double y1 = samples[right];
        const double slope = (y1 - y0) / static_cast<double>(right - left);
        const double product = slope * static_cast<double>(k - left);  // rounded on its own, as NumPy's is
        samples[k] = static_cast<float>(product + y0);
      }
    }
    i = right;
  }
}

void apply_runs(std::span<float> samples, std::span<const NonFiniteRun> runs) {
  constexpr float kValues[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity()};
  for (const NonFiniteRun& run : runs) {
    std::fill_n(samples.begin() + run.start, run.length, kValues[static_cast<std::size_t>(run.kind)]);
  }
}

std::vector<std::uint8_t> build_trailer(std::span<const std::uint8_t> stream, TrailerDtype dtype,
                                        std::span<const NonFiniteRun> runs,
                                        std::optional<std::uint32_t> placeholder_samples) {
  std::vector<std::uint8_t> trailer;
  if (placeholder_samples) {
    std::vector<std::uint8_t> count;
    append_varint(count, *placeholder_samples);
    append_record(trailer, kRecordSampleCount, count);
  }
  if (!runs.empty()) {
    const std::vector<std::uint8_t> body = runs_body(runs);
    const std::vector<std::uint8_t> packed = deflate_raw(body);
    if (!packed.empty() && packed.size() < body.size()) {
      append_record(trailer, kRecordRunsDeflated, packed);
    } else {
      append_record(trailer, kRecordRuns, body);
    }
  }
  const auto length = static_cast<std::uint32_t>(trailer.size() + kFooterSize);
  trailer.push_back(kVersion);
  trailer.push_back(static_cast<std::uint8_t>(dtype));
  trailer.push_back(0);
  trailer.push_back(0);
  append_u32(trailer, length);
  append_u32(trailer, crc32_of(trailer, crc32_of(stream)));
  trailer.insert(trailer.end(), kMagic.begin(), kMagic.end());
  return trailer;
}

FilterResult<Trailer> read_trailer(std::span<const std::uint8_t> chunk, const codec::QuorvaneHeader& header) {
  const std::uint64_t stream_len = codec::HEADER_SIZE + static_cast<std::uint64_t>(header.payload_len);
  if (chunk.size() < stream_len) {
    return Err{trailer_error("truncated: the stream needs " + std::to_string(stream_len) + " bytes, only " +
                             std::to_string(chunk.size()) + " are there")};
  }
  const std::size_t rest = chunk.size() - stream_len;
  if (rest == 0) return Trailer{};
  const auto tail = chunk.subspan(stream_len);
  if (rest == kLegacyFloat64.size() && std::equal(tail.begin(), tail.end(), kLegacyFloat64.begin())) {
    return Trailer{TrailerDtype::float64, {}, {}};
  }
  if (rest < kFooterSize || !std::equal(kMagic.begin(), kMagic.end(), chunk.end() - 4)) {
    return Err{trailer_error("the " + std::to_string(rest) +
                             " bytes after the stream are not a quorvane trailer (damaged or truncated)")};
  }
  const std::uint8_t* footer = chunk.data() + chunk.size() - kFooterSize;
  const std::uint32_t length = load_u32(footer + 4);
  if (length != rest) {
    return Err{trailer_error("trailer length " + std::to_string(length) + " does not match the " +
                             std::to_string(rest) + " bytes after the stream (damaged or truncated)")};
  }
  if (crc32_of(chunk.first(chunk.size() - 8)) != load_u32(footer + 8)) {
    return Err{trailer_error("checksum mismatch: the stream or its trailer is damaged")};
  }
  if (footer[0] != kVersion) {
    return Err{trailer_error("trailer version " + std::to_string(footer[0]) +
                             " is not supported (this reader knows 1)")};
  }
  if (footer[1] != 1 && footer[1] != 2) {
    return Err{trailer_error("trailer names unknown dtype code " + std::to_string(footer[1]))};
  }
  const unsigned reserved = footer[2] | (footer[3] << 8);
  if (reserved != 0) return Err{trailer_error("trailer reserved field is " + std::to_string(reserved) + ", not 0")};

  const auto records = tail.first(rest - kFooterSize);
  std::optional<std::span<const std::uint8_t>> bodies[3];  // tags 0x01..0x03
  std::array<bool, 256> seen{};
  std::size_t position = 0;
  while (position < records.size()) {
    const std::uint8_t tag = records[position++];
    std::uint64_t size = 0;
    for (std::size_t index = 0;; ++index) {
      if (index == kMaxVarintBytes) return Err{trailer_error("trailer record length is longer than 5 bytes")};
      if (position >= records.size()) return Err{trailer_error("trailer record ends inside its length")};
      const std::uint8_t byte = records[position++];
      size |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * index);
      if (byte < 0x80) break;
    }
    const std::size_t remaining = records.size() - position;
    if (size > remaining) {
      return Err{trailer_error("trailer record " + tag_text(tag) + " claims " + std::to_string(size) + " bytes, " +
                               std::to_string(remaining) + " remain")};
    }
    if (seen[tag]) return Err{trailer_error("trailer record " + tag_text(tag) + " appears twice")};
    seen[tag] = true;
    if (tag >= kRecordRuns && tag <= kRecordRunsDeflated) {
      bodies[tag - 1] = records.subspan(position, size);
    } else if (tag < kFirstSkippableTag) {
      return Err{trailer_error("trailer record " + tag_text(tag) + " is not known to this reader")};
    }
    position += size;
  }

  Trailer trailer{static_cast<TrailerDtype>(footer[1]), {}, {}};
  if (const auto& body = bodies[kRecordSampleCount - 1]) {
    auto numbers = decode_varints(*body, "sample count");
    if (!numbers) return Err{numbers.error()};
    if (numbers.value().size() != 1 || numbers.value()[0] < 1 || numbers.value()[0] > kMaxSamples) {
      return Err{trailer_error("trailer sample count record is not one count of 1..2^31-1")};
    }
    trailer.placeholder_samples = static_cast<std::uint32_t>(numbers.value()[0]);
  }
  const std::uint64_t samples = trailer.placeholder_samples ? *trailer.placeholder_samples : header.sample_count;
  const auto& plain = bodies[kRecordRuns - 1];
  const auto& deflated = bodies[kRecordRunsDeflated - 1];
  if (plain && deflated) return Err{trailer_error("trailer holds the non-finite runs twice (plain and deflated)")};
  if (plain) {
    auto runs = parse_runs(*plain, samples);
    if (!runs) return Err{runs.error()};
    trailer.runs = std::move(runs).value();
  } else if (deflated) {
    auto body = inflate_runs(*deflated, samples);
    if (!body) return Err{body.error()};
    auto runs = parse_runs(body.value(), samples);
    if (!runs) return Err{runs.error()};
    trailer.runs = std::move(runs).value();
  }
  if (trailer.placeholder_samples) {
    std::uint64_t covered = 0;
    for (const NonFiniteRun& run : trailer.runs) covered += run.length;
    if (covered != *trailer.placeholder_samples) {
      return Err{trailer_error("trailer gives " + std::to_string(*trailer.placeholder_samples) +
                               " samples but its runs cover " + std::to_string(covered))};
    }
  }
  return trailer;
}

}  // namespace quorvane::hdf5
