"""What NaN, checksums and containers cost: the figures of the README.

    python scripts/fidelity_figures.py [CORPUS_DIR]

For each signal: the chunk of the numcodecs codec (default options) as it
is, with 10 % of its samples NaN (scattered at random, or as ten gaps), and
the chunk of only the finite part; then an all-NaN chunk, and the bytes a
one-channel .qrvz file adds to the bare stream. Fixed seeds: the output is
the same on every run.
"""
from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np

from quorvane_tools import save
from quorvane_tools.numcodecs_codec import Quorvane

REPOSITORY = Path(__file__).resolve().parents[1]
SIGNALS = ["scipy_ecg", "alsa_front_center", "r_treering", "synth_random_walk_1M"]


def load_signals(corpus: Path) -> dict[str, np.ndarray]:
    found = {name: np.load(corpus / f"{name}.npy") for name in SIGNALS if (corpus / f"{name}.npy").exists()}
    return found or {"demo_signal": np.load(REPOSITORY / "data" / "demo_signal.npy")}


def main() -> None:
    corpus = Path(sys.argv[1]) if len(sys.argv) > 1 else REPOSITORY.parent / "shared" / "corpus"
    codec = Quorvane()
    print("| signal | samples | finite chunk | 10 % NaN scattered (trailer) | 10 % NaN in 10 gaps "
          "| finite part alone |")
    print("|---|---|---|---|---|---|")
    for name, signal in load_signals(corpus).items():
        signal = signal.astype(np.float32)
        rng = np.random.default_rng(20261208)
        scattered = signal.copy()
        missing = rng.random(signal.size) < 0.1
        scattered[missing] = np.nan
        gaps = signal.copy()
        gap_mask = np.zeros(signal.size, bool)
        width = signal.size // 100
        for start in rng.choice(signal.size // width, 10, replace=False) * width:
            gap_mask[start:start + width] = True
        gaps[gap_mask] = np.nan
        plain = len(codec.encode(signal))
        chunk = codec.encode(scattered)
        trailer = int.from_bytes(chunk[-12:-8], "little")
        sizes = [len(chunk), len(codec.encode(gaps))]
        alone = len(codec.encode(signal[~missing]))
        shown = [f"{size} ({100 * (size / plain - 1):+.1f} %)" for size in sizes]
        print(f"| {name} | {signal.size} | {plain} | {shown[0][:-1]}; {trailer}) | {shown[1]} | {alone} |")
    print()
    print(f"all-NaN chunk of 1,000,000 float32 samples: {len(codec.encode(np.full(1_000_000, np.nan, np.float32)))}"
          f" bytes; its all-zero stream would take {len(codec.encode(np.zeros(1_000_000, np.float32)))}")
    print(f"float64 chunk: trailer of {len(codec.encode(np.ones(1000))) - len(codec.encode(np.ones(1000, np.float32)))}"
          f" bytes (dtype and CRC-32)")
    ecg = np.load(REPOSITORY / "data" / "demo_signal.npy")
    with tempfile.TemporaryDirectory() as directory:
        archive = save(Path(directory) / "a.qrvz", ecg)
        bare = save(Path(directory) / "a.qrv", ecg)
    print(f"one-channel .qrvz of the demo ECG ({ecg.size} samples): {archive.file_bytes} bytes, "
          f"the bare .qrv {bare.file_bytes} (+{archive.file_bytes - bare.file_bytes} bytes for trailer, "
          f"meta.json and zip directory)")


if __name__ == "__main__":
    main()
