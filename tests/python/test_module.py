"""The module object, its functions' records and the shared object's exports."""
import shutil
import sys
import subprocess
import types

import pytest
import quorvane

from conftest import run_python


def test_module_namespace():
    assert quorvane.__name__ == "quorvane"
    assert quorvane.__doc__ == ""
    assert quorvane.__all__ == ["QuorvCompressionOptions", "compress_signal", "decompress_signal"]
    assert isinstance(quorvane.__all__, list)
    public = {name for name in vars(quorvane) if not name.startswith("__")}
    assert public == set(quorvane.__all__)


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (
            quorvane.compress_signal,
            "(data, options=None)",
            "Compress a 1-D float32 **or** float64 NumPy array into Quorvane `bytes`.\n"
            "\n"
            "float64 input is downcast to float32 before compression (the codec works in\n"
            "f32 internally and always reconstructs f32 on decompress).",
        ),
        (
            quorvane.decompress_signal,
            "(data)",
            "Decompress a Quorvane bytes object into a 1-D float32 NumPy array.",
        ),
    ],
)
def test_function_records(function, signature, doc):
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "quorvane"
    # Static functions report no bound object.
    assert function.__self__ is None


def test_options_class_record():
    cls = quorvane.QuorvCompressionOptions
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "QuorvCompressionOptions"
    assert cls.__bases__ == (object,)
    # Python 3.9 does not look past the dotted type name for the signature.
    if sys.version_info >= (3, 10):
        assert cls.__text_signature__ == '(method="cdf97", scale=11, cutoff="low", coder=None)'
    assert not cls.__doc__


def test_import_does_not_import_numpy():
    result = run_python(
        """
        import sys
        import quorvane
        assert "numpy" not in sys.modules, "imported numpy"
        # Argument errors need no NumPy either.
        try:
            quorvane.decompress_signal(bytearray())
        except TypeError:
            pass
        assert "numpy" not in sys.modules, "decompress_signal imported numpy"
        quorvane.QuorvCompressionOptions(scale=6)
        assert "numpy" not in sys.modules, "options imported numpy"
        try:
            quorvane.compress_signal([1.0])
        except ValueError:
            pass
        assert "numpy" in sys.modules
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_first_use_loads_numpy_in_a_fresh_process():
    result = run_python(
        """
        import quorvane, numpy as np
        x = np.linspace(-1, 1, 300, dtype=np.float32)
        y = quorvane.decompress_signal(quorvane.compress_signal(x))
        print(type(y).__name__, y.dtype, y.shape[0])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ndarray", "float32", "300"]


def test_second_module_instance_accepts_options_of_either():
    # A second module object (after removing the first from sys.modules)
    # accepts options created by either instance.
    result = run_python(
        """
        import sys, importlib, numpy as np
        import quorvane as first
        del sys.modules["quorvane"]
        second = importlib.import_module("quorvane")
        assert second is not first
        assert second.QuorvCompressionOptions is not first.QuorvCompressionOptions
        x = np.linspace(0, 1, 100, dtype=np.float32)
        a = first.compress_signal(x, second.QuorvCompressionOptions())
        b = second.compress_signal(x, first.QuorvCompressionOptions())
        assert a == b
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) not installed")
def test_only_export_is_the_init_function():
    output = subprocess.run(
        ["nm", "-D", "--defined-only", quorvane.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert exported == ["PyInit_quorvane"]
