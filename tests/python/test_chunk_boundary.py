import pytest

from quellmar._native import find_chunk_boundary


@pytest.mark.parametrize(
    "text, max_pos, strategy, expected",
    [
        ("Hello world. Bye", 14, "sentence", 12),
        ("Hello world. Bye", 14, "whitespace", 12),
        ("abc", 0, "paragraph", 0),
        ("abc", 99, "whitespace", 3),
    ],
    ids=["sentence", "whitespace", "zero", "past-end"],
)
def test_boundaries(text, max_pos, strategy, expected):
    assert find_chunk_boundary(text, max_pos, strategy) == expected
    assert find_chunk_boundary(text=text, max_pos=max_pos, strategy=strategy) == expected


def test_position_is_a_byte_offset_on_a_character_boundary():
    # "é" is two bytes (3 and 4); a limit inside it moves back to its start.
    assert find_chunk_boundary("ab \u00e9\u00e9", 4, "whitespace") == 2


@pytest.mark.parametrize(
    "strategy, shown",
    [("Sentence", '"Sentence"'), ("", '""'), ('a"b\\\n', '"a\\"b\\\\\\n"'),
     ("\x85", '"\\u{85}"')],
    ids=["capitalised", "empty", "escaped", "c1-control"],
)
def test_unknown_strategy(strategy, shown):
    with pytest.raises(ValueError) as exc:
        find_chunk_boundary("x", 1, strategy)
    assert str(exc.value) == (
        f"unknown boundary strategy {shown}; "
        'expected one of "whitespace", "sentence", "paragraph"'
    )


def test_argument_errors():
    with pytest.raises(OverflowError):
        find_chunk_boundary("x", -1, "sentence")
    with pytest.raises(TypeError) as exc:
        find_chunk_boundary(b"x", 1, "sentence")
    assert str(exc.value) == "argument 'text': 'bytes' object is not an instance of 'str'"
