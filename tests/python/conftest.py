"""Fixtures and helpers shared by the Python tests; the helpers are imported from here
(`from conftest import raises`)."""

import numpy as np
import pytest

from quellmar import _native

# The text of an array argument that cannot be copied as one block.
CONTIGUITY = "The given array is not contiguous or is misaligned."


def raises(exc_type, text, fn, *args, **kwargs):
    """fn(*args, **kwargs) raises exactly exc_type (no subclass) with exactly `text`."""
    with pytest.raises(exc_type) as exc:
        fn(*args, **kwargs)
    assert type(exc.value) is exc_type
    assert str(exc.value) == text


def unit(i, dim=8, length=1.0):
    """A float32 vector of `dim` elements along axis i (taken modulo dim) with the given length."""
    v = np.zeros(dim, np.float32)
    v[i % dim] = length
    return v


@pytest.fixture
def engine_dir(tmp_path):
    return str(tmp_path / "engine")


@pytest.fixture
def engine(engine_dir):
    return _native.Engine(engine_dir)
