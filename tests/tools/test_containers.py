"""The .qrvz reader against damaged and crafted archives: one clear
ContainerError each, nothing read beyond the file's own size."""
import json
import struct
import time
import zipfile

import numpy as np
import pytest
import quorvane
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvane_tools import load, save
from quorvane_tools.containers import ContainerError, read_compressed
from quorvane_tools.streams import encode_signal

from tools_support import demo_signal

ECG = demo_signal()[:3000]
CHUNK = encode_signal(ECG, always_trailer=True)
META = {"format": "quorvane-channels", "version": 2, "channels": 1, "source": "npy", "dtype": "<f4",
        "shape": [3000], "sample_rate": None}


def archive(path, members, compression=zipfile.ZIP_STORED):
    """A zip with the given (name, bytes) members; dicts become JSON."""
    with zipfile.ZipFile(path, "w", compression=compression) as handle:
        for name, content in members:
            handle.writestr(name, json.dumps(content) if isinstance(content, dict) else content)
    return path


def meta(**changes):
    document = dict(META, **changes)
    return {key: value for key, value in document.items() if value is not Ellipsis}


def patch_sizes(path, name, size):
    """Rewrites the sizes both zip headers give for `name`."""
    data = bytearray(path.read_bytes())
    encoded = name.encode()
    local = data.index(b"PK\x03\x04")
    while data[local + 30:local + 30 + len(encoded)] != encoded:
        local = data.index(b"PK\x03\x04", local + 4)
    struct.pack_into("<II", data, local + 18, size, size)
    central = data.index(b"PK\x01\x02")
    while data[central + 46:central + 46 + len(encoded)] != encoded:
        central = data.index(b"PK\x01\x02", central + 4)
    struct.pack_into("<II", data, central + 20, size, size)
    path.write_bytes(bytes(data))
    return path


def test_a_well_formed_archive_reads(tmp_path):
    compressed = read_compressed(archive(tmp_path / "ok.qrvz", [("meta.json", META), ("channel_0000.qrv", CHUNK)]))
    assert compressed.checksummed and compressed.sample_counts() == [3000]


def test_the_same_signal_gives_the_same_file_at_any_time(tmp_path, monkeypatch):
    files = []
    for clock in (1_000_000_000.0, 1_700_000_000.0):
        monkeypatch.setattr(time, "time", lambda clock=clock: clock)
        files.append(save(tmp_path / f"at{int(clock)}.qrvz", ECG[:3000]).path.read_bytes())
    assert files[0] == files[1]


def test_format_1_archives_of_bare_streams_still_read(tmp_path):
    stream = quorvane.compress_signal(ECG)
    path = archive(tmp_path / "v1.qrvz", [("meta.json", meta(version=1, channels=2, shape=[3000, 2])),
                                          ("channel_0000.qrv", stream), ("channel_0001.qrv", stream)])
    array, info = load(path)
    assert array.shape == (3000, 2) and info["checksummed"]
    np.testing.assert_array_equal(array[:, 1], quorvane.decompress_signal(stream))


LIE = 3 << 30  # a member claiming 3 GiB


@pytest.mark.parametrize(
    "members,message",
    [
        ([("channel_0000.qrv", CHUNK)], "has no meta.json"),
        ([("meta.json", "{"), ("channel_0000.qrv", CHUNK)], "not valid JSON"),
        ([("meta.json", "[" * 100_000 + "]" * 100_000)], "not valid JSON|does not describe"),
        ([("meta.json", b"\xff\xfe"), ("channel_0000.qrv", CHUNK)], "not valid JSON"),
        ([("meta.json", " " * (5 << 20) + "{}")], "more than the 4194304 a reader accepts"),
        ([("meta.json", meta(version=3)), ("channel_0000.qrv", CHUNK)], "archive version 3 is not supported"),
        ([("meta.json", meta(channels="1")), ("channel_0000.qrv", CHUNK)], "'channels' must be a count"),
        ([("meta.json", meta(channels=2**40)), ("channel_0000.qrv", CHUNK)], "'channels' must be a count"),
        ([("meta.json", meta(channels=2)), ("channel_0000.qrv", CHUNK)], "names 2 channels, the archive holds 1"),
        ([("meta.json", meta(dtype="object")), ("channel_0000.qrv", CHUNK)], "'dtype' 'object' is not a real"),
        ([("meta.json", meta(dtype=["<f4"])), ("channel_0000.qrv", CHUNK)], "is not a real number type"),
        ([("meta.json", meta(shape=[3000, -1])), ("channel_0000.qrv", CHUNK)], "'shape' must be a list"),
        ([("meta.json", meta(shape=[3000, 2])), ("channel_0000.qrv", CHUNK)], "does not hold 1 channel"),
        ([("meta.json", meta(shape=[2**40])), ("channel_0000.qrv", CHUNK)], "'shape' must be a list"),
        ([("meta.json", meta(shape=[9])), ("channel_0000.qrv", CHUNK)], "holds 3000 samples, meta.json says 9"),
        ([("meta.json", meta(sample_rate="fast")), ("channel_0000.qrv", CHUNK)], "'sample_rate' must be"),
        ([("meta.json", '{"format": "quorvane-channels", "version": 2, "channels": 1, "sample_rate": NaN}'),
          ("channel_0000.qrv", CHUNK)], "'sample_rate' must be a positive number"),
        ([("meta.json", meta(columns=["a", "b"])), ("channel_0000.qrv", CHUNK)], "'columns' must be 1 name"),
        ([("meta.json", meta(source={"x": 1})), ("channel_0000.qrv", CHUNK)], "'source' must be a short text"),
        ([("meta.json", META), ("../../etc/evil.qrv", CHUNK)], "unexpected member '../../etc/evil.qrv'"),
        ([("meta.json", META), ("/abs/channel_0000.qrv", CHUNK)], "unexpected member"),
        ([("meta.json", META), ("channel_0001.qrv", CHUNK)], "channel_0000.qrv is missing"),
        ([("meta.json", META), ("channel_0000.qrv", CHUNK), ("channel_0001.qrv", CHUNK)],
         "also holds channel_0001.qrv"),
        ([("meta.json", META), ("channel_0000.qrv", CHUNK[:-1])], r"channel 0 \(channel_0000.qrv\) is damaged"),
        ([("meta.json", META), ("channel_0000.qrv", quorvane.compress_signal(ECG))], "its trailer is missing"),
        ([("meta.json", META), ("channel_0000.qrv", b"QRVN" + CHUNK[4:40])], "channel 0 .* is damaged"),
    ],
)
def test_crafted_archives_are_refused(tmp_path, members, message):
    path = archive(tmp_path / "bad.qrvz", members)
    with pytest.raises(ContainerError, match=message):
        read_compressed(path)


def test_compressed_members_are_refused_before_inflating(tmp_path):
    # A zip bomb: 200 MB of zeros deflate to about 200 kB.
    path = tmp_path / "bomb.qrvz"
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as handle:
        handle.writestr("meta.json", json.dumps(META))
        with handle.open("channel_0000.qrv", "w") as member:
            block = bytes(1 << 20)
            for _ in range(200):
                member.write(block)
    with pytest.raises(ContainerError, match=r"member meta.json is compressed \(method 8\)"):
        read_compressed(path)


@pytest.mark.parametrize("name", ["meta.json", "channel_0000.qrv"])
def test_a_member_claiming_gigabytes_is_refused(tmp_path, name):
    path = archive(tmp_path / "liar.qrvz", [("meta.json", META), ("channel_0000.qrv", CHUNK)])
    patch_sizes(path, name, LIE)
    with pytest.raises(ContainerError, match=f"member {name} claims {LIE} bytes in a file of"):
        read_compressed(path)


def test_duplicate_and_encrypted_members(tmp_path):
    path = tmp_path / "twice.qrvz"
    with zipfile.ZipFile(path, "w") as handle:
        handle.writestr("meta.json", json.dumps(META))
        handle.writestr("channel_0000.qrv", CHUNK)
        with pytest.warns(UserWarning, match="Duplicate name"):
            handle.writestr("channel_0000.qrv", CHUNK)
    with pytest.raises(ContainerError, match="member channel_0000.qrv appears twice"):
        read_compressed(path)
    path = archive(tmp_path / "locked.qrvz", [("meta.json", META), ("channel_0000.qrv", CHUNK)])
    data = bytearray(path.read_bytes())
    central = data.index(b"PK\x01\x02")
    data[central + 8] |= 1
    path.write_bytes(bytes(data))
    with pytest.raises(ContainerError, match="member meta.json is encrypted"):
        read_compressed(path)


@pytest.mark.parametrize("content,message", [(b"", "the file is empty"), (b"PK\x03\x04" + bytes(40), "truncated"),
                                             (b"hello", "neither a quorvane stream")])
def test_files_that_are_no_container(tmp_path, content, message):
    (tmp_path / "x.qrvz").write_bytes(content)
    with pytest.raises(ContainerError, match=message):
        read_compressed(tmp_path / "x.qrvz")


@pytest.fixture(scope="module")
def saved_archive(tmp_path_factory):
    path = tmp_path_factory.mktemp("fuzz") / "two.qrvz"
    columns = np.stack([ECG[:1000], ECG[1000:2000]], axis=1).astype(np.float64)
    columns[5:9, 1] = np.nan
    save(path, columns, sample_rate=360, columns=["I", "II"])
    return path.read_bytes(), load(path)[0]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_damaged_archives_fail_cleanly_or_read_unchanged(tmp_path, saved_archive, data):
    original, expected = saved_archive
    damaged = bytearray(original)
    for _ in range(data.draw(st.integers(1, 4))):
        damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
    if data.draw(st.booleans()):
        damaged = damaged[:data.draw(st.integers(0, len(damaged)))]
    path = tmp_path / "damaged.qrvz"
    path.write_bytes(bytes(damaged))
    try:
        restored, _ = load(path)
    except ContainerError:
        return
    # Whatever got through (a date, an unused field) changed no sample.
    np.testing.assert_array_equal(restored, expected)
