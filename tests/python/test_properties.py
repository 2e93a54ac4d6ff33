"""Properties over arbitrary arrays and options."""
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from quorvane import QuorvCompressionOptions as Opts
from quorvane import compress_signal, decompress_signal

hypothesis_settings = settings(max_examples=60, deadline=None)

options = st.builds(
    Opts,
    method=st.sampled_from(["cdf97", "cdf53", "db4", "sym4"]),
    scale=st.integers(6, 12),
    cutoff=st.sampled_from(["low", "medium", "high"]),
    coder=st.sampled_from([None, "auto", "arans", "deflate"]),
)


def compress_or_refuse(data, opts):
    try:
        return compress_signal(data, opts)
    except ValueError as error:
        # Only extremes whose range does not fit float32 may be refused.
        assert str(error).startswith("Unsupported compression configuration '"), str(error)
        return None


@hypothesis_settings
@given(data=hnp.arrays(np.float32, st.integers(1, 400)), opts=options)
def test_any_float32_array_round_trips_to_its_length(data, opts):
    before = data.tobytes()
    stream = compress_or_refuse(data, opts)
    assert data.tobytes() == before
    if stream is None:
        return
    restored = decompress_signal(stream)
    assert restored.dtype == np.float32 and restored.shape == data.shape
    assert restored.flags.writeable and restored.flags.c_contiguous


@hypothesis_settings
@given(data=hnp.arrays(np.float64, st.integers(1, 300),
                       elements=st.floats(allow_nan=True, allow_infinity=True, width=64)))
def test_float64_matches_its_float32_conversion(data):
    with np.errstate(over="ignore"):
        narrowed = data.astype(np.float32)
    try:
        expected = compress_signal(narrowed)
    except ValueError as error:
        with pytest.raises(ValueError, match=f"^{re.escape(str(error))}$"):
            compress_signal(data)
        return
    assert compress_signal(data) == expected


VALID = {coder: compress_signal(np.sin(np.arange(300, dtype=np.float32) / 5), Opts(coder=coder))
         for coder in ("arans", "deflate")}


@hypothesis_settings
@given(coder=st.sampled_from(sorted(VALID)),
       edits=st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), min_size=1, max_size=8),
       cut=st.integers(0, 40))
def test_damaged_streams_decode_or_raise_value_error(coder, edits, cut):
    stream = bytearray(VALID[coder])
    for position, value in edits:
        stream[position % len(stream)] = value
    damaged = bytes(stream[: len(stream) - cut])
    try:
        restored = decompress_signal(damaged)
    except (ValueError, MemoryError):
        return
    assert restored.dtype == np.float32 and restored.ndim == 1
    assert restored.flags.writeable and restored.flags.c_contiguous
