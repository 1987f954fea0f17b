#!/usr/bin/env python3
"""Checks the includes of src/ and python/ against the layers.

Folders of src/ are layers, listed from the bottom up; a file includes only
from the layers its own may see. Quoted includes are written from src/
(`#include "core/errors.h"`) and must name a file there, or the generated
core/version.h; python/ may also include its own headers, written from
python/. Only python/ may include Python.h.

The Python package python/tarnix_xray is read with `ast`, and three rules
hold for its modules (parts are its subpackages and its top-level modules):

- cli/, plot.py, view/ and batch/ never import the engine (_native,
  _tarnix_xray, _schema, or the names Xray and Engine): they go through
  Session, Frame and data.
- An optional package (the EXTRAS table of _extras.py) is imported at a
  module's top level only after its part's entry (`__init__.py`, or the
  module itself) has called `need` for it: before the entry's first import
  of the package's own modules, or before that import in the entry itself.
- No module but _extras.py catches ImportError: `need` raises the one
  message that names the extra to install.

Prints one line per violation, `file:line: what: why`, and exits 1 when there
is any; exits 0 otherwise.

    tools/check_layers.py [REPO]    (default: the repository holding this script)
"""

from __future__ import annotations

import ast
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

# Bottom up; a layer's rank is its place here.
LAYERS = ("core", "json", "columns", "decode", "model", "protocol", "panels", "engine", "top", "python")
TOP, PYTHON = "top", "python"
SRC_LAYERS = frozenset(LAYERS) - {PYTHON}
FOLDERS = tuple(name for name in LAYERS if name not in (TOP, PYTHON))

# What each layer may include. `top` is src/*.{h,cpp}: the instance and the
# constructor path, which see everything in src/; python/ sees src/ too.
ALLOWED: dict[str, frozenset[str]] = {
    "core": frozenset({"core"}),
    "json": frozenset({"core", "json"}),
    "columns": frozenset({"core", "json", "columns"}),
    "decode": frozenset({"core", "json", "decode"}),
    "model": frozenset({"core", "model"}),
    "protocol": frozenset({"core", "json", "decode", "model", "protocol"}),
    "panels": frozenset({"core", "model", "panels"}),
    "engine": frozenset({"core", "model", "panels", "engine"}),
    TOP: SRC_LAYERS,
    PYTHON: SRC_LAYERS,
}

# Made by CMake from src/core/version.h.in into the build tree.
GENERATED = {"core/version.h": "core/version.h.in"}

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".inc", ".in"}
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"(?P<quoted>[^"]+)"|<(?P<angled>[^>]+)>)')


def layer_of_src_path(rel: str) -> str | None:
    """The layer of a path relative to src/, or None for an unknown folder."""
    parts = rel.split("/")
    if len(parts) == 1:
        return TOP
    return parts[0] if parts[0] in FOLDERS else None


def allowed_text(layer: str) -> str:
    if layer in (TOP, PYTHON):
        return f"{layer} may include anything in src/"
    ordered = [name for name in LAYERS if name in ALLOWED[layer]]
    return f"{layer} may include {', '.join(ordered)} only"


def resolve(src: Path, included: str) -> str | None:
    """The include as a normalised path relative to src/, or None when no
    file there (or generated from there) answers to it."""
    if included.startswith("/"):
        return None
    parts: list[str] = []
    for part in included.split("/"):
        if part in ("", "."):
            continue
        if part == "..":
            if not parts:
                return None  # climbs out of src/
            parts.pop()
        else:
            parts.append(part)
    rel = "/".join(parts)
    if rel in GENERATED:
        return rel if (src / GENERATED[rel]).is_file() else None
    return rel if (src / rel).is_file() else None


def check_file(repo: Path, path: Path, layer: str, problems: list[str]) -> int:
    src = repo / "src"
    name = path.relative_to(repo).as_posix()
    count = 0
    text = path.read_text(encoding="utf-8", errors="replace")
    for number, line in enumerate(text.splitlines(), start=1):
        match = INCLUDE.match(line)
        if match is None:
            continue
        count += 1
        where = f"{name}:{number}"
        included = match.group("quoted") or match.group("angled")
        if Path(included).name == "Python.h":
            if layer != PYTHON:
                problems.append(
                    f"{where}: includes Python.h: only python/ may; the core builds without Python"
                )
            continue
        if match.group("quoted") is None:
            continue  # system and library headers
        if layer == PYTHON and (repo / "python" / included).is_file():
            continue  # the bindings' own headers (binding/, native/)
        target = resolve(src, included)
        if target is None:
            problems.append(
                f'{where}: includes "{included}": no such file under src/ '
                "(quoted includes are written from src/)"
            )
            continue
        target_layer = layer_of_src_path(target)
        if target_layer is None:
            problems.append(f'{where}: includes "{included}": src/{target} lies in no layer')
            continue
        if target_layer in ALLOWED[layer]:
            continue
        direction = "upward" if LAYERS.index(target_layer) > LAYERS.index(layer) else "across"
        problems.append(
            f'{where}: includes "{included}": points {direction} to {target_layer}; '
            f"{allowed_text(layer)}"
        )
    return count


def sources(folder: Path) -> list[Path]:
    if not folder.is_dir():
        return []
    return sorted(
        p for p in folder.rglob("*") if p.is_file() and p.suffix in SOURCE_SUFFIXES
    )


# -- Python: the package's parts and what they may import ---------------------

PACKAGE = "tarnix_xray"
# Parts that reach the engine only through Session, Frame and data.
ENGINE_FREE = frozenset({"cli", "plot.py", "view", "batch"})
ENGINE_MODULES = tuple(f"{PACKAGE}.{name}" for name in ("_native", "_tarnix_xray", "_schema"))
ENGINE_NAMES = frozenset({"Xray", "Engine"})
EXTRAS_FILE = "_extras.py"
IMPORT_ERRORS = frozenset({"ImportError", "ModuleNotFoundError"})


@dataclass
class PyModule:
    """One .py file of the package: where it lies and what it imports."""

    rel: str  # relative to python/tarnix_xray, e.g. "cli/_run.py"
    name: str  # dotted, e.g. "tarnix_xray.cli._run"
    imports: list[tuple[int, str, tuple[str, ...], bool]] = field(default_factory=list)
    # (line, module, names, runs at import time); `from M import a, b` is (M, (a, b))
    needs: list[tuple[int, str]] = field(default_factory=list)  # top-level need(): (line, package)
    handlers: list[int] = field(default_factory=list)  # lines catching ImportError

    @property
    def part(self) -> str:
        return self.rel.split("/")[0]

    @property
    def entry(self) -> str:
        return self.part if "/" not in self.rel else f"{self.part}/__init__.py"

    @property
    def package(self) -> str:
        """What a relative import of this module starts from."""
        return self.name if self.rel.endswith("__init__.py") else self.name.rpartition(".")[0]


def _is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def _need_package(node: ast.Call) -> str | None:
    func = node.func
    called = func.id if isinstance(func, ast.Name) else func.attr if isinstance(func, ast.Attribute) else ""
    if called != "need" or not node.args:
        return None
    first = node.args[0]
    if isinstance(first, ast.Constant) and isinstance(first.value, str):
        return first.value.partition(".")[0]
    return None


class _Reader(ast.NodeVisitor):
    """Fills a PyModule: imports (and whether they run when the module is imported),
    top-level need() calls and ImportError handlers."""

    def __init__(self, module: PyModule) -> None:
        self.module = module
        self.deferred = 0  # inside a function, or under `if TYPE_CHECKING`

    def _later(self, node: ast.AST) -> None:
        self.deferred += 1
        self.generic_visit(node)
        self.deferred -= 1

    visit_FunctionDef = visit_AsyncFunctionDef = visit_Lambda = _later

    def visit_If(self, node: ast.If) -> None:
        if not _is_type_checking(node.test):
            self.generic_visit(node)
            return
        self.deferred += 1
        for child in node.body:
            self.visit(child)
        self.deferred -= 1
        for child in node.orelse:
            self.visit(child)

    def visit_Import(self, node: ast.Import) -> None:
        for alias in node.names:
            self.module.imports.append((node.lineno, alias.name, (), not self.deferred))

    def visit_ImportFrom(self, node: ast.ImportFrom) -> None:
        target = node.module or ""
        if node.level:
            base = self.module.package.split(".")
            base = base[: len(base) - (node.level - 1)]
            target = ".".join(base + ([node.module] if node.module else []))
        names = tuple(alias.name for alias in node.names)
        self.module.imports.append((node.lineno, target, names, not self.deferred))

    def visit_Call(self, node: ast.Call) -> None:
        package = _need_package(node)
        if package is not None and not self.deferred:
            self.module.needs.append((node.lineno, package))
        self.generic_visit(node)

    def visit_ExceptHandler(self, node: ast.ExceptHandler) -> None:
        caught = node.type.elts if isinstance(node.type, ast.Tuple) else [node.type]
        for t in caught:
            name = t.id if isinstance(t, ast.Name) else t.attr if isinstance(t, ast.Attribute) else ""
            if name in IMPORT_ERRORS:
                self.module.handlers.append(node.lineno)
        self.generic_visit(node)


def read_module(root: Path, path: Path, problems: list[str], where: str) -> PyModule | None:
    rel = path.relative_to(root).as_posix()
    dotted = [PACKAGE, *rel[: -len(".py")].split("/")]
    if dotted[-1] == "__init__":
        dotted.pop()
    module = PyModule(rel, ".".join(dotted))
    try:
        tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    except (SyntaxError, UnicodeDecodeError, ValueError) as e:
        problems.append(f"{where}:{getattr(e, 'lineno', None) or 1}: does not parse: {e}")
        return None
    _Reader(module).visit(tree)
    return module


def extras_table(root: Path, problems: list[str], where: str) -> dict[str, str]:
    """The EXTRAS table of _extras.py: optional package -> extra."""
    path = root / EXTRAS_FILE
    try:
        for node in ast.parse(path.read_text(encoding="utf-8")).body:
            target = node.targets[0] if isinstance(node, ast.Assign) else getattr(node, "target", None)
            if isinstance(target, ast.Name) and target.id == "EXTRAS" and node.value is not None:
                return dict(ast.literal_eval(node.value))
    except (OSError, SyntaxError, ValueError, TypeError):
        pass  # reported below; a file that does not parse is reported with the others too
    problems.append(f"{where}/{EXTRAS_FILE}:1: no EXTRAS table: the optional packages are listed there")
    return {}


def engine_import(module: str, names: tuple[str, ...]) -> str | None:
    """What of the engine an import reaches, or None."""
    for engine in ENGINE_MODULES:
        if module == engine or module.startswith(engine + "."):
            return module
    if module == PACKAGE or module.startswith(PACKAGE + "."):
        for name in names:
            if name in ENGINE_NAMES:
                return f"{name} from {module}"
            if module == PACKAGE and f"{PACKAGE}.{name}" in ENGINE_MODULES:
                return f"{PACKAGE}.{name}"
    return None


def first_own_import(entry: PyModule) -> int:
    """The line of the entry's first top-level import of a module of the package
    (after which the part's modules may be loading), other than _extras."""
    extras = f"{PACKAGE}.{EXTRAS_FILE[: -len('.py')]}"
    lines = [
        line for line, module, names, now in entry.imports
        if now and (module == PACKAGE or module.startswith(PACKAGE + ".")) and module != extras
    ]  # fmt: skip
    return min(lines, default=sys.maxsize)


def check_python(repo: Path, problems: list[str]) -> tuple[int, int]:
    """Checks python/tarnix_xray; returns (modules, imports) read."""
    root = repo / "python" / PACKAGE
    if not root.is_dir():
        return 0, 0
    where = root.relative_to(repo).as_posix()
    extras = extras_table(root, problems, where)
    modules = {}
    for path in sorted(root.rglob("*.py")):
        module = read_module(root, path, problems, f"{where}/{path.relative_to(root).as_posix()}")
        if module is not None:
            modules[module.rel] = module
    for module in modules.values():
        name = f"{where}/{module.rel}"
        entry = modules.get(module.entry)
        shown = f"{module.part}/" if "/" in module.rel else module.part
        for line, target, names, now in module.imports:
            reached = engine_import(target, names) if module.part in ENGINE_FREE else None
            if reached is not None:
                problems.append(
                    f"{name}:{line}: imports {reached}: {shown} reaches the engine through "
                    "Session, Frame and data only"
                )
            package = target.partition(".")[0]
            if not now or package not in extras:
                continue
            # No entry (a folder without __init__.py) has nowhere to call need() first.
            before = line if entry is module else first_own_import(entry) if entry else 0
            if not any(p == package and at < before for at, p in (entry.needs if entry else [])):
                problems.append(
                    f"{name}:{line}: imports {package} when loaded: {module.entry} calls no "
                    f'need("{package}", ...) before {"it" if entry is module else "loading the part"}; '
                    f'a missing package is one message naming [{extras[package]}]'
                )
        if module.rel != EXTRAS_FILE:
            for line in module.handlers:
                problems.append(
                    f"{name}:{line}: catches ImportError: only {EXTRAS_FILE} does; call need(), "
                    "whose message names the extra to install"
                )
    return len(modules), sum(len(m.imports) for m in modules.values())


def main(argv: list[str]) -> int:
    repo = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    src = repo / "src"
    if not src.is_dir():
        print(f"check_layers: no src/ under {repo}", file=sys.stderr)
        return 2
    problems: list[str] = []
    files = includes = 0
    for path in sources(src):
        rel = path.relative_to(src).as_posix()
        layer = layer_of_src_path(rel)
        files += 1
        if layer is None:
            problems.append(
                f"src/{rel}:1: lies in no layer: src/ holds only "
                f"{', '.join(FOLDERS)} and top-level sources"
            )
            continue
        includes += check_file(repo, path, layer, problems)
    for path in sources(repo / "python"):
        files += 1
        includes += check_file(repo, path, PYTHON, problems)
    modules, imports = check_python(repo, problems)
    for problem in problems:
        print(problem)
    verdict = f"{len(problems)} violation(s)" if problems else "ok"
    print(f"check_layers: {files} files, {includes} includes, {modules} modules, {imports} imports: {verdict}",
          file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
