"""Throughput and memory of quorvane on real signals, beside other compressors.

Run with `make bench` (or `python bench/bench.py`). For 10^6 and 10^7
samples of speech and ECG from the shared corpus (each tiled to length) it
prints the MB/s of float32 input for compress and decompress of every method
x coder at the default scale, the throughput of 1 and 2 threads over
independent arrays, the peak memory per input byte, and the same figures for
zfp, quantise+FLAC and pcodec where those are installed
(requirements-bench.txt). Every figure is the median of several runs.
`--record FILE` keeps a copy of the output, which `make docs` shows in
README.md (scripts/docs/benchmark_records.py).
"""
from __future__ import annotations

import argparse
import io
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import quorvane
from quorvane import QuorvCompressionOptions as Opts

SIGNALS = {"speech": "alsa_speech_all8.npy", "ecg": "scipy_ecg.npy"}
METHODS = ("cdf97", "cdf53", "db4", "sym4")
CODERS = ("arans", "deflate")
MB = 1e6


def corpus_dir(given: str | None) -> Path:
    candidates = [Path(given)] if given else []
    here = Path(__file__).resolve().parent.parent
    candidates += [here.parent / "shared" / "corpus", here.parent.parent / "shared" / "corpus"]
    for path in candidates:
        if (path / SIGNALS["speech"]).exists():
            return path
    sys.exit("bench: no signal corpus found; pass --corpus DIR")


def tiled(path: Path, n: int) -> np.ndarray:
    x = np.load(path).astype(np.float32)
    return np.ascontiguousarray(np.resize(x, n))


def median_seconds(call, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def rate(nbytes: int, seconds: float) -> str:
    return f"{nbytes / seconds / MB:8.1f}"


# --- Peers ---------------------------------------------------------------
# Each takes the signal and the step quorvane's default scale gives in the
# signal's own units ((max - min) * 2^-11), and returns (encode, decode).


def zfp_peer(x, step):
    import zfpy

    tolerance = float(step)
    return (lambda: zfpy.compress_numpy(x, tolerance=tolerance), zfpy.decompress_numpy)


def flac_peer(x, step):
    import soundfile

    low = float(x.min())
    # 16-bit quantisation at the same step (clipped to the int16 range).
    def encode():
        q = np.clip(np.round((x - low) / step) - 32768, -32768, 32767).astype(np.int16)
        buffer = io.BytesIO()
        soundfile.write(buffer, q, 8000, format="FLAC", subtype="PCM_16")
        return buffer.getvalue()

    def decode(blob):
        q, _ = soundfile.read(io.BytesIO(blob), dtype="int16")
        return ((q.astype(np.float32) + 32768) * step + low).astype(np.float32)

    return encode, decode


def pcodec_peer(x, step):
    import pcodec
    from pcodec import standalone

    low = float(x.min())
    config = pcodec.ChunkConfig()

    def encode():
        q = np.round((x - low) / step).astype(np.int32)
        return standalone.simple_compress(q, config)

    def decode(blob):
        q = standalone.simple_decompress(blob)
        return (q.astype(np.float32) * step + low).astype(np.float32)

    return encode, decode


PEERS = {"zfp (accuracy)": ("zfpy", zfp_peer), "quantise+FLAC": ("soundfile", flac_peer),
         "quantise+pcodec": ("pcodec", pcodec_peer)}


def installed(module: str) -> bool:
    try:
        __import__(module)
        return True
    except Exception:
        return False


# --- Peak memory ------------------------------------------------------------

# Each figure comes from a fresh interpreter, so that memory freed by an
# earlier call and kept by the allocator does not hide the call's own peak.
PEAK = r"""
import sys, numpy as np, quorvane
def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
direction, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
if direction == "compress":
    data = np.resize(np.load(path).astype(np.float32), n)
else:
    data = open(path, "rb").read()
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak resident size restarts from the current one
before = status("VmRSS")
result = quorvane.compress_signal(data) if direction == "compress" else quorvane.decompress_signal(data)
print((status("VmHWM") - before) / (4 * n))
"""


def peak_per_input_byte(direction: str, path: Path, n: int) -> str:
    try:
        out = subprocess.run([sys.executable, "-c", PEAK, direction, str(path), str(n)],
                             capture_output=True, text=True, timeout=600, check=True)
        return f"{float(out.stdout.strip()):.2f}x"
    except (subprocess.SubprocessError, ValueError, OSError):
        return "n/a"


def load_module(folder: str):
    """Another build of the extension (e.g. an older commit), as its own module object."""
    import importlib.util

    path = next(Path(folder).glob("quorvane*.so"))
    spec = importlib.util.spec_from_file_location("quorvane", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def interleaved(calls, repeats: int) -> list[float]:
    """Median seconds of each call, the calls taking turns so that load changes hit all alike."""
    times = [[] for _ in calls]
    for _ in range(repeats):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[i].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


def against(baseline, x, repeats: int, label: str) -> None:
    """Default options (and the DEFLATE coder) here and in `baseline`, in turns."""
    for coder in ("auto", "deflate"):
        new_options, old_options = Opts(coder=coder), baseline.QuorvCompressionOptions(coder=coder)
        new_stream = quorvane.compress_signal(x, new_options)
        old_stream = baseline.compress_signal(x, old_options)
        same = "same bytes" if new_stream == old_stream else "STREAMS DIFFER"
        nc, oc = interleaved([lambda: quorvane.compress_signal(x, new_options),
                              lambda: baseline.compress_signal(x, old_options)], repeats)
        nd, od = interleaved([lambda: quorvane.decompress_signal(new_stream),
                              lambda: baseline.decompress_signal(old_stream)], repeats)
        print(f"  vs {label} ({coder:7s}) compress {rate(x.nbytes, oc).strip()} -> "
              f"{rate(x.nbytes, nc).strip()} MB/s (x{oc / nc:.2f}), decompress "
              f"{rate(x.nbytes, od).strip()} -> {rate(x.nbytes, nd).strip()} MB/s "
              f"(x{od / nd:.2f}); {same}")


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, Python {platform.python_version()}, NumPy {np.__version__}"


class _Tee(io.TextIOBase):
    """Writes to the terminal and to the record of the run at once."""

    def __init__(self, *streams: io.TextIOBase) -> None:
        self.streams = streams

    def write(self, text: str) -> int:
        for stream in self.streams:
            stream.write(text)
        return len(text)

    def flush(self) -> None:
        for stream in self.streams:
            stream.flush()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", help="folder with the signal corpus")
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--signals", default="speech,ecg")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--against", metavar="DIR",
                        help="folder with another build of the extension to compare with, in turns")
    parser.add_argument("--against-name", metavar="NAME",
                        help="what to call that build in the output (e.g. its commit); default: DIR")
    parser.add_argument("--record", metavar="FILE", help="also write the output to this file")
    args = parser.parse_args()
    record = None
    if args.record:
        # Written beside the record and moved over it at the end, so a run
        # that fails half way leaves the last complete record in place.
        record = open(args.record + ".tmp", "w", encoding="utf-8")
        sys.stdout = _Tee(sys.__stdout__, record)
    corpus = corpus_dir(args.corpus)
    sizes = [int(s) for s in args.sizes.split(",")]
    figures = []
    baseline = load_module(args.against) if args.against else None
    print(f"machine: {machine()}, load average {os.getloadavg()[0]:.1f} at the start")
    print(f"run: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
          f"bench/bench.py {' '.join(sys.argv[1:])}")
    print(f"quorvane from {quorvane.__file__}")
    print("MB/s of float32 input (4 bytes per sample), median of runs; ratio = input / stream\n")
    for n in sizes:
        repeats = max(1, args.repeats if n <= 10**6 else (args.repeats + 1) // 2)
        for name in args.signals.split(","):
            x = tiled(corpus / SIGNALS[name], n)
            print(f"{name}, {n:,} samples ({x.nbytes / MB:.0f} MB), scale 11, cutoff low")
            if baseline is not None:
                against(baseline, x, repeats, args.against_name or args.against)
            print(f"  {'codec':24s} {'compress':>8s} {'decompress':>10s} {'ratio':>7s}")
            for method in METHODS:
                for coder in CODERS:
                    options = Opts(method=method, coder=coder)
                    stream = quorvane.compress_signal(x, options)
                    c = median_seconds(lambda: quorvane.compress_signal(x, options), repeats)
                    d = median_seconds(lambda: quorvane.decompress_signal(stream), repeats)
                    label = f"quorvane {method}/{coder}"
                    print(f"  {label:24s} {rate(x.nbytes, c)} {rate(x.nbytes, d):>10s} "
                          f"{x.nbytes / len(stream):7.2f}")
                    figures.append(dict(signal=name, n=n, codec=label, compress=x.nbytes / c / MB,
                                        decompress=x.nbytes / d / MB, ratio=x.nbytes / len(stream)))
            step = (float(x.max()) - float(x.min())) * 2.0**-11
            for label, (module, make) in PEERS.items():
                if not installed(module):
                    print(f"  {label:24s} (not installed: pip install -r requirements-bench.txt)")
                    continue
                encode, decode = make(x, step)
                blob = encode()
                c = median_seconds(encode, repeats)
                d = median_seconds(lambda: decode(blob), repeats)
                print(f"  {label:24s} {rate(x.nbytes, c)} {rate(x.nbytes, d):>10s} "
                      f"{x.nbytes / len(blob):7.2f}")
                figures.append(dict(signal=name, n=n, codec=label, compress=x.nbytes / c / MB,
                                    decompress=x.nbytes / d / MB, ratio=x.nbytes / len(blob)))

            # Independent arrays on 1 and 2 threads, default options, in
            # turns so that a change of load hits both alike. The ratio is
            # only meaningful on an otherwise idle machine: with other
            # sessions busy the scheduler shares the CPUs between sessions,
            # not threads, and 2 threads get no more time than 1.
            # At 10^6 samples a pair of calls on 2 threads takes some 50 ms,
            # where any other activity shows: three times the runs there.
            arrays = [x, x.copy()]
            streams = [quorvane.compress_signal(a) for a in arrays]
            thread_repeats = 3 * repeats if n <= 10**6 else repeats
            with ThreadPoolExecutor(max_workers=2) as pool:
                one_c, two_c = interleaved(
                    [lambda: [quorvane.compress_signal(a) for a in arrays],
                     lambda: list(pool.map(quorvane.compress_signal, arrays))], thread_repeats)
                one_d, two_d = interleaved(
                    [lambda: [quorvane.decompress_signal(s) for s in streams],
                     lambda: list(pool.map(quorvane.decompress_signal, streams))], thread_repeats)
            total = 2 * x.nbytes
            print(f"  threads over 2 arrays    1 thread: {rate(total, one_c).strip()} / "
                  f"{rate(total, one_d).strip()} MB/s; 2 threads: {rate(total, two_c).strip()} / "
                  f"{rate(total, two_d).strip()} MB/s (x{one_c / two_c:.2f} / x{one_d / two_d:.2f}; "
                  f"load average {os.getloadavg()[0]:.1f})")
            figures.append(dict(signal=name, n=n, codec="threads", one=(total / one_c / MB, total / one_d / MB),
                                two=(total / two_c / MB, total / two_d / MB)))
            if sys.platform.startswith("linux"):
                with tempfile.TemporaryDirectory() as scratch:
                    stream_path = Path(scratch) / "stream.qrv"
                    stream_path.write_bytes(streams[0])
                    pc = peak_per_input_byte("compress", corpus / SIGNALS[name], n)
                    pd = peak_per_input_byte("decompress", stream_path, n)
                print(f"  peak memory per input byte, default options: compress {pc}, "
                      f"decompress {pd} (output included)")
                figures.append(dict(signal=name, n=n, codec="peak", compress=pc, decompress=pd))
            print()
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1))
    if record is not None:
        sys.stdout = sys.__stdout__
        record.close()
        os.replace(args.record + ".tmp", args.record)


if __name__ == "__main__":
    main()
