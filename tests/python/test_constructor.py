"""Xray(spec_json): trimming, the texts without a spec, and the ValueError texts."""

import pytest

from tarnix_xray import Xray

SPEC = '{"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"}]}'
NO_SPEC = '{"ok":false,"error":"bad spec: no spec set"}'
SPEC_HELD = '{"ok":false,"error":"data: no dataset"}'  # frame got past the spec check

# Every code point with the Unicode White_Space property.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")


def frame_response(spec_json):
    return Xray(spec_json).command('{"cmd":"frame"}')


@pytest.mark.parametrize(
    "spec_json, response",
    [
        ("", NO_SPEC),
        (" \t\n\r", NO_SPEC),
        (WHITE_SPACE, NO_SPEC),
        ("{}", NO_SPEC),
        ("\u00a0{}\u3000", NO_SPEC),
        (WHITE_SPACE + "{}" + WHITE_SPACE, NO_SPEC),
        (SPEC, SPEC_HELD),
        (WHITE_SPACE + SPEC + WHITE_SPACE, SPEC_HELD),
        (SPEC + "\u00a0", SPEC_HELD),
        ("\n\n" + SPEC + "\u0085\u2028", SPEC_HELD),
    ],
    ids=["empty", "ascii-space", "all-white-space", "braces", "braces-nbsp-ideographic",
         "braces-in-white-space", "spec", "spec-in-white-space", "spec-nbsp", "spec-nel-ls"],
)
def test_constructed_state(spec_json, response):
    assert frame_response(spec_json) == response


def test_a_spec_held_from_the_constructor_survives_reset():
    x = Xray(SPEC)
    assert x.command('{"cmd":"reset"}') == '{"ok":true}'
    assert x.command('{"cmd":"frame"}') == SPEC_HELD


UNKNOWN_KIND = ("parse: unknown variant `foot\u00e9`, expected one of `footprint`, `book_heatmap`, "
                "`liquidation_map`, `funding_oi_divergence`")


@pytest.mark.parametrize(
    "spec_json, message",
    [
        # "{ }" is not the exact text "{}": it is decoded
        ("{ }", "parse: missing field `dataset_ref` at line 1 column 3"),
        ("\u00a0{ }\u00a0", "parse: missing field `dataset_ref` at line 1 column 3"),
        # U+200B and U+FEFF are not white space, so they stay and are read
        ("{}\u200b", "parse: missing field `dataset_ref` at line 1 column 2"),
        ("\u200b{}", "parse: expected value at line 1 column 1"),
        ("\ufeff{}", "parse: expected value at line 1 column 1"),
        ("x", "parse: expected value at line 1 column 1"),
        # positions count from the first character that is not white space
        ('\n\n  \u3000\n {"symbol":5}',
         "parse: invalid type: integer `5`, expected a string at line 1 column 11"),
        ('\n{\n  "symbol":5}',
         "parse: invalid type: integer `5`, expected a string at line 2 column 12"),
        (SPEC + " x", "parse: trailing characters at line 1 column 66"),
        (SPEC.replace("footprint", "foot\u00e9"), UNKNOWN_KIND + " at line 1 column 58"),
        ('{"dataset_ref":"d\u00e9","dataset_ref":"x"}',
         "parse: duplicate field `dataset_ref` at line 1 column 34"),
        (SPEC.replace('"S"', '""'), "bad spec: symbol must not be empty"),
        (SPEC.replace('{"kind":"footprint"}', ""), "bad spec: panels must not be empty"),
        (SPEC[:-1] + ',"from_ts":5,"to_ts":4}', "bad spec: from_ts must be <= to_ts"),
        (SPEC.replace('"footprint"', '"footprint","price_bin":0'),
         "bad spec: footprint price_bin must be a positive number"),
    ],
)
def test_rejected_specs(spec_json, message):
    with pytest.raises(ValueError) as info:
        Xray(spec_json)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("tail", ["\u00a0", "\u3000", "\u2028", "\u0085"])
def test_trailing_white_space_after_a_command_is_not_trimmed(tail):
    # The constructor trims every White_Space character; a command's reader
    # knows only the four ASCII ones, and meets the first byte of the rest.
    assert Xray("").command('{"cmd":"version"}' + tail) == (
        '{"ok":false,"error":"parse: trailing characters at line 1 column 18"}')
    assert frame_response(SPEC + tail) == SPEC_HELD
