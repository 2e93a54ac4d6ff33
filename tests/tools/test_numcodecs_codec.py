"""The numcodecs codec on its own: chunks of any shape and both float
types, `out`, configuration, registration and pickling."""
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import quorvane

from tools_support import quantiser_error, require, synthetic_signals

numcodecs = require("numcodecs")
from quorvane_tools.numcodecs_codec import Quorvane  # noqa: E402
from quorvane_tools.trailer import KIND_NAN, NonFiniteRuns, build_trailer, read_trailer  # noqa: E402

CHIRP = synthetic_signals()["chirp"]


@pytest.mark.parametrize("shape", [(6000,), (60, 100), (10, 20, 30), (1, 1)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64, ">f4", ">f8"])
def test_round_trip_keeps_shape_order_and_dtype(shape, dtype):
    chunk = CHIRP[: int(np.prod(shape))].reshape(shape).astype(dtype)
    codec = Quorvane(method="sym4", scale=10, cutoff="medium")
    encoded = codec.encode(chunk)
    decoded = codec.decode(encoded)
    assert decoded.ndim == 1 and decoded.size == chunk.size
    assert decoded.dtype == np.dtype(dtype).newbyteorder("=")
    error = np.max(np.abs(decoded - chunk.reshape(-1)))
    assert error <= quantiser_error(chunk, scale=10, cutoff="medium")


def test_chunk_is_a_plain_stream_of_the_c_order_samples():
    chunk = CHIRP[:4000].reshape(40, 100)
    options = quorvane.QuorvCompressionOptions(method="db4", scale=9, coder="deflate")
    assert Quorvane(method="db4", scale=9, coder="deflate").encode(chunk) == quorvane.compress_signal(
        chunk.reshape(-1), options)
    wide = Quorvane().encode(chunk.astype(np.float64))
    assert wide.endswith(b"QVTR") and read_trailer(wide).dtype == "float64"
    # The trailer sits after the payload, where the stream decoder stops reading.
    np.testing.assert_array_equal(quorvane.decompress_signal(wide), quorvane.decompress_signal(Quorvane().encode(chunk)))


def test_fortran_ordered_chunks_round_trip_in_memory_order():
    chunk = np.asfortranarray(CHIRP[:3000].reshape(30, 100))
    codec = Quorvane()
    decoded = codec.decode(codec.encode(chunk))
    restored = decoded.reshape(chunk.shape, order="F")
    assert np.max(np.abs(restored - chunk)) <= quantiser_error(chunk)


def test_views_are_copied_not_refused():
    view = CHIRP[::3]
    decoded = Quorvane().decode(Quorvane().encode(view))
    assert np.max(np.abs(decoded - view)) <= quantiser_error(view)


@pytest.mark.parametrize("out_dtype", [np.float32, np.float64])
def test_decode_into_out(out_dtype):
    chunk = CHIRP[:2000].reshape(20, 100)
    codec = Quorvane()
    encoded = codec.encode(chunk)
    out = np.full((20, 100), 99.0, dtype=out_dtype)
    assert codec.decode(encoded, out=out) is out
    np.testing.assert_allclose(out.reshape(-1), codec.decode(encoded), rtol=0, atol=1e-6)


def test_decode_into_a_byte_buffer():
    chunk = CHIRP[:500]
    codec = Quorvane()
    encoded = codec.encode(chunk)
    out = bytearray(4 * chunk.size)
    codec.decode(encoded, out=out)
    np.testing.assert_array_equal(np.frombuffer(bytes(out), np.float32), codec.decode(encoded))


def test_out_of_the_wrong_size_is_refused():
    encoded = Quorvane().encode(CHIRP[:100])
    with pytest.raises(ValueError, match="output holds 99 values, but the chunk has 100"):
        Quorvane().decode(encoded, out=np.zeros(99, np.float32))


def test_a_chunk_claiming_more_samples_than_out_is_refused_before_allocating():
    # A ~100-byte all-NaN chunk whose trailer claims 2^31 - 1 samples: with
    # `out` given, its size bounds what decoding may allocate.
    placeholder = quorvane.compress_signal(np.zeros(1, np.float32))
    claimed = 2**31 - 1
    runs = NonFiniteRuns(np.array([0], np.int64), np.array([claimed], np.int64), np.array([KIND_NAN], np.int64))
    chunk = placeholder + build_trailer(placeholder, "float32", runs, sample_count=claimed)
    with pytest.raises(ValueError, match=f"output holds 100 values, but the chunk has {claimed}"):
        Quorvane().decode(chunk, out=np.zeros(100, np.float32))


@pytest.mark.parametrize("chunk", [np.arange(10, dtype=np.int32), np.zeros(5, np.float16), np.zeros(3, complex)])
def test_non_float_chunks_are_refused(chunk):
    with pytest.raises(TypeError, match="compresses float32 or float64 data"):
        Quorvane().encode(chunk)


def test_empty_chunk_is_refused():
    with pytest.raises(ValueError, match="empty chunk"):
        Quorvane().encode(np.zeros(0, np.float32))


def test_damaged_chunk_raises_the_decoder_message():
    with pytest.raises(ValueError, match="Magic should be 'QRVN' but it was 'XRVN'"):
        Quorvane().decode(b"X" + Quorvane().encode(CHIRP[:100])[1:])


@pytest.mark.parametrize(
    "config,error",
    [({"method": "haar"}, ValueError), ({"scale": 13}, ValueError), ({"scale": "9"}, TypeError),
     ({"cutoff": "none"}, ValueError), ({"coder": "zstd"}, ValueError)],
)
def test_bad_configuration(config, error):
    with pytest.raises(error):
        Quorvane(**config)


def test_config_round_trip_and_pickle():
    codec = Quorvane(method="cdf53", scale=7, cutoff="high", coder="deflate")
    config = codec.get_config()
    assert config == {"id": "quorvane", "method": "cdf53", "scale": 7, "cutoff": "high", "coder": "deflate"}
    rebuilt = numcodecs.get_codec(config)
    assert rebuilt == codec and type(rebuilt) is Quorvane
    clone = pickle.loads(pickle.dumps(codec))
    assert clone == codec and clone.encode(CHIRP) == codec.encode(CHIRP)


def test_registered_through_the_entry_point():
    # A fresh interpreter that never imports quorvane_tools itself.
    code = textwrap.dedent("""
        import numcodecs, numpy as np
        codec = numcodecs.get_codec({"id": "quorvane", "scale": 8})
        print(type(codec).__module__, codec.scale, codec.decode(codec.encode(np.ones(50, np.float32)))[0])
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["quorvane_tools.numcodecs_codec", "8", "1.0"]


# ------------------------------------------------------------ fidelity


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_nan_and_infinities_come_back_where_they_were(dtype):
    # Reproduced finding: [1, nan, 3] * 100 used to decode to [1.0004, 0.0005, 3.0].
    chunk = np.array([1, np.nan, 3] * 100, dtype)
    chunk[7], chunk[8] = np.inf, -np.inf
    decoded = Quorvane().decode(Quorvane().encode(chunk))
    assert decoded.dtype == dtype
    for test in (np.isnan, np.isposinf, np.isneginf):
        np.testing.assert_array_equal(test(decoded), test(chunk))
    finite = np.isfinite(chunk)
    assert np.max(np.abs(decoded[finite] - chunk[finite])) <= quantiser_error(chunk[finite])


def test_decode_into_out_keeps_nan():
    chunk = CHIRP[:200].reshape(10, 20).copy()
    chunk[3] = np.nan
    out = np.zeros((10, 20), np.float64)
    Quorvane().decode(Quorvane().encode(chunk), out=out)
    np.testing.assert_array_equal(np.isnan(out), np.isnan(chunk))


@pytest.mark.parametrize("value", [1e300, -1e39])
def test_float64_beyond_float32_is_refused(value):
    # Reproduced finding: [1e300, 0] * 50 used to decode to [0.99995, 5e-05].
    chunk = np.array([0.0, value] * 50)
    with pytest.raises(ValueError, match=r"sample 1 is .*e\+\d+, beyond float32's range"):
        Quorvane().encode(chunk)


def test_chunks_written_with_the_old_float64_marker_still_decode():
    stream = quorvane.compress_signal(CHIRP[:400])
    decoded = Quorvane().decode(stream + b"QVf8")
    assert decoded.dtype == np.float64
    np.testing.assert_array_equal(decoded, quorvane.decompress_signal(stream))


def test_ten_percent_nan_costs_about_what_the_finite_part_does():
    chunk = np.resize(CHIRP, 60_000)
    missing = np.random.default_rng(3).random(chunk.size) < 0.1
    holes = chunk.copy()
    holes[missing] = np.nan
    with_nan = len(Quorvane().encode(holes))
    finite_part = len(Quorvane().encode(chunk[~missing]))
    assert with_nan < 1.2 * finite_part


def test_checksum_option_puts_a_crc_on_every_chunk():
    codec = Quorvane(scale=10, checksum=True)
    assert codec.get_config() == {"id": "quorvane", "method": "cdf97", "scale": 10, "cutoff": "low",
                                  "coder": "auto", "checksum": True}
    assert "checksum" not in Quorvane().get_config()
    clone = pickle.loads(pickle.dumps(codec))
    assert clone == codec and numcodecs.get_codec(codec.get_config()) == codec
    encoded = codec.encode(CHIRP[:1000])
    assert read_trailer(encoded).checksummed
    damaged = bytearray(encoded)
    damaged[100] ^= 1
    with pytest.raises(ValueError, match="checksum mismatch"):
        codec.decode(bytes(damaged))
    with pytest.raises(TypeError, match="checksum must be True or False"):
        Quorvane(checksum="yes")
