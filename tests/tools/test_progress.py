"""Progress bars: drawn on a terminal only, never into pipes or logs, and
for one large file a bar through its steps rather than a bar of one item."""
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

from quorvane_tools import progress as progress_module
from quorvane_tools.progress import StageBar, bar_wanted, progress

from tools_support import require


class Stream:
    def __init__(self, terminal):
        self.terminal = terminal

    def isatty(self):
        if self.terminal is None:
            raise ValueError("I/O operation on closed file")
        return self.terminal


@pytest.mark.parametrize(
    "enabled,terminal,expected",
    [
        (None, True, True),     # nobody said: a terminal gets a bar
        (None, False, False),   # ... a pipe or a log file does not
        (None, None, False),    # ... nor a closed stream
        (False, True, False),   # --no-progress wins over the terminal
        (True, False, True),    # asked for explicitly
    ],
)
def test_bar_only_on_a_terminal_unless_told(enabled, terminal, expected):
    require("tqdm")
    assert bar_wanted(enabled, Stream(terminal)) is expected


def test_no_bar_without_tqdm(monkeypatch):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "tqdm" else real(name, *a))
    assert bar_wanted(True, Stream(True)) is False
    items = [1, 2, 3]
    assert list(progress(items, enabled=True)) == items
    with StageBar(["a", "b"], enabled=True) as stages:
        stages.start("b")
        assert not stages.shown


def test_stage_bar_names_each_step_as_it_starts(capsys):
    require("tqdm")
    with StageBar(["reading", "compressing", "writing"], description="take.wav", enabled=True) as stages:
        assert stages.shown
        for stage in stages.stages:
            stages.start(stage)
        with pytest.raises(ValueError):
            stages.start("uploading")  # a step it was not given is a programming error
    drawn = capsys.readouterr().err
    positions = [drawn.index(f"take.wav {stage}: ") for stage in ("reading", "compressing", "writing")]
    assert positions == sorted(positions)
    assert "step 2/3" in drawn and "step 3/3" not in drawn  # only steps that ended count


def test_stage_bar_draws_nothing_when_not_wanted(capsys):
    with StageBar(["reading", "writing"], enabled=False) as stages:
        stages.start("writing")
    assert capsys.readouterr().err == ""


def run_on_terminal(*argv, terminal):
    """The command with stderr on a pseudo-terminal (or a pipe): returns the
    exit status, stdout and what stderr received."""
    import fcntl
    import pty
    import struct
    import termios

    command = [sys.executable, "-m", "quorvane_tools", *map(str, argv)]
    if not terminal:
        done = subprocess.run(command, capture_output=True, timeout=300)
        return done.returncode, done.stdout.decode(), done.stderr.decode()
    master, slave = pty.openpty()
    # A new pseudo-terminal is 0 columns wide; a bar fitted to it is empty.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    received = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal's other side closed
            break
        if not chunk:
            break
        received += chunk
    os.close(master)
    out = process.stdout.read().decode()
    process.stdout.close()
    return process.wait(timeout=300), out, received.decode(errors="replace")


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    """One channel of 2^20 float32 samples: a 4 MiB .npy, large enough for the step bar."""
    directory = tmp_path_factory.mktemp("large")
    rng = np.random.default_rng(3)
    np.save(directory / "large.npy", np.cumsum(rng.standard_normal(1 << 20)).astype(np.float32))
    np.save(directory / "small.npy", rng.standard_normal(5000).astype(np.float32))
    return directory


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals as on Linux")
def test_one_large_file_shows_its_steps_on_a_terminal_and_nothing_in_a_pipe(large_file):
    require("tqdm")
    source = large_file / "large.npy"
    code, out, err = run_on_terminal("compress", source, "-o", large_file / "t.qrvz", "-f", terminal=True)
    assert code == 0, err
    for stage in ("reading", "compressing", "writing"):
        assert f"large.npy {stage}" in err
    assert "1 channel(s)" in out and "step" not in out

    code, out, err = run_on_terminal("compress", source, "-o", large_file / "p.qrvz", "-f", terminal=False)
    assert code == 0 and err == ""  # a pipe gets no bar, not even a cleared one
    assert out.count("\n") == 1 and "\r" not in out

    code, out, err = run_on_terminal("decompress", large_file / "t.qrvz", "-o", large_file / "t.npy", "-f",
                                     terminal=True)
    assert code == 0, err
    assert "t.qrvz decoding" in err and "t.qrvz writing" in err
    code, out, err = run_on_terminal("decompress", large_file / "t.qrvz", "-o", large_file / "p.npy", "-f",
                                     terminal=False)
    assert code == 0 and err == ""

    code, out, err = run_on_terminal("verify", large_file / "t.qrvz", terminal=True)
    assert code == 0 and "t.qrvz decoding" in err and "OK" in out
    code, out, err = run_on_terminal("verify", large_file / "t.qrvz", terminal=False)
    assert code == 0 and err == "" and "OK" in out


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals as on Linux")
@pytest.mark.parametrize(
    "argv",
    [
        ["compress", "{d}/small.npy", "-o", "{d}/n.qrvz", "-f"],
        ["compress", "{d}/large.npy", "-o", "{d}/n.qrvz", "-f", "--no-progress"],
        ["decompress", "{d}/small.qrvz", "-o", "{d}/n.npy", "-f"],
        ["verify", "{d}/small.qrvz"],
        ["verify", "{d}/large.qrvz", "--no-progress"],
    ],
    ids=["small", "refused", "small-decompress", "small-verify", "refused-verify"],
)
def test_no_step_bar_for_small_files_or_when_refused(large_file, argv):
    require("tqdm")
    for name in ("small", "large"):
        if not (large_file / f"{name}.qrvz").exists():
            assert run_on_terminal("compress", large_file / f"{name}.npy", terminal=False)[0] == 0
    code, out, err = run_on_terminal(*[part.format(d=large_file) for part in argv], terminal=True)
    assert code == 0, err
    assert "step" not in err and "ing" not in err
