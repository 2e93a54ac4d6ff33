// How much one quantiser unit of each band moves the reconstruction: the
// synthesis response of a single coefficient, measured once per method and
// level count by running the inverse transform on an impulse. The energy of
// a response turns coefficient errors into sample errors (the rate model's
// error estimate); its shape tells the max-error correction which
// coefficients reach a given sample and by how much.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "target/analysis.h"

namespace quorvane::codec::target {

struct BandResponse {
  std::size_t offset = 0;  // first coefficient of the band in stream order
  std::size_t size = 0;
  std::size_t stride = 1;  // samples between neighbouring coefficients (2^level)
  // Response of coefficient p at sample p * stride + first_delta + j is
  // window[j], in decoder units (y) per quantiser unit of 2^0.
  std::ptrdiff_t first_delta = 0;
  std::vector<float> window;
  double energy = 0.0;  // sum of squares of the whole response
};

struct SynthesisModel {
  std::vector<BandResponse> bands;  // stream order
};

// Measured on a signal of the analysis' length, or on a shorter one with the
// same level structure where the signal is long (interior responses do not
// depend on the length).
TargetResult<SynthesisModel> synthesis_model(const Analysis& analysis, std::size_t levels);

}  // namespace quorvane::codec::target
