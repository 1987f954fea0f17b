"""The engine's own tables, read from the native module: nothing here spells them out.

`LISTS` (the dataset's lists in order), `LIST_FIELDS` (each list's record
fields), `LOAD_COLUMNS` (the column buffers `Engine.load_columns` takes per
list), `SPEC_KEYS`, `REQUIRED_SPEC_KEYS`, `PANEL_TAG`, `PANEL_DEFAULTS`
(kind -> {parameter: default}), `PANEL_PARAMETERS` (kind -> parameter names)
and `CODES` ("list.field" -> the words of codes 0 and 1).
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Any

from ._native import schema as _schema

LISTS: tuple[str, ...] = tuple(_schema["lists"])
LIST_FIELDS: MappingProxyType[str, tuple[str, ...]] = MappingProxyType(dict(_schema["lists"]))
LOAD_COLUMNS: MappingProxyType[str, tuple[str, ...]] = MappingProxyType(dict(_schema["load_columns"]))
SPEC_KEYS: tuple[str, ...] = _schema["spec_keys"]
REQUIRED_SPEC_KEYS: tuple[str, ...] = _schema["required_spec_keys"]
PANEL_TAG: str = _schema["panel_tag"]
PANEL_DEFAULTS: MappingProxyType[str, MappingProxyType[str, Any]] = MappingProxyType(
    {kind: MappingProxyType(dict(p)) for kind, p in _schema["panels"].items()}
)
PANEL_PARAMETERS: MappingProxyType[str, tuple[str, ...]] = MappingProxyType(
    {kind: tuple(p) for kind, p in PANEL_DEFAULTS.items()}
)
CODES: MappingProxyType[str, tuple[str, ...]] = MappingProxyType(dict(_schema["codes"]))
