"""Audio, seismic and biosignal files through their libraries: small files
made here, read into channels and written back with the same headers.

Each test needs its extra (soundfile: `cli`, obspy: `seismic`, pyedflib:
`biosignal`); without it the test is skipped saying which, except in CI,
which installs them all (requirements-tools.txt)."""
import datetime
import json
import sys

import numpy as np
import pytest

from quorvane_tools.signal_files import SignalFileError
from tools_support import require


def _meta(data):
    """What a container stores and hands the writer back: JSON, extra included."""
    return json.loads(json.dumps(dict(data.metadata(), extra=data.extra)))


# ---------------------------------------------------------------- audio

AUDIO_CASES = [
    # major, subtype, suffix, bits of the integer grid (None: float samples), dtype
    ("WAV", "PCM_U8", ".wav", 8, "int8"),
    ("WAV", "PCM_16", ".wav", 16, "int16"),
    ("WAV", "PCM_24", ".wav", 24, "int32"),
    ("WAV", "PCM_32", ".wav", 32, "int32"),
    ("WAV", "FLOAT", ".wav", None, "float32"),
    ("WAV", "DOUBLE", ".wav", None, "float64"),
    ("RF64", "PCM_16", ".wav", 16, "int16"),
    ("W64", "FLOAT", ".w64", None, "float32"),
    ("FLAC", "PCM_S8", ".flac", 8, "int8"),
    ("FLAC", "PCM_24", ".flac", 24, "int32"),
    ("AIFF", "PCM_16", ".aiff", 16, "int16"),
]


@pytest.mark.parametrize("major,subtype,suffix,bits,dtype", AUDIO_CASES)
def test_audio_reads_sample_values_and_writes_the_same_file_kind(tmp_path, major, subtype, suffix, bits, dtype):
    soundfile = require("soundfile")
    from quorvane_tools.formats.audio import read_audio, write_audio

    rng = np.random.default_rng(len(subtype))
    source = tmp_path / f"in{suffix}"
    soundfile.write(str(source), rng.uniform(-0.99, 0.99, size=(777, 3)), 22050, subtype=subtype, format=major)
    data = read_audio(source)
    assert (data.sample_rate, data.dtype, data.shape) == (22050, dtype, [777, 3])
    assert data.extra["audio"]["format"] == major and data.extra["audio"]["subtype"] == subtype
    stored = soundfile.read(str(source), dtype="float64", always_2d=True)[0]
    got = np.stack(data.channels, axis=1)
    if bits is not None:
        # Integer sample values: the library's own full-scale floats times 2^(bits-1).
        np.testing.assert_array_equal(got, stored * 2.0 ** (bits - 1))
        assert got.min() >= -(2 ** (bits - 1)) and got.max() < 2 ** (bits - 1)
    else:
        np.testing.assert_array_equal(got, stored.astype(dtype))
    out = tmp_path / "out.part"  # no audio suffix, as the atomic writer's temporary has none
    write_audio(out, data.channels, _meta(data), suffix=suffix)
    info = soundfile.info(str(out))
    assert (info.format, info.subtype, info.samplerate, info.channels) == (major, subtype, 22050, 3)
    np.testing.assert_array_equal(np.stack(read_audio(out).channels, axis=1), got)


def test_audio_decoded_values_round_and_clip_to_the_grid(tmp_path):
    soundfile = require("soundfile")
    from quorvane_tools.formats.audio import write_audio

    meta = {"sample_rate": 8000, "sample_width": 2, "dtype": "int16",
            "extra": {"audio": {"format": "WAV", "subtype": "PCM_16"}}}
    write_audio(tmp_path / "a.wav", [np.array([0.4, 0.6, -1.5, 40000.0, -40000.0])], meta)
    values = soundfile.read(str(tmp_path / "a.wav"), dtype="int16")[0]
    np.testing.assert_array_equal(values, [0, 1, -2, 32767, -32768])


@pytest.mark.parametrize(
    "suffix,meta,channel,expected",
    [
        (".flac", {"sample_rate": 8000, "dtype": "float32", "sample_width": 4}, [0.5, -0.25], ("FLAC", "PCM_24")),
        (".wav", {"sample_rate": 8000, "dtype": "float64", "sample_width": 8}, [0.5, 3.0], ("WAV", "DOUBLE")),
        (".aiff", {"sample_rate": 8000, "dtype": "int16", "sample_width": 2}, [1.0, -7.0], ("AIFF", "PCM_16")),
        (".wav", {"sample_rate": 8000, "dtype": "<f4"}, [0.1, 0.2], ("WAV", "FLOAT")),
        (".wav", {"sample_rate": 8000}, [1.0, 2.0], ("WAV", "PCM_16")),  # nothing recorded
    ],
)
def test_audio_from_other_sources_gets_a_fitting_subtype(tmp_path, suffix, meta, channel, expected):
    soundfile = require("soundfile")
    from quorvane_tools.formats.audio import write_audio

    write_audio(tmp_path / f"a{suffix}", [np.array(channel)], meta)
    info = soundfile.info(str(tmp_path / f"a{suffix}"))
    assert (info.format, info.subtype) == expected


@pytest.mark.parametrize(
    "suffix,meta,channel,message",
    [
        (".flac", {"sample_rate": 8000, "dtype": "float32", "sample_width": 4}, [0.5, 2.0],
         "FLAC stores these float samples as integers with full scale 1.0, but they reach 2"),
        (".flac", {"sample_rate": 8000, "dtype": "int32", "sample_width": 4}, [1.0], "FLAC holds at most 24-bit"),
        (".wav", {}, [1.0], "needs a sample rate: the input records none, give --sample-rate"),
        (".wav", {"sample_rate": 0.5}, [1.0], "whole positive sample rate, not 0.5"),
        (".flac", {"sample_rate": 8000, "sample_width": 2, "dtype": "int16"}, [1.0, float("nan")],
         r"FLAC PCM_16 samples cannot hold nan \(channel 0, sample 1\)"),
    ],
)
def test_audio_write_refusals(tmp_path, suffix, meta, channel, message):
    require("soundfile")
    from quorvane_tools.formats.audio import write_audio

    with pytest.raises(SignalFileError, match=message):
        write_audio(tmp_path / f"a{suffix}", [np.array(channel)], meta)


@pytest.mark.parametrize(
    "content,message",
    [
        (b"", r"bad.wav: not a readable audio file \(Format not recognised.\)$"),
        (b"RIFF\x00\x00\x00\x00WAVEfmt garbage", "not a readable audio file"),
        (b"this is text, not sound\n" * 10, "not a readable audio file"),
    ],
)
def test_unreadable_audio(tmp_path, content, message):
    require("soundfile")
    from quorvane_tools.formats.audio import read_audio

    (tmp_path / "bad.wav").write_bytes(content)
    with pytest.raises(SignalFileError, match=message):
        read_audio(tmp_path / "bad.wav")


def test_audio_without_frames(tmp_path):
    soundfile = require("soundfile")
    from quorvane_tools.formats.audio import read_audio

    soundfile.write(str(tmp_path / "empty.w64"), np.zeros((0, 2)), 8000, subtype="PCM_16")
    with pytest.raises(SignalFileError, match=r"holds no samples \(W64 PCM_16, 0 frames\)"):
        read_audio(tmp_path / "empty.w64")


# ---------------------------------------------------------------- seismic


def _seismic_stream(obspy):
    rng = np.random.default_rng(7)
    steim = obspy.Trace(
        data=np.cumsum(rng.integers(-300, 300, size=1500)).astype(np.int32),
        header=dict(network="XX", station="QRV1", location="00", channel="HHZ", sampling_rate=100.0,
                    starttime=obspy.UTCDateTime("2024-03-01T12:00:00.125")))
    slow = obspy.Trace(
        data=rng.normal(size=700).astype(np.float32),
        header=dict(network="XX", station="QRV2", location="", channel="LHN", sampling_rate=0.5,
                    starttime=obspy.UTCDateTime("2024-03-01T11:59:00")))
    return steim, slow


def _trace_summary(trace):
    stats = trace.stats
    return (trace.id, str(stats.starttime), stats.sampling_rate, stats.npts, trace.data.dtype.name)


@pytest.mark.filterwarnings("ignore:File will be written with more than one different encodings")
def test_miniseed_traces_keep_codes_times_rates_and_encodings(tmp_path):
    obspy = require("obspy")
    from quorvane_tools.formats.seismic import read_seismic, write_seismic

    steim, slow = _seismic_stream(obspy)
    steim.stats.mseed = {"encoding": "STEIM2"}
    slow.stats.mseed = {"encoding": "FLOAT32"}
    obspy.Stream([steim, slow]).write(str(tmp_path / "in.mseed"), format="MSEED", reclen=512)
    data = read_seismic(tmp_path / "in.mseed")
    assert data.source == "mseed" and data.columns == ["XX.QRV1.00.HHZ", "XX.QRV2..LHN"]
    assert data.shape is None and data.sample_rate is None  # two lengths, two rates
    np.testing.assert_array_equal(data.channels[0], steim.data)
    np.testing.assert_array_equal(data.channels[1], slow.data)

    # Decoded values are not integers: the Steim trace rounds back to its grid.
    decoded = [data.channels[0] + 0.3, data.channels[1]]
    write_seismic(tmp_path / "out.part", decoded, _meta(data), suffix=".mseed")
    back = obspy.read(str(tmp_path / "out.part"), format="MSEED")
    assert [_trace_summary(trace) for trace in back] == [_trace_summary(steim), _trace_summary(slow)]
    assert [trace.stats.mseed.encoding for trace in back] == ["STEIM2", "FLOAT32"]
    assert back[0].stats.mseed.record_length == 512
    np.testing.assert_array_equal(back[0].data, steim.data)
    np.testing.assert_array_equal(back[1].data, slow.data)


def test_sac_keeps_its_header(tmp_path):
    obspy = require("obspy")
    from quorvane_tools.formats.seismic import read_seismic, write_seismic

    _, slow = _seismic_stream(obspy)
    slow.stats.sac = obspy.core.util.AttribDict({"stla": 47.5, "stlo": 8.25, "kevnm": "QUAKE"})
    slow.write(str(tmp_path / "in.sac"), format="SAC")
    data = read_seismic(tmp_path / "in.sac")
    assert (data.source, data.dtype, data.shape) == ("sac", "float32", [700, 1])
    write_seismic(tmp_path / "out.part", data.channels, _meta(data), suffix=".sac")
    back = obspy.read(str(tmp_path / "out.part"), format="SAC")[0]
    assert _trace_summary(back) == _trace_summary(slow)
    assert (back.stats.sac.stla, back.stats.sac.stlo, back.stats.sac.kevnm.strip()) == (47.5, 8.25, "QUAKE")
    np.testing.assert_array_equal(back.data, slow.data)


def test_seismic_from_other_sources(tmp_path):
    obspy = require("obspy")
    from quorvane_tools.formats.seismic import write_seismic

    write_seismic(tmp_path / "a.mseed", [np.arange(10.0), np.ones(5)], {"sample_rate": 40}, )
    back = obspy.read(str(tmp_path / "a.mseed"))
    assert [(t.stats.station, t.stats.channel, t.stats.sampling_rate, t.stats.npts) for t in back] == [
        ("QRV", "C00", 40.0, 10), ("QRV", "C01", 40.0, 5)]


@pytest.mark.parametrize(
    "suffix,channels,meta,message",
    [
        (".sac", [np.ones(3), np.ones(3)], {"sample_rate": 1}, "a SAC file holds one trace, these are 2"),
        (".mseed", [np.ones(3)], {}, "needs a sample rate: the input records none, give --sample-rate"),
        (".mseed", [np.array([1.0, np.nan])], {"sample_rate": 1, "seismic": {"traces": [{"dtype": "int32"}]}},
         r"int32 trace samples cannot hold nan \(channel 0, sample 1\)"),
    ],
)
def test_seismic_write_refusals(tmp_path, suffix, channels, meta, message):
    require("obspy")
    from quorvane_tools.formats.seismic import write_seismic

    with pytest.raises(SignalFileError, match=message):
        write_seismic(tmp_path / f"a{suffix}", channels, meta)


@pytest.mark.parametrize("name", ["bad.mseed", "bad.sac"])
def test_unreadable_seismic(tmp_path, name):
    require("obspy")
    from quorvane_tools.formats.seismic import read_seismic

    (tmp_path / name).write_bytes(b"\x00\x01 not a seismogram " * 50)
    with pytest.raises(SignalFileError, match=f"{name}: not a readable (MSEED|SAC) file"):
        read_seismic(tmp_path / name)


# ---------------------------------------------------------------- biosignal


def _write_edf(pyedflib, path, bdf):
    digital = (1 << 23) - 1 if bdf else (1 << 15) - 1
    rng = np.random.default_rng(11)
    writer = pyedflib.EdfWriter(str(path), 2, file_type=pyedflib.FILETYPE_BDFPLUS if bdf else pyedflib.FILETYPE_EDFPLUS)
    writer.setSignalHeaders([
        dict(label="EEG Fp1", dimension="uV", sample_frequency=256, physical_max=500.0, physical_min=-500.0,
             digital_max=digital, digital_min=-digital - 1, prefilter="HP:0.1Hz", transducer="AgAgCl"),
        dict(label="Resp", dimension="mV", sample_frequency=32, physical_max=10.0, physical_min=-10.0,
             digital_max=digital, digital_min=-digital - 1, prefilter="", transducer="belt"),
    ])
    writer.setHeader(dict(technician="tech", recording_additional="", patientname="X", patient_additional="",
                          patientcode="P01", equipment="amp", admincode="", sex=1,
                          birthdate=datetime.date(1980, 5, 6), startdate=datetime.datetime(2024, 3, 1, 12, 30, 15)))
    writer.writeSamples([rng.uniform(-400, 400, size=2560), rng.uniform(-5, 5, size=320)])
    writer.close()


@pytest.mark.parametrize("bdf", [False, True], ids=["edf", "bdf"])
def test_edf_and_bdf_keep_their_headers_and_digital_values(tmp_path, bdf):
    pyedflib = require("pyedflib")
    from quorvane_tools.formats.biosignal import read_biosignal, write_biosignal

    suffix = ".bdf" if bdf else ".edf"
    _write_edf(pyedflib, tmp_path / f"in{suffix}", bdf)
    data = read_biosignal(tmp_path / f"in{suffix}")
    assert data.source == suffix[1:] and data.columns == ["EEG Fp1", "Resp"]
    assert [channel.size for channel in data.channels] == [2560, 320]
    described = data.extra["biosignal"]
    assert described["start"] == "2024-03-01T12:30:15"
    assert described["header"]["patientcode"] == "P01"
    assert [s["sample_frequency"] for s in described["signals"]] == [256.0, 32.0]

    # A decoded value a third of a step off and one beyond the range come back on the grid.
    step = 1000.0 / (described["signals"][0]["digital_max"] - described["signals"][0]["digital_min"])
    decoded = [data.channels[0] + step / 3, data.channels[1].copy()]
    decoded[1][0] = 99.0
    write_biosignal(tmp_path / "out.part", decoded, _meta(data), suffix=suffix)
    back = read_biosignal(tmp_path / "out.part")
    assert back.extra == data.extra
    np.testing.assert_array_equal(back.channels[0], data.channels[0])
    assert back.channels[1][0] == 10.0
    np.testing.assert_array_equal(back.channels[1][1:], data.channels[1][1:])


def test_edf_from_other_sources(tmp_path):
    require("pyedflib")
    from quorvane_tools.formats.biosignal import read_biosignal, write_biosignal

    channel = np.linspace(-2.0, 3.0, 200)
    write_biosignal(tmp_path / "a.bdf", [channel], {"sample_rate": 100, "columns": ["pressure"]})
    back = read_biosignal(tmp_path / "a.bdf")
    assert back.columns == ["pressure"] and back.sample_rate == 100
    np.testing.assert_allclose(back.channels[0], channel, atol=5.0 / (1 << 24))
    with pytest.raises(SignalFileError, match="needs a sample rate"):
        write_biosignal(tmp_path / "b.edf", [channel], {})
    with pytest.raises(SignalFileError, match=r"EDF/BDF samples cannot hold nan \(channel 0, sample 3\)"):
        write_biosignal(tmp_path / "c.edf", [np.array([0.0, 1.0, 2.0, np.nan])], {"sample_rate": 4})


def test_unreadable_biosignal(tmp_path):
    require("pyedflib")
    from quorvane_tools.formats.biosignal import read_biosignal

    (tmp_path / "bad.edf").write_bytes(b"0       not an EDF header" * 20)
    with pytest.raises(SignalFileError, match="bad.edf: not a readable EDF/BDF file"):
        read_biosignal(tmp_path / "bad.edf")


# ---------------------------------------------------------------- missing extras


def test_a_missing_library_names_its_extra(monkeypatch):
    from quorvane_tools.formats import optional_module

    monkeypatch.setitem(sys.modules, "pyedflib", None)  # import now fails as if not installed
    with pytest.raises(SignalFileError, match=r"reading EDF needs the Python package pyedflib .*"
                                              r"pip install 'quorvane\[biosignal\]'"):
        optional_module("pyedflib", "reading EDF")
