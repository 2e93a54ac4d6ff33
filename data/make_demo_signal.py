"""Writes demo_signal.npy: a synthetic two-and-a-half-minute ECG lead.

The file is committed; this script records how it was made. Sampled at
360 Hz (a common Holter rate) in millivolts: PQRST complexes with
respiratory heart-rate variation, baseline wander, 50 Hz mains pickup,
a few bursts of muscle noise and white sensor noise. Run it from anywhere:

    python data/make_demo_signal.py
"""
from pathlib import Path

import numpy as np

SAMPLE_RATE = 360.0
SAMPLES = 60_000
SEED = 20261208

# (amplitude mV, offset from the R peak in s, width in s) of each wave.
WAVES = [
    (0.12, -0.20, 0.025),   # P
    (-0.12, -0.035, 0.010),  # Q
    (1.30, 0.0, 0.011),      # R
    (-0.28, 0.035, 0.011),   # S
    (0.32, 0.26, 0.045),     # T
]


def synthesize(rng: np.random.Generator) -> np.ndarray:
    t = np.arange(SAMPLES) / SAMPLE_RATE
    duration = t[-1]

    # Beat times: 72 bpm on average, modulated by breathing (0.25 Hz) and a
    # slow random walk.
    beats = []
    when, drift = 0.3, 0.0
    while when < duration + 1.0:
        beats.append(when)
        drift = 0.95 * drift + 0.01 * rng.standard_normal()
        when += 0.83 + 0.04 * np.sin(2 * np.pi * 0.25 * when) + drift

    ecg = np.zeros(SAMPLES)
    for beat in beats:
        scale = 1.0 + 0.05 * rng.standard_normal()
        for amplitude, offset, width in WAVES:
            centre = beat + offset
            near = np.abs(t - centre) < 6 * width
            ecg[near] += scale * amplitude * np.exp(-0.5 * ((t[near] - centre) / width) ** 2)

    wander = 0.15 * np.sin(2 * np.pi * 0.22 * t + 0.4) + 0.06 * np.sin(2 * np.pi * 0.05 * t)
    mains = 0.015 * np.sin(2 * np.pi * 50.0 * t)
    noise = 0.008 * rng.standard_normal(SAMPLES)

    muscle = np.zeros(SAMPLES)
    for _ in range(4):
        start = int(rng.integers(0, SAMPLES - 1500))
        burst = rng.standard_normal(1500) * np.hanning(1500) * 0.05
        muscle[start:start + 1500] += np.convolve(burst, np.ones(3) / 3, mode="same")

    return (ecg + wander + mains + noise + muscle).astype(np.float32)


def main() -> None:
    signal = synthesize(np.random.default_rng(SEED))
    path = Path(__file__).with_name("demo_signal.npy")
    np.save(path, signal)
    print(f"wrote {path} ({signal.size} samples, {path.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
