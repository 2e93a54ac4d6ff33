"""One process, two copies of libhdf5: h5py's bundled library and the
system's, loaded through ctypes. The plugin is one shared object for both;
each library's callbacks must reach that library's own functions."""
import ctypes
import ctypes.util
import subprocess
import sys
import textwrap

import pytest

from hdf5_support import require_filter

hdf5_filter = require_filter()

SCRIPT = textwrap.dedent("""
    import ctypes, sys
    import numpy as np
    import h5py
    import quorvane, quorvane_tools.hdf5 as q

    path_a, path_b, system_library = sys.argv[1:4]
    data = (np.sin(np.arange(4000) * 0.01) * 3).astype(np.float32)
    expected = quorvane.decompress_signal(quorvane.compress_signal(data))

    # h5py's library loads the plugin first and creates a dataset with it.
    with h5py.File(path_a, "w") as f:
        f.create_dataset("x", data=data, chunks=(4000,), **q.filter())

    # The system's library, private to this handle, creates another.
    lib = ctypes.CDLL(system_library, mode=ctypes.RTLD_LOCAL)
    hid, herr, size, ptr, u64p = ctypes.c_int64, ctypes.c_int, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p
    signatures = {
        "H5open": (herr, []), "H5PLprepend": (herr, [ctypes.c_char_p]),
        "H5Fcreate": (hid, [ctypes.c_char_p, ctypes.c_uint, hid, hid]),
        "H5Screate_simple": (hid, [ctypes.c_int, u64p, u64p]), "H5Pcreate": (hid, [hid]),
        "H5Pset_chunk": (herr, [hid, ctypes.c_int, u64p]),
        "H5Pset_filter": (herr, [hid, ctypes.c_int, ctypes.c_uint, size, ptr]),
        "H5Dcreate2": (hid, [hid, ctypes.c_char_p, hid, hid, hid, hid, hid]),
        "H5Dwrite": (herr, [hid, hid, hid, hid, hid, ptr]),
        "H5Dclose": (herr, [hid]), "H5Sclose": (herr, [hid]), "H5Pclose": (herr, [hid]), "H5Fclose": (herr, [hid]),
    }
    for name, (restype, argtypes) in signatures.items():
        getattr(lib, name).restype = restype
        getattr(lib, name).argtypes = argtypes
    assert lib.H5open() >= 0
    assert lib.H5PLprepend(q.PLUGIN_PATH.encode()) >= 0
    native_float = hid.in_dll(lib, "H5T_NATIVE_FLOAT_g").value
    dataset_create = hid.in_dll(lib, "H5P_CLS_DATASET_CREATE_ID_g").value
    dims = (ctypes.c_uint64 * 1)(4000)
    file_id = lib.H5Fcreate(path_b.encode(), 2, 0, 0)  # H5F_ACC_TRUNC
    space = lib.H5Screate_simple(1, ctypes.cast(dims, u64p), None)
    dcpl = lib.H5Pcreate(dataset_create)
    assert lib.H5Pset_chunk(dcpl, 1, ctypes.cast(dims, u64p)) >= 0
    assert lib.H5Pset_filter(dcpl, q.FILTER_ID, 0, 0, None) >= 0  # mandatory, defaults
    dataset = lib.H5Dcreate2(file_id, b"x", native_float, space, 0, dcpl, 0)
    assert dataset >= 0, "the system library could not create a dataset with the filter"
    assert lib.H5Dwrite(dataset, native_float, 0, 0, 0, data.ctypes.data) >= 0
    for close, handle in [(lib.H5Dclose, dataset), (lib.H5Pclose, dcpl), (lib.H5Sclose, space),
                          (lib.H5Fclose, file_id)]:
        assert close(handle) >= 0

    for path in (path_a, path_b):
        with h5py.File(path, "r") as f:
            assert f["x"].id.get_create_plist().get_filter(0)[2] == (1, 1, 11, 0, 2, 0, 0, 4, 0, 4000)
            np.testing.assert_array_equal(f["x"][...], expected)
    print("both")
""")


def test_each_copy_of_libhdf5_gets_its_own_functions(tmp_path):
    system_library = ctypes.util.find_library("hdf5_serial") or ctypes.util.find_library("hdf5")
    if system_library is None:
        pytest.skip("no system libhdf5 (Debian libhdf5-dev; make deps installs it)")
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(tmp_path / "a.h5"), str(tmp_path / "b.h5"),
                          system_library], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip() == "both"
