"""The default options are defined once, by the extension's C++ options; the
class's text signature, the tools, the numcodecs codec and the type stubs
state the same values."""
import ast
import inspect
from pathlib import Path

import numpy as np
import quorvane

from quorvane_tools import options
from tools_support import synthetic_signals

STUB = Path(__file__).resolve().parents[2] / "quorvane-stubs" / "__init__.pyi"


def signature_defaults():
    parameters = inspect.signature(quorvane.QuorvCompressionOptions).parameters
    return {name: p.default for name, p in parameters.items()}


def test_signature_states_the_options_compress_signal_uses():
    # Spelled out from the signature, the defaults give the bytes of no options.
    x = synthetic_signals()["chirp"][:5000]
    spelled = quorvane.QuorvCompressionOptions(**signature_defaults())
    assert quorvane.compress_signal(x, spelled) == quorvane.compress_signal(x)


def test_tools_and_stubs_state_the_extension_defaults():
    expected = dict(signature_defaults(), coder="auto")  # None stands for "auto"
    choice = options.OptionChoice()
    assert choice.as_dict() == expected
    codec = _numcodecs_codec()()  # its unset parameters take the tools' defaults
    assert {name: getattr(codec, name) for name in expected} == expected

    stub = ast.parse(STUB.read_text())
    new = next(node for node in ast.walk(stub) if isinstance(node, ast.FunctionDef) and node.name == "__new__")
    names = [a.arg for a in new.args.args[1:]]
    stub_defaults = dict(zip(names, (ast.literal_eval(d) for d in new.args.defaults)))
    assert stub_defaults == signature_defaults()


def _numcodecs_codec():
    from tools_support import require

    require("numcodecs")
    from quorvane_tools.numcodecs_codec import Quorvane

    return Quorvane
