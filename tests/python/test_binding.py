"""The Python surface of the extension: module, class, argument binding, exceptions."""

import importlib.util
import inspect
import pathlib
import shutil
import subprocess
import sys

import pytest

import tarnix_xray
from tarnix_xray import Xray
from tarnix_xray import _tarnix_xray as native

VERSION_CMD = '{"cmd":"version"}'
VERSION_RESPONSE = '{"version":"0.2.0"}'


def test_module_and_type():
    assert native.__version__ == tarnix_xray.__version__ == Xray.version() == "0.2.0"
    assert native.Xray is Xray is tarnix_xray.Xray
    assert (Xray.__name__, Xray.__qualname__, Xray.__module__) == ("Xray", "Xray", "builtins")
    assert [str(inspect.signature(f)) for f in (Xray, Xray.command, Xray.version)] == [
        "(spec_json)", "(self, /, cmd_json)", "()"]
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (Xray,), {})
    # Multi-phase initialisation: loading the file again runs the module's
    # execution again, with a fresh __all__ but the same type.
    spec = importlib.util.spec_from_file_location(native.__name__, native.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not native and again.Xray is Xray
    assert native.__all__ == again.__all__ == ["__version__", "Xray"]


NEW = "Xray.__new__()"
CMD = "Xray.command()"


@pytest.mark.parametrize("call, args, kwargs, message", [
    (Xray, (), {}, f"{NEW} missing 1 required positional argument: 'spec_json'"),
    (Xray, ("", ""), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
    (Xray, ("",), {"spec_json": ""}, f"{NEW} got multiple values for argument 'spec_json'"),
    (Xray, ("",), {"x\u00e9": 1}, f"{NEW} got an unexpected keyword argument 'x\u00e9'"),
    (Xray, (), {"spec_json\x00": ""}, f"{NEW} got an unexpected keyword argument 'spec_json\x00'"),
    (Xray("").command, (), {}, f"{CMD} missing 1 required positional argument: 'cmd_json'"),
    (Xray("").command, ("a", "b"), {}, f"{CMD} takes 1 positional arguments but 2 were given"),
    (Xray("").command, (VERSION_CMD,), {"self": 1}, f"{CMD} got an unexpected keyword argument 'self'"),
])
def test_argument_binding_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


class StrChild(str):
    """Accepted as a str; its Python-level methods are never consulted."""

    def __str__(self):
        raise AssertionError("__str__ called")

    def encode(self, *args, **kwargs):
        raise AssertionError("encode called")


def test_argument_forms():
    assert Xray(spec_json="").command(cmd_json=VERSION_CMD) == VERSION_RESPONSE
    assert Xray.__new__(Xray, "").command(VERSION_CMD) == VERSION_RESPONSE
    assert Xray(StrChild("")).command(StrChild(VERSION_CMD)) == VERSION_RESPONSE
    # a long non-ASCII text crosses by its UTF-8 bytes
    padded = '{"cmd":"version","pad":"' + "\u00e9" * 100_000 + '"}'
    assert Xray("").command(padded) == VERSION_RESPONSE


class Custom:
    pass


@pytest.mark.parametrize("value, error, message", [
    (None, TypeError, "'None' is not an instance of 'str'"),
    (b'{"cmd":"version"}', TypeError, "'bytes' object is not an instance of 'str'"),
    (Custom(), TypeError, "'Custom' object is not an instance of 'str'"),
    ('{"cmd":"\udfff"}', UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udfff' in position 8: surrogates not allowed"),
])
@pytest.mark.parametrize("use_keyword", [False, True])
@pytest.mark.parametrize("where", ["constructor", "command"])
def test_argument_text_faults_carry_a_note(value, error, message, use_keyword, where):
    param = "spec_json" if where == "constructor" else "cmd_json"
    x = Xray("")
    target = Xray if where == "constructor" else x.command
    with pytest.raises(error) as info:
        target(**{param: value}) if use_keyword else target(value)
    assert (type(info.value), str(info.value)) == (error, message)
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert x.command(VERSION_CMD) == VERSION_RESPONSE  # the instance was handed back


# In a fresh process, whose peak resident size nothing else has raised: an
# ASCII command is read in place, without a copy of its 64 MB. Warnings are
# errors there, so the import must raise none.
READ_IN_PLACE = """
import resource
from tarnix_xray import Xray
text, x = '{"cmd":"version"}'.ljust(64 << 20), Xray("")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert x.command(text) == '{"version":"0.2.0"}'
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
assert grown < (64 << 20) // 4, grown
"""


def test_an_ascii_command_is_read_in_place():
    done = subprocess.run([sys.executable, "-W", "error", "-c", READ_IN_PLACE], capture_output=True, text=True,
                          check=False)
    assert done.returncode == 0, done.stderr


def test_built_for_the_stable_abi():
    path = pathlib.Path(native.__file__)
    assert path.name.endswith(".abi3.so")
    stable = pytest.importorskip("test.test_stable_abi_ctypes", reason="CPython's list of stable-ABI symbols")
    if shutil.which("nm") is None:
        pytest.skip("nm is not available")
    listing = subprocess.run(["nm", "-D", "--undefined-only", str(path)], capture_output=True,
                             text=True, check=True).stdout
    used = {line.split()[-1] for line in listing.splitlines() if line.split()}
    python_symbols = {s for s in used if s.startswith(("Py", "_Py"))}
    assert "PyType_FromSpec" in python_symbols and python_symbols - set(stable.SYMBOL_NAMES) == set()


@pytest.mark.parametrize("module", [native.__name__, "tarnix_xray._native"])
def test_type_stub_matches_the_module(module):
    pytest.importorskip("mypy.stubtest")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", module],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr


# In a fresh process with one optional package hidden, as if not installed:
# each way in says what needs it and which extra brings it, in one line.
MISSING = """
import sys
sys.modules[sys.argv[1]] = None
import tarnix_xray
from tarnix_xray.cli import main
SPEC = '{"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"}]}'
try:
    exec(sys.argv[2])
except ImportError as e:
    sys.exit(f"{e.name}: {e}")
"""
PIP = 'pip install "tarnix_xray[{}]"'


@pytest.mark.parametrize("hidden, code, exit_code, line", [
    ("matplotlib", "import tarnix_xray.plot", 1, "matplotlib: tarnix_xray.plot needs matplotlib: " + PIP.format("plot")),
    ("starlette", "import tarnix_xray.view", 1, "starlette: tarnix_xray.view needs starlette: " + PIP.format("view")),
    ("numpy", "s = tarnix_xray.Session(SPEC); s.load_json(open('{d}/ds.json').read()); s.frame()", 1,
     "numpy: Frame needs numpy: " + PIP.format("data")),
    ("numpy", "sys.exit(main(['frame', '{d}/ds.json', '--spec', SPEC]))", 2,
     "tarnix-xray: tarnix_xray.data needs numpy: " + PIP.format("data")),
    ("pyarrow", "sys.exit(main(['convert', '{d}/trades.csv', '-o', '{d}/out.json']))", 2,
     "tarnix-xray: reading trades.csv needs pyarrow: " + PIP.format("data")),
    ("numpy", "sys.exit(main(['batch', '{d}', '--spec', '{}', '--every', '1h', '-o', '{d}/out']))", 2,
     "tarnix-xray: tarnix_xray.batch needs numpy: " + PIP.format("data")),
])
def test_a_missing_extra_is_one_message(tmp_path, hidden, code, exit_code, line):
    if hidden == "pyarrow":
        pytest.importorskip("pandas")  # without it, pandas is the first thing missing
    (tmp_path / "ds.json").write_text('{"trades":[[1000,100.5,1.0,"buy"]]}')
    (tmp_path / "trades.csv").write_text("ts,price,qty,side\n1000,100.5,1.0,buy\n")
    done = subprocess.run([sys.executable, "-c", MISSING, hidden, code.replace("{d}", str(tmp_path))],
                          capture_output=True, text=True, check=False)
    assert (done.returncode, done.stderr) == (exit_code, line + "\n")


def test_check_layers_reports_what_a_part_may_not_import(tmp_path):
    package = tmp_path / "python" / "tarnix_xray"
    (package / "cli").mkdir(parents=True)
    (tmp_path / "src").mkdir()
    (package / "_extras.py").write_text('EXTRAS = {"numpy": "data"}\n')
    (package / "cli" / "__init__.py").write_text(
        "from .._tarnix_xray import Xray\ntry:\n    import numpy\nexcept ImportError:\n    pass\n")
    tool = pathlib.Path(__file__).resolve().parents[2] / "tools" / "check_layers.py"
    done = subprocess.run([sys.executable, str(tool), str(tmp_path)], capture_output=True, text=True, check=False)
    found = [line.split(": ")[:2] for line in done.stdout.splitlines()]
    where = "python/tarnix_xray/cli/__init__.py"
    assert done.returncode == 1 and found == [[f"{where}:1", "imports tarnix_xray._tarnix_xray"],
                                              [f"{where}:3", "imports numpy when loaded"],
                                              [f"{where}:4", "catches ImportError"]]
