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
    # Several dimensions are flattened in C order, whatever the memory order.
    assert compress_to_target(base.reshape(40, 100), min_psnr=55.0).stream == expected
    assert compress_to_target(np.asfortranarray(base.reshape(40, 100)), min_psnr=55.0).stream == expected
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


# --- the numcodecs/Zarr codec and the command line -------------------------


def test_codec_with_a_target_meets_it_on_every_chunk():
    numcodecs = pytest.importorskip("numcodecs")
    from quorvane_tools.numcodecs_codec import Quorvane

    codec = Quorvane(max_abs_error=0.02, method="cdf53")
    assert codec.get_config() == {"id": "quorvane", "max_abs_error": 0.02, "coder": "auto", "method": "cdf53"}
    assert numcodecs.get_codec(codec.get_config()).get_config() == codec.get_config()
    signal = SIGNALS["seismic"]  # float64
    chunks = np.array_split(signal.copy(), 5)
    chunks[2][100:140] = np.nan
    for chunk in chunks:
        restored = codec.decode(codec.encode(chunk))
        assert restored.dtype == np.float64
        finite = np.isfinite(chunk)
        assert np.array_equal(np.isnan(restored), ~finite)
        assert np.max(np.abs(restored[finite] - chunk[finite])) <= 0.02
        assert parse_header(codec.encode(chunk)).method == "cdf53"
    psnr = Quorvane(min_psnr=70.0, checksum=True)
    chunk = SIGNALS["chirp"]
    assert error_metrics(chunk, psnr.decode(psnr.encode(chunk))).psnr >= 70.0


@pytest.mark.parametrize("config,message", [
    ({"max_abs_error": 0.1, "scale": 9}, "replaces scale and cutoff"),
    ({"min_psnr": 60.0, "cutoff": "low"}, "replaces scale and cutoff"),
    ({"max_rmse": -1.0}, "max_rmse must be a finite number >= 0"),
    ({"max_abs_error": 0.1, "coder": "zstd"}, "unknown coder 'zstd'"),
    ({"max_abs_error": 0.1, "method": "haar"}, "unknown method 'haar'"),
])
def test_codec_refuses_mixed_or_bad_targets(config, message):
    pytest.importorskip("numcodecs")
    from quorvane_tools.numcodecs_codec import Quorvane

    with pytest.raises(ValueError, match=message):
        Quorvane(**config)


def test_zarr_array_with_a_target(tmp_path):
    zarr = pytest.importorskip("zarr")
    from quorvane_tools.zarr3_codec import Quorvane

    signal = SIGNALS["chirp"]
    array = zarr.create_array(tmp_path / "a.zarr", shape=signal.shape, chunks=(2000,), dtype="float32",
                              serializer=Quorvane(max_abs_error=1e-3), compressors=None)
    array[:] = signal
    assert np.max(np.abs(array[:] - signal)) <= 1e-3


def test_command_line_targets_use_the_target_encoder(tmp_path, capsys):
    source = tmp_path / "ecg.npy"
    np.save(source, SIGNALS["ecg"][:8000])
    out = tmp_path / "ecg.qrvz"
    assert main(["compress", str(source), "-o", str(out), "--max-abs-error", "0.01"]) == 0
    assert "target encoder: method=" in capsys.readouterr().out
    restored = quorvane_tools_load(out)
    assert np.max(np.abs(restored - SIGNALS["ecg"][:8000])) <= 0.01

    assert main(["compress", str(source), "-o", str(out), "--force", "--max-rmse", "0.002", "--coder",
                 "smallest"]) == 0
    assert "target encoder" in capsys.readouterr().out
    assert error_metrics(SIGNALS["ecg"][:8000], quorvane_tools_load(out)).rmse <= 0.002

    # Reference-encoder options ask for the reference encoder's search.
    assert main(["compress", str(source), "-o", str(out), "--force", "--max-abs-error", "0.01",
                 "--scale", "8-12"]) == 0
    assert "candidates tried" in capsys.readouterr().out
    assert main(["compress", str(source), "-o", str(out), "--force", "--max-rmse", "0.01", "--cutoff", "low"]) == 2
    assert "--max-rmse needs the target encoder" in capsys.readouterr().err


def quorvane_tools_load(path):
    from quorvane_tools import load

    return np.asarray(load(path)[0], dtype=np.float64).reshape(-1)
