"""Replays tests/cases/commands.txt through the module: the constructor (a
rejected spec raises a plain ValueError) and Xray.command, exact texts."""

import pathlib
import re

import pytest

from tarnix_xray import Xray

CASES = pathlib.Path(__file__).resolve().parents[1] / "cases" / "commands.txt"


def scenarios():
    """One list of (line, tag, text) per instance, from its `new` line on.
    The format is described in tests/cpp/support.h."""
    groups = []
    for number, raw in enumerate(CASES.read_bytes().split(b"\n"), 1):
        if not raw or raw.startswith(b"#"):
            continue
        tag, _, text = raw.partition(b" ")
        if tag.endswith(b"%"):
            tag = tag[:-1]
            text = re.sub(rb"%([0-9A-Fa-f]{2})", lambda m: bytes([int(m[1], 16)]), text)
        if tag == b"new":
            groups.append([])
        groups[-1].append((number, tag.decode(), text.decode()))
    return [pytest.param(g, id=f"line {g[0][0]}") for g in groups]


@pytest.mark.parametrize("lines", scenarios())
def test_commands(lines):
    (_, _, spec), *rest = lines
    try:
        x, raised = Xray(spec), None
    except ValueError as e:
        raised = e
    expected = rest.pop(0)[2] if rest and rest[0][1] == "raises" else None
    assert (raised and str(raised)) == expected
    assert raised is None or (type(raised) is ValueError and not hasattr(raised, "__notes__"))
    assert len(rest) % 2 == 0 and (raised is None or not rest)
    for (_, send, command), (number, receive, response) in zip(rest[::2], rest[1::2]):
        assert (send, receive) == (">", "<")
        assert (number, x.command(command)) == (number, response)
