"""Coder 2 ("bands") written by name from the tools: the reference encoder's
quantised coefficients with another payload coder. The oracle everywhere is
the rANS stream of the same options: a coder-2 stream must carry the same
header fields and decode to exactly its samples. Nothing writes coder 2
unless asked for by name."""
import pickle

import numpy as np
import pytest
import quorvane

from quorvane_tools.cli import main
from quorvane_tools.containers import read_compressed
from quorvane_tools.header import parse_header
from quorvane_tools.options import OptionChoice, make_choice

from tools_support import demo_signal, require, synthetic_signals

ECG = demo_signal()[:12000]
CHIRP = synthetic_signals()["chirp"]


def assert_recoded(stream, reference):
    """`stream` is `reference` with its payload coded by coder 2."""
    header, expected = parse_header(stream), parse_header(reference)
    assert header.coder == 2 and header.coder_name == "bands" and expected.coder == 1
    for field in ("method", "levels", "scale", "sample_count", "min", "max", "mean"):
        assert getattr(header, field) == getattr(expected, field), field
    np.testing.assert_array_equal(quorvane.decompress_signal(stream).view(np.uint32),
                                  quorvane.decompress_signal(reference).view(np.uint32))


@pytest.mark.parametrize("method,scale,cutoff", [("cdf97", 11, "low"), ("cdf53", 6, "high"), ("db4", 9, "medium"),
                                                 ("sym4", 12, "low")])
@pytest.mark.parametrize("n", [1, 9, 80, 4097])
def test_option_choice_codes_the_reference_coefficients_with_coder_2(method, scale, cutoff, n):
    samples = np.ascontiguousarray(CHIRP[:n], dtype=np.float32)
    choice = OptionChoice(method=method, scale=scale, cutoff=cutoff, coder="bands")
    reference = quorvane.compress_signal(samples, quorvane.QuorvCompressionOptions(
        method=method, scale=scale, cutoff=cutoff))
    stream = choice.compress(samples)
    assert_recoded(stream, reference)
    # float64 input is narrowed exactly as compress_signal narrows it.
    assert choice.compress(samples.astype(np.float64)) == stream


def test_band_streams_are_smaller_on_a_real_signal():
    samples = ECG.astype(np.float32)
    sizes = {coder: len(OptionChoice(coder=coder).compress(samples)) for coder in ("arans", "bands")}
    assert sizes["bands"] < sizes["arans"]


def test_the_default_choice_is_the_reference_stream_byte_for_byte():
    samples = ECG.astype(np.float32)
    assert OptionChoice().coder == "auto"
    assert OptionChoice().compress(samples) == quorvane.compress_signal(samples)
    assert make_choice(coder="arans").compress(samples) == quorvane.compress_signal(
        samples, quorvane.QuorvCompressionOptions(coder="arans"))


def test_coder_names_are_checked_and_the_module_is_unchanged():
    with pytest.raises(ValueError, match="unknown coder 'band', expected one of 'auto', 'deflate', 'arans', 'bands'"):
        make_choice(coder="band")
    with pytest.raises(ValueError, match="coder 'bands' is written by OptionChoice.compress"):
        OptionChoice(coder="bands").to_quorvane()
    # The extension's options keep exactly their coders.
    with pytest.raises(ValueError):
        quorvane.QuorvCompressionOptions(coder="bands")
    assert quorvane.__all__ == ["QuorvCompressionOptions", "compress_signal", "decompress_signal"]
    from quorvane_tools import _encoder
    with pytest.raises(ValueError, match="Only scaled 6..12 is supported, but it was 13"):
        _encoder.compress_with_band_coder(np.ones(10, np.float32), method=1, scale=13, cutoff=0)
    with pytest.raises(ValueError, match="Can't compress empty data"):
        _encoder.compress_with_band_coder(np.ones(0, np.float32), method=1, scale=11, cutoff=0)
    with pytest.raises(TypeError, match="1-D C-contiguous native float32"):
        _encoder.compress_with_band_coder(np.ones((2, 5), np.float32), method=1, scale=11, cutoff=0)


def test_save_and_load_with_coder_2(tmp_path):
    from quorvane_tools import load, save

    data = np.stack([ECG[:5000], ECG[5000:10000]], axis=1).astype(np.float32)
    save(tmp_path / "b.qrvz", data, scale=9, coder="bands")
    save(tmp_path / "r.qrvz", data, scale=9)
    assert [h.coder for h in read_compressed(tmp_path / "b.qrvz").headers()] == [2, 2]
    restored, meta = load(tmp_path / "b.qrvz")
    np.testing.assert_array_equal(restored, load(tmp_path / "r.qrvz")[0])
    assert meta["shape"] == [5000, 2]


# ---------------------------------------------------------------- numcodecs / Zarr


def _numcodecs():
    require("numcodecs")
    from quorvane_tools.numcodecs_codec import Quorvane

    return Quorvane


def test_numcodecs_codec_writes_coder_2_by_name():
    Quorvane = _numcodecs()
    chunk = CHIRP[:6000].reshape(60, 100).astype(np.float32)
    codec = Quorvane(method="db4", scale=9, coder="bands")
    encoded = codec.encode(chunk)
    assert_recoded(encoded, Quorvane(method="db4", scale=9).encode(chunk))
    np.testing.assert_array_equal(codec.decode(encoded), Quorvane(method="db4", scale=9).decode(
        Quorvane(method="db4", scale=9).encode(chunk)))
    config = codec.get_config()
    assert config == {"id": "quorvane", "method": "db4", "scale": 9, "cutoff": "low", "coder": "bands"}
    import numcodecs

    rebuilt = numcodecs.get_codec(config)
    assert rebuilt == codec and rebuilt.encode(chunk) == encoded
    assert pickle.loads(pickle.dumps(codec)).encode(chunk) == encoded


def test_numcodecs_coder_2_keeps_non_finite_values_and_float64():
    Quorvane = _numcodecs()
    chunk = CHIRP[:3000].astype(np.float64)
    chunk[[5, 700]] = [np.nan, -np.inf]
    codec = Quorvane(coder="bands", checksum=True)
    encoded = codec.encode(chunk)
    assert parse_header(encoded).coder == 2
    decoded = codec.decode(encoded)
    assert decoded.dtype == np.float64 and np.isnan(decoded[5]) and decoded[700] == -np.inf
    np.testing.assert_array_equal(decoded, Quorvane(checksum=True).decode(Quorvane(checksum=True).encode(chunk)))


def test_numcodecs_default_config_and_streams_are_unchanged():
    Quorvane = _numcodecs()
    codec = Quorvane()
    assert codec.get_config() == {"id": "quorvane", "method": "cdf97", "scale": 11, "cutoff": "low", "coder": "auto"}
    chunk = CHIRP.astype(np.float32)
    assert codec.encode(chunk) == quorvane.compress_signal(chunk)


@pytest.mark.parametrize("bound", [{"max_abs_error": 0.01}, {"min_psnr": 60.0}, {"max_rmse": 0.002}])
def test_numcodecs_quality_targets_with_coder_2(bound):
    Quorvane = _numcodecs()
    codec = Quorvane(coder="bands", **bound)
    chunk = ECG.astype(np.float32)
    encoded = codec.encode(chunk)
    assert parse_header(encoded).coder == 2
    decoded = codec.decode(encoded)
    error = decoded.astype(np.float64) - chunk
    if "max_abs_error" in bound:
        assert np.max(np.abs(error)) <= bound["max_abs_error"]
    elif "max_rmse" in bound:
        assert np.sqrt(np.mean(error ** 2)) <= bound["max_rmse"]
    else:
        peak = float(chunk.max()) - float(chunk.min())
        assert 10 * np.log10(peak ** 2 / np.mean(error ** 2)) >= bound["min_psnr"]
    import numcodecs

    assert numcodecs.get_codec(codec.get_config()).encode(chunk) == encoded


def test_numcodecs_refuses_unknown_coders_naming_bands():
    Quorvane = _numcodecs()
    with pytest.raises(ValueError, match="unknown coder 'zstd', expected one of .*'bands'"):
        Quorvane(coder="zstd")
    with pytest.raises(ValueError, match="unknown coder 'zstd', expected one of .*'bands'"):
        Quorvane(coder="zstd", min_psnr=50)


def test_zarr_array_with_coder_2(tmp_path):
    zarr = require("zarr")
    Quorvane = _numcodecs()
    from quorvane_tools.zarr3_codec import Quorvane as QuorvaneV3

    data = CHIRP[:8000].astype(np.float32)
    array = zarr.create_array(str(tmp_path / "a.zarr"), shape=data.shape, chunks=(3000,), dtype="float32",
                              serializer=QuorvaneV3(scale=10, coder="bands"), compressors=None)
    array[:] = data
    reopened = zarr.open_array(str(tmp_path / "a.zarr"), mode="r")
    # Zarr pads the last chunk with the fill value (0) before encoding it.
    padded = np.concatenate([data, np.zeros(1000, np.float32)])
    expected = np.concatenate([Quorvane(scale=10).decode(Quorvane(scale=10).encode(padded[i:i + 3000]))
                               for i in range(0, 9000, 3000)])
    np.testing.assert_array_equal(reopened[:], expected[:8000])
    assert [(tmp_path / "a.zarr" / "c" / str(i)).read_bytes()[14] for i in range(3)] == [2, 2, 2]


# ---------------------------------------------------------------- command line


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_cli_compresses_with_coder_2_and_info_names_it(tmp_path, capsys):
    np.save(tmp_path / "ecg.npy", ECG)
    code, _, err = run(capsys, "compress", tmp_path / "ecg.npy", "-o", tmp_path / "b.qrvz", "--coder", "bands",
                       "--scale", "10")
    assert code == 0, err
    code, _, err = run(capsys, "compress", tmp_path / "ecg.npy", "-o", tmp_path / "r.qrvz", "--scale", "10")
    assert code == 0, err
    bands, reference = read_compressed(tmp_path / "b.qrvz"), read_compressed(tmp_path / "r.qrvz")
    assert_recoded(bands.streams[0], reference.streams[0])
    code, out, _ = run(capsys, "info", tmp_path / "b.qrvz")
    assert code == 0 and "coder            2 (bands)" in out
    code, _, err = run(capsys, "decompress", tmp_path / "b.qrvz", "-o", tmp_path / "b.npy")
    assert code == 0, err
    np.testing.assert_array_equal(np.load(tmp_path / "b.npy"), quorvane.decompress_signal(reference.streams[0]))


def test_cli_writes_coder_1_unless_asked(tmp_path, capsys):
    np.save(tmp_path / "ecg.npy", ECG)
    assert run(capsys, "compress", tmp_path / "ecg.npy", "-o", tmp_path / "d.qrv")[0] == 0
    assert (tmp_path / "d.qrv").read_bytes() == quorvane.compress_signal(ECG.astype(np.float32))


@pytest.mark.parametrize("extra,message", [
    (["--coder", "band"], "unknown coder 'band'; choose from auto, deflate, arans, bands"),
    (["--coder", "bands", "--scale", "5"], "scale 5 is outside 6..12"),
])
def test_cli_usage_errors_for_coders(tmp_path, capsys, extra, message):
    np.save(tmp_path / "ecg.npy", ECG[:100])
    code, _, err = run(capsys, "compress", tmp_path / "ecg.npy", *extra)
    assert code == 2 and message in err
    assert not (tmp_path / "ecg.qrvz").exists()


@pytest.mark.parametrize("encoder", [[], ["--cutoff", "low"]])  # the target encoder, the reference search
def test_cli_targets_with_coder_2(tmp_path, capsys, encoder):
    np.save(tmp_path / "ecg.npy", ECG)
    code, out, err = run(capsys, "compress", tmp_path / "ecg.npy", "-o", tmp_path / "t.qrv", "--max-abs-error",
                         "0.01", "--coder", "bands", *encoder)
    assert code == 0, err
    assert ("target encoder" in out) == (not encoder)
    stream = (tmp_path / "t.qrv").read_bytes()
    assert parse_header(stream).coder == 2
    assert np.max(np.abs(quorvane.decompress_signal(stream).astype(np.float64) - ECG.astype(np.float32))) <= 0.01
