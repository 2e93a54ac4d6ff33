"""compress_to_target: every stream meets its target against the samples as
given (any dtype, layout or byte order), decodes with the reference decoder,
records the true extremes, and refuses what no stream can promise."""
import json
import threading
from pathlib import Path

import numpy as np
import pytest
import quorvane

from quorvane_tools import TargetNotMet, compress_to_target, error_metrics, parse_header
from quorvane_tools.cli import main

from tools_support import demo_signal, synthetic_signals

CORPUS = Path("/work/shared/corpus")
SIGNALS = {**synthetic_signals(), "ecg": demo_signal()}
# Excerpts of real signals when the shared corpus is at hand; CI uses the
# synthetic ones and the demo ECG.
for _name in ("alsa_speech_all8", "mpl_eeg_ch0", "r_sunspot_month", "scipy_ecg"):
    if (CORPUS / f"{_name}.npy").exists():
        SIGNALS[_name] = np.load(CORPUS / f"{_name}.npy")[:20000]

TARGETS = {
    "abs 1e-2": lambda peak: {"max_abs_error": 1e-2 * peak},
    "abs 3e-4": lambda peak: {"max_abs_error": 3e-4 * peak},
    "psnr 50": lambda peak: {"min_psnr": 50.0},
    "psnr 80": lambda peak: {"min_psnr": 80.0},
    "rmse": lambda peak: {"max_rmse": 2e-3 * peak},
    "all three": lambda peak: {"max_abs_error": 4e-3 * peak, "min_psnr": 62.0, "max_rmse": 1e-3 * peak},
}


def meets(metrics, max_abs_error=None, min_psnr=None, max_rmse=None):
    return ((max_abs_error is None or metrics.max_abs_error <= max_abs_error)
            and (min_psnr is None or metrics.psnr >= min_psnr)
            and (max_rmse is None or metrics.rmse <= max_rmse))


@pytest.mark.parametrize("target", list(TARGETS))
@pytest.mark.parametrize("name", list(SIGNALS))
def test_every_stream_meets_its_target(name, target):
    signal = SIGNALS[name]
    peak = float(np.max(signal)) - float(np.min(signal))
    bounds = TARGETS[target](peak)
    result = compress_to_target(signal, **bounds)
    decoded = quorvane.decompress_signal(result.stream)
    measured = error_metrics(signal, decoded)
    assert meets(measured, **bounds), (measured, bounds)
    assert measured == result.metrics
    assert result.ratio == 4 * signal.size / len(result.stream)
    header = parse_header(result.stream)
    assert (header.method, header.levels, header.coder) == (result.settings.method, result.settings.levels, 1)
    assert header.true_extremes == (float(np.float32(signal.min())), float(np.float32(signal.max())))


def test_smaller_than_the_best_reference_stream_at_its_error():
    signal = demo_signal()
    reference = quorvane.compress_signal(signal)
    reached = error_metrics(signal, quorvane.decompress_signal(reference))
    result = compress_to_target(signal, max_abs_error=reached.max_abs_error)
    assert len(result.stream) * 1.15 < len(reference)


def test_the_reference_decoder_ignores_the_provenance_record():
    signal = SIGNALS["chirp"]
    stream = compress_to_target(signal, min_psnr=60.0).stream
    zeroed = stream[:36] + bytes(16) + stream[52:]
    assert parse_header(zeroed).true_extremes is None
    np.testing.assert_array_equal(quorvane.decompress_signal(zeroed), quorvane.decompress_signal(stream))


def test_what_users_have_is_accepted():
    base = SIGNALS["seismic"][:4000].astype(np.float32)
    expected = compress_to_target(base, min_psnr=55.0).stream
    # The same float32 values in other containers give the same stream.
    assert compress_to_target(base.tolist(), min_psnr=55.0).stream != b""
    assert compress_to_target(base.astype(">f4"), min_psnr=55.0).stream == expected
    strided = np.empty(8000, np.float32)
    strided[::2] = base
    assert compress_to_target(strided[::2], min_psnr=55.0).stream == expected
    # Integers, and float64 whose narrowing to float32 loses bits: the
    # bound holds against the values as given.
    pcm = (base * 1000).astype(np.int16)
    assert meets(compress_to_target(pcm, max_abs_error=2.0).metrics, max_abs_error=2.0)
    fine = SIGNALS["seismic"][:4000] * (1 + 1e-9)
    bounds = {"max_abs_error": 3e-4 * np.ptp(fine), "max_rmse": 1e-4 * np.ptp(fine)}
    result = compress_to_target(fine, **bounds)
    assert meets(error_metrics(fine, quorvane.decompress_signal(result.stream)), **bounds)
    assert compress_to_target(np.ones((3, 50)), min_psnr=40).metrics.max_abs_error == 0.0


@pytest.mark.parametrize("coder,expected", [("auto", {1}), ("arans", {1}), ("deflate", {0}), ("smallest", {0, 1}),
                                            ("bands", {2})])
def test_coders(coder, expected):
    result = compress_to_target(SIGNALS["steps"], max_abs_error=1e-3, coder=coder)
    assert parse_header(result.stream).coder in expected
    assert result.settings.coder == parse_header(result.stream).coder_name


def test_methods_limit_the_search():
    result = compress_to_target(SIGNALS["chirp"], min_psnr=50.0, methods=["db4"])
    assert result.settings.method == "db4" == parse_header(result.stream).method


@pytest.mark.parametrize("samples,bounds,message", [
    ([1.0, float("nan"), 2.0], {"min_psnr": 40}, "sample 1 is nan: a quality target needs finite samples"),
    ([1.0, 2.0, -np.inf], {"min_psnr": 40}, "sample 2 is -inf"),
    ([1e300, 0.0], {"min_psnr": 40}, "sample 0 is 1e+300, outside the float32 range"),
    ([], {"min_psnr": 40}, "cannot compress an empty signal"),
    ([1.0, 2.0], {}, "a quality target needs max_abs_error, min_psnr or max_rmse"),
    ([1.0, 2.0], {"max_abs_error": -1.0}, "max_abs_error must be a finite number >= 0"),
    ([1.0, 2.0], {"max_rmse": float("inf")}, "max_rmse must be a finite number >= 0"),
    ([1.0, 2.0], {"min_psnr": float("nan")}, "min_psnr must be a finite number"),
    ([1.0, 2.0], {"min_psnr": 40, "methods": ["haar"]}, "unknown method 'haar'"),
    ([1.0, 2.0], {"min_psnr": 40, "methods": []}, "no method to choose from"),
    ([1.0, 2.0], {"min_psnr": 40, "coder": "zstd"}, "unknown coder 'zstd'"),
])
def test_refusals(samples, bounds, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace("+", r"\+")):
        compress_to_target(samples, **bounds)


def test_types_are_refused():
    with pytest.raises(TypeError, match="real numbers"):
        compress_to_target(np.array(["a", "b"]), min_psnr=40)


def test_targets_beyond_the_format_raise_target_not_met():
    pcm = np.random.default_rng(3).integers(-32768, 32768, 5000).astype(np.int16)
    with pytest.raises(TargetNotMet):
        compress_to_target(pcm, max_abs_error=0.5)
    with pytest.raises(TargetNotMet):
        compress_to_target(SIGNALS["chirp"], max_abs_error=0.0)


def test_threads_get_the_same_streams():
    signal = SIGNALS["seismic"]
    expected = compress_to_target(signal, max_abs_error=1e-2).stream
    results = []

    def work():
        results.append(compress_to_target(signal, max_abs_error=1e-2).stream)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 4


def test_info_shows_the_true_extremes(tmp_path, capsys):
    signal = SIGNALS["chirp"]
    path = tmp_path / "chirp.qrv"
    path.write_bytes(compress_to_target(signal, min_psnr=50.0).stream)
    assert main(["info", str(path)]) == 0
    text = capsys.readouterr().out
    assert f"true extremes    {float(signal.min()):.9g} .. {float(signal.max()):.9g}" in text
    assert main(["info", "--json", str(path)]) == 0
    document = json.loads(capsys.readouterr().out)
    assert document["streams"][0]["true_min"] == float(signal.min())
