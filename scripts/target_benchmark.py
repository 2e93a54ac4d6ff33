#!/usr/bin/env python3
"""Compression ratio at a quality target: the reference encoder's best stream,
the target encoder, and the peers a user would pick instead.

For every real signal of the corpus and every target (largest absolute error
of 1e-2 .. 3e-4 of the signal's range; PSNR 50 .. 80 dB with the range as
peak) it measures the stream sizes, checks each result on its own decoded
output against the target, and prints one Markdown table of medians over the
signals plus, with --detail, one row per signal.

Columns:
- reference: the smallest `compress_signal` stream of the whole option grid
  that meets the target (choose_options, which returns the grid's answer),
- target: `compress_to_target`, and its ratio over the reference stream,
- gains are bytes of the other stream over bytes of the target encoder's,
  median over the signals where both meet the target (above 1: the target
  encoder is smaller); encode s is the median time of one compress_to_target,
- peers, each where installed (pip install -r requirements-bench.txt):
  quantise to step 2e + FLAC (soundfile), quantise + pcodec, SZ3 in ABS mode
  (pysz), zfp fixed accuracy (zfpy). For PSNR targets each peer's own error
  bound is searched until its output meets the PSNR.
--speed adds the encode time of compress_to_target over one default
compress_signal on 10^6 samples (each real signal repeated to that length).

Usage: scripts/target_benchmark.py [--corpus DIR] [--detail] [--speed] [--quick]
"""
from __future__ import annotations

import argparse
import io
import json
import math
import statistics
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

import quorvane
from quorvane_tools import TargetNotMet, choose_options, compress_to_target, error_metrics

ABS_TARGETS = (1e-2, 3e-3, 1e-3, 3e-4)
PSNR_TARGETS = (50.0, 60.0, 70.0, 80.0)

Encoded = Tuple[int, np.ndarray]  # stream bytes, decoded samples


def _flac(x: np.ndarray, e: float) -> Optional[Encoded]:
    import soundfile

    step = 2.0 * e
    q = np.round(x.astype(np.float64) / step)
    peak = float(np.max(np.abs(q))) if q.size else 0.0
    if peak < 2**15:
        subtype, dtype = "PCM_16", np.int16
    elif peak < 2**23:
        subtype, dtype = "PCM_24", np.int32
    else:
        return None
    ints = q.astype(dtype)
    if subtype == "PCM_24":
        ints = ints << 8  # soundfile takes 24-bit samples in the high bits of int32
    buffer = io.BytesIO()
    soundfile.write(buffer, ints, 48000, format="FLAC", subtype=subtype)
    size = buffer.getbuffer().nbytes
    buffer.seek(0)
    decoded, _ = soundfile.read(buffer, dtype=dtype)
    if subtype == "PCM_24":
        decoded = decoded >> 8
    return size, decoded.astype(np.float64) * step


def _pcodec(x: np.ndarray, e: float) -> Optional[Encoded]:
    from pcodec import ChunkConfig, standalone

    step = 2.0 * e
    q = np.round(x.astype(np.float64) / step).astype(np.int64)
    packed = standalone.simple_compress(q, ChunkConfig())
    return len(packed), standalone.simple_decompress(packed).astype(np.float64) * step


def _sz3(x: np.ndarray, e: float) -> Optional[Encoded]:
    import pysz

    config = pysz.szConfig()
    config.errorBoundMode = pysz.szErrorBoundMode.ABS
    config.absErrorBound = e
    data = np.ascontiguousarray(x, dtype=np.float32)
    packed, _ = pysz.sz.compress(data, config)
    decoded, _ = pysz.sz.decompress(packed, np.float32, data.shape)
    return packed.size, decoded.astype(np.float64)


def _zfp(x: np.ndarray, e: float) -> Optional[Encoded]:
    import zfpy

    packed = zfpy.compress_numpy(np.ascontiguousarray(x, dtype=np.float32), tolerance=e)
    return len(packed), zfpy.decompress_numpy(packed).astype(np.float64)


PEERS: Dict[str, Callable[[np.ndarray, float], Optional[Encoded]]] = {
    "FLAC": _flac, "pcodec": _pcodec, "SZ3": _sz3, "zfp": _zfp,
}
PEER_MODULES = {"FLAC": "soundfile", "pcodec": "pcodec", "SZ3": "pysz", "zfp": "zfpy"}


def installed_peers() -> List[str]:
    names = []
    for name, module in PEER_MODULES.items():
        try:
            __import__(module)
            names.append(name)
        except ImportError:
            print(f"# {name}: {module} is not installed, column skipped", file=sys.stderr)
    return names


def meets(x: np.ndarray, decoded: np.ndarray, kind: str, value: float, peak: float) -> bool:
    metrics = error_metrics(x, decoded)
    if kind == "abs":
        return metrics.max_abs_error <= value * peak
    return metrics.psnr >= value


def peer_size(peer: str, x: np.ndarray, kind: str, value: float, peak: float) -> Optional[int]:
    """The peer's smallest output that meets the target, over a few error bounds."""
    compress = PEERS[peer]
    bound = value * peak if kind == "abs" else peak * 10.0 ** (-value / 20.0) * math.sqrt(3.0)
    best: Optional[int] = None
    for attempt in range(24):
        try:
            result = compress(x, bound)
        except Exception:  # a peer refusing an input is its loss, not the benchmark's
            result = None
        if result is not None and meets(x, result[1], kind, value, peak):
            best = result[0] if best is None else min(best, result[0])
            if kind == "abs" or attempt > 0:
                return best
            bound *= 1.25  # a PSNR target: see whether a looser bound still meets it
            continue
        if best is not None:
            return best
        bound *= 0.8
    return best


def run(corpus: Path, detail: bool, speed: bool, quick: bool) -> None:
    manifest = json.loads((corpus / "manifest.json").read_text())
    entries = manifest if isinstance(manifest, list) else manifest.get("files", manifest)
    if isinstance(entries, dict):
        entries = [dict(value, file=key) for key, value in entries.items()]
    names = sorted(Path(str(entry.get("file", entry.get("name")))).stem
                   for entry in entries if entry.get("origin") == "real")
    signals = {name: np.load(corpus / f"{name}.npy") for name in names}
    peers = installed_peers()
    targets = [("abs", value) for value in ABS_TARGETS] + [("psnr", value) for value in PSNR_TARGETS]
    if quick:
        targets = [targets[0], targets[5]]

    header = ["target", "reference met", "target met", "gain over reference", "encode s"]
    header += [f"gain over {peer}" for peer in peers]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    details: List[str] = []
    for kind, value in targets:
        label = f"max error {value:g} of range" if kind == "abs" else f"PSNR {value:g} dB"
        gains: List[float] = []
        times: List[float] = []
        peer_gains: Dict[str, List[float]] = {peer: [] for peer in peers}
        reference_met = target_met = 0
        for name, x in signals.items():
            peak = float(np.max(x)) - float(np.min(x))
            bound = {"max_abs_error": value * peak} if kind == "abs" else {"min_psnr": value}
            try:
                reference = len(choose_options(x, coders=["arans", "deflate"], **bound).stream)
                reference_met += 1
            except TargetNotMet:
                reference = None
            started = time.perf_counter()
            try:
                ours: Optional[int] = len(compress_to_target(x, **bound).stream)
                target_met += 1
            except TargetNotMet:
                ours = None
            times.append(time.perf_counter() - started)
            row = [name, label, str(reference), str(ours)]
            if ours is not None and reference is not None:
                gains.append(reference / ours)
            for peer in peers:
                size = peer_size(peer, x, kind, value, peak)
                row.append(str(size))
                if ours is not None and size is not None:
                    peer_gains[peer].append(size / ours)
            details.append("| " + " | ".join(row) + " |")
        cells = [label, f"{reference_met}/{len(signals)}", f"{target_met}/{len(signals)}",
                 f"{statistics.median(gains):.2f}x" if gains else "-", f"{statistics.median(times):.3f}"]
        cells += [f"{statistics.median(peer_gains[peer]):.2f}x" if peer_gains[peer] else "-" for peer in peers]
        print("| " + " | ".join(cells) + " |", flush=True)
    if detail:
        print()
        print("| signal | target | reference bytes | target bytes | " + " | ".join(f"{p} bytes" for p in peers) + " |")
        print("|" + "---|" * (4 + len(peers)))
        print("\n".join(details))
    if speed:
        print()
        print("| target | compress_to_target / compress_signal on 10^6 samples (median over signals) |")
        print("|---|---|")
        long_signals = {name: np.resize(x, 10**6) for name, x in signals.items()}
        for kind, value in targets:
            ratios = []
            for x in long_signals.values():
                peak = float(np.max(x)) - float(np.min(x))
                bound = {"max_abs_error": value * peak} if kind == "abs" else {"min_psnr": value}
                started = time.perf_counter()
                quorvane.compress_signal(x)
                reference_time = time.perf_counter() - started
                started = time.perf_counter()
                try:
                    compress_to_target(x, **bound)
                except TargetNotMet:
                    continue
                ratios.append((time.perf_counter() - started) / reference_time)
            label = f"max error {value:g} of range" if kind == "abs" else f"PSNR {value:g} dB"
            print(f"| {label} | {statistics.median(ratios):.1f}x |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=Path("/work/shared/corpus"))
    parser.add_argument("--detail", action="store_true", help="one row per signal and target")
    parser.add_argument("--speed", action="store_true", help="encode time on 10^6 samples")
    parser.add_argument("--quick", action="store_true", help="two targets only")
    args = parser.parse_args()
    run(args.corpus, args.detail, args.speed, args.quick)


if __name__ == "__main__":
    main()
