"""choose_options: the target is met by the returned bytes, and nothing
smaller that meets it was passed over."""
import math
from pathlib import Path

import numpy as np
import pytest
import quorvane

from quorvane_tools import QualityTarget, TargetNotMet, choose_options, error_metrics, evaluate
from quorvane_tools.evaluation import grid

from tools_support import demo_signal, synthetic_signals

SIGNALS = {"ecg": demo_signal()[:20000], **synthetic_signals()}


def _verified(samples, result):
    """Metrics recomputed from scratch on the returned stream."""
    return error_metrics(samples, quorvane.decompress_signal(result.stream))


def _span(samples):
    return float(np.max(samples)) - float(np.min(samples))


@pytest.mark.parametrize("name", sorted(SIGNALS))
@pytest.mark.parametrize("fraction", [0.05, 0.01, 0.003])
def test_max_abs_error_target_is_met(name, fraction):
    samples = SIGNALS[name]
    bound = fraction * _span(samples)
    result = choose_options(samples, max_abs_error=bound)
    assert _verified(samples, result).max_abs_error <= bound
    assert result.metrics.max_abs_error <= bound
    assert result.sample_count == samples.size and result.ratio == 4 * samples.size / len(result.stream)
    assert result.choice.coder in ("arans", "deflate")


@pytest.mark.parametrize("name", sorted(SIGNALS))
@pytest.mark.parametrize("psnr", [35.0, 50.0, 65.0])
def test_min_psnr_target_is_met(name, psnr):
    samples = SIGNALS[name]
    result = choose_options(samples, min_psnr=psnr)
    assert _verified(samples, result).psnr >= psnr


def test_both_bounds_together():
    samples = SIGNALS["ecg"]
    result = choose_options(samples, max_abs_error=0.02, min_psnr=60.0)
    verified = _verified(samples, result)
    assert verified.max_abs_error <= 0.02 and verified.psnr >= 60.0


@pytest.mark.parametrize("name", ["ecg", "seismic"])
def test_no_smaller_stream_meets_the_target(name):
    samples = SIGNALS[name]
    bound = 0.004 * _span(samples)
    result = choose_options(samples, max_abs_error=bound, coders=["arans", "deflate"])
    rows = evaluate([samples], grid(), repeat=1)
    meeting = [row for row in rows if row.metrics.max_abs_error <= bound]
    assert min(row.stream_bytes for row in meeting) == len(result.stream)
    # The smallest qualifying stream is not simply the finest scale.
    assert result.choice.scale < 12


CORPUS = Path("/work/shared/corpus")
REAL = ["alsa_front_center", "mpl_eeg_ch0", "mpl_membrane", "pywt_ecg", "r_eustock_dax", "r_sunspot_month",
        "r_treering", "scipy_ecg"]


def _bisection_cases():
    for name in REAL:
        yield pytest.param(name, {"max_abs_error": 3e-3}, id=f"{name}-abs")
        yield pytest.param(name, {"min_psnr": 60.0}, id=f"{name}-psnr")
    yield pytest.param("ecg", {"max_abs_error": 1e-2}, id="demo-ecg-abs")
    yield pytest.param("chirp", {"min_psnr": 50.0}, id="chirp-psnr")


@pytest.mark.parametrize("name,target", list(_bisection_cases()))
def test_bisection_finds_the_grids_answer_with_five_times_fewer_trials(name, target):
    if name in SIGNALS:
        samples = SIGNALS[name]
    elif (CORPUS / f"{name}.npy").exists():
        samples = np.load(CORPUS / f"{name}.npy")[:30000]
    else:
        pytest.skip("the shared corpus is not on this machine")
    if "max_abs_error" in target:
        target = {"max_abs_error": target["max_abs_error"] * _span(samples)}
    grid_answer = choose_options(samples, exhaustive=True, **target)
    assert grid_answer.candidates == 84
    bisected = choose_options(samples, **target)
    assert bisected.stream == grid_answer.stream
    # The full grid with both coders, as choose_options used to search it,
    # is 168 streams.
    assert bisected.candidates * 5 <= 168


def test_float64_error_is_measured_before_narrowing():
    # 1 + 2^-30 and 1 collapse to one float32; an absolute bound below that
    # gap cannot be met by a float32 reconstruction.
    samples = np.array([1.0, 1.0 + 2.0 ** -30] * 50, dtype=np.float64)
    with pytest.raises(TargetNotMet):
        choose_options(samples, max_abs_error=2.0 ** -32)


def test_restricting_the_search():
    samples = SIGNALS["chirp"]
    result = choose_options(samples, max_abs_error=0.05, methods=["db4"], coders=["deflate"], cutoffs=["high"])
    assert (result.choice.method, result.choice.coder, result.choice.cutoff) == ("db4", "deflate", "high")
    assert result.candidates == 3  # a bisection over the seven scales


def test_unreachable_target_names_the_closest_candidate():
    samples = SIGNALS["white_noise"]
    with pytest.raises(TargetNotMet, match=r"no options meet max_abs_error <= 1e-09; closest was method="):
        choose_options(samples, max_abs_error=1e-9)


def test_a_flat_signal_is_met_exactly():
    result = choose_options(np.full(400, 2.5, np.float32), max_abs_error=0.0)
    assert result.metrics.max_abs_error == 0.0 and math.isinf(result.metrics.psnr)


@pytest.mark.parametrize(
    "arguments,message",
    [
        ({}, "needs max_abs_error, min_psnr or both"),
        ({"max_abs_error": -1.0}, "finite number >= 0"),
        ({"max_abs_error": math.inf}, "finite number >= 0"),
        ({"min_psnr": math.nan}, "must be a number"),
    ],
)
def test_bad_targets(arguments, message):
    with pytest.raises(ValueError, match=message):
        choose_options(SIGNALS["short"], **arguments)
    if arguments:
        with pytest.raises(ValueError, match=message):
            QualityTarget(**arguments)


@pytest.mark.parametrize("bad", [np.zeros(0, np.float32), np.array([1.0, np.nan, 2.0]), np.array([np.inf, 1.0])])
def test_signals_without_a_verifiable_error(bad):
    with pytest.raises(ValueError):
        choose_options(bad, max_abs_error=0.1)


def test_describe_reports_the_choice():
    result = choose_options(SIGNALS["steps"], min_psnr=40.0)
    text = result.describe()
    assert text.startswith(f"chose method={result.choice.method} scale={result.choice.scale}")
    assert f"{len(result.stream)} bytes" in text and "PSNR >= 40 dB" in text
