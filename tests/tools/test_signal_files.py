"""Sample files in and out, without compression in between: what is read
is what was written."""
import os
import wave

import numpy as np
import pytest

from tools_support import require

import quorvane_tools.formats
from quorvane_tools.signal_files import SignalFileError, atomic_output, read_signal, write_signal


@pytest.mark.parametrize("reader", ["soundfile", "standard library"])
@pytest.mark.parametrize("width", [1, 2, 3, 4])
def test_wav_integers_survive_every_width(tmp_path, monkeypatch, width, reader):
    if reader == "soundfile":
        require("soundfile")
    else:
        monkeypatch.setattr(quorvane_tools.formats, "has_module", lambda name: False)
    bits = 8 * width
    low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    rng = np.random.default_rng(width)
    values = rng.integers(low, high, size=(500, 3), endpoint=True)
    values[:3, 0] = [low, 0, high]
    meta = {"sample_rate": 16000, "sample_width": width}
    write_signal(tmp_path / "a.wav", [values[:, c].astype(np.float64) for c in range(3)], meta)
    data = read_signal(tmp_path / "a.wav")
    assert (data.sample_rate, data.sample_width, len(data.channels)) == (16000, width, 3)
    np.testing.assert_array_equal(np.stack(data.channels, axis=1), values)
    # Signed sample values (8-bit WAV's offset of 128 removed) in a NumPy type that holds them.
    assert data.dtype == {1: "int8", 2: "int16", 3: "int32", 4: "int32"}[width]


def test_wav_output_rounds_and_clips(tmp_path):
    write_signal(tmp_path / "b.wav", [np.array([0.4, 0.6, -1.5, 40000.0, -40000.0])],
                 {"sample_rate": 8000, "sample_width": 2})
    with wave.open(str(tmp_path / "b.wav"), "rb") as reader:
        frames = np.frombuffer(reader.readframes(5), "<i2")
    np.testing.assert_array_equal(frames, [0, 1, -2, 32767, -32768])


@pytest.mark.parametrize("shape,dtype", [((40,), "<f4"), ((40, 3), "<f8"), ((10, 2, 2), "<i2"), ((5, 4), ">f8")])
def test_npy_shapes_and_dtypes(tmp_path, shape, dtype):
    array = (np.arange(np.prod(shape)).reshape(shape) * 3 - 7).astype(dtype)
    np.save(tmp_path / "a.npy", array)
    data = read_signal(tmp_path / "a.npy")
    assert len(data.channels) == (1 if len(shape) == 1 else int(np.prod(shape[1:])))
    write_signal(tmp_path / "b.npy", data.channels, data.metadata())
    back = np.load(tmp_path / "b.npy")
    assert back.shape == shape and back.dtype == np.dtype(dtype).newbyteorder("=")
    np.testing.assert_array_equal(back, array)


def test_text_formats(tmp_path):
    (tmp_path / "a.txt").write_text("# comment\n\n1.5 2\n  3 -4e2\n")
    data = read_signal(tmp_path / "a.txt")
    np.testing.assert_array_equal(np.stack(data.channels, axis=1), [[1.5, 2.0], [3.0, -400.0]])
    assert data.columns is None
    (tmp_path / "b.tsv").write_text("x\ty\n1\t2\n")
    data = read_signal(tmp_path / "b.tsv")
    assert data.columns == ["x", "y"]
    write_signal(tmp_path / "c.tsv", data.channels, data.metadata())
    assert (tmp_path / "c.tsv").read_text() == "x\ty\n1\t2\n"


@pytest.mark.parametrize(
    "name,content,message",
    [
        ("a.csv", "", r"a.csv: is empty \(0 bytes\)"),
        ("a2.csv", "# nothing but a comment\n", "holds no rows of numbers"),
        ("b.csv", "x,y\n", "has a header row but no numbers"),
        ("c.csv", "x,y,z\n1,2\n", "the header names 3 columns, the rows hold 2"),
        ("d.raw", "", r"d.raw: is empty \(0 bytes\)"),
    ],
)
def test_unreadable_files(tmp_path, name, content, message):
    (tmp_path / name).write_text(content)
    with pytest.raises(SignalFileError, match=message):
        read_signal(tmp_path / name)


def test_atomic_output_leaves_nothing_on_failure(tmp_path):
    (tmp_path / "keep.bin").write_bytes(b"old")
    with pytest.raises(RuntimeError):
        with atomic_output(tmp_path / "keep.bin") as temporary:
            temporary.write_bytes(b"half")
            raise RuntimeError("disk on fire")
    assert [p.name for p in tmp_path.iterdir()] == ["keep.bin"]
    assert (tmp_path / "keep.bin").read_bytes() == b"old"
    with atomic_output(tmp_path / "keep.bin") as temporary:
        temporary.write_bytes(b"new")
    assert [p.name for p in tmp_path.iterdir()] == ["keep.bin"] and (tmp_path / "keep.bin").read_bytes() == b"new"


def test_atomic_output_gets_ordinary_permissions(tmp_path):
    old = os.umask(0o022)
    try:
        with atomic_output(tmp_path / "out.bin") as temporary:
            temporary.write_bytes(b"x")
    finally:
        os.umask(old)
    assert (tmp_path / "out.bin").stat().st_mode & 0o777 == 0o644


@pytest.mark.parametrize("name,meta", [("a.wav", {"sample_rate": 8000}), ("b.npy", {"dtype": "<i2"})])
def test_nan_is_not_turned_into_an_integer(tmp_path, name, meta):
    channels = [np.zeros(10), np.array([0.0] * 6 + [np.nan] + [0.0] * 3)]
    with pytest.raises(SignalFileError, match=r"samples cannot hold nan \(channel 1, sample 6\)"):
        write_signal(tmp_path / name, channels, meta)
    assert list(tmp_path.iterdir()) == []
