#!/usr/bin/env python3
"""Checks the includes of src/ and python/ against the layers.

Folders of src/ are layers, listed from the bottom up; a file includes only
from the layers its own may see. Quoted includes are written from src/
(`#include "core/errors.h"`) and must name a file there, or the generated
core/version.h; python/ may also include its own headers, written from
python/. Only python/ may include Python.h.

Prints one line per violation, `file:line: what: why`, and exits 1 when there
is any; exits 0 otherwise.

    tools/check_layers.py [REPO]    (default: the repository holding this script)
"""

from __future__ import annotations

import re
import sys
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
    for problem in problems:
        print(problem)
    verdict = f"{len(problems)} violation(s)" if problems else "ok"
    print(f"check_layers: {files} files, {includes} includes: {verdict}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
