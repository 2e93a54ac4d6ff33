#include "raw_deflate.h"

#include <zlib.h>

#if QUORVANE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

namespace quorvane::codec {
namespace {

constexpr int kCompressionLevel = 6;
constexpr int kRawWindowBits = -15;  // negative: no zlib or gzip framing
constexpr int kMemLevel = 8;
// zlib counts in 32-bit units; longer buffers are fed in pieces.
constexpr std::size_t kMaxChunk = UINT_MAX;
constexpr std::size_t kInitialOutput = std::size_t{64} << 10;
constexpr std::size_t kDeflateChunk = std::size_t{256} << 10;

}  // namespace

Status<std::string> deflate_raw(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
  z_stream stream{};
  const int init = deflateInit2(&stream, kCompressionLevel, Z_DEFLATED, kRawWindowBits, kMemLevel,
                                Z_DEFAULT_STRATEGY);
  // zlib's own allocations failing is memory exhaustion like any other.
  if (init == Z_MEM_ERROR) throw std::bad_alloc();
  if (init != Z_OK) return Err{std::string("corrupt deflate stream")};
  const std::size_t start = out.size();
  // zlib writes into a small buffer that stays in cache and is appended from
  // there, so `out` is never zero-filled ahead of the bytes. deflateBound is
  // enough for one finishing pass: reserving it spares the regrowth copies
  // and touches no page until written.
  try {
    out.reserve(start + deflateBound(&stream, static_cast<uLong>(input.size())));
  } catch (...) {
    deflateEnd(&stream);
    throw;
  }
  const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(kDeflateChunk);
  std::size_t consumed = 0;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    const std::size_t in_chunk = std::min(input.size() - consumed, kMaxChunk);
    stream.next_in = const_cast<Bytef*>(input.data() + consumed);
    stream.avail_in = static_cast<uInt>(in_chunk);
    stream.next_out = chunk.get();
    stream.avail_out = static_cast<uInt>(kDeflateChunk);
    const bool last = consumed + in_chunk == input.size();
    status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
    consumed += in_chunk - stream.avail_in;
    if (status == Z_STREAM_ERROR) {
      deflateEnd(&stream);
      out.resize(start);
      return Err{std::string("corrupt deflate stream")};
    }
    if (status == Z_BUF_ERROR && stream.avail_out != 0) {
      // No progress although there was room: the encoder accepts no more input.
      deflateEnd(&stream);
      out.resize(start);
      return Err{std::string("failed to write whole buffer")};
    }
    try {
      out.insert(out.end(), chunk.get(), chunk.get() + (kDeflateChunk - stream.avail_out));
    } catch (...) {
      deflateEnd(&stream);
      throw;
    }
  }
  deflateEnd(&stream);
  return {};
}

Result<UninitializedVector<std::uint8_t>, std::string> inflate_raw_zlib(
    std::span<const std::uint8_t> payload, std::size_t limit) {
  z_stream stream{};
  // zlib's own allocations failing is memory exhaustion like any other:
  // std::bad_alloc, which the decompressor reports as OutOfMemory.
  if (inflateInit2(&stream, kRawWindowBits) != Z_OK) throw std::bad_alloc();
  UninitializedVector<std::uint8_t> out;
  std::size_t produced = 0;
  std::size_t consumed = 0;
  try {
    // Grow with what the payload actually yields, never straight to `limit`
    // nor in proportion to a payload that may be invalid from its first byte.
    out.resize(std::min(limit, kInitialOutput));
    while (produced < limit) {
      if (produced == out.size()) out.resize(std::min(limit, out.size() * 2));
      const std::size_t in_chunk = std::min(payload.size() - consumed, kMaxChunk);
      const std::size_t out_chunk = std::min(out.size() - produced, kMaxChunk);
      stream.next_in = const_cast<Bytef*>(payload.data() + consumed);
      stream.avail_in = static_cast<uInt>(in_chunk);
      stream.next_out = out.data() + produced;
      stream.avail_out = static_cast<uInt>(out_chunk);
      const int status = inflate(&stream, Z_NO_FLUSH);
      consumed += in_chunk - stream.avail_in;
      produced += out_chunk - stream.avail_out;
      if (status == Z_STREAM_END) break;
      if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_STREAM_ERROR) {
        inflateEnd(&stream);
        return Err{std::string("corrupt deflate stream")};
      }
      if (status == Z_MEM_ERROR) throw std::bad_alloc();
      // Z_BUF_ERROR with all input consumed: the payload ended before its final
      // block; what was inflated so far is the result.
      if (status == Z_BUF_ERROR && consumed == payload.size() && stream.avail_out != 0) break;
    }
  } catch (...) {
    inflateEnd(&stream);
    throw;
  }
  inflateEnd(&stream);
  out.resize(produced);
  return out;
}

#if QUORVANE_HAVE_LIBDEFLATE

namespace {

// No DEFLATE stream expands by more than 1032:1 (a 258-byte match per two
// bits), so a buffer of that size holds whatever a payload can yield, and a
// small payload behind a header that asks for gigabytes costs no more than
// its own possible output.
constexpr std::size_t kMaxExpansion = 1032;

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The whole stream in one call, or nothing when it is not a complete, valid
// stream that fits within `limit`.
std::optional<UninitializedVector<std::uint8_t>> inflate_whole(
    std::span<const std::uint8_t> payload, std::size_t limit) {
  const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return std::nullopt;
  const std::size_t most = payload.size() > (SIZE_MAX - 258) / kMaxExpansion
                               ? limit
                               : std::min(limit, payload.size() * kMaxExpansion + 258);
  UninitializedVector<std::uint8_t> out;
  try {
    out.resize(most);
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // zlib grows its buffer with the actual output instead
  }
  std::size_t produced = 0;
  if (libdeflate_deflate_decompress(decompressor.get(), payload.data(), payload.size(), out.data(),
                                    out.size(), &produced) != LIBDEFLATE_SUCCESS) {
    return std::nullopt;
  }
  out.resize(produced);
  return out;
}

}  // namespace

bool has_fast_inflate() { return true; }

Result<UninitializedVector<std::uint8_t>, std::string> inflate_raw(
    std::span<const std::uint8_t> payload, std::size_t limit) {
  if (auto whole = inflate_whole(payload, limit)) return std::move(*whole);
  return inflate_raw_zlib(payload, limit);
}

#else

bool has_fast_inflate() { return false; }

Result<UninitializedVector<std::uint8_t>, std::string> inflate_raw(
    std::span<const std::uint8_t> payload, std::size_t limit) {
  return inflate_raw_zlib(payload, limit);
}

#endif

}  // namespace quorvane::codec
