"""Task outputs: one file per instrument and chunk, written whole or not at all.

Parquet: one row per frame and panel, arrays as list columns, null where a
panel kind has no such column. JSON lines: the engine's frame text, one line
per cursor. Either way a file appears under its final name only by an atomic
rename, and its SHA-256 is written beside it first (`sha256sum -c` reads
it): a task is finished when its file matches that sum, so a file truncated
or replaced under its final name is redone, never trusted.
"""

from __future__ import annotations

import hashlib
import json
import os
import uuid
from collections.abc import Sequence
from pathlib import Path
from typing import Any
from urllib.parse import quote

import numpy as np

FORMATS = {"parquet": ".parquet", "jsonl": ".jsonl"}
MANIFEST = "_job.json"

# Per panel kind, its frame members in the frame text's order.
PANEL_COLUMNS = {
    "footprint": ("price_bins", "buy_vol", "sell_vol"),
    "book_heatmap": ("time", "price", "intensity"),
    "liquidation_map": ("events",),
    "funding_oi_divergence": ("time", "funding", "oi", "price"),
}


def schema() -> Any:
    import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]

    floats = pa.list_(pa.float64())
    event = pa.struct([("ts", pa.int64()), ("price_bin", pa.float64()), ("qty", pa.float64()), ("side", pa.string())])
    return pa.schema([
        ("symbol", pa.string()), ("cursor", pa.int64()), ("cursor_ts", pa.int64()),
        ("panel", pa.int32()), ("kind", pa.string()),
        ("price_bins", floats), ("buy_vol", floats), ("sell_vol", floats),
        ("time", pa.list_(pa.int64())), ("price", floats), ("intensity", pa.list_(floats)),
        ("events", pa.list_(event)), ("funding", floats), ("oi", floats),
    ])  # fmt: skip


def task_path(out: Path, symbol: str, chunk_start_ms: int, fmt: str) -> Path:
    """OUT/<symbol, %-quoted>/<chunk start, UTC>.<ext>"""
    # Chunks are whole seconds, so the second names a chunk.
    stamp = str(np.datetime64(chunk_start_ms // 1000, "s")).replace(":", "").replace("-", "")
    folder = quote(symbol, safe="")
    if folder.startswith("."):  # "..", or a name hidden like the temporary files
        folder = "%2E" + folder[1:]
    return out / folder / f"{stamp}{FORMATS[fmt]}"


def checksum_path(path: Path) -> Path:
    return path.with_name(path.name + ".sha256")


def write(path: Path, symbol: str, cursors: Sequence[int], texts: Sequence[str], fmt: str) -> None:
    """The chunk's frames to `path`, through a temporary name and a rename, its sum beside it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = _temporary(path)
    try:
        if fmt == "jsonl":
            temporary.write_text("".join(t + "\n" for t in texts), encoding="utf-8")
        else:
            import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]

            pq.write_table(table(symbol, cursors, texts), temporary)
        # The sum first: a crash between the two renames leaves a sum that the
        # file under the final name (none, or an older one) does not match.
        _write_whole(checksum_path(path), f"{_sha256(temporary)}  {path.name}\n")
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


def finished(path: Path) -> bool:
    """Whether `path` holds a whole task output: it matches the sum written beside it."""
    try:
        recorded = checksum_path(path).read_text(encoding="utf-8").split()
        return bool(recorded) and _sha256(path) == recorded[0]
    except OSError:  # either file missing or unreadable: not finished
        return False


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def _temporary(path: Path) -> Path:
    return path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")


def _write_whole(path: Path, text: str) -> None:
    temporary = _temporary(path)
    try:
        temporary.write_text(text, encoding="utf-8")
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


def table(symbol: str, cursors: Sequence[int], texts: Sequence[str]) -> Any:
    """Frame texts as rows of the Parquet schema (numbers parsed back exactly, null kept)."""
    import pyarrow as pa

    names = schema().names
    rows: dict[str, list[Any]] = {name: [] for name in names}
    for cursor, text in zip(cursors, texts):
        frame = json.loads(text)
        for index, panel in enumerate(frame["panels"]):
            kind = panel["kind"]
            row = {"symbol": symbol, "cursor": int(cursor), "cursor_ts": frame["cursor_ts"], "panel": index, "kind": kind}
            row |= {name: panel[name] for name in PANEL_COLUMNS[kind]}
            for name in names:
                rows[name].append(row.get(name))
    return pa.table(rows, schema=schema())


def read_results(out: str | os.PathLike[str]) -> Any:
    """A batch's Parquet results as one DataFrame, by symbol, cursor and panel."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    files = sorted(p for p in Path(out).rglob("*.parquet") if not p.name.startswith("."))
    tables = [_read(f) for f in files] or [schema().empty_table()]
    frame = pa.concat_tables(tables).to_pandas()
    return frame.sort_values(["symbol", "cursor", "panel"], kind="stable").reset_index(drop=True)


def _read(path: Path) -> Any:
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        return pq.read_table(path, schema=schema())
    except (OSError, pa.ArrowException) as e:
        raise ValueError(f"{str(path)!r} cannot be read ({' '.join(str(e).split())}); "
                         "run the batch again to redo its task") from None


def check_manifest(out: Path, described: dict[str, Any], fmt: str) -> None:
    """Write OUT/_job.json, or refuse OUT when it holds another job's results."""
    text = json.dumps({"format": fmt, **described}, sort_keys=True, indent=1)
    manifest = out / MANIFEST
    if manifest.exists():
        if manifest.read_text(encoding="utf-8") != text:
            raise ValueError(
                f"{str(out)!r} holds the results of another job (its {MANIFEST} differs); "
                "choose another output directory or remove it"
            )
        return
    out.mkdir(parents=True, exist_ok=True)
    _write_whole(manifest, text)
