"""What compress_signal accepts as data, and how it reads it."""
import re

import numpy as np
import pytest
from quorvane import QuorvCompressionOptions, compress_signal

from conftest import smooth_signal

NOT_AN_ARRAY = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"


def exactly(message):
    return f"^{re.escape(message)}$"


class Subclass(np.ndarray):
    pass


def misaligned(dtype, length):
    itemsize = np.dtype(dtype).itemsize
    raw = np.zeros(length * itemsize + 1, dtype=np.uint8)
    view = raw[1:].view(dtype)
    assert not view.flags.aligned
    return view


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(np.zeros((4, 4), np.float32), id="2-d"),
        pytest.param(np.zeros((1, 100), np.float64), id="2-d-row"),
        pytest.param(np.float32(1.0), id="numpy-scalar"),
        pytest.param(np.array(1.0, np.float32), id="0-d"),
        pytest.param([1.0, 2.0, 3.0], id="list"),
        pytest.param((1.0, 2.0), id="tuple"),
        pytest.param(b"\0" * 16, id="bytes"),
        pytest.param(memoryview(np.zeros(8, np.float32)), id="memoryview"),
        pytest.param(None, id="none"),
        pytest.param(np.zeros(8, np.int32), id="int32"),
        pytest.param(np.zeros(8, np.float16), id="float16"),
        pytest.param(np.zeros(8, np.longdouble), id="longdouble"),
        pytest.param(np.zeros(8, np.complex64), id="complex64"),
        pytest.param(np.zeros(8, ">f4"), id="big-endian-float32"),
        pytest.param(np.zeros(8, ">f8"), id="big-endian-float64"),
        pytest.param(np.zeros(8, [("x", np.float32)]), id="structured"),
        pytest.param(np.ma.masked_array(np.zeros((2, 2), np.float32)), id="2-d-masked"),
        # Classification runs before the contiguity check.
        pytest.param(np.zeros((6, 6), np.float32)[::2, ::2], id="2-d-strided"),
        pytest.param(np.zeros(8, np.int32)[::2], id="strided-int32"),
    ],
)
def test_unsupported_data_is_value_error(data):
    with pytest.raises(ValueError, match=exactly(NOT_AN_ARRAY)):
        compress_signal(data)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda a: a[::2], id="every-second"),
        pytest.param(lambda a: a[::-1], id="reversed"),
        pytest.param(lambda a: a.reshape(-1, 2)[:, 0], id="column"),
        pytest.param(lambda a: misaligned(a.dtype, a.size), id="misaligned"),
    ],
)
def test_strided_or_misaligned_is_type_error(dtype, make):
    view = make(np.arange(12, dtype=dtype))
    with pytest.raises(TypeError, match=exactly(NOT_CONTIGUOUS)):
        compress_signal(view)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda dt: np.zeros(0, dt), id="empty"),
        pytest.param(lambda dt: np.zeros(10, dt)[::2][5:], id="empty-strided"),
        pytest.param(lambda dt: np.zeros(0, dt)[::-1], id="empty-reversed"),
    ],
)
def test_empty_arrays_reach_the_codec(dtype, make):
    with pytest.raises(ValueError, match=exactly(EMPTY)):
        compress_signal(make(dtype))


def test_single_element_strided_view_is_contiguous():
    # NumPy marks any one-element array contiguous whatever its stride.
    a = np.arange(4, dtype=np.float32)
    assert compress_signal(a[::3][1:]) == compress_signal(a[3:4].copy())


@pytest.mark.parametrize(
    "options, data",
    [
        (5, "not an array"),
        ("cdf97", [1.0]),
        (QuorvCompressionOptions, np.zeros((2, 2))),
        ({}, np.zeros(0, np.float32)),
        (np.zeros(3, np.float32), None),
    ],
    ids=["int", "str", "the-class-itself", "dict", "array"],
)
def test_options_are_checked_before_data(options, data):
    expected = (f"argument 'options': '{type(options).__qualname__}' object is not an instance of "
                "'QuorvCompressionOptions'")
    with pytest.raises(TypeError, match=exactly(expected)):
        compress_signal(data, options)
    with pytest.raises(TypeError, match=exactly(expected)):
        compress_signal(data, options=options)


class TestAcceptedArrays:
    x = smooth_signal(700)

    def test_read_only_array(self):
        ro = self.x.copy()
        ro.flags.writeable = False
        assert compress_signal(ro) == compress_signal(self.x)

    def test_ndarray_subclass(self):
        assert compress_signal(self.x.view(Subclass)) == compress_signal(self.x)

    def test_masked_array_is_read_as_its_data(self):
        masked = np.ma.masked_array(self.x, mask=self.x > 0)
        assert compress_signal(masked) == compress_signal(self.x)

    def test_slice_with_offset(self):
        # A contiguous slice starting inside a buffer is read from its start.
        big = np.concatenate([np.full(3, 99.0, np.float32), self.x, np.full(5, -99.0, np.float32)])
        assert compress_signal(big[3:-5]) == compress_signal(self.x)

    def test_fortran_ordered_1d(self):
        assert compress_signal(np.asfortranarray(self.x)) == compress_signal(self.x)

    def test_native_byte_order_spelled_explicitly(self):
        assert compress_signal(self.x.astype("<f4")) == compress_signal(self.x)
        assert compress_signal(self.x.astype("=f8")) == compress_signal(self.x.astype(np.float64))

    def test_memmap(self, tmp_path):
        path = tmp_path / "signal.f32"
        self.x.tofile(path)
        mapped = np.memmap(path, dtype=np.float32, mode="r")
        assert compress_signal(mapped) == compress_signal(self.x)


@pytest.mark.parametrize("length", [1, 5, 19, 80, 1000, 4097])
def test_float64_gives_the_bytes_of_its_float32_conversion(length):
    wide = smooth_signal(length).astype(np.float64) * np.float64(1.0 + 2.0**-30)
    assert compress_signal(wide) == compress_signal(wide.astype(np.float32))


def test_float64_narrowing_rounds_like_numpy():
    # Values that sit on float32 ties and beyond float32's range.
    f32_max = float(np.finfo(np.float32).max)
    wide = np.array([1.0 + 2.0**-24, 1.0 + 3 * 2.0**-24, -(1.0 + 2.0**-24), 1e-46, f32_max * 1.5,
                     -f32_max * 1.5, np.nan, np.inf, 0.25, 3.0] * 4, dtype=np.float64)
    with np.errstate(over="ignore"):
        narrowed = wide.astype(np.float32)
    assert compress_signal(wide) == compress_signal(narrowed)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_input_is_never_written(dtype):
    data = smooth_signal(513).astype(dtype)
    data[7] = np.nan
    data[9] = np.inf
    before = data.tobytes()
    compress_signal(data)
    compress_signal(data, QuorvCompressionOptions(cutoff="high", scale=6))
    assert data.tobytes() == before


def test_non_finite_samples_are_sanitised_not_refused():
    x = smooth_signal(200)
    nan, posinf, neginf = x.copy(), x.copy(), x.copy()
    nan[10] = np.nan
    posinf[10] = np.inf
    neginf[10] = -np.inf
    as_zero, as_one = x.copy(), x.copy()
    as_zero[10] = 0.0
    as_one[10] = 1.0
    assert compress_signal(nan) == compress_signal(as_zero)
    assert compress_signal(neginf) == compress_signal(as_zero)
    assert compress_signal(posinf) == compress_signal(as_one)
