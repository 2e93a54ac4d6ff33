#include "quorvane/arans/band_coder.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "band_model.h"

namespace quorvane::arans {

using bands::BandModel;
using bands::Counter;
using bands::kProbabilityTotal;
using bands::kStateLowerBound;

bool BandLayout::total(std::size_t& count) const {
  count = approximations;
  for (const std::size_t size : details) {
    if (size > SIZE_MAX - count) return false;
    count += size;
  }
  return true;
}

namespace {

// Two's-complement wrap into 16 bits: the approximation band is coded as
// differences modulo 2^16, so every difference is a 16-bit value again.
inline std::int32_t wrap16(std::int32_t v) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(v)));
}

// Start of every band in coding order: the approximation band, then the
// detail bands from coarsest to finest, so that each detail band's parent
// (the next coarser detail band) is known before it.
struct CodingBand {
  std::size_t start;
  std::size_t size;
};

std::vector<CodingBand> coding_bands(const BandLayout& layout) {
  std::vector<CodingBand> out;
  out.reserve(layout.details.size() + 1);
  std::size_t start = 0;
  out.push_back({start, layout.approximations});
  start += layout.approximations;
  for (std::size_t i = layout.details.size(); i-- > 0;) {
    out.push_back({start, layout.details[i]});
    start += layout.details[i];
  }
  return out;
}

// Walks every value in coding order through `coder`. Encoding reads
// values[k]; decoding appends to `values` as it goes and stops at the first
// value after the coder ran out of data. Returns false in that case.
template <class Coder>
bool walk_bands(Coder& coder, const BandLayout& layout, std::vector<std::int16_t>& values) {
  BandModel approximation_model;
  BandModel detail_model;
  const std::vector<CodingBand> bands = coding_bands(layout);
  for (std::size_t b = 0; b < bands.size(); ++b) {
    const bool is_approximation = b == 0;
    BandModel& model = is_approximation ? approximation_model : detail_model;
    // The coarsest detail band has no parent: the approximation band holds
    // other quantities (signal level, not activity).
    const bool has_parent = b >= 2 && bands[b - 1].size > 0;
    const std::size_t parent_start = has_parent ? bands[b - 1].start : 0;
    const std::size_t parent_last = has_parent ? bands[b - 1].size - 1 : 0;
    std::uint32_t previous1 = 0;
    std::uint32_t previous2 = 0;
    unsigned previous_sign = 0;
    std::int32_t previous_approximation = 0;
    for (std::size_t j = 0; j < bands[b].size; ++j) {
      std::uint32_t parent_activity = 0;
      unsigned parent_sign = 0;
      if (has_parent) {
        const std::size_t pj = std::min(j >> 1, parent_last);
        // The nearer of the parent's two neighbours: odd positions sit
        // between parent pj and pj + 1, even ones between pj - 1 and pj.
        const std::size_t qj = (j & 1) ? std::min(pj + 1, parent_last) : (pj > 0 ? pj - 1 : 0);
        const std::int32_t parent = values[parent_start + pj];
        parent_activity = 2 * bands::magnitude(parent) + bands::magnitude(values[parent_start + qj]);
        parent_sign = bands::sign_class(parent);
      }
      const unsigned context = bands::magnitude_context(previous1, previous2, parent_activity);
      const unsigned sign_context = 3 * previous_sign + parent_sign;

      std::int32_t symbol = 0;
      if constexpr (!Coder::kDecoding) {
        const std::int32_t value = values[bands[b].start + j];
        symbol = is_approximation ? wrap16(value - previous_approximation) : value;
      }
      symbol = bands::code_value(coder, model, context, sign_context, symbol);
      if constexpr (Coder::kDecoding) {
        if (coder.failed) return false;
      }
      previous2 = previous1;
      previous1 = bands::magnitude(symbol);
      previous_sign = bands::sign_class(symbol);
      std::int32_t value = symbol;
      if (is_approximation) value = wrap16(previous_approximation + symbol);
      previous_approximation = value;
      if constexpr (Coder::kDecoding) values.push_back(static_cast<std::int16_t>(value));
    }
  }
  return true;
}

// Encoder side: rANS codes in reverse, so the walk records every decision
// (the probability before its update in bits 1..16, the bit in bit 0) and a
// second pass codes them back to front.
struct DecisionRecorder {
  static constexpr bool kDecoding = false;
  std::vector<std::uint32_t> decisions;

  unsigned code(Counter& counter, unsigned bit) {
    decisions.push_back((static_cast<std::uint32_t>(counter.p) << 1) | bit);
    counter.update(bit);
    return bit;
  }
};

// Decoder side: one 32-bit state, 16-bit words read front to back.
struct StateDecoder {
  static constexpr bool kDecoding = true;
  std::span<const std::uint8_t> payload;
  std::size_t position = 4;
  std::uint32_t x = 0;
  bool failed = false;

  unsigned code(Counter& counter, unsigned) {
    const std::uint32_t p = counter.p;
    const std::uint32_t slot = x & (kProbabilityTotal - 1);
    const unsigned bit = slot >= p ? 1u : 0u;
    const std::uint32_t frequency = bit ? kProbabilityTotal - p : p;
    const std::uint32_t start = bit ? p : 0u;
    // frequency <= 65535 and x >> 16 < 2^16: no overflow. The result is at
    // least 1 because x >= 2^16, so one word always restores the bound.
    x = frequency * (x >> bands::kProbabilityBits) + slot - start;
    if (x < kStateLowerBound) {
      if (payload.size() - position < 2) {
        failed = true;
        x = kStateLowerBound;  // keeps the walk finite until it checks `failed`
      } else {
        x = (x << 16) | payload[position] | (static_cast<std::uint32_t>(payload[position + 1]) << 8);
        position += 2;
      }
    }
    counter.update(bit);
    return bit;
  }
};

}  // namespace

AransResult<std::vector<std::uint8_t>> encode_bands(std::span<const std::int16_t> coefficients,
                                                    const BandLayout& layout) {
  std::size_t count = 0;
  if (!layout.total(count) || count != coefficients.size()) return Err{AransError::Inconsistent};

  // Coding order: the approximation band, then the detail bands coarsest first.
  std::vector<std::int16_t> values;
  values.reserve(count);
  values.insert(values.end(), coefficients.begin(),
                coefficients.begin() + static_cast<std::ptrdiff_t>(layout.approximations));
  std::size_t end = count;
  for (std::size_t i = layout.details.size(); i-- > 0;) {
    const std::size_t start = end - layout.details[i];
    values.insert(values.end(), coefficients.begin() + static_cast<std::ptrdiff_t>(start),
                  coefficients.begin() + static_cast<std::ptrdiff_t>(end));
    end = start;
  }

  DecisionRecorder recorder;
  recorder.decisions.reserve(count * 4);
  walk_bands(recorder, layout, values);

  // One shift is always enough: x < 2^32, so x >> 16 < 2^16 <= frequency * 2^16.
  // Afterwards x < frequency * 2^16 keeps the coded state below 2^32.
  std::vector<std::uint16_t> words;
  words.reserve(recorder.decisions.size() / 4 + 16);
  std::uint32_t x = kStateLowerBound;
  for (std::size_t i = recorder.decisions.size(); i-- > 0;) {
    const std::uint32_t decision = recorder.decisions[i];
    const std::uint32_t p = decision >> 1;
    const unsigned bit = decision & 1u;
    const std::uint32_t frequency = bit ? kProbabilityTotal - p : p;
    const std::uint32_t start = bit ? p : 0u;
    if (x >= (frequency << 16)) {
      words.push_back(static_cast<std::uint16_t>(x & 0xFFFF));
      x >>= 16;
    }
    x = ((x / frequency) << bands::kProbabilityBits) + (x % frequency) + start;
  }

  // The final state first, then the words in the order the decoder reads them.
  std::vector<std::uint8_t> out(4 + 2 * words.size());
  out[0] = static_cast<std::uint8_t>(x);
  out[1] = static_cast<std::uint8_t>(x >> 8);
  out[2] = static_cast<std::uint8_t>(x >> 16);
  out[3] = static_cast<std::uint8_t>(x >> 24);
  std::size_t position = 4;
  for (std::size_t i = words.size(); i-- > 0;) {
    out[position++] = static_cast<std::uint8_t>(words[i]);
    out[position++] = static_cast<std::uint8_t>(words[i] >> 8);
  }
  return out;
}

AransResult<std::vector<std::int16_t>> decode_bands(std::span<const std::uint8_t> payload,
                                                    const BandLayout& layout) {
  std::size_t count = 0;
  if (!layout.total(count)) return Err{AransError::Inconsistent};
  if (payload.size() < 4) return Err{AransError::Truncated};
  StateDecoder decoder;
  decoder.payload = payload;
  decoder.x = static_cast<std::uint32_t>(payload[0]) | (static_cast<std::uint32_t>(payload[1]) << 8) |
              (static_cast<std::uint32_t>(payload[2]) << 16) |
              (static_cast<std::uint32_t>(payload[3]) << 24);
  // The encoder's state never leaves [2^16, 2^32); a smaller one is forged.
  if (decoder.x < kStateLowerBound) return Err{AransError::Inconsistent};

  std::vector<std::int16_t> values;
  try {
    // Grows with the values actually decoded; the layout alone reserves
    // nothing beyond a small start.
    values.reserve(std::min<std::size_t>(count, 1u << 16));
    if (!walk_bands(decoder, layout, values)) return Err{AransError::Truncated};
  } catch (const std::bad_alloc&) {
    return Err{AransError::OutOfMemory};
  } catch (const std::length_error&) {
    return Err{AransError::OutOfMemory};
  }
  // The decoder retraces the encoder back to its initial state and to the
  // last byte; anything else means the payload was altered.
  if (decoder.x != kStateLowerBound || decoder.position != payload.size()) {
    return Err{AransError::Inconsistent};
  }

  // Coding order [A | D_L .. D_1] to stream layout [A | D_1 .. D_L]: reverse
  // the detail region, then each band back into its own order.
  auto details = values.begin() + static_cast<std::ptrdiff_t>(layout.approximations);
  std::reverse(details, values.end());
  for (const std::size_t size : layout.details) {
    std::reverse(details, details + static_cast<std::ptrdiff_t>(size));
    details += static_cast<std::ptrdiff_t>(size);
  }
  return values;
}

}  // namespace quorvane::arans
