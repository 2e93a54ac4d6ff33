"""Stored size and read speed of an HDF5 dataset compressed with quorvane,
against gzip (lossless) and against the lossy HDF5 filters users compare
with at the same largest error: h5py's scale-offset, and zfp and SZ3 through
hdf5plugin where installed (pip install -r hdf5/bench/requirements.txt).

The recording: the corpus file of eight alsa speech takes, cut into eight
equal channels of 65536 samples; each channel is one dataset in chunks of
32768 samples (SZ3's filter stores chunks of shape (1, n) uncompressed, so
a channels x time dataset would be unfair to it).

    .venv/bin/python hdf5/bench/compare_filters.py [--repeats 7] [--corpus DIR]

Read times are the median of the repeats, each opening the file afresh (the
file stays in the page cache, so this is decoding speed, not disk speed).
"""
from __future__ import annotations

import argparse
import math
import os
import statistics
import tempfile
import time
from typing import Any, Dict, List, Mapping, Optional

import h5py
import numpy as np

import quorvane_tools.hdf5 as quorvane_hdf5

CHANNELS = 8
LENGTH = 65536
CHUNK = 32768


def load_recording(corpus: str) -> np.ndarray:
    takes = np.load(os.path.join(corpus, "alsa_speech_all8.npy")).astype(np.float32)
    return np.ascontiguousarray(takes[: LENGTH * CHANNELS].reshape(CHANNELS, LENGTH))


def measure(data: np.ndarray, directory: str, name: str, arguments: Mapping[str, Any], repeats: int) -> Dict[str, Any]:
    path = os.path.join(directory, f"{name.replace(' ', '_').replace('=', '')}.h5")
    start = time.perf_counter()
    with h5py.File(path, "w") as f:
        for channel, samples in enumerate(data):
            f.create_dataset(f"ch{channel}", data=samples, chunks=(CHUNK,), **arguments)
    write = time.perf_counter() - start
    reads: List[float] = []
    restored = np.empty_like(data)
    for _ in range(repeats):
        start = time.perf_counter()
        with h5py.File(path, "r") as f:
            for channel in range(len(data)):
                restored[channel] = f[f"ch{channel}"][...]
        reads.append(time.perf_counter() - start)
    with h5py.File(path, "r") as f:
        stored = sum(f[f"ch{channel}"].id.get_storage_size() for channel in range(len(data)))
    error = np.abs(restored.astype(np.float64) - data.astype(np.float64))
    os.remove(path)
    return {
        "name": name,
        "stored": stored,
        "ratio": data.nbytes / stored,
        "max_error": float(error.max()),
        "rms_error": float(np.sqrt(np.mean(error ** 2))),
        "write_s": write,
        "read_s": statistics.median(reads),
    }


def peers_at(error: float, plugin: Optional[Any]) -> Dict[str, Mapping[str, Any]]:
    """Lossy filters set to the largest error `error`."""
    digits = max(0, math.ceil(-math.log10(error)))  # scale-offset's error reaches 10^-digits
    peers: Dict[str, Mapping[str, Any]] = {f"scaleoffset={digits} + gzip": {"scaleoffset": digits,
                                                                             "compression": "gzip"}}
    if plugin is not None:
        peers[f"zfp accuracy={error:.3g}"] = plugin.Zfp(accuracy=error)
        peers[f"SZ3 absolute={error:.3g}"] = plugin.SZ3(absolute=error)
    return peers


def table(rows: List[Dict[str, Any]], samples: int) -> str:
    lines = [
        "| filter | stored bytes | ratio | max abs error | RMS error | write MS/s | read MS/s |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row['name']} | {row['stored']:,} | {row['ratio']:.2f} | {row['max_error']:.3g} | "
            f"{row['rms_error']:.3g} | {samples / row['write_s'] / 1e6:.1f} | {samples / row['read_s'] / 1e6:.1f} |"
        )
    return "\n".join(lines)


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", default=os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared",
                                                         "corpus"))
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--scales", type=int, nargs="+", default=[9, 11, 12])
    args = parser.parse_args(argv)

    plugin: Optional[Any]
    try:
        import hdf5plugin as plugin
    except ImportError:
        plugin = None
    data = load_recording(args.corpus)
    print(f"recording: {data.shape[0]} channels x {data.shape[1]:,} samples float32 "
          f"({data.nbytes:,} bytes), chunks of {CHUNK} samples; median of {args.repeats} reads")
    if plugin is None:
        print("hdf5plugin is not installed: zfp and SZ3 are left out (pip install -r hdf5/bench/requirements.txt)")

    with tempfile.TemporaryDirectory() as directory:
        rows = [measure(data, directory, "none", {}, args.repeats),
                measure(data, directory, "gzip 4", {"compression": "gzip", "compression_opts": 4}, args.repeats),
                measure(data, directory, "shuffle + gzip 4",
                        {"compression": "gzip", "compression_opts": 4, "shuffle": True}, args.repeats)]
        for scale in args.scales:
            ours = measure(data, directory, f"quorvane scale={scale}", quorvane_hdf5.filter(scale=scale),
                           args.repeats)
            rows.append(ours)
            for name, arguments in peers_at(ours["max_error"], plugin).items():
                rows.append(measure(data, directory, name, arguments, args.repeats))
    print(table(rows, data.size))


if __name__ == "__main__":
    main()
