"""Did-you-mean hints for misspelt names (keys, columns, lists, panel kinds)."""

from __future__ import annotations

import difflib
from collections.abc import Iterable


def closest(name: str, known: Iterable[str]) -> str | None:
    """The known name most likely meant by `name`, or None.

    difflib alone misses short stems of long names ('bin' for 'price_bin',
    'to' for 'to_ts'), so a name (or its singular) that starts or sits inside
    exactly one known name is suggested too.
    """
    known = list(known)
    lowered = {k.lower(): k for k in known}
    if name.lower() in lowered:
        return lowered[name.lower()]
    close = difflib.get_close_matches(name.lower(), list(lowered), n=1, cutoff=0.6)
    if close:
        return lowered[close[0]]
    stem = name.lower().rstrip("s") if len(name) > 3 else name.lower()
    inside = [k for k in known if k.lower().startswith(stem) or (len(stem) >= 3 and stem in k.lower())]
    return inside[0] if len(inside) == 1 else None


def hint(name: str, known: Iterable[str]) -> str:
    """"; did you mean 'x'?" when a close known name exists, else ""."""
    match = closest(name, known)
    return f"; did you mean {match!r}?" if match is not None else ""
