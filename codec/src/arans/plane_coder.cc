#include "plane_coder.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "plane_encoder.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> data, unsigned context_bits) {
  if (data.empty()) return {};
  const auto coded = encode_planes<1>({data.data()}, 1, data.size(), context_bits);
  const std::span<const std::uint8_t> bytes = coded[0].bytes();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

AransResult<std::vector<std::uint8_t>> decode_plane(std::span<const std::uint8_t> coded,
                                                    std::size_t count, unsigned context_bits) {
  std::vector<std::uint8_t> out;
  if (count == 0) return out;
  if (coded.size() < 4) return Err{AransError::Truncated};
  try {
    // The buffer grows with the bytes actually decoded instead of trusting
    // `count` up front.
    out.resize(std::min(count, coded.size() * 8 + 1024));
    PlaneDecoder decoder(coded, context_bits);
    for (std::size_t done = 0; done < count;) {
      if (done == out.size()) out.resize(std::min(count, 2 * out.size()));
      if (!decode_side_by_side<1>({&decoder}, out.data() + done, out.size() - done)) {
        return Err{AransError::Truncated};
      }
      done = out.size();
    }
  } catch (const std::bad_alloc&) {
    return Err{AransError::OutOfMemory};
  } catch (const std::length_error&) {
    return Err{AransError::OutOfMemory};
  }
  return out;
}

}  // namespace quorvane::arans
