"""The Python surface of the extension: module, class, argument binding, exceptions."""

import importlib.util
import inspect
import pathlib
import shutil
import subprocess
import sys

import pytest

import tarnix_xray
from tarnix_xray import _tarnix_xray as native
from tarnix_xray import Xray

VERSION_CMD = '{"cmd":"version"}'
VERSION_RESPONSE = '{"version":"0.2.0"}'


def test_module_attributes():
    assert native.__doc__ == "The native module (`tarnix_xray._tarnix_xray`)."
    assert native.__all__ == ["__version__", "Xray"]
    assert native.__version__ == "0.2.0"
    assert native.Xray is Xray is tarnix_xray.Xray
    assert tarnix_xray.__version__ == "0.2.0"
    namespace = {}
    exec("from tarnix_xray._tarnix_xray import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == ["Xray", "__version__"]


def test_second_module_object_reuses_the_type():
    # Multi-phase initialisation: loading the file again makes a new module
    # object whose execution runs again, with a fresh __all__ but the same type.
    spec = importlib.util.spec_from_file_location(native.__name__, native.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not native
    assert again.Xray is Xray
    assert again.__all__ == ["__version__", "Xray"]
    assert again.Xray("").command(VERSION_CMD) == VERSION_RESPONSE


def test_import_raises_no_warning():
    done = subprocess.run([sys.executable, "-W", "error", "-c", "import tarnix_xray"],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr


def test_type_identity():
    x = Xray("")
    assert type(x) is Xray
    assert (Xray.__name__, Xray.__qualname__, Xray.__module__) == ("Xray", "Xray", "builtins")
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        class Derived(Xray):  # noqa: F841
            pass


@pytest.mark.parametrize(
    "obj, doc, text_signature, signature",
    [
        (Xray,
         "An xray instance driven by JSON commands.\n\n`unsendable`: a handle owns a mutable "
         "dataset and spec, so it is bound to the\nthread that created it.",
         "(spec_json)", "(spec_json)"),
        (Xray.command, "Apply a command JSON and return the resulting response JSON.",
         "($self, cmd_json)", "(self, /, cmd_json)"),
        (Xray.version, "The library version.", "()", "()"),
    ],
)
def test_doc_strings_and_signatures(obj, doc, text_signature, signature):
    assert obj.__doc__ == doc
    assert obj.__text_signature__ == text_signature
    assert str(inspect.signature(obj)) == signature


def test_version_on_class_and_instance():
    x = Xray("")
    assert Xray.version() == x.version() == native.__version__
    assert x.command(VERSION_CMD) == VERSION_RESPONSE
    with pytest.raises(TypeError):
        Xray.version("extra")


def construct(*args, **kwargs):
    return Xray(*args, **kwargs)


def run_command(*args, **kwargs):
    return Xray("").command(*args, **kwargs)


NEW = "Xray.__new__()"
CMD = "Xray.command()"


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (construct, (), {}, f"{NEW} missing 1 required positional argument: 'spec_json'"),
        (construct, ("", ""), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
        (construct, ("",), {"spec_json": ""}, f"{NEW} got multiple values for argument 'spec_json'"),
        (construct, ("",), {"x\u00e9": 1}, f"{NEW} got an unexpected keyword argument 'x\u00e9'"),
        (construct, (), {"spec_json\x00": ""},
         f"{NEW} got an unexpected keyword argument 'spec_json\x00'"),
        (run_command, (), {}, f"{CMD} missing 1 required positional argument: 'cmd_json'"),
        (run_command, ("a", "b"), {}, f"{CMD} takes 1 positional arguments but 2 were given"),
        (run_command, (VERSION_CMD,), {"self": 1}, f"{CMD} got an unexpected keyword argument 'self'"),
    ],
)
def test_argument_binding_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_keyword_form_equals_positional_form():
    assert Xray(spec_json="").command(cmd_json=VERSION_CMD) == VERSION_RESPONSE
    assert Xray.__new__(Xray, "").command(VERSION_CMD) == VERSION_RESPONSE


class Custom:
    pass


class StrChild(str):
    """Accepted as a str; its Python-level methods are never consulted."""

    def __str__(self):
        raise AssertionError("__str__ called")

    def encode(self, *args, **kwargs):
        raise AssertionError("encode called")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (None, TypeError, "'None' is not an instance of 'str'"),
        (b'{"cmd":"version"}', TypeError, "'bytes' object is not an instance of 'str'"),
        (Custom(), TypeError, "'Custom' object is not an instance of 'str'"),
        ('{"cmd":"\udfff"}', UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udfff' in position 8: surrogates not allowed"),
    ],
)
@pytest.mark.parametrize("use_keyword", [False, True])
@pytest.mark.parametrize("where", ["constructor", "command"])
def test_argument_text_faults_carry_a_note(value, error, message, use_keyword, where):
    param = "spec_json" if where == "constructor" else "cmd_json"
    x = Xray("")
    target = Xray if where == "constructor" else x.command
    with pytest.raises(error) as info:
        target(**{param: value}) if use_keyword else target(value)
    assert type(info.value) is error
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]
    # the use flag was handed back: the instance still answers
    assert x.command(VERSION_CMD) == VERSION_RESPONSE


def test_str_subclass_is_taken_as_its_text():
    assert Xray(StrChild("")).command(StrChild(VERSION_CMD)) == VERSION_RESPONSE


@pytest.mark.parametrize(
    "command, response",
    [
        # byte lengths, not code point counts, cross the boundary both ways
        ('{"cmd":"\u00e9\u3000\U0001f600"}',
         '{"ok":false,"error":"bad spec: unknown cmd: \u00e9\u3000\U0001f600"}'),
        # an embedded NUL is part of the text, not its end
        ('{"cmd":"version"}\x00', '{"ok":false,"error":"parse: trailing characters at line 1 '
                                  'column 18"}'),
        ('{"cmd":"version","pad":"' + "\u00e9" * 100_000 + '"}', VERSION_RESPONSE),
    ],
)
def test_command_text_crosses_the_boundary_unchanged(command, response):
    assert Xray("").command(command) == response


# Run in a fresh process, whose peak resident size nothing else has raised.
READ_IN_PLACE = """
import resource
from tarnix_xray import Xray
size = 64 << 20
# one allocation, no larger intermediate; the reader skips the blanks without storing them
text = '{"cmd":"version"}'.ljust(size)
x = Xray("")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert x.command(text) == '{"version":"0.2.0"}'
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
print(grown)
assert grown < size // 4, grown
"""


def test_an_ascii_command_is_read_in_place():
    done = subprocess.run([sys.executable, "-c", READ_IN_PLACE], capture_output=True, text=True,
                          check=False)
    assert done.returncode == 0, done.stderr


def test_built_for_the_stable_abi():
    path = pathlib.Path(native.__file__)
    assert path.name.endswith(".abi3.so")
    nm = shutil.which("nm")
    try:
        from test.test_stable_abi_ctypes import SYMBOL_NAMES
    except ImportError:
        SYMBOL_NAMES = None
    if nm is None or SYMBOL_NAMES is None:
        pytest.skip("nm or CPython's list of stable-ABI symbols is not available")
    listing = subprocess.run([nm, "-D", "--undefined-only", str(path)], capture_output=True,
                             text=True, check=True).stdout
    used = {line.split()[-1] for line in listing.splitlines() if line.split()}
    python_symbols = {s for s in used if s.startswith(("Py", "_Py"))}
    assert "PyType_FromSpec" in python_symbols
    assert python_symbols - set(SYMBOL_NAMES) == set()


def test_type_stub_matches_the_module():
    pytest.importorskip("mypy.stubtest")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", native.__name__],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
