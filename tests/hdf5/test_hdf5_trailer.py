"""The filter's chunks and the Python reference of the trailer format agree:
chunks are byte-identical to quorvane_tools.streams.encode_signal, and each
side reads what the other wrote."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from hdf5_support import recording, require_filter

hdf5_filter = require_filter()
import h5py  # noqa: E402
from quorvane_tools.streams import decode_signal, encode_signal  # noqa: E402

KINDS = (np.nan, np.inf, -np.inf)


@st.composite
def signals_with_gaps(draw):
    n = draw(st.integers(1, 3000))
    samples = recording((n,), seed=draw(st.integers(0, 2**16)))
    for _ in range(draw(st.integers(0, 6))):
        start = draw(st.integers(0, n - 1))
        length = draw(st.integers(1, max(1, n // 3)))
        samples[start:start + length] = KINDS[draw(st.integers(0, 2))]
    return samples


def _same_non_finite(a, b):
    for test in (np.isnan, np.isposinf, np.isneginf):
        np.testing.assert_array_equal(test(a), test(b))


@settings(max_examples=25, deadline=None)
@given(samples=signals_with_gaps(), wide=st.booleans())
def test_chunks_match_the_reference_writer_and_reader(tmp_path_factory, samples, wide):
    dtype = np.float64 if wide else np.float32
    data = samples.astype(dtype)
    path = tmp_path_factory.mktemp("h") / "t.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=data, chunks=data.shape, **hdf5_filter.filter())
    with h5py.File(path, "r") as f:
        restored = f["x"][...]
        _, chunk = f["x"].id.read_direct_chunk((0,))
    reference = encode_signal(data)
    if not wide or not np.isfinite(data).all():
        # A float64 chunk without NaN is a bare stream here (the dataset
        # knows its dtype); the reference writer adds a trailer for it.
        assert chunk == reference
    decoded, _ = decode_signal(chunk)
    _same_non_finite(restored, data)
    np.testing.assert_array_equal(restored, decoded.astype(dtype))


@pytest.mark.parametrize("dtype", ["<f4", "<f8"])
def test_the_filter_reads_chunks_the_reference_wrote(tmp_path, dtype):
    data = recording((3, 1500)).astype(dtype)
    data[0, 20:40] = np.nan
    data[1, :] = -np.inf
    path = tmp_path / "d.h5"
    with h5py.File(path, "w") as f:
        dataset = f.create_dataset("x", shape=data.shape, dtype=dtype, chunks=(1, 1500), **hdf5_filter.filter())
        for row in range(3):
            dataset.id.write_direct_chunk((row, 0), encode_signal(np.ascontiguousarray(data[row])))
    with h5py.File(path, "r") as f:
        restored = f["x"][...]
    for row in range(3):
        expected, _ = decode_signal(encode_signal(np.ascontiguousarray(data[row])))
        np.testing.assert_array_equal(restored[row], expected)
    _same_non_finite(restored, data)
