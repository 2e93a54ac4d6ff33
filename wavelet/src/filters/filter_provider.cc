// get_wavelet: the float32 taps the filter banks are built from.
#include <span>
#include <vector>

#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {
namespace {

// Each float64 value rounded to the nearest float32 (the conversion rounds
// to nearest, ties to even).
std::vector<float> narrow_taps(std::span<const double> table) {
  std::vector<float> taps(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) taps[i] = static_cast<float>(table[i]);
  return taps;
}

}  // namespace

std::vector<float> get_wavelet(DaubechiesFamily order) {
  return narrow_taps(daubechies_table(order));
}

std::vector<float> get_wavelet(SymletFamily order) { return narrow_taps(symlet_table(order)); }

static_assert(WaveletFilterProvider<DaubechiesFamily>);
static_assert(WaveletFilterProvider<SymletFamily>);

}  // namespace quorvane::wavelet
