#!/usr/bin/env python3
"""Regenerates the whole-stream golden files under tests/golden/streams/.

    python3 tests/golden/regenerate_stream_goldens.py [BUILD_DIR]

Run it only on purpose: the goldens pin the exact bytes of today's streams and
the exact bits of their reconstructions, and the tests exist to notice when
either changes. BUILD_DIR (default: build) must hold a built
tests/write_stream_goldens.

Step 1 writes streams/inputs.txt: short excerpts of real signals from the
shared corpus (file and offset named beside each) and synthetic signals that
reach the length-dependent rules of the transforms. Step 2 runs the C++ writer,
which compresses every input with every method and coder and writes
streams/expected.txt and the transform vectors of streams/transforms.txt.
Only the standard library is used.
"""

import ast
import math
import pathlib
import struct
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
CORPUS = pathlib.Path("/work/shared/corpus")
OUT = HERE / "streams"

# (name, corpus file, first sample, sample count, why this one)
EXCERPTS = [
    ("ecg_pywt", "pywt_ecg", 200, 256, "ECG, integer-valued samples"),
    ("speech_alsa", "alsa_front_center", 20000, 300, "speech, 16-bit audio"),
    ("eeg_mpl", "mpl_eeg_ch0", 100, 97, "EEG; 97 = 3*32 + 1"),
    ("sunspots_r", "r_sunspot_month", 0, 130, "monthly counts; 130 = 4*32 + 2"),
]


def read_npy_f32(path):
    data = path.read_bytes()
    assert data[:6] == b"\x93NUMPY", path
    major = data[6]
    if major == 1:
        header_len = struct.unpack_from("<H", data, 8)[0]
        start = 10
    else:
        header_len = struct.unpack_from("<I", data, 8)[0]
        start = 12
    header = ast.literal_eval(data[start:start + header_len].decode("latin1"))
    assert header["descr"] == "<f4" and not header["fortran_order"], header
    body = data[start + header_len:]
    return list(struct.unpack(f"<{len(body) // 4}f", body))


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


class Xorshift:
    """A fixed generator, so the synthetic signals never depend on a library."""

    def __init__(self, seed):
        self.state = seed

    def uniform(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFFFFFFFFFF
        x ^= x >> 7
        x ^= (x << 17) & 0xFFFFFFFFFFFFFFFF
        self.state = x
        return (x >> 11) / float(1 << 53)


def synthetic_signals():
    rng = Xorshift(0x9E3779B97F4A7C15)

    def noise(n, amplitude):
        return [amplitude * (2.0 * rng.uniform() - 1.0) for _ in range(n)]

    def chirp(n):
        return [math.sin(0.002 * k * k) + 0.1 * math.cos(0.9 * k) for k in range(n)]

    special = noise(48, 3.0)
    for index, value in [(0, math.nan), (5, math.inf), (11, -math.inf), (17, -0.0),
                         (23, 1e-40), (29, -1e-45), (47, math.nan)]:
        special[index] = value
    return [
        ("single_sample", [0.25], "one sample: padded to the filter length"),
        ("short_7", noise(7, 1.0), "shorter than every filter (8 and 10 taps)"),
        ("constant_9", [1.5] * 9, "constant: max equals min"),
        ("noise_32", noise(32, 2.0), "32 = 32*1 + 0, the first length the CDF 9/7 rule skips"),
        ("noise_64", noise(64, 2.0), "64 = 2*32 + 0, and 32 again at level 2"),
        ("sine_66", [math.sin(0.3 * k) for k in range(66)], "66 = 2*32 + 2"),
        ("chirp_79", chirp(79), "79 samples: 4 levels"),
        ("chirp_80", chirp(80), "80 samples: 3 levels with 10 taps"),
        ("steps_161", [float((k // 20) % 3) + 0.01 * math.sin(k) for k in range(161)],
         "161 = 5*32 + 1; steps"),
        ("special_48", special, "NaN, infinities, signed zero, subnormals"),
    ]


def word(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def write_inputs():
    signals = []
    for name, file, first, count, why in EXCERPTS:
        samples = read_npy_f32(CORPUS / f"{file}.npy")[first:first + count]
        assert len(samples) == count
        signals.append((name, samples, f"corpus {file}.npy [{first}:{first + count}], {why}"))
    signals.extend(synthetic_signals())

    lines = ["# Inputs of the whole-stream goldens: a comment naming the source, then",
             "# `words input.NAME N` and N float32 bit patterns in hex.",
             "# Written by regenerate_stream_goldens.py."]
    for name, samples, why in signals:
        lines.append(f"# {why}")
        lines.append(f"words input.{name} {len(samples)}")
        words = [f"{word(f32(v)):08x}" for v in samples]
        for start in range(0, len(words), 8):
            lines.append(" ".join(words[start:start + 8]))
    OUT.mkdir(exist_ok=True)
    (OUT / "inputs.txt").write_text("\n".join(lines) + "\n")


def main():
    build = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
    write_inputs()
    writer = build / "tests" / "write_stream_goldens"
    subprocess.run([str(writer), str(OUT)], check=True)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
