"""What NaN, checksums and containers cost: the figures of the README.

    python scripts/fidelity_figures.py [CORPUS_DIR]

For each signal: the chunk of the numcodecs codec (default options) as it
is, with 10 % of its samples NaN (scattered at random, or as ten gaps), and
the chunk of only the finite part; then an all-NaN chunk, and the bytes a
one-channel .qrvz file adds to the bare stream. Fixed seeds: the output is
the same on every run. `make docs` puts these figures into README.md
(scripts/docs/fidelity_blocks.py).
"""
from __future__ import annotations

import os
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional

import numpy as np

from quorvane_tools import save
from quorvane_tools.numcodecs_codec import Quorvane

REPOSITORY = Path(__file__).resolve().parents[1]
SIGNALS = ["scipy_ecg", "alsa_front_center", "r_treering", "synth_random_walk_1M"]
MISSING_SHARE = 0.1


@dataclass
class NanCosts:
    """Chunk sizes in bytes of one signal with and without NaN."""

    name: str
    samples: int
    missing: int         # NaN scattered at random
    plain: int           # the finite signal's chunk
    scattered: int       # with the scattered NaN, trailer included
    scattered_trailer: int
    gaps: int            # with 10 gaps of NaN
    gaps_trailer: int
    alone: int           # the finite part alone (NaN removed)


@dataclass
class FixedCosts:
    all_nan_chunk: int       # 10^6 NaN
    all_zero_chunk: int      # 10^6 zeros
    float64_trailer: int
    demo_samples: int
    qrvz_bytes: int
    qrv_bytes: int


def trailer_length(chunk: bytes) -> int:
    return int.from_bytes(chunk[-12:-8], "little")


def load_signals(corpus: Optional[Path]) -> Dict[str, np.ndarray]:
    if corpus is not None:
        found = {name: np.load(corpus / f"{name}.npy") for name in SIGNALS if (corpus / f"{name}.npy").exists()}
        if found:
            return found
    print(f"fidelity figures: no corpus signals in {corpus}; the demo signal stands in", file=sys.stderr)
    return {"demo_signal": np.load(REPOSITORY / "data" / "demo_signal.npy")}


def nan_costs(name: str, signal: np.ndarray) -> NanCosts:
    codec = Quorvane()
    signal = signal.astype(np.float32)
    rng = np.random.default_rng(20261208)
    scattered = signal.copy()
    missing = rng.random(signal.size) < MISSING_SHARE
    scattered[missing] = np.nan
    gaps = signal.copy()
    gap_mask = np.zeros(signal.size, bool)
    width = signal.size // 100
    for start in rng.choice(signal.size // width, 10, replace=False) * width:
        gap_mask[start:start + width] = True
    gaps[gap_mask] = np.nan
    scattered_chunk, gaps_chunk = codec.encode(scattered), codec.encode(gaps)
    return NanCosts(name=name, samples=signal.size, missing=int(missing.sum()), plain=len(codec.encode(signal)),
                    scattered=len(scattered_chunk), scattered_trailer=trailer_length(scattered_chunk),
                    gaps=len(gaps_chunk), gaps_trailer=trailer_length(gaps_chunk),
                    alone=len(codec.encode(signal[~missing])))


def fixed_costs() -> FixedCosts:
    codec = Quorvane()
    ecg = np.load(REPOSITORY / "data" / "demo_signal.npy")
    with tempfile.TemporaryDirectory() as directory:
        archive = save(Path(directory) / "a.qrvz", ecg)
        bare = save(Path(directory) / "a.qrv", ecg)
    return FixedCosts(
        all_nan_chunk=len(codec.encode(np.full(1_000_000, np.nan, np.float32))),
        all_zero_chunk=len(codec.encode(np.zeros(1_000_000, np.float32))),
        float64_trailer=len(codec.encode(np.ones(1000))) - len(codec.encode(np.ones(1000, np.float32))),
        demo_samples=ecg.size, qrvz_bytes=archive.file_bytes, qrv_bytes=bare.file_bytes)


def nan_table(rows: List[NanCosts]) -> str:
    lines = ["| signal | samples | finite chunk | 10 % NaN scattered (trailer) | 10 % NaN in 10 gaps "
             "| finite part alone |", "|---|---|---|---|---|---|"]
    for row in rows:
        scattered = f"{row.scattered} ({100 * (row.scattered / row.plain - 1):+.1f} %; {row.scattered_trailer})"
        gaps = f"{row.gaps} ({100 * (row.gaps / row.plain - 1):+.1f} %)"
        lines.append(f"| {row.name} | {row.samples} | {row.plain} | {scattered} | {gaps} | {row.alone} |")
    return "\n".join(lines) + "\n"


def default_corpus() -> Path:
    configured = os.environ.get("QUORVANE_CORPUS")
    return Path(configured) if configured else REPOSITORY.parent / "shared" / "corpus"


def main() -> None:
    corpus = Path(sys.argv[1]) if len(sys.argv) > 1 else default_corpus()
    print(nan_table([nan_costs(name, signal) for name, signal in load_signals(corpus).items()]))
    fixed = fixed_costs()
    print(f"all-NaN chunk of 1,000,000 float32 samples: {fixed.all_nan_chunk} bytes; its all-zero stream would "
          f"take {fixed.all_zero_chunk}")
    print(f"float64 chunk: trailer of {fixed.float64_trailer} bytes (dtype and CRC-32)")
    print(f"one-channel .qrvz of the demo ECG ({fixed.demo_samples} samples): {fixed.qrvz_bytes} bytes, the bare "
          f".qrv {fixed.qrv_bytes} (+{fixed.qrvz_bytes - fixed.qrv_bytes} bytes for trailer, meta.json and zip "
          f"directory)")


if __name__ == "__main__":
    main()
