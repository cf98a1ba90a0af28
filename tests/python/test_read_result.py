"""ReadResult objects, built here through _frame_probe the way the cell reads build them."""

import numpy as np
import pytest

import _frame_probe as probe


def hit(score=0.5, key=(1.0, 2.0), value=(3.0,), cell_id=7, owner=1, layer=4, tier=0,
        importance=0.0):
    return probe.read_result(cell_id, owner, layer, score, tier, importance,
                             np.array(key, np.float32), np.array(value, np.float32))


def test_properties():
    r = hit(score=0.1, cell_id=2**64 - 1, owner=3, layer=65535, tier=2, importance=42.5)
    assert (r.cell_id, r.owner, r.layer, r.tier) == (2**64 - 1, 3, 65535, 2)
    assert r.score == float(np.float32(0.1))  # widened exactly
    assert r.importance == 42.5
    assert [type(getattr(r, n)) for n in ("cell_id", "owner", "layer", "score", "tier", "importance")] == [
        int, int, int, float, int, float]


def test_read_only():
    r = hit()
    for name in ("cell_id", "owner", "layer", "score", "tier", "importance"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    with pytest.raises(AttributeError):
        r.other = 1


def test_key_and_value_are_fresh_lists():
    r = hit(key=(0.25, -1.0), value=())
    assert r.key() == [0.25, -1.0]
    assert r.value() == []
    assert r.key() is not r.key()
    r.key().append(5.0)
    assert r.key() == [0.25, -1.0]


@pytest.mark.parametrize(
    "score, shown",
    [(0.81234, "0.8123"), (2.0, "2.0000"), (-0.00004, "-0.0000"), (123456.78, "123456.7812"),
     (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf")],
    ids=["rounded", "padded", "negative-zero", "large", "nan", "inf", "-inf"],
)
def test_repr(score, shown):
    r = hit(score=score, cell_id=7, owner=1, tier=0)
    assert repr(r) == f"ReadResult(cell_id=7, owner=1, score={shown}, tier=0)"


def test_repr_rounds_the_exact_single_precision_value():
    for score in np.linspace(-3, 3, 1001, dtype=np.float32):
        shown = repr(hit(score=float(score)))
        assert f"score={format(float(score), '.4f')}," in shown


def test_method_docstrings():
    ReadResult = type(hit())
    assert ReadResult.key.__doc__ == "Get the key vector as a list of floats."
    assert ReadResult.value.__doc__ == "Get the value vector as a list of floats."
    assert ReadResult.key.__text_signature__ == "($self)"
