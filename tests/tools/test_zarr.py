"""Zarr arrays (format 2 and 3) stored with the quorvane codec."""
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from tools_support import demo_signal, quantiser_error, require

zarr = require("zarr")
from quorvane_tools.numcodecs_codec import Quorvane  # noqa: E402
from quorvane_tools.zarr3_codec import Quorvane as QuorvaneV3  # noqa: E402

# The Zarr 3 adapters warn that numcodecs codecs are outside the format's
# own codec list; that is the point of them here.
pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr version 3")

ECG = demo_signal()


def _per_chunk_bound(data, chunks, scale, cutoff="low"):
    """The codec normalises each chunk on its own; the widest chunk decides."""
    worst = 0.0
    for row in range(0, data.shape[0], chunks[0]):
        for column in range(0, data.shape[1], chunks[1]):
            block = data[row:row + chunks[0], column:column + chunks[1]]
            # Edge chunks are padded with the fill value 0.
            worst = max(worst, quantiser_error(np.append(block, 0.0), scale, cutoff))
    return worst


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_format_2_array(tmp_path, dtype, order):
    data = ECG[:59_000].reshape(295, 200).astype(dtype)
    chunks = (100, 64)  # uneven edges on both axes
    array = zarr.create_array(tmp_path / "a.zarr", shape=data.shape, chunks=chunks, dtype=dtype, zarr_format=2,
                              order=order, compressors=Quorvane(scale=10), filters=None)
    array[:] = data
    reopened = zarr.open_array(tmp_path / "a.zarr", mode="r")
    assert reopened.metadata.compressor == Quorvane(scale=10)
    restored = reopened[:]
    assert restored.dtype == np.dtype(dtype) and restored.shape == data.shape
    assert np.max(np.abs(restored - data)) <= _per_chunk_bound(data, chunks, 10)
    # A slice decodes only its chunks, with the same values.
    np.testing.assert_array_equal(reopened[150:160, 70:90], restored[150:160, 70:90])


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_format_3_array(tmp_path, dtype):
    data = ECG[:48_000].reshape(40, 30, 40).astype(dtype)
    array = zarr.create_array(tmp_path / "b.zarr", shape=data.shape, chunks=(20, 30, 40), dtype=dtype,
                              serializer=QuorvaneV3(method="db4", scale=11, cutoff="medium"), compressors=None)
    array[:] = data
    reopened = zarr.open_array(tmp_path / "b.zarr", mode="r")
    restored = reopened[:]
    assert restored.dtype == np.dtype(dtype)
    bound = max(quantiser_error(data[:20], 11, "medium"), quantiser_error(data[20:], 11, "medium"))
    assert np.max(np.abs(restored - data)) <= bound


def test_format_3_metadata_opens_in_a_fresh_process(tmp_path):
    data = ECG[:10_000].reshape(100, 100)
    array = zarr.create_array(tmp_path / "c.zarr", shape=data.shape, chunks=(50, 100), dtype="float32",
                              serializer=QuorvaneV3(scale=9), compressors=None)
    array[:] = data
    code = textwrap.dedent(f"""
        import json, warnings, zarr
        warnings.simplefilter("ignore")
        array = zarr.open_array({str(tmp_path / "c.zarr")!r}, mode="r")
        print(json.dumps(array.metadata.to_dict()["codecs"]), float(array[:].sum()))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    codecs, total = done.stdout.rsplit(" ", 1)
    assert codecs == '[{"name": "numcodecs.quorvane", "configuration": {"scale": 9}}]'
    assert abs(float(total) - float(array[:].sum())) < 1e-3 * data.size


def test_format_3_refuses_other_dtypes(tmp_path):
    with pytest.raises(ValueError, match="stores float32 or float64 arrays, not int16"):
        zarr.create_array(tmp_path / "d.zarr", shape=(10,), chunks=(5,), dtype="int16",
                          serializer=QuorvaneV3(), compressors=None)


def test_format_3_checks_options_when_made():
    with pytest.raises(ValueError, match="scale must lie in 6..12"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            QuorvaneV3(scale=3)


@pytest.mark.parametrize("zarr_format", [2, 3])
@pytest.mark.parametrize("dtype,fill", [("float32", np.nan), ("float64", np.nan), ("float32", -np.inf)])
def test_non_finite_fill_value_reads_back(tmp_path, zarr_format, dtype, fill):
    # Reproduced finding: the unwritten part of a chunk read back 0.1-0.4.
    codec = {"compressors": Quorvane(), "filters": None} if zarr_format == 2 else {
        "serializer": QuorvaneV3(), "compressors": [zarr.codecs.Crc32cCodec()]}
    array = zarr.create_array(tmp_path / "n.zarr", shape=(3000,), chunks=(1000,), dtype=dtype,
                              zarr_format=zarr_format, fill_value=fill, **codec)
    array[:1500] = ECG[:1500]
    array[200:210] = np.inf
    restored = zarr.open_array(tmp_path / "n.zarr", mode="r")[:]
    np.testing.assert_array_equal(restored[1500:], np.full(1500, fill, dtype))
    assert np.isposinf(restored[200:210]).all()
    finite = np.isfinite(restored)
    assert finite.sum() == 1490
    assert np.max(np.abs(restored[finite] - ECG[:1500][finite[:1500]])) <= quantiser_error(ECG[:1500])
