"""Shared helpers of the HDF5 filter suite.

The suite needs h5py and the plugin. The plugin is built only where HDF5's
development files are installed; `make test` installs them, so a missing
plugin skips only where they are missing too, and fails otherwise.
"""
import glob
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvane

# One rule for optional dependencies across the suites: the tools suite's.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from tools_support import require  # noqa: E402,F401  (re-exported to the HDF5 tests)


def hdf5_headers_installed():
    patterns = ["/usr/include/H5PLextern.h", "/usr/include/hdf5/*/H5PLextern.h", "/usr/local/include/H5PLextern.h"]
    return any(glob.glob(pattern) for pattern in patterns)


def require_filter():
    """quorvane_tools.hdf5 with its plugin, or a skip saying what is missing."""
    require("h5py")
    import quorvane_tools.hdf5 as hdf5_filter

    if not hdf5_filter.is_available():
        if hdf5_headers_installed():
            pytest.fail(f"HDF5's headers are installed but the plugin is missing: {hdf5_filter.PLUGIN_FILE}")
        pytest.skip("the HDF5 filter plugin was not built: HDF5's development files (Debian libhdf5-dev) "
                    "are not installed")
    return hdf5_filter


def recording(shape, seed=0):
    """Several channels of a smooth signal with noise, C-ordered float64."""
    rng = np.random.default_rng(seed)
    n = int(np.prod(shape))
    t = np.arange(n, dtype=np.float64)
    signal = 40.0 * np.sin(t * 0.013) + 7.0 * np.sin(t * 0.21) + rng.normal(0.0, 1.5, n)
    return signal.reshape(shape)


def codec_chunk(block, dtype, options=None):
    """What the filter must return for one full chunk: the codec's own round
    trip of the chunk flattened in C order, in the dataset's dtype."""
    flat = np.ascontiguousarray(block, dtype=np.float32).reshape(-1)
    restored = quorvane.decompress_signal(quorvane.compress_signal(flat, options))
    return restored.astype(dtype).reshape(block.shape)


def expected_read(data, chunks, dtype, options=None):
    """The whole dataset as the filter returns it: HDF5 pads edge chunks with
    the fill value (0) before filtering, so they are compressed padded."""
    data = np.asarray(data, dtype=dtype)
    out = np.empty_like(data)
    grid = [range(0, size, step) for size, step in zip(data.shape, chunks)]
    for corner in np.ndindex(*[len(axis) for axis in grid]):
        start = [axis[i] for axis, i in zip(grid, corner)]
        region = tuple(slice(s, min(s + c, size)) for s, c, size in zip(start, chunks, data.shape))
        block = np.zeros(chunks, dtype=dtype)
        inner = tuple(slice(0, r.stop - r.start) for r in region)
        block[inner] = data[region]
        out[region] = codec_chunk(block, dtype, options)[inner]
    return out
