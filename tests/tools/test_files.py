"""quorvane_tools.save / load: what goes in comes back, in either container."""
import numpy as np
import pytest
import quorvane

from quorvane_tools import ContainerError, load, save

from tools_support import demo_signal, quantiser_error

ECG = demo_signal()[:4000]


def _values(dtype, shape):
    count = int(np.prod(shape))
    wave = np.resize(ECG, count) / np.max(np.abs(ECG))
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        low, high = max(info.min, -30000), min(info.max, 30000)
        wave = np.rint(low + (wave + 1) / 2 * (high - low))
    return wave.reshape(shape).astype(dtype)


@pytest.mark.parametrize("dtype", ["float32", "float64", "int16", "uint8", "int32", ">f8"])
@pytest.mark.parametrize("shape", [(4000,), (1000, 3), (500, 2, 2)])
def test_arrays_come_back_in_their_dtype_and_shape(tmp_path, dtype, shape):
    array = _values(dtype, shape)
    saved = save(tmp_path / "a.qrvz", array, scale=12)
    restored, meta = load(tmp_path / "a.qrvz")
    assert restored.shape == shape and restored.dtype == np.dtype(dtype).newbyteorder("=")
    assert meta["checksummed"] and saved.channels == meta["channels"] == int(np.prod(shape[1:]))
    columns = array.reshape(shape[0], -1).astype(np.float64)
    for index in range(columns.shape[1]):
        bound = quantiser_error(columns[:, index], 12) + (0.5 if np.dtype(dtype).kind in "iu" else 0)
        assert np.max(np.abs(restored.reshape(shape[0], -1)[:, index] - columns[:, index])) <= bound


@pytest.mark.parametrize("container", ["qrvz", "qrv"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_non_finite_values_in_either_container(tmp_path, container, dtype):
    array = ECG.astype(dtype)
    array[10:20], array[100], array[-1] = np.nan, np.inf, -np.inf
    save(tmp_path / f"a.{container}", array)
    restored, meta = load(tmp_path / f"a.{container}")
    np.testing.assert_array_equal(np.isnan(restored), np.isnan(array))
    assert restored[100] == np.inf and restored[-1] == -np.inf
    # A bare stream keeps no metadata, but the trailer its non-finite values need keeps
    # the dtype and a checksum too.
    assert restored.dtype == dtype and meta["checksummed"]


def test_channels_names_and_rate(tmp_path):
    save(tmp_path / "b.qrvz", [ECG, -ECG], sample_rate=360, columns=["lead I", "lead II"], method="db4")
    restored, meta = load(tmp_path / "b.qrvz")
    assert restored.shape == (4000, 2) and meta["columns"] == ["lead I", "lead II"]
    assert meta["sample_rate"] == 360 and meta["source"] == "npy"


def test_a_bare_stream_is_exactly_the_codec_stream(tmp_path):
    save(tmp_path / "c.qrv", ECG, scale=9)
    stream = (tmp_path / "c.qrv").read_bytes()
    assert stream == quorvane.compress_signal(ECG, quorvane.QuorvCompressionOptions(scale=9))
    restored, meta = load(tmp_path / "c.qrv")
    assert meta == {"source": None, "channels": 1, "dtype": "float32", "shape": [4000], "sample_rate": None,
                    "checksummed": False}
    np.testing.assert_array_equal(restored, quorvane.decompress_signal(stream))


def test_quality_target(tmp_path):
    saved = save(tmp_path / "d.qrvz", ECG, max_abs_error=0.01)
    restored, _ = load(tmp_path / "d.qrvz")
    assert np.max(np.abs(restored - ECG)) <= 0.01 and len(saved.reports) == 1


@pytest.mark.parametrize(
    "data,options,error,message",
    [
        (np.zeros(0), {}, ValueError, "no samples to save"),
        (np.array(["a"]), {}, TypeError, "real numbers"),
        (np.zeros((5, 2)), {"columns": ["x"]}, ValueError, "1 column name"),
        (np.zeros(5), {"sample_rate": 0}, ValueError, "sample_rate must be a positive number"),
        (np.zeros(5), {"container": "zip"}, ValueError, "container must be 'qrv' or 'qrvz'"),
        (np.zeros((5, 2)), {"container": "qrv"}, ContainerError, "2 channels need a .qrvz archive"),
        ([np.zeros(5), np.zeros(6)], {}, ValueError, "channels must be 1-D arrays of one length"),
        (np.array([0.0, 1e300]), {}, ValueError, "sample 1 is 1e[+]300, beyond float32's range"),
        (np.array([[0.0, 1.0], [2.0, -1e39]]), {}, ValueError, "channel 1: sample 1 is -1e[+]39"),
        (np.zeros(5), {"scale": 13}, ValueError, "scale must lie in 6..12"),
    ],
)
def test_refusals_write_nothing(tmp_path, data, options, error, message):
    with pytest.raises(error, match=message):
        save(tmp_path / "e.qrvz", data, **options)
    assert list(tmp_path.iterdir()) == []


def test_a_quality_target_is_met_around_nan(tmp_path):
    signal = ECG.copy()
    signal[::7] = np.nan
    save(tmp_path / "f.qrvz", signal, max_abs_error=0.005)
    restored, _ = load(tmp_path / "f.qrvz")
    finite = np.isfinite(signal)
    assert np.isnan(restored[~finite]).all() and np.max(np.abs(restored[finite] - signal[finite])) <= 0.005
