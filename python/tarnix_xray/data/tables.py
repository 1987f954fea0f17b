"""Tables (DataFrames, dicts of arrays, lists of row records) to checked columns."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from .._clock import column_to_ms
from ..errors import DatasetError, note
from . import checks
from .book import events_from_rows
from .layouts import LAYOUTS, SIDE_FLAGS, resolve_columns, unused_columns
from .timestamps import Warn

Columns = tuple[np.ndarray[Any, Any], ...]


def table_columns(
    list_: str,
    table: Any,
    *,
    ts_unit: str | None = None,
    mapping: Mapping[str, str] | None = None,
    strict: bool = True,
    warn: Warn,
) -> Columns:
    """One list's writer columns from a table in the list's layout (or an alias of it);
    the columns it leaves out are listed once."""
    table = as_table(list_, table)
    rows = row_columns(list_, table, ts_unit=ts_unit, mapping=mapping, strict=strict, warn=warn)
    present = [str(c) for c in table]
    extras = unused_columns(present, resolve_columns(list_, present, mapping, strict=False))
    if extras:
        note(f"{list_}: left out columns {', '.join(extras)}, which its layout does not take (strict=True refuses them)")
    return finish(list_, rows)


def row_columns(
    list_: str,
    table: Any,
    *,
    ts_unit: str | None,
    mapping: Mapping[str, str] | None,
    strict: bool,
    warn: Warn,
) -> dict[str, np.ndarray[Any, Any]]:
    """Checked row columns by canonical name: ts in ms, numbers, side and kind codes."""
    table = as_table(list_, table)
    present = [str(c) for c in table]
    chosen = resolve_columns(list_, present, mapping, strict)
    layout = LAYOUTS[list_]
    where = f"{list_} column {chosen['ts']!r}"
    rows: dict[str, np.ndarray[Any, Any]] = {"ts": column_to_ms(table[chosen["ts"]], where, ts_unit, warn)}
    for column in layout.columns[1:]:
        source = chosen[column]
        where = f"{list_} column {source!r}"
        if column == "side":
            flag = SIDE_FLAGS.get(list_, {}).get(source.lower())
            rows[column] = checks.side_codes(table[source], list_, where, flag)
        elif column == "is_snapshot":
            rows[column] = checks.book_kinds(table[source], where)
        else:
            rows[column] = checks.numbers(table[source], where, quantity=column in layout.quantities)
    return rows


def finish(list_: str, rows: Mapping[str, np.ndarray[Any, Any]]) -> Columns:
    """Row columns to the writer's: book rows grouped into events, the rest as they are."""
    if list_ == "book":
        return events_from_rows(rows["ts"], rows["is_snapshot"], rows["side"], rows["price"], rows["qty"])
    return tuple(np.ascontiguousarray(rows[c]) for c in LAYOUTS[list_].columns)


def as_table(list_: str, table: Any) -> Any:
    """A DataFrame or a dict of equal-length columns, as given or from row records."""
    if hasattr(table, "columns") and hasattr(table, "__getitem__"):
        if hasattr(table, "index") and table.index.name is not None and table.index.name not in table.columns:
            table = table.reset_index()  # a time index is a column like any other
        twice = [str(c) for c in table.columns[table.columns.duplicated()]] if hasattr(table.columns, "duplicated") else []
        if twice:
            raise DatasetError(f"{list_} has column {twice[0]!r} twice; rename or drop one")
        return table
    if isinstance(table, Mapping):
        lengths = {name: len(values) for name, values in table.items()}
        if len(set(lengths.values())) > 1:
            raise DatasetError(f"{list_} columns differ in length: {lengths}")
        return table
    if isinstance(table, Sequence) and not isinstance(table, (str, bytes)):
        return _from_rows(list_, table)
    kind = type(table).__name__
    raise DatasetError(f"{list_}: a DataFrame, a dict of columns or a list of records, not {kind}")


def _from_rows(list_: str, rows: Sequence[Any]) -> Any:
    import pandas as pd

    columns = LAYOUTS[list_].columns
    if not rows or isinstance(rows[0], Mapping):
        keys = set(rows[0]) if rows else set()
        odd = next((i for i, r in enumerate(rows) if not isinstance(r, Mapping) or set(r) != keys), None)
        if odd is not None:
            row = rows[odd]
            missing = sorted(keys - set(row)) if isinstance(row, Mapping) else []
            what = f"has no field {missing[0]!r}" if missing else f"differs in its fields from {list_}[0]"
            raise DatasetError(f"{list_}[{odd}] {what}")
        return pd.DataFrame.from_records(list(rows), columns=None if rows else list(columns))
    bad = next((i for i, r in enumerate(rows) if len(r) != len(columns)), None)
    if bad is not None:
        names = ", ".join(columns)
        raise DatasetError(f"{list_}[{bad}] has {len(rows[bad])} values, not {len(columns)} ({names})")
    return pd.DataFrame.from_records(list(rows), columns=list(columns))
