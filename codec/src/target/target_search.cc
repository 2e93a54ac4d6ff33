// encode_to_target: choose method, level count, step and dead zone from a
// rate/error model, then close the loop on the real reconstruction.
//
// 1. Per allowed method, one forward transform of the normalised signal.
// 2. Model: for a step, the quantiser error of every coefficient times the
//    energy of its band's synthesis response estimates the squared error;
//    the entropy of each band's quantised values estimates the rate. A few
//    Newton steps on the step per (method, dead zone) find the largest step
//    the model accepts, and the cheapest pair wins. No candidate is coded.
// 3. For a max-error bound, the step is refined by bisection on the real
//    reconstruction, allowing a few samples over the bound, which the
//    correction then fixes: it nudges by one unit the coefficient that
//    brings each offending sample back inside, and repeats until none is
//    left.
// 4. The candidate is measured on its reconstruction (the decoder's own
//    operations); if it misses (the model is an estimate), the step shrinks
//    and steps 3-4 repeat. Only the candidate kept is coded, decoded with
//    `decompress` and measured again, and that check decides.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>

#include "quorvane/codec/codec.h"
#include "quorvane/codec/target_encoder.h"
#include "target/analysis.h"
#include "target/rounding_quantizer.h"
#include "target/synthesis_model.h"

namespace quorvane::codec {
namespace {

using target::Analysis;
using target::StoredMap;
using target::SynthesisModel;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

TargetError unreachable(const std::string& text) {
  return TargetError(TargetError::Kind::TargetUnreachable, text);
}

bool known_coder(StreamCoder coder) {
  return std::find(std::begin(kStreamCoders), std::end(kStreamCoders), coder) != std::end(kStreamCoders);
}

TargetResult<bool> check_settings(const TargetSettings& settings) {
  if (settings.levels < 1 || settings.levels > kMaxTargetLevels) {
    return Err{TargetError(TargetError::Kind::InvalidSettings,
                           "Level count must lie in 1..10, but it was " + std::to_string(settings.levels))};
  }
  if (!(settings.dead_zone >= 0.5f && settings.dead_zone <= 4.0f)) {
    return Err{TargetError(TargetError::Kind::InvalidSettings, "Dead zone must lie in 0.5..4 steps")};
  }
  if (!known_coder(settings.coder)) {
    return Err{TargetError(TargetError::Kind::InvalidSettings,
                           "Unknown entropy coder " + std::to_string(static_cast<unsigned>(settings.coder)))};
  }
  return true;
}

// Bounds in the signal's units; infinity where not asked for.
struct Bounds {
  double max_abs = kInfinity;
  double max_rmse = kInfinity;
};

// One method's analysis with what the search keeps about it.
struct MethodState {
  Analysis analysis;
  // peaks[L - 1]: the largest coefficient magnitude of an L-level stream.
  std::vector<float> peaks;
  std::map<std::size_t, SynthesisModel> models;
  std::map<std::size_t, SynthesisModel> edge_models;
  // The rate model's subsample of each band, copied out once: the model
  // visits it for every step it tries. sampled_details[l]: level l + 1's
  // details; sampled_approximations[L - 1]: those of an L-level stream.
  std::vector<std::vector<float>> sampled_details;
  std::vector<std::vector<float>> sampled_approximations;

  explicit MethodState(Analysis a) : analysis(std::move(a)) {
    float detail_peak = 0.0f;
    for (const wavelet::Dwt& level : analysis.bands.levels) {
      for (const float c : level.details) detail_peak = std::max(detail_peak, std::fabs(c));
      float approximation_peak = 0.0f;
      for (const float c : level.approximations) approximation_peak = std::max(approximation_peak, std::fabs(c));
      peaks.push_back(std::max(detail_peak, approximation_peak));
    }
  }

  // The deepest level count whose coefficients fit int16 at this many units
  // per coefficient; 0 if none does.
  std::size_t levels_for(float units_per_coefficient) const {
    for (std::size_t levels = peaks.size(); levels >= 1; --levels) {
      if (peaks[levels - 1] * units_per_coefficient < target::kLargestUnits - 1.0f) return levels;
    }
    return 0;
  }

  // Every `stride`-th value from the first, stride = size / kSampledPerBand
  // (at least 1).
  static constexpr std::size_t kSampledPerBand = 16384;
  static std::vector<float> subsample(std::span<const float> band) {
    const std::size_t stride = std::max<std::size_t>(1, band.size() / kSampledPerBand);
    std::vector<float> out;
    out.reserve(band.size() / stride + 1);
    for (std::size_t k = 0; k < band.size(); k += stride) out.push_back(band[k]);
    return out;
  }

  // The subsampled bands of an L-level stream in stream order.
  std::vector<std::span<const float>> sampled_bands(std::size_t levels) {
    if (sampled_details.empty()) {
      sampled_approximations.resize(analysis.bands.levels.size());
      for (const wavelet::Dwt& level : analysis.bands.levels) sampled_details.push_back(subsample(level.details));
    }
    std::vector<float>& approximations = sampled_approximations[levels - 1];
    if (approximations.empty()) approximations = subsample(analysis.bands.levels[levels - 1].approximations);
    std::vector<std::span<const float>> out{approximations};
    for (std::size_t level = 0; level < levels; ++level) out.emplace_back(sampled_details[level]);
    return out;
  }

  // Band energies and interior responses; with exact responses of the
  // coefficients near the ends too when `edges`.
  TargetResult<const SynthesisModel*> model(std::size_t levels, bool edges = false) {
    auto& cache = edges ? edge_models : models;
    auto found = cache.find(levels);
    if (found == cache.end()) {
      QUORVANE_TRY(SynthesisModel built, target::synthesis_model(analysis, levels, edges));
      found = cache.emplace(levels, std::move(built)).first;
    }
    return &found->second;
  }
};

struct ModelPoint {
  bool feasible = false;
  double rmse = kInfinity;
  double bits = kInfinity;
};

// Estimated RMSE and size of one step and dead zone, from a subsample of
// every large band.
TargetResult<ModelPoint> model_point(MethodState& state, float step, float dead_zone) {
  const Analysis& analysis = state.analysis;
  const float units = analysis.reference_range / step;
  const std::size_t levels = state.levels_for(units);
  if (levels == 0 || !std::isfinite(units)) return ModelPoint{};
  QUORVANE_TRY(const SynthesisModel* model, state.model(levels));

  constexpr int kHistogramHalf = 2048;
  static thread_local std::vector<std::uint32_t> histogram(2 * kHistogramHalf);

  ModelPoint point;
  point.feasible = true;
  double squares = 0.0;
  double bits = 0.0;
  const std::vector<std::span<const float>> bands = analysis.stream_bands(levels);
  const std::vector<std::span<const float>> sampled = state.sampled_bands(levels);
  for (std::size_t b = 0; b < bands.size(); ++b) {
    const std::span<const float> band = sampled[b];
    if (band.empty()) continue;
    const float zone = b == 0 ? 0.5f : dead_zone;
    // Only the bins between the smallest and largest value seen are used,
    // and only those are counted and cleared.
    int lowest = kHistogramHalf;
    int highest = -kHistogramHalf - 1;
    std::size_t escapes = 0;
    double band_squares = 0.0;
    for (const float c : band) {
      const float t = c * units;
      const std::int16_t q = target::quantize_rounded(t, zone);
      const double error = static_cast<double>(t) - q;
      band_squares += error * error;
      if (q >= -kHistogramHalf && q < kHistogramHalf) {
        ++histogram[static_cast<std::size_t>(q + kHistogramHalf)];
        lowest = std::min<int>(lowest, q);
        highest = std::max<int>(highest, q);
      } else {
        ++escapes;
      }
    }
    const std::size_t counted = band.size();
    double entropy = 0.0;
    for (int q = lowest; q <= highest; ++q) {
      std::uint32_t& count = histogram[static_cast<std::size_t>(q + kHistogramHalf)];
      if (count != 0) entropy -= count * std::log2(static_cast<double>(count) / counted);
      count = 0;
    }
    entropy += static_cast<double>(escapes) * 20.0;
    const double weight = static_cast<double>(bands[b].size()) / static_cast<double>(counted);
    bits += entropy * weight;
    squares += band_squares * weight * model->bands[b].energy;
  }
  const double step_d = static_cast<double>(analysis.reference_range) / units;
  point.rmse = std::sqrt(squares / static_cast<double>(analysis.sample_count)) * step_d;
  point.bits = bits;
  return point;
}

// The largest step whose modelled RMSE stays within `goal`, found on
// log2(step) from `guess` (a log2 step; the goal itself is a fair one);
// nullopt when even tiny steps cannot (the coefficients clamp, and then they
// clamp at every smaller step too). The modelled RMSE grows about in
// proportion to the step, so log2(RMSE / goal) is nearly a line of slope 1
// in log2(step): Newton steps with that slope until the answer is
// bracketed, then false position with the Illinois rule (halving the stale
// end's value when one end stays put), until the RMSE lies within 0.02 %
// below the goal or the bracket is 2^-9 wide.
TargetResult<std::optional<std::pair<float, ModelPoint>>> model_step(MethodState& state, double goal,
                                                                     float dead_zone, double guess) {
  using Found = std::optional<std::pair<float, ModelPoint>>;
  constexpr double kNarrowest = 2.0 / 1024.0;
  constexpr double kClose = 2e-4;
  constexpr double kLongest = 4.0;  // the largest Newton move, in log2(step)
  constexpr int kEvaluations = 24;
  const double log_goal = std::log2(std::max(goal, 1e-300));
  struct End {
    double at = 0.0;
    double value = 0.0;  // log2(RMSE / goal), possibly halved by the Illinois rule
    bool known = false;
  } lo, hi;
  ModelPoint kept;
  double distance = -kInfinity;  // lo's true value
  int stale_side = 0;            // +1: hi stayed put last time, -1: lo did
  double at = guess;
  for (int i = 0; i < kEvaluations; ++i) {
    QUORVANE_TRY(const ModelPoint point, model_point(state, static_cast<float>(std::exp2(at)), dead_zone));
    if (!point.feasible) {
      if (!lo.known) return Found{};
      hi = End{at, kInfinity, true};  // cannot follow a feasible smaller step; bisect if it did
    } else {
      // An exact model (RMSE 0) says nothing about the distance: take it as
      // two octaves below the goal.
      const double value = point.rmse > 0.0 ? std::log2(point.rmse) - log_goal : -2.0;
      if (point.rmse <= goal) {
        if (stale_side == 1 && hi.known && std::isfinite(hi.value)) hi.value *= 0.5;
        stale_side = 1;
        lo = End{at, value, true};
        kept = point;
        distance = value;
      } else {
        if (stale_side == -1 && lo.known) lo.value *= 0.5;
        stale_side = -1;
        hi = End{at, value, true};
      }
    }
    if (lo.known && distance >= -kClose) break;
    if (lo.known && hi.known && hi.at - lo.at <= kNarrowest) break;
    if (lo.known && hi.known) {
      at = 0.5 * (lo.at + hi.at);
      if (std::isfinite(hi.value) && hi.value > lo.value) {
        const double margin = 0.25 * kNarrowest;
        at = std::clamp(lo.at + (hi.at - lo.at) * (-lo.value) / (hi.value - lo.value), lo.at + margin,
                        hi.at - margin);
      }
    } else {
      const End& last = lo.known ? lo : hi;
      // Aim a hair below the goal, so that the next point is likely
      // accepted and close.
      const double move = std::clamp(-(last.value + 0.5 * kClose), -kLongest, kLongest);
      at = last.at + move;
    }
  }
  if (!lo.known) return Found{};
  return Found{std::pair{static_cast<float>(std::exp2(lo.at)), kept}};
}

// A step turned into everything a stream needs.
struct Candidate {
  std::size_t levels = 0;
  StoredMap map;
  std::vector<std::int16_t> coefficients;
  std::vector<float> decoded;
  std::size_t violations = 0;
  double rmse = kInfinity;
};

TargetResult<std::optional<Candidate>> realise(const MethodState& state, float step, float dead_zone,
                                               std::span<const float> samples, double max_abs) {
  const Analysis& analysis = state.analysis;
  auto map = target::stored_map(analysis, step, target::natural_scale(analysis, step));
  if (!map.ok()) return std::optional<Candidate>{};
  Candidate candidate;
  candidate.map = map.value();
  candidate.levels = state.levels_for(candidate.map.units_per_coefficient);
  if (candidate.levels == 0) return std::optional<Candidate>{};
  candidate.coefficients =
      target::quantize_bands(analysis, candidate.levels, candidate.map.units_per_coefficient, dead_zone);
  QUORVANE_TRY(candidate.decoded,
               target::reconstruct(analysis, candidate.levels, candidate.coefficients, candidate.map));
  double squares = 0.0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double error = static_cast<double>(candidate.decoded[i]) - samples[i];
    squares += error * error;
    if (std::fabs(error) > max_abs) ++candidate.violations;
  }
  candidate.rmse = std::sqrt(squares / static_cast<double>(samples.size()));
  return std::optional<Candidate>{std::move(candidate)};
}

// Fixes every sample over `bound` by nudging coefficients one unit at a
// time. Each offending sample takes the nudge (among the coefficients of
// compact support that reach it) that leaves the fewest samples of that
// support over the bound, with errors tracked through the synthesis
// responses; every round ends with an exact reconstruction, and rounds repeat
// until no sample is over. Returns whether the bound holds.
TargetResult<bool> correct_max_error(MethodState& state, Candidate& candidate,
                                     std::span<const float> samples, double bound) {
  const Analysis& analysis = state.analysis;
  QUORVANE_TRY(const SynthesisModel* model, state.model(candidate.levels, true));
  // Wide responses move many samples at once and cost their width to
  // score; they are tried once the narrow ones have done what they can.
  const double step = candidate.map.step;
  const std::size_t n = samples.size();
  std::vector<double> errors(n);
  // A nudge moves no sample by more than the largest weight, so only samples
  // within that of the bound can change the excess: the score of an
  // interior nudge visits just those ("near"), the rest add nothing.
  double largest_move = 0.0;
  for (const target::BandResponse& band : model->bands) {
    for (const float w : band.window) largest_move = std::max(largest_move, std::fabs(w * step));
  }
  const double near_threshold = bound - largest_move;
  std::vector<std::uint32_t> near;
  std::vector<std::uint32_t> late;  // became near during the round, sorted
  std::vector<std::uint8_t> is_near(n);
  constexpr int kRounds = 24;
  constexpr int kPatience = 3;
  std::size_t fewest = std::numeric_limits<std::size_t>::max();
  int stalled = 0;
  // Rounds work on the errors as the nudges' responses move them; only
  // when those say every sample is inside (or nothing more can be done) is
  // the signal reconstructed exactly, which a full inverse transform per
  // round would cost. The responses leave out tails below 1e-4 of their
  // peak, so the exact errors then decide, and rounds go on from them.
  bool errors_exact = true;  // errors equal decoded - samples
  const auto reconstruct_exactly = [&]() -> TargetResult<bool> {
    QUORVANE_TRY(candidate.decoded,
                 target::reconstruct(analysis, candidate.levels, candidate.coefficients, candidate.map));
    for (std::size_t i = 0; i < n; ++i) errors[i] = static_cast<double>(candidate.decoded[i]) - samples[i];
    errors_exact = true;
    return true;
  };
  for (std::size_t i = 0; i < n; ++i) errors[i] = static_cast<double>(candidate.decoded[i]) - samples[i];
  for (int round = 1; round <= kRounds; ++round) {
    std::vector<std::size_t> offending;
    for (std::size_t i = 0; i < n; ++i) {
      if (std::fabs(errors[i]) > bound) offending.push_back(i);
    }
    if (offending.empty()) {
      if (errors_exact) return true;
      QUORVANE_TRY([[maybe_unused]] bool done, reconstruct_exactly());
      for (std::size_t i = 0; i < n; ++i) {
        if (std::fabs(errors[i]) > bound) offending.push_back(i);
      }
      if (offending.empty()) return true;
    }
    near.clear();
    late.clear();
    for (std::size_t i = 0; i < n; ++i) {
      is_near[i] = std::fabs(errors[i]) > near_threshold;
      if (is_near[i]) near.push_back(static_cast<std::uint32_t>(i));
    }
    if (offending.size() < fewest) {
      fewest = offending.size();
      stalled = 0;
    } else if (++stalled >= kPatience) {
      return false;
    }
    const std::size_t widest_window = round <= 2 ? 420 : std::numeric_limits<std::size_t>::max();
    bool changed = false;
    for (const std::size_t i : offending) {
      if (!(std::fabs(errors[i]) > bound)) continue;  // fixed by an earlier nudge
      struct Pick {
        std::size_t band = 0;
        std::size_t position = 0;
        int delta = 0;
        double gain = 0.0;
        double remaining = kInfinity;
        bool found = false;
      } best, narrower;
      double narrowest = kInfinity;  // the largest excess narrower leaves on what it moves
      // Visits every sample a nudge of coefficient p of `band` moves, with
      // its weight per unit.
      const auto for_each_moved = [&](const target::BandResponse& band, std::size_t p, auto&& visit) {
        if (const target::SparseResponse* exact = band.edge_response(p)) {
          for (std::size_t j = 0; j < exact->samples.size(); ++j) visit(exact->samples[j], exact->weights[j] * step);
          return;
        }
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(p * band.stride) + band.first_delta;
        for (std::size_t j = 0; j < band.window.size(); ++j) {
          const std::ptrdiff_t at = base + static_cast<std::ptrdiff_t>(j);
          if (at >= 0 && at < static_cast<std::ptrdiff_t>(n)) visit(static_cast<std::size_t>(at), band.window[j] * step);
        }
      };
      const auto consider = [&](std::size_t b, std::size_t p, double weight) {
        const target::BandResponse& band = model->bands[b];
        if (weight == 0.0) return;
        const int delta = (errors[i] > 0.0) == (weight > 0.0) ? -1 : 1;
        const int moved = candidate.coefficients[band.offset + p] + delta;
        if (moved > 32767 || moved < -32767) return;
        const double remaining = std::fabs(errors[i] + delta * weight);
        if (!(remaining < std::fabs(errors[i]))) return;
        // How far the moved samples exceed the bound, in total, before and
        // after: a nudge must shrink it, however many samples it moves.
        double gain = 0.0;
        double worst_before = 0.0;
        double worst_after = 0.0;
        const auto score = [&](std::size_t at, double w) {
          const double before = errors[at];
          const double after = before + delta * w;
          const double excess_before = std::max(std::fabs(before) - bound, 0.0);
          const double excess_after = std::max(std::fabs(after) - bound, 0.0);
          gain += excess_before - excess_after;
          worst_before = std::max(worst_before, excess_before);
          worst_after = std::max(worst_after, excess_after);
        };
        if (band.edge_response(p) != nullptr) {
          for_each_moved(band, p, score);
        } else {
          const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(p * band.stride) + band.first_delta;
          const std::ptrdiff_t end = base + static_cast<std::ptrdiff_t>(band.window.size());
          const auto weight_at = [&](std::ptrdiff_t at) { return band.window[static_cast<std::size_t>(at - base)] * step; };
          auto first = std::lower_bound(near.begin(), near.end(), static_cast<std::uint32_t>(std::max<std::ptrdiff_t>(base, 0)));
          for (; first != near.end() && static_cast<std::ptrdiff_t>(*first) < end; ++first) {
            score(*first, weight_at(*first));
          }
          auto later = std::lower_bound(late.begin(), late.end(), static_cast<std::uint32_t>(std::max<std::ptrdiff_t>(base, 0)));
          for (; later != late.end() && static_cast<std::ptrdiff_t>(*later) < end; ++later) {
            score(*later, weight_at(*later));
          }
        }
        if (gain > best.gain || (gain == best.gain && best.found && remaining < best.remaining)) {
          best = Pick{b, p, delta, gain, remaining, true};
        }
        if (worst_after < worst_before - 1e-6 * bound &&
            (worst_after < narrowest || (worst_after == narrowest && remaining < narrower.remaining))) {
          narrowest = worst_after;
          narrower = Pick{b, p, delta, gain, remaining, true};
        }
      };
      const auto sample = static_cast<std::ptrdiff_t>(i);
      for (std::size_t b = 0; b < model->bands.size(); ++b) {
        const target::BandResponse& band = model->bands[b];
        if (band.window.empty() || band.size == 0 || band.window.size() > widest_window) continue;
        const auto stride = static_cast<std::ptrdiff_t>(band.stride);
        const std::ptrdiff_t lo = band.first_delta;
        const std::ptrdiff_t hi = lo + static_cast<std::ptrdiff_t>(band.window.size()) - 1;
        const auto floor_div = [](std::ptrdiff_t a, std::ptrdiff_t d) {
          return a >= 0 ? a / d : -((-a + d - 1) / d);
        };
        // Interior coefficients p with sample - p * stride inside [lo, hi].
        const std::ptrdiff_t first = std::max<std::ptrdiff_t>(-floor_div(-(sample - hi), stride), 0);
        const std::ptrdiff_t last =
            std::min<std::ptrdiff_t>(floor_div(sample - lo, stride), static_cast<std::ptrdiff_t>(band.size) - 1);
        for (std::ptrdiff_t p = first; p <= last; ++p) {
          const auto position = static_cast<std::size_t>(p);
          if (band.edge_response(position) != nullptr) continue;
          consider(b, position, band.window[static_cast<std::size_t>(sample - p * stride - lo)] * step);
        }
      }
      if (const std::vector<target::EdgeHit>* hits = model->edge_hits(i, n)) {
        for (const target::EdgeHit& hit : *hits) {
          if (model->bands[hit.band].window.size() > widest_window) continue;
          consider(hit.band, hit.position, hit.weight * step);
        }
      }
      if (!best.found || !(best.gain > 1e-9 * bound)) {
        // Every nudge adds as much excess elsewhere as it removes: once the
        // plain rounds have stalled, take the one that lowers the largest
        // excess among the samples it moves, which spreads a cluster of
        // violations out instead of leaving it for a smaller step.
        if (!((stalled > 0 || round > 2) && narrower.found)) continue;
        best = narrower;
      }
      const target::BandResponse& band = model->bands[best.band];
      std::int16_t& q = candidate.coefficients[band.offset + best.position];
      q = static_cast<std::int16_t>(q + best.delta);
      for_each_moved(band, best.position, [&](std::size_t at, double w) {
        errors[at] += best.delta * w;
        if (!is_near[at] && std::fabs(errors[at]) > near_threshold) {
          is_near[at] = 1;
          const auto index = static_cast<std::uint32_t>(at);
          late.insert(std::upper_bound(late.begin(), late.end(), index), index);
        }
      });
      if (late.size() > 4096) {
        const auto middle = static_cast<std::ptrdiff_t>(near.size());
        near.insert(near.end(), late.begin(), late.end());
        std::inplace_merge(near.begin(), near.begin() + middle, near.end());
        late.clear();
      }
      changed = true;
    }
    if (!changed) return false;
    errors_exact = false;
  }
  QUORVANE_TRY([[maybe_unused]] bool done, reconstruct_exactly());
  for (std::size_t i = 0; i < n; ++i) {
    if (std::fabs(errors[i]) > bound) return false;
  }
  return true;
}

bool meets(const AchievedMetrics& metrics, const QualityTarget& target) {
  if (target.max_abs_error && !(metrics.max_abs_error <= *target.max_abs_error)) return false;
  if (target.min_psnr && !(metrics.psnr >= *target.min_psnr)) return false;
  if (target.max_rmse && !(metrics.rmse <= *target.max_rmse)) return false;
  return true;
}

TargetResult<Bounds> bounds_of(const QualityTarget& target, double range) {
  const auto invalid = [](const std::string& text) {
    return Err{TargetError(TargetError::Kind::InvalidTarget, text)};
  };
  if (!target.max_abs_error && !target.min_psnr && !target.max_rmse) {
    return invalid("A quality target needs max_abs_error, min_psnr or max_rmse");
  }
  Bounds bounds;
  // A hair inside each bound, so that a caller who measures with another
  // summation order still sees it met.
  constexpr double kInside = 1.0 - 1e-6;
  if (target.max_abs_error) {
    if (!(*target.max_abs_error >= 0.0) || !std::isfinite(*target.max_abs_error)) {
      return invalid("max_abs_error must be a finite number >= 0");
    }
    bounds.max_abs = *target.max_abs_error;
  }
  if (target.max_rmse) {
    if (!(*target.max_rmse >= 0.0) || !std::isfinite(*target.max_rmse)) {
      return invalid("max_rmse must be a finite number >= 0");
    }
    bounds.max_rmse = *target.max_rmse * kInside;
  }
  if (target.min_psnr) {
    if (std::isnan(*target.min_psnr)) return invalid("min_psnr must be a number");
    bounds.max_rmse = std::min(bounds.max_rmse, range * std::pow(10.0, -*target.min_psnr / 20.0) * kInside);
  }
  return bounds;
}

struct Plan {
  std::size_t method_index = 0;
  float dead_zone = 0.5f;
  float step = 0.0f;
  double bits = kInfinity;
};

}  // namespace

TargetResult<std::vector<std::uint8_t>> encode_with_settings(std::span<const float> samples,
                                                             const TargetSettings& settings) {
  QUORVANE_TRY([[maybe_unused]] bool checked, check_settings(settings));
  QUORVANE_TRY(const Analysis analysis, target::analyse(samples, settings.method, settings.levels));
  QUORVANE_TRY(const StoredMap map, target::stored_map(analysis, settings.step, settings.scale));
  const std::vector<std::int16_t> coefficients =
      target::quantize_bands(analysis, settings.levels, map.units_per_coefficient, settings.dead_zone);
  return target::write_stream(analysis, settings.levels, coefficients, map, settings.coder);
}

TargetResult<TargetEncoding> encode_to_target(std::span<const float> samples, const QualityTarget& target) {
  std::vector<WaveletMethod> methods = target.methods;
  if (methods.empty()) methods = {WaveletMethod::cdf97, WaveletMethod::cdf53, WaveletMethod::db4, WaveletMethod::sym4};
  std::vector<StreamCoder> coders = target.coders;
  if (coders.empty()) coders = {StreamCoder::arans};
  for (const StreamCoder coder : coders) {
    if (!known_coder(coder)) {
      return Err{TargetError(TargetError::Kind::InvalidSettings,
                             "Unknown entropy coder " + std::to_string(static_cast<unsigned>(coder)))};
    }
  }

  std::vector<MethodState> states;
  for (const WaveletMethod method : methods) {
    if (static_cast<unsigned>(method) > static_cast<unsigned>(WaveletMethod::sym4)) {
      return Err{TargetError(TargetError::Kind::InvalidSettings,
                             "Unknown wavelet method " + std::to_string(static_cast<unsigned>(method)))};
    }
    QUORVANE_TRY(Analysis analysis, target::analyse(samples, method, 0));
    states.emplace_back(std::move(analysis));
  }
  const Analysis& first = states.front().analysis;
  const double range = static_cast<double>(first.true_max) - static_cast<double>(first.true_min);
  QUORVANE_TRY(const Bounds bounds, bounds_of(target, range));

  // The model's RMSE goal; a max-error bound is typically a few RMSEs.
  constexpr double kPeakToRms = 3.5;
  const double goal = std::min(bounds.max_rmse, bounds.max_abs / kPeakToRms);
  const bool max_error = std::isfinite(bounds.max_abs);
  static constexpr float kMaxErrorZones[] = {0.5f, 0.6f};
  static constexpr float kRmseZones[] = {0.5f, 0.6f, 0.7f, 0.8f};
  const std::span<const float> zones = max_error ? std::span<const float>(kMaxErrorZones)
                                                 : std::span<const float>(kRmseZones);

  Plan plan;
  if (first.true_min == first.true_max) {
    // A flat signal is exact with every coefficient zero at any step.
    plan.step = std::fabs(first.true_min) > 1.0f ? std::fabs(first.true_min) * 0x1p-12f : 0x1p-12f;
  } else {
    // Each search starts from the last step found: the steps of neighbouring
    // dead zones and methods lie close together.
    double guess = std::log2(std::max(goal, 1e-300)) + 1.0;
    Plan runner_up;
    for (std::size_t m = 0; m < states.size(); ++m) {
      for (const float zone : zones) {
        QUORVANE_TRY(auto found, model_step(states[m], goal, zone, guess));
        if (!found) continue;
        guess = std::log2(found->first);
        const Plan candidate{m, zone, found->first, found->second.bits};
        if (candidate.bits < plan.bits) {
          runner_up = plan;
          plan = candidate;
        } else if (candidate.bits < runner_up.bits) {
          runner_up = candidate;
        }
      }
    }
    if (!(plan.step > 0.0f)) {
      return Err{unreachable("No stream of the format meets the target: the coefficients would exceed "
                             "the int16 range at every step that could")};
    }
    // The model's size is a zeroth-order entropy, blind to what the coder's
    // adaptation gains on one method over another: when the two best choices
    // lie within 0.2 % of each other it cannot tell them apart, so both are
    // coded at their steps and the smaller stream decides. (For a max-error
    // bound the step is refined on the real reconstruction afterwards, which
    // would make this comparison moot, and it costs time.)
    if (!max_error && runner_up.step > 0.0f && runner_up.bits <= plan.bits * 1.002) {
      std::size_t smallest = std::numeric_limits<std::size_t>::max();
      Plan chosen = plan;
      for (const Plan& option : {plan, runner_up}) {
        // Quantised and coded only: the size needs no reconstruction.
        const MethodState& option_state = states[option.method_index];
        const Analysis& analysis = option_state.analysis;
        auto map = target::stored_map(analysis, option.step, target::natural_scale(analysis, option.step));
        if (!map.ok()) continue;
        const std::size_t levels = option_state.levels_for(map.value().units_per_coefficient);
        if (levels == 0) continue;
        const std::vector<std::int16_t> coefficients =
            target::quantize_bands(analysis, levels, map.value().units_per_coefficient, option.dead_zone);
        QUORVANE_TRY(const std::vector<std::uint8_t> stream,
                     target::write_stream(analysis, levels, coefficients, map.value(), coders.front()));
        if (stream.size() < smallest) {
          smallest = stream.size();
          chosen = option;
        }
      }
      plan = chosen;
    }
  }

  MethodState& state = states[plan.method_index];
  float step = plan.step;
  // The candidate of the largest step the bisection below accepted: the
  // closed loop starts from that step and need not realise it again.
  std::optional<std::pair<float, Candidate>> accepted;
  if (max_error && first.true_min != first.true_max) {
    // The model only ranked the choices; the step comes from the real
    // reconstruction, allowing the few samples over the bound that the
    // correction can take back.
    // A larger step with more violations for the correction to take back
    // gives smaller streams; the correction's work grows with their number,
    // so it is capped in absolute terms.
    const std::size_t budget = 1 + std::min<std::size_t>(samples.size() / 50, 2000);
    const auto acceptable = [&](float s) -> TargetResult<bool> {
      QUORVANE_TRY(auto candidate, realise(state, s, plan.dead_zone, samples, bounds.max_abs));
      const bool ok = candidate && candidate->violations <= budget && candidate->rmse <= bounds.max_rmse;
      if (ok && (!accepted || s > accepted->first)) accepted.emplace(s, std::move(*candidate));
      return ok;
    };
    double lo_log = std::log2(step);
    double hi_log;
    QUORVANE_TRY(bool ok, acceptable(step));
    if (ok) {
      hi_log = lo_log + 0.5;
      for (int i = 0; i < 8; ++i) {
        QUORVANE_TRY(bool up, acceptable(static_cast<float>(std::exp2(hi_log))));
        if (!up) break;
        lo_log = hi_log;
        hi_log += 0.5;
      }
    } else {
      hi_log = lo_log;
      bool found = false;
      for (int i = 0; i < 24; ++i) {
        lo_log -= 0.5;
        QUORVANE_TRY(bool down, acceptable(static_cast<float>(std::exp2(lo_log))));
        if (down) {
          found = true;
          break;
        }
        hi_log = lo_log;
      }
      if (!found) lo_log = hi_log;  // the closed loop below decides
    }
    for (int i = 0; i < 5; ++i) {
      const double mid = 0.5 * (lo_log + hi_log);
      QUORVANE_TRY(bool middle, acceptable(static_cast<float>(std::exp2(mid))));
      (middle ? lo_log : hi_log) = mid;
    }
    step = static_cast<float>(std::exp2(lo_log));
  }

  // Closed loop: realise, correct and measure the reconstruction (the
  // decoder's own operations, without coding); shrink the step on a miss.
  // Only the candidate kept is coded, then decoded with `decompress` and
  // measured again: that check is what the result promises.
  QualityTarget inside = target;
  if (std::isfinite(bounds.max_rmse)) inside.max_rmse = bounds.max_rmse;
  std::uint32_t retries = 0;
  const auto finish = [&](const Candidate& candidate) -> TargetResult<std::optional<TargetEncoding>> {
    std::optional<std::vector<std::uint8_t>> smallest;
    StreamCoder chosen = coders.front();
    for (const StreamCoder coder : coders) {
      QUORVANE_TRY(std::vector<std::uint8_t> stream,
                   target::write_stream(state.analysis, candidate.levels, candidate.coefficients, candidate.map,
                                        coder));
      if (!smallest || stream.size() < smallest->size()) {
        smallest = std::move(stream);
        chosen = coder;
      }
    }
    auto decoded = decompress(*smallest);
    if (!decoded.ok()) return Err{TargetError(TargetError::Kind::CodecFailed, decoded.error().message())};
    const AchievedMetrics metrics = measure(samples, decoded.value());
    if (!meets(metrics, inside)) return std::optional<TargetEncoding>{};
    const TargetSettings settings{state.analysis.method, static_cast<std::uint8_t>(candidate.levels),
                                  candidate.map.scale, candidate.map.step, plan.dead_zone, chosen};
    return std::optional<TargetEncoding>{
        TargetEncoding{std::move(*smallest), settings, metrics, retries, std::move(decoded).value()}};
  };

  constexpr int kAttempts = 40;
  // A candidate that met the target with room to spare (an RMSE goal with
  // RMSE to give, or a max-error bound met after a long jump down), kept
  // while one larger step is tried (which, meeting it too, codes smaller).
  std::optional<Candidate> met;
  bool grew = false;
  // A max-error miss means the correction stalled: each nudge that would
  // bring the last samples inside pushes others out. The first three
  // retries shrink the step by 0.93; after that the factor squares each
  // time (a smooth signal whose step is several times the bound can need a
  // third of the step, which took 14 retries of 0.93), and a success
  // reached by such a jump is followed by tries halfway back (in log step)
  // between it and the last miss: one, or two after a jump of eight
  // factors or more.
  float missed_step = 0.0f;
  float met_step = 0.0f;
  int probes = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::optional<Candidate> realised;
    if (attempt == 0 && accepted && accepted->first == step) {
      realised = std::move(accepted->second);
    } else {
      QUORVANE_TRY(realised, realise(state, step, plan.dead_zone, samples, bounds.max_abs));
    }
    accepted.reset();
    bool feasible = realised.has_value();
    if (feasible && max_error && realised->violations > 0) {
      QUORVANE_TRY(feasible, correct_max_error(state, *realised, samples, bounds.max_abs));
    }
    std::optional<AchievedMetrics> metrics;
    if (feasible) {
      metrics = measure(samples, realised->decoded);
      if (meets(*metrics, inside)) {
        if (!max_error && !grew && metrics->rmse < 0.97 * bounds.max_rmse && metrics->rmse > 0.0) {
          grew = true;
          met = std::move(realised);
          step = static_cast<float>(step * std::min(1.5, 0.995 * bounds.max_rmse / metrics->rmse));
          continue;
        }
        if (max_error && probes > 0 && missed_step > step) {
          --probes;
          met = std::move(realised);
          met_step = step;
          step = static_cast<float>(std::sqrt(static_cast<double>(step) * missed_step));
          continue;
        }
        QUORVANE_TRY(auto encoding, finish(*realised));
        if (encoding) return std::move(*encoding);
        // The decoder disagreed with the reconstruction: treat it as a miss.
        metrics.reset();
      }
    }
    if (met && max_error && probes > 0) {
      --probes;
      missed_step = step;
      step = static_cast<float>(std::sqrt(static_cast<double>(met_step) * missed_step));
      continue;
    }
    if (met) {
      QUORVANE_TRY(auto encoding, finish(*met));
      if (encoding) return std::move(*encoding);
      step = met->map.step;
      met.reset();
    }
    ++retries;
    if (!max_error && metrics && metrics->rmse > 0.0 && std::isfinite(bounds.max_rmse)) {
      step = static_cast<float>(step * std::clamp(0.995 * bounds.max_rmse / metrics->rmse, 0.5, 0.995));
      continue;
    }
    if (max_error) {
      missed_step = step;
      const int shrinks = retries <= 3 ? 1 : std::min(1 << (retries - 3), 16);
      probes = shrinks >= 8 ? 2 : shrinks > 1 ? 1 : 0;
      step = static_cast<float>(step * std::pow(0.93, shrinks));
      continue;
    }
    step *= 0.93f;
  }
  return Err{unreachable("No stream of the format meets the target (tried steps down to " +
                         std::to_string(step) + ")")};
}

}  // namespace quorvane::codec
