import pytest

from quellmar import _native


@pytest.fixture
def engine_dir(tmp_path):
    return str(tmp_path / "engine")


@pytest.fixture
def engine(engine_dir):
    return _native.Engine(engine_dir)
