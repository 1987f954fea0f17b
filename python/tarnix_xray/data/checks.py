"""Column checks before anything is sent; each error names column, row and value."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

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
    """A value as the user wrote it: 1.5, -2, 'hold' (numpy scalars as Python ones)."""
    return repr(value.item() if isinstance(value, np.generic) else value)


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


def _by_word(values: Any, words: dict[str, int], where: str, what: str) -> Codes:
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
