"""Signals and helpers shared by the tools suite.

Not a conftest.py: the module suite in tests/python imports helpers from its
own conftest by that name, and both suites run in one pytest process.
"""
import importlib
import os
from pathlib import Path

import numpy as np
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
DEMO_SIGNAL = REPOSITORY / "data" / "demo_signal.npy"

# Largest error seen over every method and scale, in quantiser steps
# (2^-scale) of the signal's range, with margin: the dead zone of the
# coarser cut-offs zeroes detail coefficients of up to 2, 6 or 14 steps.
STEPS_OF_ERROR = {"low": 8.0, "medium": 24.0, "high": 64.0}


def quantiser_error(signal, scale=11, cutoff="low"):
    """A bound on the largest absolute error of one stream of `signal`."""
    span = float(np.max(signal)) - float(np.min(signal))
    return STEPS_OF_ERROR[cutoff] * 2.0 ** -scale * max(span, 1e-30)


def require(module_name):
    """Imports an optional dependency; CI must have it, elsewhere we skip
    (the test, or the whole module when called at its top)."""
    try:
        return importlib.import_module(module_name)
    except ImportError:
        if os.environ.get("CI"):
            raise
        pytest.skip(f"{module_name} is not installed (pip install -r requirements-tools.txt)",
                    allow_module_level=True)


def demo_signal():
    """The synthetic ECG lead that ships with the repository (360 Hz, mV)."""
    return np.load(DEMO_SIGNAL)


def synthetic_signals():
    """Signals of other shapes than the ECG, from fixed seeds."""
    rng = np.random.default_rng(20261208)
    t = np.arange(8192, dtype=np.float64)
    chirp = np.sin(2 * np.pi * (0.001 + 0.00002 * t) * t)
    steps = np.repeat(rng.normal(size=64), 128)
    seismic = np.convolve(rng.standard_normal(8192), np.exp(-np.arange(200) / 30.0), mode="same")
    seismic[4000:4300] += 8 * np.sin(np.arange(300) / 3.0) * np.exp(-np.arange(300) / 80.0)
    return {
        "chirp": (chirp + 0.01 * rng.standard_normal(t.size)).astype(np.float32),
        "steps": (steps + 0.001 * rng.standard_normal(t.size)).astype(np.float32),
        "seismic": seismic.astype(np.float64),
        "white_noise": rng.standard_normal(3000).astype(np.float32),
        "short": rng.standard_normal(7).astype(np.float32),
    }
