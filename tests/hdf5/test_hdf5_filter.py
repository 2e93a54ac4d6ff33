"""The HDF5 filter through h5py: round trips against the codec's own output,
refusals, damaged chunks, and readers that are not this process."""
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorvane
from hdf5_support import codec_chunk, expected_read, recording, require, require_filter

hdf5_filter = require_filter()
import h5py  # noqa: E402


def _create(path, name, data, chunks, dtype=None, **options):
    with h5py.File(path, "w") as f:
        f.create_dataset(name, data=data, dtype=dtype, chunks=chunks, **hdf5_filter.filter(**options))


# (shape, chunks): one chunk, edge chunks padded by HDF5, channels split
# across and along chunks, and a rank-3 block.
LAYOUTS = [
    ((1000,), (1000,)),
    ((5000,), (1024,)),
    ((6, 4000), (6, 1000)),
    ((6, 4000), (1, 4000)),
    ((3, 50, 41), (2, 25, 41)),
    ((7, 300), (4, 128)),
]


@pytest.mark.parametrize("dtype", ["<f4", "<f8", ">f4", ">f8"])
@pytest.mark.parametrize("shape,chunks", LAYOUTS)
def test_round_trip_returns_the_codec_output_of_every_chunk(tmp_path, shape, chunks, dtype):
    data = recording(shape).astype(dtype)
    path = tmp_path / "r.h5"
    _create(path, "x", data, chunks)
    with h5py.File(path, "r") as f:
        dataset = f["x"]
        restored = dataset[...]
        assert dataset.dtype == np.dtype(dtype)
        stored = dataset.id.get_storage_size()
    assert restored.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(restored, expected_read(data, chunks, np.dtype(dtype).newbyteorder("=")))
    # Within the quantiser's error at the default scale and cut-off: 8 steps
    # of 2^-11 of a chunk's range (at most the whole signal's range).
    span = float(data.max() - min(data.min(), 0.0))
    assert np.max(np.abs(restored - data)) <= 8 * 2.0 ** -11 * span
    assert stored < data.nbytes / 2


@pytest.mark.parametrize("options,opts", [
    ({}, (1, 1, 11, 0, 2)),
    ({"method": "cdf53", "scale": 8, "cutoff": "high", "coder": "deflate"}, (1, 0, 8, 2, 0)),
    ({"method": "db4", "scale": 12, "cutoff": "medium", "coder": "arans"}, (1, 2, 12, 1, 1)),
    ({"method": "sym4", "scale": 6}, (1, 3, 6, 0, 2)),
])
def test_options_reach_the_stream_and_the_file(tmp_path, options, opts):
    assert hdf5_filter.filter(**options)["compression_opts"] == opts
    data = recording((2, 3000)).astype(np.float32)
    path = tmp_path / "o.h5"
    _create(path, "x", data, (1, 3000), **options)
    with h5py.File(path, "r") as f:
        restored = f["x"][...]
        filter_id, _, values, name = f["x"].id.get_create_plist().get_filter(0)
    assert filter_id == hdf5_filter.FILTER_ID == 345
    assert name == b"quorvane lossy wavelet compression"
    # The writer's values, the reserved quality target, then the dataset's
    # element size, byte order and samples per chunk.
    assert values == opts + (0, 0, 4, 0, 3000)
    choice = hdf5_filter.QuorvaneFilter(**options).choice.to_quorvane()
    for row in range(2):
        np.testing.assert_array_equal(restored[row], codec_chunk(data[row], np.float32, choice))


def test_coder_value_3_writes_coder_2_chunks_of_the_reference_samples(tmp_path):
    assert hdf5_filter.filter(scale=10, coder="bands")["compression_opts"] == (1, 1, 10, 0, 3)
    data = recording((2, 3000)).astype(np.float32)
    data[1, 17] = np.nan
    path = tmp_path / "b.h5"
    _create(path, "x", data, (1, 3000), scale=10, coder="bands")
    with h5py.File(path, "r") as f:
        restored = f["x"][...]
        assert f["x"].id.get_create_plist().get_filter(0)[2] == (1, 1, 10, 0, 3, 0, 0, 4, 0, 3000)
        chunks = [bytes(f["x"].id.read_direct_chunk((row, 0))[1]) for row in range(2)]
        assert hdf5_filter.check(f["x"]) == []
    assert [chunk[14] for chunk in chunks] == [2, 2]
    reference = quorvane.QuorvCompressionOptions(scale=10)
    np.testing.assert_array_equal(restored[0], codec_chunk(data[0], np.float32, reference))
    assert np.isnan(restored[1, 17])
    if shutil.which("h5dump") is not None:  # the system's libhdf5 and the plugin, no Python
        run = subprocess.run(["h5dump", "-d", "/x", "-b", "LE", "-o", str(tmp_path / "x.bin"), str(path)],
                             capture_output=True, text=True, env=_reader_environment(hdf5_filter.PLUGIN_PATH),
                             timeout=120)
        assert run.returncode == 0, run.stderr
        dumped = np.fromfile(tmp_path / "x.bin", "<f4").reshape(2, 3000)
        np.testing.assert_array_equal(dumped, restored)


def test_filter_arguments_are_checked_before_any_file_is_touched():
    with pytest.raises(ValueError, match="unknown coder 'zstd', expected one of .*'bands'"):
        hdf5_filter.filter(coder="zstd")
    with pytest.raises(ValueError, match="unknown method 'haar'"):
        hdf5_filter.filter(method="haar")
    with pytest.raises(ValueError, match="scale must lie in 6..12, got 13"):
        hdf5_filter.filter(scale=13)
    with pytest.raises(TypeError, match="scale must be an integer"):
        hdf5_filter.filter(scale=11.0)
    assert dict(hdf5_filter.filter()) == {"compression": 345, "compression_opts": (1, 1, 11, 0, 2)}


@pytest.mark.parametrize("dtype,message", [
    ("i2", "the dataset holds 2-byte integers; the filter compresses float32 and float64 data only"),
    ("u8", "the dataset holds 8-byte integers"),
    ("f2", "the dataset holds 2-byte floats that are not IEEE float32 or float64"),
    ("c8", "the dataset holds 8-byte compound values"),
])
def test_other_dtypes_are_refused_at_dataset_creation(tmp_path, dtype, message):
    with h5py.File(tmp_path / "d.h5", "w") as f:
        with pytest.raises(ValueError, match=message):
            f.create_dataset("x", shape=(100,), dtype=dtype, chunks=(10,), **hdf5_filter.filter())
        assert "x" not in f


@pytest.mark.parametrize("opts,message", [
    ((2,), "parameter layout 2 is unknown to this filter"),
    ((1, 9), "method 9 is not one of"),
    ((1, 1, 5), "scale 5 is not one of 6..12"),
    ((1, 1, 11, 0, 2, 1, 0), "quality target kind 1 is not supported by this filter"),
    (tuple(range(11)), "11 parameters given, at most 10 are read"),
])
def test_raw_parameters_are_checked_at_dataset_creation(tmp_path, opts, message):
    with h5py.File(tmp_path / "p.h5", "w") as f:
        with pytest.raises(ValueError, match=message):
            f.create_dataset("x", shape=(100,), dtype="f4", chunks=(10,), compression=345, compression_opts=opts)


def test_no_parameters_take_the_defaults(tmp_path):
    with h5py.File(tmp_path / "n.h5", "w") as f:
        dataset = f.create_dataset("x", data=recording((500,)), dtype="f4", chunks=(500,), compression=345)
        assert dataset.id.get_create_plist().get_filter(0)[2] == (1, 1, 11, 0, 2, 0, 0, 4, 0, 500)


@pytest.mark.parametrize("dtype", ["<f4", ">f8"])
def test_nan_and_infinities_come_back_where_they_were(tmp_path, dtype):
    data = recording((4, 2048))
    data[0, 100:150] = np.nan
    data[0, 7] = np.inf
    data[1, ::10] = -np.inf
    data[2, :] = np.nan  # a chunk of nothing else
    path = tmp_path / "nf.h5"
    _create(path, "x", data, (1, 2048), dtype=dtype)
    with h5py.File(path, "r") as f:
        restored = f["x"][...]
        sizes = [f["x"].id.get_chunk_info(i).size for i in range(4)]
        masks = [f["x"].id.get_chunk_info(i).filter_mask for i in range(4)]
    assert masks == [0, 0, 0, 0]
    np.testing.assert_array_equal(np.isnan(restored), np.isnan(data))
    np.testing.assert_array_equal(np.isposinf(restored), np.isposinf(data))
    np.testing.assert_array_equal(np.isneginf(restored), np.isneginf(data))
    np.testing.assert_array_equal(restored[3], codec_chunk(data[3], np.float32).astype(dtype))
    finite = np.isfinite(data)
    assert np.max(np.abs(restored[finite] - data[finite])) <= 8 * 2.0 ** -11 * np.ptp(data[finite])
    assert sizes[2] < 120
    assert sizes[1] < 1.5 * sizes[3]


def test_float64_beyond_float32_is_stored_unchanged_by_h5py(tmp_path):
    # h5py adds filters as optional: HDF5 keeps a chunk the filter refuses
    # uncompressed, and it reads back exactly.
    data = recording((4, 256))
    data[2, 17] = 1e300
    path = tmp_path / "big.h5"
    _create(path, "x", data, (1, 256), dtype="f8")
    with h5py.File(path, "r") as f:
        restored = f["x"][...]
        masks = [f["x"].id.get_chunk_info(i).filter_mask for i in range(4)]
    assert masks == [0, 0, 1, 0]
    np.testing.assert_array_equal(restored[2], data[2])
    np.testing.assert_array_equal(restored[0], codec_chunk(data[0], np.float64))


# The reason itself reaches HDF5's error stack, which h5dump prints
# (test below); HDF5 2.0, which h5py's wheels bundle, drops errors raised
# inside a filter and reports the failure alone.
def test_a_mandatory_filter_fails_the_write_it_cannot_store(tmp_path):
    data = recording((256,))
    data[17] = 1e300
    dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
    dcpl.set_chunk((256,))
    dcpl.set_filter(345, h5py.h5z.FLAG_MANDATORY, (1, 1, 11, 0, 2))
    # No chunk cache: the chunk is filtered by the write itself, not at close.
    with h5py.File(tmp_path / "m.h5", "w", rdcc_nbytes=0) as f:
        space = h5py.h5s.create_simple((256,))
        dataset = h5py.h5d.create(f.id, b"x", h5py.h5t.IEEE_F64LE, space, dcpl=dcpl)
        with pytest.raises(OSError, match="filter returned failure"):
            dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, data)
        data[17] = np.nan
        dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, data)
        restored = np.empty_like(data)
        dataset.read(h5py.h5s.ALL, h5py.h5s.ALL, restored)
    assert np.isnan(restored[17]) and np.isfinite(np.delete(restored, 17)).all()


def _damage(path, chunk_index, offset, replacement):
    with h5py.File(path, "r") as f:
        info = f["x"].id.get_chunk_info(chunk_index)
    with open(path, "r+b") as raw:
        raw.seek(info.byte_offset + offset)
        raw.write(replacement)


# Where the chunk is damaged, the filter's reason (C++) and check's (Python).
DAMAGE = [
    (0, b"XXXX", "Magic should be 'QRVN' but it was 'XXXX'", "Magic should be 'QRVN' but it was 'XXXX'"),
    (16, (999).to_bytes(4, "little"), "the stored stream holds 999 samples, the dataset's chunks hold 1000",
     "the chunk holds 999 samples, 1000 were expected"),
    (32, (10**9).to_bytes(4, "little"), "truncated: the stream needs 1000000052 bytes",
     "truncated: the stream needs 1000000052 bytes"),
    (20, b"\x00\x00\xc0\x7f", "Header is invalid", "Header is invalid"),
]


def _damaged_file(tmp_path, offset, replacement):
    data = recording((3, 1000)).astype(np.float32)
    path = tmp_path / "c.h5"
    _create(path, "x", data, (1, 1000))
    _damage(path, 1, offset, replacement)
    return path, data


@pytest.mark.parametrize("offset,replacement,message,_", DAMAGE)
def test_a_damaged_chunk_raises_and_the_others_still_read(tmp_path, offset, replacement, message, _):
    path, data = _damaged_file(tmp_path, offset, replacement)
    with h5py.File(path, "r") as f:
        with pytest.raises(OSError, match="filter returned failure during read"):
            f["x"][1]
        np.testing.assert_array_equal(f["x"][0], codec_chunk(data[0], np.float32))
        np.testing.assert_array_equal(f["x"][2], codec_chunk(data[2], np.float32))


@pytest.mark.parametrize("offset,replacement,_,reason", DAMAGE)
def test_check_names_the_damaged_chunk_and_the_reason(tmp_path, offset, replacement, _, reason):
    path, _ = _damaged_file(tmp_path, offset, replacement)
    with h5py.File(path, "r") as f:
        problems = hdf5_filter.check(f["x"])
    assert len(problems) == 1
    assert problems[0].startswith("chunk at (1, 0): " + reason)


def test_check_passes_sound_datasets_and_refuses_other_pipelines(tmp_path):
    data = recording((2, 500))
    data[0, 3] = 1e300  # stored unfiltered: skipped
    data[1, 9] = np.nan
    with h5py.File(tmp_path / "ok.h5", "w") as f:
        f.create_dataset("x", data=data, chunks=(1, 500), **hdf5_filter.filter())
        assert hdf5_filter.check(f["x"]) == []
        f.create_dataset("y", data=data, chunks=(1, 500), fletcher32=True, **hdf5_filter.filter())
        with pytest.raises(ValueError, match="only filter is quorvane"):
            hdf5_filter.check(f["y"])


@pytest.mark.parametrize("offset,replacement,message,_", DAMAGE)
def test_h5dump_names_what_is_wrong_with_a_damaged_chunk(tmp_path, offset, replacement, message, _):
    if shutil.which("h5dump") is None:
        pytest.skip("h5dump is not installed (Debian hdf5-tools; make deps installs it)")
    path, _ = _damaged_file(tmp_path, offset, replacement)
    run = subprocess.run(["h5dump", "--enable-error-stack", "-d", "/x", str(path)], capture_output=True, text=True,
                         env=_reader_environment(hdf5_filter.PLUGIN_PATH), timeout=120)
    assert run.returncode != 0
    reason = next(line for line in run.stderr.splitlines() if "quorvane filter: " in line)
    assert message in reason


def test_the_trailer_checksum_catches_damage_the_stream_alone_would_not(tmp_path):
    data = recording((2, 1000)).astype(np.float32)
    data[:, 10] = np.nan
    path = tmp_path / "t.h5"
    _create(path, "x", data, (1, 1000))
    _damage(path, 1, 300, b"\x5a")
    with h5py.File(path, "r") as f:
        with pytest.raises(OSError, match="filter returned failure during read"):
            f["x"][1]
        assert np.isnan(f["x"][0, 10])


def test_a_chunk_of_garbage_never_takes_the_process_down(tmp_path):
    # Every byte after the header replaced: the decoder may refuse it or
    # decode noise, but the reader survives and answers in a fresh process.
    data = recording((2, 2000)).astype(np.float32)
    path = tmp_path / "g.h5"
    _create(path, "x", data, (1, 2000))
    with h5py.File(path, "r") as f:
        size = f["x"].id.get_chunk_info(0).size
    _damage(path, 0, 52, np.random.default_rng(3).integers(0, 256, size - 52, dtype=np.uint8).tobytes())
    script = textwrap.dedent(f"""
        import h5py, quorvane_tools.hdf5
        with h5py.File({str(path)!r}, "r") as f:
            try:
                row = f["x"][0]
                print("decoded", row.shape)
            except OSError as error:
                print("refused", "filter returned failure" in str(error))
            print("second", f["x"][1].shape)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split("\n")
    assert lines[0] in ("decoded (2000,)", "refused True")
    assert lines[1] == "second (2000,)"


def _reader_environment(plugin_path):
    environment = {key: value for key, value in os.environ.items() if key != "HDF5_PLUGIN_PATH"}
    if plugin_path is not None:
        environment["HDF5_PLUGIN_PATH"] = plugin_path
    return environment


READER = textwrap.dedent("""
    import sys, h5py, numpy as np
    with h5py.File(sys.argv[1], "r") as f:
        np.save(sys.argv[2], f["x"][...])
    assert not any(name.startswith("quorvane") for name in sys.modules), sorted(sys.modules)
""")


def test_a_separate_process_reads_with_only_the_plugin_path_set(tmp_path):
    data = recording((4, 3000))
    path = tmp_path / "s.h5"
    _create(path, "x", data, (2, 1500))
    with h5py.File(path, "r") as f:
        here = f["x"][...]
    out = tmp_path / "read.npy"
    found = subprocess.run([sys.executable, "-c", READER, str(path), str(out)], capture_output=True, text=True,
                           env=_reader_environment(hdf5_filter.PLUGIN_PATH), cwd=tmp_path, timeout=120)
    assert found.returncode == 0, found.stderr
    np.testing.assert_array_equal(np.load(out), here)
    # Without the path the same reader cannot decode the chunks.
    missing = subprocess.run([sys.executable, "-c", READER, str(path), str(out)], capture_output=True, text=True,
                             env=_reader_environment(None), cwd=tmp_path, timeout=120)
    assert missing.returncode != 0
    assert "OSError" in missing.stderr


def _h5dump_values(path, environment):
    run = subprocess.run(["h5dump", "-d", "/x", "-m", "%.9g", "-y", "-w", "0", str(path)],
                         capture_output=True, text=True, env=environment, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    body = run.stdout.split("DATA {", 1)[1].rsplit("}", 3)[0]
    return np.array([float(token) for token in body.replace(",", " ").split()])


def test_h5dump_reads_the_file_through_the_plugin_path(tmp_path):
    if shutil.which("h5dump") is None:
        pytest.skip("h5dump is not installed (Debian hdf5-tools; make deps installs it)")
    data = recording((3, 700)).astype(np.float32)
    path = tmp_path / "h.h5"
    _create(path, "x", data, (1, 700))
    with h5py.File(path, "r") as f:
        here = f["x"][...]
    dumped = _h5dump_values(path, _reader_environment(hdf5_filter.PLUGIN_PATH))
    np.testing.assert_array_equal(dumped.astype(np.float32), here.reshape(-1))
    refused = subprocess.run(["h5dump", "-d", "/x", str(path)], capture_output=True, text=True,
                             env=_reader_environment(None), timeout=120)
    assert "DATA {" not in refused.stdout or refused.returncode != 0


def test_dask_computes_over_a_compressed_dataset(tmp_path):
    da = require("dask.array")
    data = recording((8, 6000)).astype(np.float32)
    path = tmp_path / "k.h5"
    _create(path, "x", data, (2, 1500))
    with h5py.File(path, "r") as f:
        dataset = f["x"]
        lazy = da.from_array(dataset, chunks=dataset.chunks)
        power = (lazy ** 2).mean(axis=1).compute(scheduler="threads", num_workers=2)
        restored = dataset[...]
    expected = (expected_read(data, (2, 1500), np.float32) ** 2).mean(axis=1)
    np.testing.assert_allclose(power, expected, rtol=1e-5)
    np.testing.assert_allclose(power, (restored ** 2).mean(axis=1), rtol=1e-6)


def test_the_installed_plugin_exports_only_the_plugin_functions():
    assert os.listdir(hdf5_filter.PLUGIN_PATH) == ["libquorvane_hdf5.so"]
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run(["nm", "-D", "--defined-only", hdf5_filter.PLUGIN_FILE], capture_output=True,
                             text=True, check=True).stdout
    assert sorted(line.split()[-1] for line in listing.splitlines()) == ["H5PLget_plugin_info", "H5PLget_plugin_type"]
    needed = subprocess.run(["readelf", "-d", hdf5_filter.PLUGIN_FILE], capture_output=True, text=True).stdout
    assert "libhdf5" not in needed


def test_importing_registers_the_filter_with_h5py():
    assert h5py.h5z.filter_avail(hdf5_filter.FILTER_ID)
    hdf5_filter.register()  # again: harmless
    assert h5py.h5z.filter_avail(hdf5_filter.FILTER_ID)
