"""The `quorvane` command, run in-process through main() and once as the
installed console script."""
import csv
import json
import os
import shutil
import subprocess
import sys
import wave
import zipfile
from pathlib import Path

import numpy as np
import pytest
import quorvane

from quorvane_tools.cli import main
from quorvane_tools.containers import read_compressed
from quorvane_tools.header import parse_header
from quorvane_tools.trailer import read_trailer

from tools_support import demo_signal, quantiser_error, require, synthetic_signals

ECG = demo_signal()[:12000]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def write_wav(path, columns, width=2, rate=8000):
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(columns.shape[1])
        writer.setsampwidth(width)
        writer.setframerate(rate)
        dtype = {1: np.uint8, 2: "<i2", 4: "<i4"}[width]
        values = columns + 128 if width == 1 else columns
        writer.writeframes(values.astype(dtype).tobytes())


def leftovers(directory):
    """Temporary files a failed write would leave."""
    return [p.name for p in Path(directory).iterdir() if p.name.startswith(".") or p.suffix == ".part"]


# ------------------------------------------------------------ round trips


def test_npy_round_trip_with_options(tmp_path, capsys):
    np.save(tmp_path / "ecg.npy", ECG)
    code, out, err = run(capsys, "compress", tmp_path / "ecg.npy", "--method", "db4", "--scale", "9",
                         "--cutoff", "medium", "--coder", "deflate")
    assert (code, err) == (0, "")
    stream = read_compressed(tmp_path / "ecg.qrvz").streams[0]
    options = quorvane.QuorvCompressionOptions(method="db4", scale=9, cutoff="medium", coder="deflate")
    expected = quorvane.compress_signal(ECG, options)
    assert stream[:len(expected)] == expected and stream.endswith(b"QVTR")
    assert "ecg.qrvz: 1 channel(s), 12000 samples" in out
    # The default output is the original name, so it takes --force here.
    assert run(capsys, "decompress", tmp_path / "ecg.qrvz")[0] == 1
    assert run(capsys, "decompress", "--force", tmp_path / "ecg.qrvz")[0] == 0
    restored = np.load(tmp_path / "ecg.npy")
    assert restored.dtype == ECG.dtype
    np.testing.assert_array_equal(restored, quorvane.decompress_signal(stream))


def test_multichannel_npy_keeps_shape_and_dtype(tmp_path, capsys):
    data = ECG.reshape(3000, 2, 2).astype(np.float64)
    np.save(tmp_path / "cube.npy", data)
    assert run(capsys, "compress", "-q", tmp_path / "cube.npy")[0] == 0
    compressed = read_compressed(tmp_path / "cube.qrvz")
    assert compressed.archive and len(compressed.streams) == 4
    assert compressed.meta["shape"] == [3000, 2, 2] and compressed.meta["dtype"] == "<f8"
    assert run(capsys, "decompress", "-q", tmp_path / "cube.qrvz", "-o", tmp_path / "back.npy")[0] == 0
    restored = np.load(tmp_path / "back.npy")
    assert restored.shape == data.shape and restored.dtype == np.float64
    for column in range(4):
        channel = data.reshape(3000, 4)[:, column]
        assert np.max(np.abs(restored.reshape(3000, 4)[:, column] - channel)) <= quantiser_error(channel)


@pytest.mark.parametrize("width", [1, 2, 4])
def test_stereo_wav_round_trip(tmp_path, capsys, width):
    full = {1: 100, 2: 20000, 4: 1_000_000_000}[width]
    left = np.rint(full * ECG[:4000] / np.max(np.abs(ECG[:4000]))).astype(np.int64)
    columns = np.stack([left, -left // 2], axis=1)
    write_wav(tmp_path / "take.wav", columns, width=width, rate=22050)
    assert run(capsys, "compress", "-q", tmp_path / "take.wav", "--scale", "12")[0] == 0
    meta = read_compressed(tmp_path / "take.qrvz").meta
    assert (meta["source"], meta["sample_rate"], meta["sample_width"], meta["channels"]) == ("wav", 22050, width, 2)
    assert run(capsys, "decompress", "-q", tmp_path / "take.qrvz", "-o", tmp_path / "out.wav")[0] == 0
    with wave.open(str(tmp_path / "out.wav"), "rb") as reader:
        assert (reader.getnchannels(), reader.getsampwidth(), reader.getframerate()) == (2, width, 22050)
        assert reader.getnframes() == 4000
    from quorvane_tools.signal_files import read_signal

    restored = read_signal(tmp_path / "out.wav").channels
    for original, back in zip(columns.T, restored):
        assert np.max(np.abs(back - original)) <= quantiser_error(original, 12) + 1  # + rounding to integers


def test_csv_columns_with_header(tmp_path, capsys):
    rows = ["# logged at 10 Hz", "time,pressure,temp"]
    rows += [f"{i / 10},{1000 + 5 * np.sin(i / 7):.4f},{20 + i / 500:.3f}" for i in range(2000)]
    (tmp_path / "log.csv").write_text("\n".join(rows) + "\n")
    assert run(capsys, "compress", "-q", tmp_path / "log.csv", "--scale", "12")[0] == 0
    assert read_compressed(tmp_path / "log.qrvz").meta["columns"] == ["time", "pressure", "temp"]
    assert run(capsys, "decompress", "-q", tmp_path / "log.qrvz", "-o", tmp_path / "back.csv")[0] == 0
    with open(tmp_path / "back.csv") as handle:
        table = list(csv.reader(handle))
    assert table[0] == ["time", "pressure", "temp"] and len(table) == 2001
    values = np.array(table[1:], dtype=float)
    assert abs(values[1234, 1] - (1000 + 5 * np.sin(1234 / 7))) <= quantiser_error([995, 1005], 12)


def test_text_and_raw_single_columns(tmp_path, capsys):
    signal = synthetic_signals()["chirp"][:3000]
    np.savetxt(tmp_path / "a.txt", signal)
    signal.astype("<f4").tofile(tmp_path / "b.f32")
    assert run(capsys, "compress", "-q", tmp_path / "a.txt", tmp_path / "b.f32")[0] == 0
    # Identical streams, since the text keeps every float32 digit; the trailers differ in dtype.
    text, raw = (read_compressed(tmp_path / name).streams[0] for name in ("a.qrvz", "b.qrvz"))
    length = parse_header(raw).stream_len
    assert text[:length] == raw[:length] and read_trailer(text).dtype == "float64"
    assert run(capsys, "decompress", "-q", tmp_path / "b.qrvz", "-o", tmp_path / "c.f32")[0] == 0
    back = np.fromfile(tmp_path / "c.f32", dtype="<f4")
    np.testing.assert_array_equal(back, quorvane.decompress_signal(raw))


def test_batch_into_an_output_directory(tmp_path, capsys):
    out = tmp_path / "out"
    out.mkdir()
    for index in range(3):
        np.save(tmp_path / f"s{index}.npy", ECG[index * 1000:(index + 2) * 1000])
    code, stdout, _ = run(capsys, "compress", *(tmp_path / f"s{i}.npy" for i in range(3)), "-d", out)
    assert code == 0 and sorted(p.name for p in out.iterdir()) == ["s0.qrvz", "s1.qrvz", "s2.qrvz"]
    assert stdout.count("->") == 3


# ------------------------------------------------------------ quality target


def test_quality_target_is_met_and_reported(tmp_path, capsys):
    np.save(tmp_path / "ecg.npy", ECG)
    code, out, _ = run(capsys, "compress", tmp_path / "ecg.npy", "--max-abs-error", "0.005", "--min-psnr", "55")
    assert code == 0 and "target encoder: method=" in out and "max error <= 0.005 and PSNR >= 55 dB" in out
    restored = quorvane.decompress_signal(read_compressed(tmp_path / "ecg.qrvz").streams[0])
    error = restored.astype(np.float64) - ECG
    assert np.max(np.abs(error)) <= 0.005
    assert 20 * np.log10(np.ptp(ECG) / np.sqrt(np.mean(error ** 2))) >= 55


def test_quality_target_per_channel(tmp_path, capsys):
    columns = np.stack([ECG[:3000], 100 * ECG[3000:6000]], axis=1)
    np.save(tmp_path / "two.npy", columns)
    code, out, _ = run(capsys, "compress", tmp_path / "two.npy", "--max-abs-error", "0.5")
    assert code == 0 and "channel 0: target encoder" in out and "channel 1: target encoder" in out
    streams = read_compressed(tmp_path / "two.qrvz").streams
    for stream, original in zip(streams, columns.T):
        assert np.max(np.abs(quorvane.decompress_signal(stream) - original)) <= 0.5


def test_unreachable_target_fails_without_output(tmp_path, capsys):
    np.save(tmp_path / "ecg.npy", ECG)
    code, _, err = run(capsys, "compress", tmp_path / "ecg.npy", "--max-abs-error", "1e-9")
    assert code == 1 and err.startswith("quorvane: error: ") and "No stream of the format meets the target" in err
    assert not (tmp_path / "ecg.qrv").exists() and not leftovers(tmp_path)


# ------------------------------------------------------------ info


def test_info_lists_every_header_field(tmp_path, capsys):
    stream = quorvane.compress_signal(ECG, quorvane.QuorvCompressionOptions(method="cdf53", scale=8))
    (tmp_path / "x.qrv").write_bytes(stream)
    code, out, _ = run(capsys, "info", tmp_path / "x.qrv")
    assert code == 0
    for expected in ["magic            QRVN", "version          1.1", "compression tag  f3",
                     "method           cf53 (cdf53)", "scale            8 (step 2^-8", "coder            1 (arans)",
                     "sample count     12000", f"payload length   {len(stream) - 52} bytes",
                     "reserved tail    " + "00" * 16, "levels", "min", "max", "mean", "reserved "]:
        assert expected in out, expected
    code, out, _ = run(capsys, "info", "--json", tmp_path / "x.qrv")
    document = json.loads(out)
    assert document["streams"][0]["sample_count"] == 12000 and document["streams"][0]["method"] == "cdf53"
    assert document["streams"][0]["min"] == float(ECG.min())


def test_info_names_the_band_coder(tmp_path, capsys):
    # A coder-2 stream (opt-in, docs/format.md): the smallest one, a single
    # zero coefficient pair of cdf53 bands behind a one-sample header.
    header = bytearray(quorvane.compress_signal(np.zeros(1, np.float32), quorvane.QuorvCompressionOptions(
        method="cdf53", coder="deflate"))[:52])
    header[14] = 2
    payload = bytes.fromhex("00000100")  # not decodable: info reads the header only
    header[32:36] = len(payload).to_bytes(4, "little")
    (tmp_path / "b.qrv").write_bytes(bytes(header) + payload)
    code, out, _ = run(capsys, "info", tmp_path / "b.qrv")
    assert code == 0
    assert "coder            2 (bands)" in out


def test_info_on_an_archive(tmp_path, capsys):
    np.save(tmp_path / "two.npy", np.stack([ECG[:500], ECG[500:1000]], axis=1))
    run(capsys, "compress", "-q", tmp_path / "two.npy")
    code, out, _ = run(capsys, "info", tmp_path / "two.qrvz")
    assert code == 0 and "archive of 2 stream(s)" in out and "channel 1:" in out and '"source"' not in out
    assert "source           \"npy\"" in out


# ------------------------------------------------------------ eval


def test_eval_table_subset(tmp_path, capsys):
    np.save(tmp_path / "ecg.npy", ECG)
    code, out, _ = run(capsys, "eval", tmp_path / "ecg.npy", "--method", "cdf97,db4", "--coder", "deflate",
                       "--scale", "8-10", "--cutoff", "low", "--repeat", "1")
    lines = out.splitlines()
    assert code == 0 and len(lines) == 1 + 2 * 3
    assert lines[0].split()[:4] == ["method", "coder", "scale", "cutoff"] and "PSNR" in lines[0]
    first = lines[1].split()
    stream = quorvane.compress_signal(ECG, quorvane.QuorvCompressionOptions(method="cdf97", scale=8, coder="deflate"))
    assert first[:5] == ["cdf97", "deflate", "8", "low", str(len(stream))]


def test_eval_csv_and_plot(tmp_path, capsys):
    require("matplotlib")
    np.save(tmp_path / "ecg.npy", ECG[:4000])
    code, out, _ = run(capsys, "eval", tmp_path / "ecg.npy", "--csv", "--repeat", "1", "--scale", "7,11",
                       "--plot", tmp_path / "rd.png")
    rows = list(csv.DictReader(out.splitlines()))
    assert code == 0 and len(rows) == 4 * 2 * 3 * 2
    assert {row["coder"] for row in rows} == {"arans", "deflate"}
    assert all(float(row["ratio"]) > 1 and float(row["psnr"]) > 0 for row in rows)
    assert (tmp_path / "rd.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and not leftovers(tmp_path)


# ------------------------------------------------------------ failures


@pytest.mark.parametrize(
    "setup,argv,message",
    [
        (None, ["compress", "{d}/missing.npy"], "missing.npy: No such file or directory"),
        ("notes.doc", ["compress", "{d}/notes.doc"], "unknown sample file type '.doc'"),
        ("bad.csv", ["compress", "{d}/bad.csv"], "line 3, column 2: cannot read 'x' as a number"),
        ("ragged.csv", ["compress", "{d}/ragged.csv"], "line 2: expected 2 columns, found 3"),
        ("odd.f32", ["compress", "{d}/odd.f32"], "5 bytes is not a whole number of float32 samples"),
        ("fake.wav", ["compress", "{d}/fake.wav"], "fake.wav: not a readable audio file"),
        ("junk.qrv", ["decompress", "{d}/junk.qrv"], "neither a quorvane stream nor a .qrvz archive"),
        ("badmagic.qrv", ["info", "{d}/badmagic.qrv"], "neither a quorvane stream"),
        ("short.qrv", ["decompress", "{d}/short.qrv"], "truncated: the stream needs"),
        ("ok.qrv", ["decompress", "{d}/ok.qrv", "-o", "{d}/ok.wav"], "needs a sample rate"),
        ("ok.qrv", ["decompress", "{d}/ok.qrv", "-o", "{d}/ok.xyz"], "unknown sample file type '.xyz'"),
        ("two.npy", ["compress", "{d}/two.npy", "-o", "{d}/two.qrv"], "2 channels need a .qrvz archive"),
        ("ok.npy", ["eval", "{d}/ok.npy", "--plot", "{d}/nodir/rd.png"], "nodir: no such directory"),
        ("empty.npy", ["compress", "{d}/empty.npy"], "holds no samples"),
        ("text.npy", ["compress", "{d}/text.npy"], "only real numbers can be compressed"),
    ],
)
def test_failures_are_one_line_and_leave_nothing(tmp_path, capsys, setup, argv, message):
    # (Wrong command lines exit 2: test_cli_usage.py.)
    ok = quorvane.compress_signal(ECG[:300])
    contents = {
        "notes.doc": b"hello", "bad.csv": b"a,b\n1,2\n3,x\n", "ragged.csv": b"1,2\n3,4,5\n", "odd.f32": b"12345",
        "fake.wav": b"RIFF0000WAVEjunk", "junk.qrv": b"not a stream at all", "badmagic.qrv": b"QRVX" + ok[4:],
        "short.qrv": ok[:-1], "ok.qrv": ok,
    }
    if setup == "ok.npy":
        np.save(tmp_path / setup, ECG[:300])
    elif setup == "two.npy":
        np.save(tmp_path / setup, np.zeros((10, 2)))
    elif setup == "empty.npy":
        np.save(tmp_path / setup, np.zeros(0))
    elif setup == "text.npy":
        np.save(tmp_path / setup, np.array(["a", "b"]))
    elif setup is not None:
        (tmp_path / setup).write_bytes(contents[setup])
    before = sorted(p.name for p in tmp_path.iterdir())
    code, out, err = run(capsys, *(part.format(d=tmp_path) for part in argv))
    assert code == 1, err
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quorvane: error: ") and message in lines[0], err
    assert "Traceback" not in err
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def test_existing_output_needs_force(tmp_path, capsys):
    np.save(tmp_path / "a.npy", ECG[:1000])
    (tmp_path / "a.qrvz").write_bytes(b"precious")
    code, _, err = run(capsys, "compress", tmp_path / "a.npy")
    assert code == 1 and "a.qrvz exists (use --force to overwrite)" in err
    assert (tmp_path / "a.qrvz").read_bytes() == b"precious"
    assert run(capsys, "compress", "-f", tmp_path / "a.npy")[0] == 0
    assert read_compressed(tmp_path / "a.qrvz").streams[0].startswith(quorvane.compress_signal(ECG[:1000]))


def test_a_failing_file_does_not_stop_the_batch(tmp_path, capsys):
    np.save(tmp_path / "good.npy", ECG[:1000])
    (tmp_path / "bad.csv").write_text("1,2\n3\n")
    code, out, err = run(capsys, "compress", tmp_path / "bad.csv", tmp_path / "good.npy")
    assert code == 1 and "bad.csv" in err and (tmp_path / "good.qrvz").exists()


def test_a_failure_while_writing_removes_the_temporary(tmp_path, capsys, monkeypatch):
    np.save(tmp_path / "a.npy", ECG[:1000])
    import quorvane_tools.containers as containers

    def broken_zip(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(containers.zipfile, "ZipFile", broken_zip)
    code, _, err = run(capsys, "compress", tmp_path / "a.npy", "--container", "qrvz")
    assert code == 1 and "No space left on device" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.npy"]


def test_usage_errors_exit_2(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["compress"])
    assert stop.value.code == 2
    assert capsys.readouterr().err.count("\n") == 1


def test_console_script(tmp_path):
    script = shutil.which("quorvane", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the quorvane console script is not installed next to this interpreter")
    np.save(tmp_path / "a.npy", ECG[:2000])
    done = subprocess.run([script, "compress", str(tmp_path / "a.npy")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and (tmp_path / "a.qrvz").exists(), done.stderr
    done = subprocess.run([script, "decompress", str(tmp_path / "a.qrvz")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and done.stderr.strip().endswith("a.npy exists (use --force to overwrite)")
    assert "Traceback" not in done.stderr
    with zipfile.ZipFile(tmp_path / "z.zip", "w") as archive:
        archive.writestr("meta.json", "{}")
    done = subprocess.run([script, "info", str(tmp_path / "z.zip")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and "does not describe quorvane channels" in done.stderr


def test_an_interrupt_while_writing_leaves_no_partial_output(tmp_path, capsys, monkeypatch):
    np.save(tmp_path / "a.npy", np.stack([ECG[:1000], ECG[1000:2000]], axis=1))
    original = zipfile.ZipFile.writestr
    calls = []

    def interrupted(self, name, data, *args, **kwargs):
        calls.append(getattr(name, "filename", name))  # a member name or its ZipInfo
        if len(calls) == 3:  # meta.json and the first channel are in the archive already
            raise KeyboardInterrupt
        return original(self, name, data, *args, **kwargs)

    monkeypatch.setattr(zipfile.ZipFile, "writestr", interrupted)
    code, _, err = run(capsys, "compress", tmp_path / "a.npy")
    assert code == 130 and err == "quorvane: error: interrupted\n"
    assert calls == ["meta.json", "channel_0000.qrv", "channel_0001.qrv"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.npy"]


# ------------------------------------------------------------ fidelity


def test_nan_survives_the_command_line(tmp_path, capsys):
    # Reproduced finding 1: NaN came back as plausible numbers with exit 0.
    signal = np.array([1, np.nan, 3] * 100, np.float32)
    signal[50:60] = -np.inf
    np.save(tmp_path / "nan.npy", signal)
    assert run(capsys, "compress", "-q", tmp_path / "nan.npy")[0] == 0
    assert run(capsys, "decompress", "-q", tmp_path / "nan.qrvz", "-o", tmp_path / "back.npy")[0] == 0
    restored = np.load(tmp_path / "back.npy")
    np.testing.assert_array_equal(np.isnan(restored), np.isnan(signal))
    np.testing.assert_array_equal(np.isneginf(restored), np.isneginf(signal))
    code, out, _ = run(capsys, "info", tmp_path / "nan.qrvz")
    assert code == 0 and "non-finite       97 NaN, 10 -inf in 98 run(s)" in out


def test_out_of_range_float64_is_refused(tmp_path, capsys):
    # Reproduced finding 2: [1e300, 0] * 50 decoded to [0.99995, 5e-05].
    np.save(tmp_path / "huge.npy", np.array([1e300, 0.0] * 50))
    code, out, err = run(capsys, "compress", tmp_path / "huge.npy")
    assert code == 1 and err == ("quorvane: error: " + str(tmp_path / "huge.npy") + ": sample 0 is 1e+300, beyond "
                                 "float32's range (±3.40282347e+38); quorvane stores samples as float32\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["huge.npy"]


def _flip(path, offset_in_stream, bit=0x04):
    data = bytearray(path.read_bytes())
    data[data.index(b"QRVN") + offset_in_stream] ^= bit
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("command", ["decompress", "info"])
def test_a_flipped_bit_is_reported_and_writes_nothing(tmp_path, capsys, command):
    # Reproduced finding 3: a bit flipped in `min` decoded with exit 0, 70 % off.
    np.save(tmp_path / "a.npy", np.stack([ECG[:2000], ECG[2000:4000]], axis=1))
    assert run(capsys, "compress", "-q", tmp_path / "a.npy", "-d", tmp_path)[0] == 0
    (tmp_path / "a.npy").unlink()
    _flip(tmp_path / "a.qrvz", 20)
    code, out, err = run(capsys, command, tmp_path / "a.qrvz")
    assert code == 1 and out == ""
    assert err == f"quorvane: error: {tmp_path / 'a.qrvz'}: channel 0 (channel_0000.qrv) is damaged " \
                  f"(checksum mismatch)\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.qrvz"]


def test_info_refuses_a_truncated_stream(tmp_path, capsys):
    # Reproduced finding 3: info reported "trailing bytes -5670" with exit 0.
    stream = quorvane.compress_signal(ECG)
    (tmp_path / "cut.qrv").write_bytes(stream[:-100])
    code, out, err = run(capsys, "info", tmp_path / "cut.qrv")
    assert code == 1 and out == "" and f"the stream needs {len(stream)} bytes, only {len(stream) - 100}" in err


@pytest.mark.parametrize(
    "name,write,check",
    [
        # Reproduced finding 4: a 1-D int16 .npy came back float32.
        ("i16.npy", lambda p: np.save(p, (ECG[:3000] * 9000).astype(np.int16)),
         lambda p: np.load(p).dtype == np.int16 and np.load(p).shape == (3000,)),
        # ... a one-column CSV came back as .npy without its column name.
        ("one.csv", lambda p: p.write_text("pressure\n" + "\n".join(f"{v:.4f}" for v in ECG[:500]) + "\n"),
         lambda p: p.read_text().startswith("pressure\n")),
        # ... and a .txt as .csv.
        ("t.txt", lambda p: np.savetxt(p, ECG[:500]), lambda p: len(p.read_text().splitlines()) == 500),
        ("mono.wav", lambda p: write_wav(p, (ECG[:800, None] * 9000).astype(np.int64), width=2, rate=11025),
         lambda p: wave.open(str(p)).getframerate() == 11025),
    ],
)
def test_single_channel_round_trips_keep_format_and_metadata(tmp_path, capsys, name, write, check):
    write(tmp_path / name)
    assert run(capsys, "compress", "-q", tmp_path / name)[0] == 0
    out = tmp_path / "out"
    out.mkdir()
    assert run(capsys, "decompress", "-q", tmp_path / (Path(name).stem + ".qrvz"), "-d", out)[0] == 0
    assert [p.name for p in out.iterdir()] == [name] and check(out / name)


def test_a_bare_stream_only_when_asked_for_and_with_a_note(tmp_path, capsys):
    np.save(tmp_path / "a.npy", ECG[:1000])
    code, _, err = run(capsys, "compress", tmp_path / "a.npy", "--container", "qrv")
    assert code == 0 and (tmp_path / "a.qrv").read_bytes() == quorvane.compress_signal(ECG[:1000])
    assert err.startswith("quorvane: note: ") and "no metadata" in err and "no checksum" in err
    code, _, err = run(capsys, "compress", tmp_path / "a.npy", "-o", tmp_path / "b.qrv")
    assert code == 0 and "no checksum" in err and (tmp_path / "b.qrv").exists()


def test_verify_reports_each_file(tmp_path, capsys):
    np.save(tmp_path / "a.npy", ECG[:2000])
    run(capsys, "compress", "-q", tmp_path / "a.npy")
    (tmp_path / "bare.qrv").write_bytes(quorvane.compress_signal(ECG[:500]))
    (tmp_path / "bad.qrvz").write_bytes((tmp_path / "a.qrvz").read_bytes())
    _flip(tmp_path / "bad.qrvz", 60)  # inside the payload
    code, out, _ = run(capsys, "verify", tmp_path / "a.qrvz", tmp_path / "bare.qrv")
    assert code == 0 and out.splitlines() == [
        f"{tmp_path / 'a.qrvz'}: OK: 1 channel(s), 2000 samples decode; checksums match",
        f"{tmp_path / 'bare.qrv'}: OK: one stream, 500 samples decode; no checksum (bare stream)"]
    code, out, _ = run(capsys, "verify", tmp_path / "bad.qrvz", tmp_path / "a.qrvz")
    assert code == 1 and out.splitlines()[0] == \
        f"{tmp_path / 'bad.qrvz'}: FAILED: channel 0 (channel_0000.qrv) is damaged (checksum mismatch)"
    assert out.splitlines()[1].endswith("OK: 1 channel(s), 2000 samples decode; checksums match")


def test_the_python_api_reads_what_the_command_line_writes(tmp_path, capsys):
    # Reproduced finding 5: there was no public way to read the CLI's files.
    from quorvane_tools import load, save

    (tmp_path / "log.csv").write_text("a,b\n" + "\n".join(f"{v},{-v}" for v in ECG[:300]) + "\n")
    run(capsys, "compress", "-q", tmp_path / "log.csv")
    array, meta = load(tmp_path / "log.qrvz")
    assert array.shape == (300, 2) and meta["columns"] == ["a", "b"] and meta["suffix"] == ".csv"
    save(tmp_path / "api.qrvz", array, columns=["x", "y"])
    assert run(capsys, "decompress", "-q", tmp_path / "api.qrvz", "-o", tmp_path / "api.csv")[0] == 0
    assert (tmp_path / "api.csv").read_text().startswith("x,y\n")


def test_eval_measures_a_signal_with_nan(tmp_path, capsys):
    signal = ECG[:3000].copy()
    signal[100:130] = np.nan
    np.save(tmp_path / "gaps.npy", signal)
    code, out, err = run(capsys, "eval", tmp_path / "gaps.npy", "--csv", "--repeat", "1", "--method", "cdf97",
                         "--scale", "10", "--cutoff", "low", "--coder", "arans")
    row = next(csv.DictReader(out.splitlines()))
    assert code == 0 and 0 < float(row["max_abs_error"]) < 0.01 and "30 NaN/infinite sample(s)" in err
