"""Column checks before anything is sent; each error names column, row and value."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._native import word_codes
from ..errors import DatasetError
from .layouts import BOOK_KINDS, SIDE_NAMES, SIDE_WORDS

Floats = npt.NDArray[np.float64]
Codes = npt.NDArray[np.uint8]


def at(where: str, row: int) -> str:
    """`where` names a column ("trades column 'qty'") or holds a {row} slot ("trades[{row}] qty")."""
    return where.format(row=row) if "{row}" in where else f"{where} row {row}"


def as_array(values: Any) -> np.ndarray[Any, Any]:
    if hasattr(values, "to_numpy"):
        dtype = getattr(values, "dtype", None)
        # Nullable pandas numbers: missing values become NaN, caught below.
        if dtype is not None and getattr(dtype, "kind", "") in "iuf" and hasattr(dtype, "na_value"):
            return values.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[no-any-return]
        return values.to_numpy()  # type: ignore[no-any-return]
    return np.asarray(values)


def numbers(values: Any, where: str, *, quantity: bool = False) -> Floats:
    """Finite float64 values; with `quantity`, none below zero."""
    array = as_array(values)
    if array.dtype.kind not in "iuf":
        array = _numbers_from_objects(array, where)
    out = np.ascontiguousarray(array, dtype=np.float64)
    bad = ~np.isfinite(out)
    if bad.any():
        row = int(np.argmax(bad))
        raise DatasetError(f"{at(where, row)}: {show(array[row])} is not a finite number")
    if quantity:
        negative = out < 0
        if negative.any():
            row = int(np.argmax(negative))
            raise DatasetError(f"{at(where, row)}: {show(array[row])} is negative")
    return out


def _numbers_from_objects(array: np.ndarray[Any, Any], where: str) -> np.ndarray[Any, Any]:
    if array.dtype.kind == "b":
        raise DatasetError(f"{where} holds booleans, not numbers")
    try:
        return array.astype(np.float64)
    except (ValueError, TypeError):
        pass
    for row, value in enumerate(array):
        try:
            float(value)
        except (ValueError, TypeError):
            raise DatasetError(f"{at(where, row)}: {show(value)} is not a number") from None
    raise DatasetError(f"{where} holds values that are not numbers")  # pragma: no cover


def show(value: Any) -> str:
    """A value as the user wrote it: 1.5, -2, 'hold' (numpy scalars as Python ones), cut short
    when long, so that a 50 MB field makes a one-line message."""
    text = repr(value.item() if isinstance(value, np.generic) else value)
    return text if len(text) <= 80 else f"{text[:60]}… ({len(text):,} characters)"


def side_codes(values: Any, list_: str, where: str, flag_code: int | None = None) -> Codes:
    """Engine side codes (0/1) from words, or from a flag column meaning code `flag_code`."""
    if flag_code is not None:
        return _flag(as_array(values), where, flag_code)
    return _by_word(values, SIDE_WORDS[list_], where, f"a side ({SIDE_NAMES[list_]})")


def book_kinds(values: Any, where: str) -> Codes:
    """Engine book kinds (0 snapshot, 1 diff) from a snapshot flag or kind words."""
    array = as_array(values)
    if array.dtype.kind in "OUST":
        words = {w: 1 - snapshot for w, snapshot in BOOK_KINDS.items()} | _FLAG_WORDS_KIND
        return _by_word(array, words, where, "a book kind (snapshot or diff, or a snapshot flag)")
    # A true snapshot flag is the engine's kind code 0.
    return _flag(array, where, 0)


_FLAG_WORDS = {"true": 1, "1": 1, "false": 0, "0": 0}
_FLAG_WORDS_KIND = {"true": 0, "1": 0, "false": 1, "0": 1}


def _flag(array: np.ndarray[Any, Any], where: str, true_code: int) -> Codes:
    if array.dtype.kind in "biuf" and np.isin(array, (0, 1)).all():
        return np.where(array.astype(bool), true_code, 1 - true_code).astype(np.uint8)
    words = {w: true_code if flag else 1 - true_code for w, flag in _FLAG_WORDS.items()}
    return _by_word(array, words, where, "a flag (true or false)")


def _arrow_strings(values: Any) -> Any:
    """The Arrow string chunks behind a column, read in place; None for any other column."""
    array = getattr(values, "array", values)
    chunked = getattr(array, "_pa_array", None)  # pandas' Arrow-backed strings
    if chunked is None:
        if type(values).__module__.split(".")[0] != "pyarrow":
            return None
        chunked = values
    import pyarrow as pa

    if not (pa.types.is_string(chunked.type) or pa.types.is_large_string(chunked.type)):
        return None
    return chunked.chunks if isinstance(chunked, pa.ChunkedArray) else [chunked]


def _codes_in_place(values: Any, words: dict[str, int]) -> Codes | None:
    """Codes of an Arrow string column read natively in one pass; None when that cannot
    say (another kind of column, or a row to be named: the general path names it)."""
    chunks = _arrow_strings(values)
    if chunks is None:
        return None
    import pyarrow as pa

    out = np.empty(sum(len(c) for c in chunks), np.uint8)
    start = 0
    for chunk in chunks:
        validity, offsets, data = chunk.buffers()
        width = np.int64 if pa.types.is_large_string(chunk.type) else np.int32
        offsets = np.frombuffer(offsets, width)[chunk.offset : chunk.offset + len(chunk) + 1]
        data = np.frombuffer(data, np.uint8) if data is not None else np.zeros(0, np.uint8)
        mask = None if validity is None or chunk.null_count == 0 else np.frombuffer(validity, np.uint8)
        if word_codes(offsets, data, mask, chunk.offset, words, out[start : start + len(chunk)]) is not None:
            return None
        start += len(chunk)
    return out


def _by_word(values: Any, words: dict[str, int], where: str, what: str) -> Codes:
    fast = _codes_in_place(values, words)
    if fast is not None:
        return fast
    # factorize hashes (pandas strings without a copy to objects): one dictionary
    # lookup per distinct word, not per row.
    array = values if hasattr(values, "iloc") else as_array(values)
    inverse, uniques = pd.factorize(array)
    table = np.empty(len(uniques), dtype=np.uint8)
    for i, word in enumerate(uniques):
        code = words.get(str(word).strip().lower())
        if code is None:
            row = int(np.argmax(inverse == i))
            raise DatasetError(f"{at(where, row)}: {show(_item(array, row))} is not {what}")
        table[i] = code
    missing = inverse < 0
    if missing.any():
        row = int(np.argmax(missing))
        raise DatasetError(f"{at(where, row)}: missing value; expected {what}")
    return table[inverse]


def _item(values: Any, row: int) -> Any:
    return values.iloc[row] if hasattr(values, "iloc") else values[row]
