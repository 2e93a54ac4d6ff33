"""A Dask computation over a quorvane-compressed Zarr array, on a
distributed cluster of two worker processes that decode the chunks."""
import os

import numpy as np
import pytest

from tools_support import demo_signal, quantiser_error, require

zarr = require("zarr")
da = require("dask.array")
distributed = require("dask.distributed")
from quorvane_tools.numcodecs_codec import Quorvane  # noqa: E402
from quorvane_tools.zarr3_codec import Quorvane as QuorvaneV3  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr version 3")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, worker_dashboard_address=None)
    with cluster, distributed.Client(cluster) as connected:
        yield connected


def _chunk_pid(block):
    return np.full((1,) * block.ndim, os.getpid())


def _store(path, data, zarr_format):
    if zarr_format == 2:
        array = zarr.create_array(path, shape=data.shape, chunks=(60, 100), dtype=data.dtype, zarr_format=2,
                                  compressors=Quorvane(method="sym4", scale=10), filters=None)
    else:
        array = zarr.create_array(path, shape=data.shape, chunks=(60, 100), dtype=data.dtype,
                                  serializer=QuorvaneV3(method="sym4", scale=10), compressors=None)
    array[:] = data


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_distributed_computation_matches_memory(tmp_path, client, zarr_format):
    data = demo_signal().reshape(300, 200).astype(np.float64)
    _store(tmp_path / "ecg.zarr", data, zarr_format)
    lazy = da.from_zarr(str(tmp_path / "ecg.zarr"))
    assert lazy.numblocks == (5, 2)

    # Per-column mean of the squared, baseline-free signal.
    expression = ((lazy - lazy.mean(axis=0)) ** 2).mean(axis=0)
    distributed_result = expression.compute()
    in_memory = ((data - data.mean(axis=0)) ** 2).mean(axis=0)

    # Every sample is off by at most e; so is each column mean, and a
    # square changes by at most (2|x| + 2e) * 2e.
    error = max(quantiser_error(data[rows:rows + 60], 10) for rows in range(0, 300, 60))
    peak = float(np.max(np.abs(data - data.mean(axis=0))))
    assert np.max(np.abs(distributed_result - in_memory)) <= (2 * peak + 2 * error) * 2 * error

    # The chunks were decoded in the worker processes, not in this one.
    workers = set(client.run(os.getpid).values())
    decoded_in = set(lazy.map_blocks(_chunk_pid, chunks=(1, 1), dtype=int).compute().ravel())
    assert len(workers) == 2 and decoded_in <= workers and os.getpid() not in decoded_in
