// How much one quantiser unit of each band moves the reconstruction: the
// synthesis response of a single coefficient, measured by running the
// inverse transform on an impulse. The energy of a response turns
// coefficient errors into sample errors (the rate model's error estimate);
// its shape tells the max-error correction which coefficients reach a given
// sample and by how much.
//
// Long signals are measured on a shorter one with the same level structure:
// interior responses do not depend on the length, and a length congruent
// modulo 2^levels gives every band the same parity pattern, so the
// coefficients near either end (whose responses wrap around the periodic
// border) respond exactly as in the real signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "target/analysis.h"

namespace quorvane::codec::target {

// An exact response: sample indices of the real signal and their weights.
struct SparseResponse {
  std::vector<std::uint32_t> samples;
  std::vector<float> weights;
};

struct BandResponse {
  std::size_t offset = 0;  // first coefficient of the band in stream order
  std::size_t size = 0;
  std::size_t stride = 1;  // samples between neighbouring coefficients (2^level)
  // Interior coefficient p moves sample p * stride + first_delta + j by
  // window[j], in decoder units (y) per unit of the coefficient.
  std::ptrdiff_t first_delta = 0;
  std::vector<float> window;
  double energy = 0.0;  // sum of squares of the whole response

  // The coefficients nearest either end have exact responses (all of them
  // when the band is short); empty unless asked for.
  std::vector<SparseResponse> head;  // p = 0 .. head.size() - 1
  std::vector<SparseResponse> tail;  // p = size - tail.size() .. size - 1

  const SparseResponse* edge_response(std::size_t p) const {
    if (p < head.size()) return &head[p];
    if (p + tail.size() >= size) return &tail[p + tail.size() - size];
    return nullptr;
  }
};

// An edge coefficient and its weight on one sample.
struct EdgeHit {
  std::uint32_t band;
  std::uint32_t position;
  float weight;
};

struct SynthesisModel {
  std::vector<BandResponse> bands;  // stream order
  // Samples within `reach` of either end may be moved by edge coefficients;
  // hits[i] lists them for i < reach, hits[reach + (i - (n - reach))] for
  // i >= n - reach.
  std::size_t reach = 0;
  std::vector<std::vector<EdgeHit>> hits;

  const std::vector<EdgeHit>* edge_hits(std::size_t sample, std::size_t n) const {
    if (sample < reach) return &hits[sample];
    if (sample + reach >= n) return &hits[reach + sample + reach - n];
    return nullptr;
  }
};

TargetResult<SynthesisModel> synthesis_model(const Analysis& analysis, std::size_t levels, bool with_edges);

}  // namespace quorvane::codec::target
