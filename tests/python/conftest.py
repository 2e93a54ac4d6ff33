import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest


def run_python(code: str, timeout: float = 60.0) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that imports the same quorvane."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


def smooth_signal(length: int, seed: int = 7) -> np.ndarray:
    """A float32 test signal: two tones, a slow drift and a little noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(length, dtype=np.float64)
    wave = np.sin(t / 9.0) + 0.4 * np.sin(t / 2.3 + 1.0) + 0.001 * t
    return (wave + 0.01 * rng.standard_normal(length)).astype(np.float32)


@pytest.fixture
def signal() -> np.ndarray:
    return smooth_signal(1000)
