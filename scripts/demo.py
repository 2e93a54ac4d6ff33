"""Compresses the bundled demo signal with every wavelet and coder and prints
ratio, error and speed as a table.

    make demo                       # sets up the virtualenv and the module first
    .venv/bin/python scripts/demo.py --scale 9 --cutoff medium
"""
import argparse
import math
import time
from pathlib import Path

import numpy as np
import quorvane

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["deflate", "arans"]
DEFAULT_SIGNAL = Path(__file__).resolve().parent.parent / "data" / "demo_signal.npy"


def best_time(function, min_seconds=0.2, min_runs=3):
    """Fastest of repeated runs, so that one slow run does not decide."""
    best, result, spent, runs = math.inf, None, 0.0, 0
    while runs < min_runs or spent < min_seconds:
        start = time.perf_counter()
        result = function()
        elapsed = time.perf_counter() - start
        best, spent, runs = min(best, elapsed), spent + elapsed, runs + 1
    return best, result


def measure(signal, method, coder, scale, cutoff):
    options = quorvane.QuorvCompressionOptions(method=method, scale=scale, cutoff=cutoff, coder=coder)
    compress_seconds, stream = best_time(lambda: quorvane.compress_signal(signal, options))
    decompress_seconds, restored = best_time(lambda: quorvane.decompress_signal(stream))
    error = restored.astype(np.float64) - signal.astype(np.float64)
    rmse = math.sqrt(float(np.mean(error * error)))
    peak_to_peak = float(signal.max()) - float(signal.min())
    megabytes = signal.nbytes / 1e6
    return {
        "ratio": signal.nbytes / len(stream),
        "bytes": len(stream),
        "max_error": float(np.max(np.abs(error))),
        "psnr": math.inf if rmse == 0 else 20 * math.log10(peak_to_peak / rmse),
        "compress": megabytes / compress_seconds,
        "decompress": megabytes / decompress_seconds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signal", type=Path, default=DEFAULT_SIGNAL, help="a 1-D .npy file")
    parser.add_argument("--scale", type=int, default=11, help="quantiser scale, 6..12")
    parser.add_argument("--cutoff", default="low", choices=["low", "medium", "high"])
    args = parser.parse_args()

    signal = np.load(args.signal)
    print(f"{args.signal.name}: {signal.size} samples of {signal.dtype}, {signal.nbytes} bytes, "
          f"range {signal.min():.3f}..{signal.max():.3f}; scale {args.scale}, cutoff {args.cutoff}")
    print("PSNR is against the signal's peak-to-peak range; speeds are MB of float32 input per second.")
    print()
    header = (f"{'method':<7} {'coder':<8} {'bytes':>8} {'ratio':>7} {'max abs err':>12} "
              f"{'PSNR dB':>8} {'comp MB/s':>10} {'decomp MB/s':>12}")
    print(header)
    print("-" * len(header))
    for method in METHODS:
        for coder in CODERS:
            try:
                row = measure(signal, method, coder, args.scale, args.cutoff)
            except ValueError as error:
                # A wavelet this build does not offer yet.
                print(f"{method:<7} {coder:<8} unavailable: {error}")
                continue
            print(f"{method:<7} {coder:<8} {row['bytes']:>8} {row['ratio']:>7.2f} "
                  f"{row['max_error']:>12.6f} {row['psnr']:>8.2f} "
                  f"{row['compress']:>10.1f} {row['decompress']:>12.1f}")


if __name__ == "__main__":
    main()
