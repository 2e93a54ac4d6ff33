"""The command line as a new user meets it: wrong command lines, odd inputs,
standard input and output, -j, text tables, and the library formats."""
import csv
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest
import quorvane

from quorvane_tools.cli import main
from quorvane_tools.containers import read_compressed

from tools_support import demo_signal, require

ECG = demo_signal()[:6000]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def run_process(*argv, stdin=b""):
    return subprocess.run([sys.executable, "-m", "quorvane_tools", *map(str, argv)], input=stdin,
                          capture_output=True, timeout=300)


# ------------------------------------------------------------ exit status 2


@pytest.mark.parametrize(
    "argv,message",
    [
        (["compress", "{d}/ok.npy", "--scale", "13"], "scale 13 is outside 6..12"),
        (["compress", "{d}/ok.npy", "--method", "haar"], "unknown method 'haar'; choose from cdf97"),
        (["compress", "{d}/ok.npy", "--cutoff", "max"], "unknown cutoff 'max'"),
        (["compress", "{d}/ok.npy", "--coder", "zstd"], "unknown coder 'zstd'"),
        (["compress", "{d}/ok.npy", "--scale", "6-8"], "--scale takes one value here"),
        (["compress", "{d}/ok.npy", "-o", "{d}/out.xyz"], "compressed files end in .qrvz (or .qrv"),
        (["compress", "{d}/ok.npy", "-o", "{d}/ok.npy"], "not '.npy'"),
        (["compress", "{d}/ok.npy", "{d}/ok.npy", "-o", "{d}/a.qrvz"], "-o/--output names one file"),
        (["compress", "-", "{d}/ok.npy"], "- (standard input) must be the only input"),
        (["compress", "{d}/ok.npy", "-j", "0"], "'0' must be at least 1"),
        (["decompress", "{d}/ok.qrvz", "--sample-rate", "0"], "'0' must be a number > 0"),
        (["decompress", "{d}/ok.qrvz", "--sample-rate", "fast"], "'fast' is not a number"),
        (["eval", "{d}/ok.npy", "--method", "haar"], "unknown method 'haar'"),
        (["eval", "{d}/ok.npy", "--scale", "5"], "scale 5 is outside 6..12"),
        (["eval", "{d}/ok.npy", "--repeat", "0"], "--repeat must be at least 1"),
    ],
)
def test_wrong_command_lines_exit_2_with_one_line(tmp_path, capsys, argv, message):
    np.save(tmp_path / "ok.npy", ECG[:500])
    before = sorted(p.name for p in tmp_path.iterdir())
    code, out, err = run_or_exit(capsys, *(part.format(d=tmp_path) for part in argv))
    assert code == 2, err
    lines = err.strip().splitlines()
    assert len(lines) == 1 and message in lines[0] and "Traceback" not in err, err
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def run_or_exit(capsys, *argv):
    """main() for errors found by the parser too (argparse exits)."""
    try:
        return run(capsys, *argv)
    except SystemExit as done:
        out, err = capsys.readouterr()
        return done.code, out, err


# ------------------------------------------------------------ odd inputs


@pytest.mark.parametrize(
    "make,argv,message",
    [
        (lambda d: (d / "folder.npy").mkdir(), ["compress", "{d}/folder.npy"], "folder.npy: is a directory"),
        (lambda d: (d / "folder").mkdir(), ["compress", "{d}/folder"], "folder: is a directory"),
        (lambda d: (d / "zero.npy").write_bytes(b""), ["compress", "{d}/zero.npy"], r"zero.npy: is empty (0 bytes)"),
        (lambda d: (d / "zero.wav").write_bytes(b""), ["compress", "{d}/zero.wav"], r"zero.wav: is empty (0 bytes)"),
        (lambda d: (d / "text.npy").write_text("1,2,3\n"), ["compress", "{d}/text.npy"],
         "text.npy: not a NumPy .npy file (it starts with b'1,2,3\\n'"),
        (lambda d: (d / "none").write_text("1\n"), ["compress", "{d}/none"], "unknown sample file type without a suffix"),
        (lambda d: np.save(d / "ok.npy", ECG[:500]), ["compress", "{d}/ok.npy", "--columns", "x"],
         "--columns applies to text tables"),
    ],
)
def test_odd_inputs_say_what_they_are(tmp_path, capsys, make, argv, message):
    make(tmp_path)
    code, out, err = run(capsys, *(part.format(d=tmp_path) for part in argv))
    assert code == 1 and err.count("\n") == 1 and message in err, err


def test_wav_without_frames(tmp_path, capsys):
    soundfile = require("soundfile")
    soundfile.write(str(tmp_path / "empty.wav"), np.zeros((0, 1)), 8000, subtype="PCM_16")
    code, _, err = run(capsys, "compress", tmp_path / "empty.wav")
    assert code == 1 and "empty.wav: holds no samples (WAV PCM_16, 0 frames)" in err


def test_damaged_payload_names_the_file_and_the_channel(tmp_path, capsys):
    np.save(tmp_path / "two.npy", np.stack([ECG, ECG[::-1]], axis=1))
    assert run(capsys, "compress", "-q", tmp_path / "two.npy")[0] == 0
    import zipfile

    with zipfile.ZipFile(tmp_path / "two.qrvz") as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    name = sorted(n for n in members if n.endswith(".qrv"))[1]
    stream = bytearray(members[name])
    stream[60:80] = bytes(20)  # inside the payload
    members[name] = bytes(stream)
    with zipfile.ZipFile(tmp_path / "bad.qrvz", "w") as archive:
        for member, data in members.items():
            archive.writestr(member, data)
    code, _, err = run(capsys, "decompress", tmp_path / "bad.qrvz")
    assert code == 1 and "bad.qrvz" in err and "channel 1" in err, err
    assert not (tmp_path / "bad.npy").exists()


# ------------------------------------------------------------ outputs


def test_output_dir_is_created(tmp_path, capsys):
    np.save(tmp_path / "a.npy", ECG)
    code, _, err = run(capsys, "compress", "-q", tmp_path / "a.npy", "-d", tmp_path / "out" / "deeper")
    assert code == 0, err
    assert (tmp_path / "out" / "deeper" / "a.qrvz").is_file()
    (tmp_path / "file").write_text("x")
    code, _, err = run(capsys, "compress", "-q", tmp_path / "a.npy", "-d", tmp_path / "file")
    assert code == 1 and "exists and is not a directory" in err


def test_inputs_sharing_a_stem_get_outputs_of_their_own(tmp_path, capsys):
    np.save(tmp_path / "eeg.npy", ECG)
    (tmp_path / "eeg.csv").write_text("v\n" + "".join(f"{x:.6f}\n" for x in ECG[:300]))
    code, out, err = run(capsys, "compress", tmp_path / "eeg.csv", tmp_path / "eeg.npy")
    assert code == 0, err
    assert (tmp_path / "eeg.csv.qrvz").is_file() and (tmp_path / "eeg.npy.qrvz").is_file()
    code, _, err = run(capsys, "decompress", "-q", tmp_path / "eeg.csv.qrvz", "-d", tmp_path / "back")
    assert code == 0, err
    assert (tmp_path / "back" / "eeg.csv").read_text().startswith("v\n")


def test_eval_plot_into_a_missing_directory_fails_first(tmp_path, capsys):
    np.save(tmp_path / "ok.npy", ECG)
    code, out, err = run(capsys, "eval", tmp_path / "ok.npy", "--plot", "/missing/x.png")
    assert code == 1 and out == "" and "/missing: no such directory" in err


def test_ratio_against_the_input_file(tmp_path, capsys):
    soundfile = require("soundfile")
    values = (ECG / np.max(np.abs(ECG)) * 0.5).reshape(-1, 1)
    soundfile.write(str(tmp_path / "a.wav"), values, 8000, subtype="PCM_16")
    code, out, _ = run(capsys, "compress", tmp_path / "a.wav")
    assert code == 0
    packed = (tmp_path / "a.qrvz").stat().st_size
    wav = (tmp_path / "a.wav").stat().st_size
    assert f"{wav / packed:.2f} against the {wav}-byte input file" in out
    assert "against float32" in out


# ------------------------------------------------------------ standard input and output


def test_standard_input_to_standard_output_and_back(tmp_path):
    np.save(tmp_path / "x.npy", ECG)
    packed = run_process("compress", "-", stdin=(tmp_path / "x.npy").read_bytes())
    assert packed.returncode == 0, packed.stderr
    assert packed.stdout.startswith(b"PK") and b"<stdin> -> <stdout>" in packed.stderr
    restored = run_process("decompress", "-", stdin=packed.stdout)
    assert restored.returncode == 0, restored.stderr
    (tmp_path / "back.npy").write_bytes(restored.stdout)
    back = np.load(tmp_path / "back.npy")
    assert back.dtype == ECG.dtype and back.shape == ECG.shape
    assert np.max(np.abs(back - ECG)) < 0.01


def test_text_from_standard_input_to_a_named_file(tmp_path):
    text = "a,b\n" + "".join(f"{i},{i * i}\n" for i in range(200))
    done = run_process("compress", "-", "-o", tmp_path / "t.qrvz", stdin=text.encode())
    assert done.returncode == 0, done.stderr
    assert read_compressed(tmp_path / "t.qrvz").meta["columns"] == ["a", "b"]
    failed = run_process("compress", "-", stdin=bytes(range(256)) * 4)
    assert failed.returncode == 1 and b"cannot tell the format of standard input" in failed.stderr


def run_with_stdin(capsys, monkeypatch, data, *argv):
    """`run` with `data` as standard input, in this process (no interpreter start-up)."""
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    return run(capsys, *argv)


@pytest.mark.parametrize("container", ["qrvz", "qrv"])
def test_info_and_verify_read_standard_input_like_a_file(tmp_path, capsys, monkeypatch, container):
    np.save(tmp_path / "x.npy", ECG)
    packed = tmp_path / f"x.{container}"
    assert run(capsys, "compress", tmp_path / "x.npy", "-o", packed)[0] == 0
    for command in (["info"], ["info", "--json"], ["verify"]):
        from_file = run(capsys, *command, packed)
        from_stdin = run_with_stdin(capsys, monkeypatch, packed.read_bytes(), *command, "-")
        assert from_stdin[0] == from_file[0] == 0, from_stdin[2]
        # The same report, the input named <stdin> instead of its path.
        assert from_stdin[1] == from_file[1].replace(str(packed), "<stdin>")
        assert from_stdin[2] == ""
    document = run_with_stdin(capsys, monkeypatch, packed.read_bytes(), "info", "--json", "-")[1]
    assert json.loads(document)["file"] == "<stdin>"


@pytest.mark.parametrize(
    "command,stdin,shown",
    [
        ("info", b"", "quorvane: error: <stdin>: standard input is empty"),
        ("info", b"QRVN" + bytes(20), "quorvane: error: <stdin>: damaged stream"),
        ("info", b"not compressed at all", "<stdin>: neither a quorvane stream nor a .qrvz archive"),
        ("verify", b"", "<stdin>: FAILED: standard input is empty"),
        ("verify", b"PK\x03\x04" + bytes(40), "<stdin>: FAILED: "),
    ],
)
def test_damaged_standard_input_fails_that_input_only(tmp_path, capsys, monkeypatch, command, stdin, shown):
    good = tmp_path / "good.qrvz"
    np.save(tmp_path / "good.npy", ECG[:1000])
    assert run(capsys, "compress", tmp_path / "good.npy")[0] == 0
    code, out, err = run_with_stdin(capsys, monkeypatch, stdin, command, good, "-")
    assert code == 1
    assert shown in out + err and "stdin.qrv" not in out + err  # no scratch copy named
    assert f"{good}: " in out  # the other input is still reported
    assert out.count("OK") == (1 if command == "verify" else 0)


@pytest.mark.parametrize("command", ["info", "verify"])
def test_standard_input_twice_is_a_usage_error(capsys, monkeypatch, command):
    code, out, err = run_with_stdin(capsys, monkeypatch, b"", command, "-", "-")
    assert code == 2 and out == ""
    assert "- (standard input) can be given only once" in err


# ------------------------------------------------------------ -j


def members(path):
    """An archive's members and their bytes (the zip itself records the time of writing)."""
    import zipfile

    with zipfile.ZipFile(path) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def _batch(tmp_path):
    rng = np.random.default_rng(5)
    for index in range(3):
        np.save(tmp_path / f"s{index}.npy", np.cumsum(rng.standard_normal(5000 + 777 * index)).astype(np.float32))
    np.save(tmp_path / "wide.npy", np.stack([ECG * k for k in range(1, 6)], axis=1))
    (tmp_path / "broken.csv").write_text("1,2\n3\n")
    return [tmp_path / name for name in ("s0.npy", "broken.csv", "s1.npy", "wide.npy", "s2.npy")]


def test_jobs_give_the_output_and_status_of_one_job(tmp_path, capsys):
    inputs = _batch(tmp_path)
    results = {}
    for jobs in ("1", "3"):
        out_dir = tmp_path / f"j{jobs}"
        code, out, err = run(capsys, "compress", *inputs, "-d", out_dir, "-j", jobs, "--max-abs-error", "0.5",
                             "--scale", "9-10", "--method", "cdf97")
        files = {p.name: members(p) for p in sorted(out_dir.iterdir())}
        results[jobs] = (code, out.replace(str(out_dir), "OUT"), err, files)
    assert results["1"][0] == 1
    assert results["1"] == results["3"]


def test_channel_jobs_give_the_same_bytes(tmp_path, capsys):
    np.save(tmp_path / "wide.npy", np.stack([ECG * k for k in range(1, 6)], axis=1))
    outputs = []
    for jobs in ("1", "4"):
        assert run(capsys, "compress", "-q", "-f", tmp_path / "wide.npy", "-j", jobs)[0] == 0
        outputs.append(members(tmp_path / "wide.qrvz"))
        assert run(capsys, "decompress", "-q", "-f", tmp_path / "wide.qrvz", "-j", jobs,
                   "-o", tmp_path / f"back{jobs}.npy")[0] == 0
    assert outputs[0] == outputs[1]
    assert (tmp_path / "back1.npy").read_bytes() == (tmp_path / "back4.npy").read_bytes()


def test_eval_jobs_give_the_same_sizes_and_errors(tmp_path, capsys):
    np.save(tmp_path / "x.npy", ECG)
    tables = []
    for jobs in ("1", "2"):
        code, out, _ = run(capsys, "eval", tmp_path / "x.npy", "--csv", "--repeat", "1", "--scale", "8,11",
                           "--method", "cdf97,db4", "-j", jobs)
        assert code == 0
        rows = list(csv.DictReader(out.splitlines()))
        tables.append([{k: v for k, v in row.items() if not k.endswith("_mb_s")} for row in rows])
    assert len(tables[0]) == 2 * 2 * 3 * 2 and tables[0] == tables[1]


# ------------------------------------------------------------ text tables


def test_csv_gaps_columns_and_time_through_the_command_line(tmp_path, capsys):
    rows = ["time,temp,rain,wind"]
    for minute in range(240):
        rain = "" if minute % 17 == 0 else f"{(minute % 7) * 0.25:g}"
        rows.append(f"2024-05-01T{minute // 60:02d}:{minute % 60:02d},{15 + np.sin(minute / 30):.4f},{rain},"
                    f"{minute % 11}")
    (tmp_path / "log.csv").write_text("\n".join(rows) + "\n")
    code, _, err = run(capsys, "compress", "-q", tmp_path / "log.csv", "--columns", "temp,rain", "--scale", "12")
    assert code == 0, err
    meta = read_compressed(tmp_path / "log.qrvz").meta
    assert meta["columns"] == ["temp", "rain"]
    code, _, err = run(capsys, "decompress", "-q", tmp_path / "log.qrvz", "-o", tmp_path / "back.csv")
    assert code == 0, err
    back = list(csv.reader((tmp_path / "back.csv").read_text().splitlines()))
    assert back[0] == ["time", "temp", "rain"]
    assert [row[0] for row in back[1:]] == [row.split(",")[0] for row in rows[1:]]
    assert [row[2] == "" for row in back[1:]] == [minute % 17 == 0 for minute in range(240)]
    temps = np.array([float(row[1]) for row in back[1:]])
    assert np.max(np.abs(temps - np.array([float(r.split(",")[1]) for r in rows[1:]]))) < 0.01


# ------------------------------------------------------------ library formats


def test_flac_round_trip_keeps_rate_and_subtype(tmp_path, capsys):
    soundfile = require("soundfile")
    values = np.stack([ECG, -ECG], axis=1) / np.max(np.abs(ECG)) * 0.8
    soundfile.write(str(tmp_path / "take.flac"), values, 44100, subtype="PCM_24")
    assert run(capsys, "compress", "-q", tmp_path / "take.flac", "--scale", "12")[0] == 0
    code, _, err = run(capsys, "decompress", "-q", tmp_path / "take.qrvz", "-d", tmp_path / "back")
    assert code == 0, err
    info = soundfile.info(str(tmp_path / "back" / "take.flac"))
    assert (info.format, info.subtype, info.samplerate, info.channels) == ("FLAC", "PCM_24", 44100, 2)
    restored = soundfile.read(str(tmp_path / "back" / "take.flac"))[0]
    original = soundfile.read(str(tmp_path / "take.flac"))[0]
    assert np.max(np.abs(restored - original)) < 0.005


def test_float_wav_is_read(tmp_path, capsys):
    soundfile = require("soundfile")
    soundfile.write(str(tmp_path / "f.wav"), (ECG / 4).reshape(-1, 1), 8000, subtype="FLOAT")
    assert run(capsys, "compress", "-q", tmp_path / "f.wav")[0] == 0
    assert run(capsys, "decompress", "-q", tmp_path / "f.qrvz", "-o", tmp_path / "g.wav")[0] == 0
    assert soundfile.info(str(tmp_path / "g.wav")).subtype == "FLOAT"


def test_miniseed_round_trip_keeps_the_station(tmp_path, capsys):
    obspy = require("obspy")
    trace = obspy.Trace(data=np.rint(ECG * 1000).astype(np.int32),
                        header=dict(network="XX", station="QRV", location="00", channel="HHZ", sampling_rate=200.0,
                                    starttime=obspy.UTCDateTime("2024-05-01T00:00:00")))
    trace.write(str(tmp_path / "q.mseed"), format="MSEED", encoding="STEIM2")
    assert run(capsys, "compress", "-q", tmp_path / "q.mseed", "--scale", "12")[0] == 0
    assert run(capsys, "decompress", "-q", tmp_path / "q.qrvz", "-d", tmp_path / "back")[0] == 0
    back = obspy.read(str(tmp_path / "back" / "q.mseed"))[0]
    assert (back.id, back.stats.sampling_rate, str(back.stats.starttime), back.data.dtype) == (
        "XX.QRV.00.HHZ", 200.0, "2024-05-01T00:00:00.000000Z", np.dtype(np.int32))


def test_edf_round_trip_keeps_labels(tmp_path, capsys):
    pyedflib = require("pyedflib")
    writer = pyedflib.EdfWriter(str(tmp_path / "r.edf"), 1, file_type=pyedflib.FILETYPE_EDFPLUS)
    writer.setSignalHeaders([dict(label="ECG II", dimension="mV", sample_frequency=300, physical_max=3.0,
                                  physical_min=-3.0, digital_max=32767, digital_min=-32768, prefilter="",
                                  transducer="")])
    writer.writeSamples([ECG[:6000].astype(np.float64)])
    writer.close()
    assert run(capsys, "compress", "-q", tmp_path / "r.edf")[0] == 0
    assert json.loads(json.dumps(read_compressed(tmp_path / "r.qrvz").meta))["columns"] == ["ECG II"]
    assert run(capsys, "decompress", "-q", tmp_path / "r.qrvz", "-d", tmp_path / "back")[0] == 0
    reader = pyedflib.EdfReader(str(tmp_path / "back" / "r.edf"))
    try:
        assert reader.getSignalLabels() == ["ECG II"] and reader.getSampleFrequency(0) == 300
        assert np.max(np.abs(reader.readSignal(0) - ECG[:6000])) < 0.01
    finally:
        reader.close()
