"""mypy sees the extension's real signatures through the installed stub
package, and the companion package's inline types."""
import os
import subprocess
import sys
import textwrap

import pytest

from tools_support import REPOSITORY, require

GOOD = """
    import numpy as np
    import numpy.typing as npt
    import quorvane
    from quorvane import QuorvCompressionOptions, compress_signal, decompress_signal
    from quorvane_tools import OptionChoice, QualityChoice, SavedFile, choose_options, load, parse_header, save

    signal = np.sin(np.linspace(0.0, 60.0, 20_000))
    options = QuorvCompressionOptions(method="db4", scale=10, cutoff="medium", coder="deflate")
    blob: bytes = compress_signal(signal, options)
    blob = compress_signal(signal.astype(np.float32))
    blob = compress_signal(data=signal, options=None)
    restored: npt.NDArray[np.float32] = decompress_signal(blob)
    positional = QuorvCompressionOptions("sym4", 8, "high", None)
    chosen: QualityChoice = choose_options(signal, max_abs_error=1e-3, methods=["cdf97"])
    picked: OptionChoice = chosen.choice
    scale: int = parse_header(chosen.stream).scale
    saved: SavedFile = save("signal.qrvz", signal, sample_rate=100.0, columns=["x"], scale=10)
    array, meta = load(saved.path)
    count: int = array.size + len(meta)
    reveal_type(quorvane.decompress_signal)
    reveal_type(quorvane.__all__)
"""

BAD = """
    import numpy as np
    from quorvane import QuorvCompressionOptions, compress_signal, decompress_signal

    compress_signal([1.0, 2.0, 3.0])
    decompress_signal(bytearray(b"QRVN"))
    QuorvCompressionOptions(method="haar")
    QuorvCompressionOptions(scale="11")
    QuorvCompressionOptions(level=3)
    text: str = compress_signal(np.zeros(4, np.float32))
"""


@pytest.fixture(scope="module")
def run_mypy(tmp_path_factory):
    require("mypy")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(source, name):
        script = cache.parent / f"{name}.py"
        script.write_text(textwrap.dedent(source))
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
             "--python-executable", sys.executable, str(script)],
            capture_output=True, text=True, timeout=300, cwd=str(cache.parent),
        )

    return run


def test_a_correct_script_type_checks(run_mypy):
    done = run_mypy(GOOD, "good_example")
    notes = done.stdout
    assert done.returncode == 0, notes + done.stderr
    revealed = [line for line in notes.splitlines() if "Revealed type" in line]
    assert len(revealed) == 2, notes
    signature = revealed[0].replace("builtins.", "")
    assert '"def (data: bytes) -> numpy.ndarray[' in signature
    assert "numpy.float32" in signature or "_32Bit" in signature
    assert '"list[str]"' in revealed[1].replace("builtins.", "")


def test_wrong_calls_are_flagged(run_mypy):
    done = run_mypy(BAD, "bad_example")
    assert done.returncode == 1
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    flagged_lines = sorted({int(line.split(":")[1]) for line in errors})
    # One error per wrong line (5 to 10 of the dedented script).
    assert flagged_lines == [5, 6, 7, 8, 9, 10], done.stdout
    assert 'Argument 1 to "compress_signal" has incompatible type "list[float]"' in done.stdout
    assert 'Unexpected keyword argument "level"' in done.stdout


def test_the_companion_package_type_checks_strictly():
    require("mypy")
    # Its own annotations, not only what a caller sees: a coder, dtype or
    # callback type that drifts from the stub fails here before a user's
    # mypy run does.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", os.devnull,
         "--python-executable", sys.executable, str(REPOSITORY / "quorvane_tools")],
        capture_output=True, text=True, timeout=300, cwd=str(REPOSITORY),
    )
    assert done.returncode == 0, done.stdout + done.stderr
