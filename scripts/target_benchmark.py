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
- coder 2: `compress_to_target(..., coder="bands")` (opt-in coder id 2):
  its gain over the same call with the rANS coder ("bands over rANS") and
  over each peer; encode MB/s are float32 input megabytes over the total time
  of compress_to_target (the whole search, checks included), decode MB/s over
  the total time of decompress_signal on its streams, both coders side by
  side. Then the same gains over the peers on the speech signals alone.
--speed adds the encode time of compress_to_target over one default
compress_signal on 10^6 samples (each real signal repeated to that length).
Times depend on the machine's load; treat them as indicative.

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
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

import quorvane
from quorvane_tools import TargetNotMet, choose_options, compress_to_target, error_metrics

sys.path.insert(0, str(Path(__file__).resolve().parent / "docs"))
from doc_blocks import machine_note  # noqa: E402

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


def _label(kind: str, value: float) -> str:
    return f"max error {value:g} of range" if kind == "abs" else f"PSNR {value:g} dB"


def _median_gain(pairs: List[Tuple[Optional[int], Optional[int]]]) -> str:
    """Median of other / ours over the pairs where both met the target."""
    gains = [other / ours for other, ours in pairs if other is not None and ours is not None]
    return f"{statistics.median(gains):.2f}x" if gains else "-"


def _timed(call: Callable[[], Any]) -> Tuple[Any, float]:
    started = time.perf_counter()
    result = call()
    return result, time.perf_counter() - started


def _target_stream(x: np.ndarray, coder: str, bound: Dict[str, float]) -> Tuple[Optional[bytes], float]:
    try:
        result, seconds = _timed(lambda: compress_to_target(x, coder=coder, **bound))
    except TargetNotMet:
        return None, 0.0
    return result.stream, seconds


def _rate(megabytes: float, seconds: float) -> str:
    return f"{megabytes / seconds:.1f}" if seconds > 0.0 else "-"


def run(corpus: Path, detail: bool, speed: bool, quick: bool) -> None:
    # The first line says where and when the figures were taken: `make
    # target-bench` keeps the output, and the docs quote it from there.
    print(f"# {machine_note()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
          f"scripts/target_benchmark.py {' '.join(sys.argv[1:])}\n")
    manifest = json.loads((corpus / "manifest.json").read_text())
    entries = manifest if isinstance(manifest, list) else manifest.get("files", manifest)
    if isinstance(entries, dict):
        entries = [dict(value, file=key) for key, value in entries.items()]
    real = {Path(str(entry.get("file", entry.get("name")))).stem: str(entry.get("kind", ""))
            for entry in entries if entry.get("origin") == "real"}
    names = sorted(real)
    signals = {name: np.load(corpus / f"{name}.npy") for name in names}
    speech = [name for name in names if real[name] == "speech"]
    peers = installed_peers()
    targets = [("abs", value) for value in ABS_TARGETS] + [("psnr", value) for value in PSNR_TARGETS]
    if quick:
        targets = [targets[0], targets[5]]

    # sizes[(kind, value)][name][column]: bytes of the stream that met the
    # target (None: none did); columns "reference", "rANS", "bands", peers.
    sizes: Dict[Tuple[str, float], Dict[str, Dict[str, Optional[int]]]] = {}
    seconds: Dict[Tuple[str, float], Dict[str, List[float]]] = {}
    header = ["target", "reference met", "target met", "gain over reference", "encode s"]
    header += [f"gain over {peer}" for peer in peers]
    header += ["bands over rANS"] + [f"bands gain over {peer}" for peer in peers]
    header += ["encode MB/s rANS / bands", "decode MB/s rANS / bands"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for kind, value in targets:
        target = (kind, value)
        sizes[target] = {}
        seconds[target] = {"encode rANS": [], "encode bands": [], "decode rANS": [], "decode bands": [],
                           "encode": []}
        megabytes = 0.0
        for name, x in signals.items():
            peak = float(np.max(x)) - float(np.min(x))
            bound = {"max_abs_error": value * peak} if kind == "abs" else {"min_psnr": value}
            row: Dict[str, Optional[int]] = {}
            try:
                row["reference"] = len(choose_options(x, coders=["arans", "deflate"], **bound).stream)
            except TargetNotMet:
                row["reference"] = None
            megabytes += 4.0 * x.size / 1e6
            for coder, column in (("auto", "rANS"), ("bands", "bands")):
                stream, encode_seconds = _target_stream(x, coder, bound)
                row[column] = None if stream is None else len(stream)
                seconds[target][f"encode {column}"].append(encode_seconds)
                if column == "rANS":
                    seconds[target]["encode"].append(encode_seconds)
                decode_seconds = 0.0
                if stream is not None:
                    _, decode_seconds = _timed(lambda: quorvane.decompress_signal(stream))
                seconds[target][f"decode {column}"].append(decode_seconds)
            for peer in peers:
                row[peer] = peer_size(peer, x, kind, value, peak)
            sizes[target][name] = row
        rows = sizes[target].values()
        times = seconds[target]
        cells = [_label(kind, value),
                 f"{sum(r['reference'] is not None for r in rows)}/{len(signals)}",
                 f"{sum(r['rANS'] is not None for r in rows)}/{len(signals)}",
                 _median_gain([(r["reference"], r["rANS"]) for r in rows]),
                 f"{statistics.median(times['encode']):.3f}"]
        cells += [_median_gain([(r[peer], r["rANS"]) for r in rows]) for peer in peers]
        cells += [_median_gain([(r["rANS"], r["bands"]) for r in rows])]
        cells += [_median_gain([(r[peer], r["bands"]) for r in rows]) for peer in peers]
        cells += [f"{_rate(megabytes, sum(times['encode rANS']))} / {_rate(megabytes, sum(times['encode bands']))}",
                  f"{_rate(megabytes, sum(times['decode rANS']))} / {_rate(megabytes, sum(times['decode bands']))}"]
        print("| " + " | ".join(cells) + " |", flush=True)

    if speech:
        print()
        print(f"Speech signals only ({', '.join(speech)}): median gain of the target encoder over each peer")
        print()
        columns = [f"{coder} over {peer}" for coder in ("rANS", "bands") for peer in peers]
        print("| target | " + " | ".join(columns) + " |")
        print("|" + "---|" * (1 + len(columns)))
        for (kind, value), by_name in sizes.items():
            rows = [by_name[name] for name in speech]
            cells = [_median_gain([(r[peer], r[coder]) for r in rows]) for coder in ("rANS", "bands") for peer in peers]
            print(f"| {_label(kind, value)} | " + " | ".join(cells) + " |")

    if detail:
        print()
        columns = ["reference", "rANS", "bands", *peers]
        print("| signal | target | " + " | ".join(f"{c} bytes" for c in columns) + " |")
        print("|" + "---|" * (2 + len(columns)))
        for (kind, value), by_name in sizes.items():
            for name, row in by_name.items():
                print(f"| {name} | {_label(kind, value)} | " + " | ".join(str(row[c]) for c in columns) + " |")
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
            print(f"| {_label(kind, value)} | {statistics.median(ratios):.1f}x |", flush=True)


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
