"""Xray(spec_json): trimming of every White_Space character, and the ValueError texts."""

import pytest

from tarnix_xray import Xray

SPEC = '{"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"}]}'
NO_SPEC = '{"ok":false,"error":"bad spec: no spec set"}'
SPEC_HELD = '{"ok":false,"error":"data: no dataset"}'  # frame got past the spec check

# Every code point with the Unicode White_Space property.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")


@pytest.mark.parametrize("spec_json, response", [
    ("", NO_SPEC),
    (WHITE_SPACE + "{}" + WHITE_SPACE, NO_SPEC),
    (WHITE_SPACE + SPEC + WHITE_SPACE, SPEC_HELD),
])
def test_constructed_state_survives_reset(spec_json, response):
    x = Xray(spec_json)
    assert x.command('{"cmd":"reset"}') == '{"ok":true}'
    assert x.command('{"cmd":"frame"}') == response


@pytest.mark.parametrize("spec_json, message", [
    ("\u00a0{ }\u00a0", "parse: missing field `dataset_ref` at line 1 column 3"),
    ("\ufeff{}", "parse: expected value at line 1 column 1"),
    ('\n\n  \u3000\n {"symbol":5}',
     "parse: invalid type: integer `5`, expected a string at line 1 column 11"),
    ('{"dataset_ref":"d\u00e9","dataset_ref":"x"}',
     "parse: duplicate field `dataset_ref` at line 1 column 34"),
    (SPEC[:-1] + ',"from_ts":5,"to_ts":4}', "bad spec: from_ts must be <= to_ts"),
])
def test_rejected_specs_raise_a_plain_value_error(spec_json, message):
    with pytest.raises(ValueError) as info:
        Xray(spec_json)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_trailing_white_space_after_a_command_is_not_trimmed():
    # The constructor trims every White_Space character; a command's reader
    # knows only the four ASCII ones, and meets the first byte of the rest.
    assert Xray("").command('{"cmd":"version"}\u00a0') == (
        '{"ok":false,"error":"parse: trailing characters at line 1 column 18"}')
