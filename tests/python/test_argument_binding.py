"""Binding of positional and keyword arguments: one binder, three callables."""
import re

import numpy as np
import pytest
from quorvane import QuorvCompressionOptions, compress_signal, decompress_signal

X = np.linspace(0.0, 1.0, 64, dtype=np.float32)
OPTS = QuorvCompressionOptions


@pytest.mark.parametrize(
    "call, message",
    [
        # Too many positional arguments.
        (lambda: decompress_signal(b"", b""),
         "decompress_signal() takes 1 positional arguments but 2 were given"),
        (lambda: decompress_signal(b"", b"", b""),
         "decompress_signal() takes 1 positional arguments but 3 were given"),
        (lambda: compress_signal(X, None, None),
         "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: OPTS("cdf97", 11, "low", None, None),
         "QuorvCompressionOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
        # Unknown keywords.
        (lambda: compress_signal(X, level=3),
         "compress_signal() got an unexpected keyword argument 'level'"),
        (lambda: decompress_signal(b"", Data=b""),
         "decompress_signal() got an unexpected keyword argument 'Data'"),
        (lambda: OPTS(level=3),
         "QuorvCompressionOptions.__new__() got an unexpected keyword argument 'level'"),
        (lambda: OPTS(**{"scale ": 6}),
         "QuorvCompressionOptions.__new__() got an unexpected keyword argument 'scale '"),
        # A parameter given twice.
        (lambda: compress_signal(X, data=X),
         "compress_signal() got multiple values for argument 'data'"),
        (lambda: compress_signal(X, None, options=None),
         "compress_signal() got multiple values for argument 'options'"),
        (lambda: decompress_signal(b"", data=b""),
         "decompress_signal() got multiple values for argument 'data'"),
        (lambda: OPTS("cdf97", 11, method="cdf53"),
         "QuorvCompressionOptions.__new__() got multiple values for argument 'method'"),
        (lambda: OPTS("cdf97", 11, "low", None, coder="auto"),
         "QuorvCompressionOptions.__new__() got multiple values for argument 'coder'"),
        # Missing required arguments.
        (lambda: compress_signal(),
         "compress_signal() missing 1 required positional argument: 'data'"),
        (lambda: compress_signal(options=None),
         "compress_signal() missing 1 required positional argument: 'data'"),
        (lambda: decompress_signal(),
         "decompress_signal() missing 1 required positional argument: 'data'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as info:
        call()
    assert type(info.value) is TypeError


def test_keyword_checks_run_in_the_order_given():
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        compress_signal(X, bogus=1, data=X)
    with pytest.raises(TypeError, match="multiple values for argument 'data'"):
        compress_signal(X, data=X, bogus=1)


def test_binding_errors_come_before_conversion():
    # Neither argument is valid, but the binder reports first.
    with pytest.raises(TypeError, match="takes from 1 to 2 positional"):
        compress_signal("not an array", 5, 6)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        OPTS(method=1, x=2)


@pytest.mark.parametrize(
    "kwargs",
    [dict(data=X), dict(data=X, options=None), dict(options=None, data=X), dict(data=X, options=OPTS())],
)
def test_compress_keywords_bind_like_positions(kwargs):
    assert compress_signal(**kwargs) == compress_signal(X)


def test_decompress_by_keyword():
    stream = compress_signal(X)
    assert np.array_equal(decompress_signal(data=stream), decompress_signal(stream))


def test_options_keywords_from_a_dict():
    # The constructor receives a dict of keywords; the binder handles it the
    # same way as the fast-call keywords.
    base = compress_signal(X, OPTS("cdf53", 8, "high", "deflate"))
    kwargs = {"coder": "deflate", "cutoff": "high", "scale": 8, "method": "cdf53"}
    assert compress_signal(X, OPTS(**kwargs)) == base
    assert compress_signal(X, OPTS("cdf53", 8, coder="deflate", cutoff="high")) == base
