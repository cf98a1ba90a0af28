"""The refinement mode and the token-reweighting flag of an Engine."""

import numpy as np
import pytest

from quellmar._native import Engine

UNKNOWN = "unknown refinement mode '{}' (expected 'none', 'centered', 'prf', or 'whitened')"


def test_fresh_engine(engine):
    assert engine.refinement_mode() == "none"
    assert engine.token_reweighting() is False


@pytest.mark.parametrize(
    "mode, name",
    [("none", "none"), ("centered", "centered"), ("mean_centered", "centered"),
     ("whitened", "whitened"), ("zca", "whitened"), ("prf", "prf"), ("latent_prf", "prf")],
)
def test_modes_read_back_by_canonical_name(engine, mode, name):
    assert engine.set_refinement_mode(mode) is None
    assert engine.refinement_mode() == name


@pytest.mark.parametrize(
    "kwargs",
    [{"alpha": 0.5}, {"alpha": 1, "beta": 0.25, "k_prime": 7}, {"k_prime": 0},
     {"alpha": None, "beta": None, "k_prime": None}],
    ids=["alpha-only", "all", "k-prime-zero", "all-none"],
)
def test_prf_parameters(engine, kwargs):
    engine.set_refinement_mode("prf", **kwargs)
    assert engine.refinement_mode() == "prf"
    engine.set_refinement_mode(mode="centered", **kwargs)  # ignored by the other modes
    assert engine.refinement_mode() == "centered"


@pytest.mark.parametrize("mode", ["Prf", "NONE", "", "prf ", "whiten", "cen\0tered", "zca\u00e9"],
                         ids=["capital", "upper", "empty", "space", "prefix", "nul", "non-ascii"])
def test_unknown_mode_keeps_the_strategy(engine, mode):
    engine.set_refinement_mode("zca")
    with pytest.raises(RuntimeError) as info:
        engine.set_refinement_mode(mode, alpha=0.5)
    assert str(info.value) == UNKNOWN.format(mode)
    assert engine.refinement_mode() == "whitened"


@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((1,), {}, TypeError, "argument 'mode': 'int' object is not an instance of 'str'"),
        (("prf",), {"alpha": "x"}, TypeError, "argument 'alpha': must be real number, not str"),
        (("prf",), {"beta": []}, TypeError, "argument 'beta': must be real number, not list"),
        (("prf",), {"k_prime": -1}, OverflowError, None),
        (("prf",), {"k_prime": 2.0}, TypeError,
         "argument 'k_prime': 'float' object cannot be interpreted as an integer"),
        (("prf",), {"gamma": 1.0}, TypeError,
         "Engine.set_refinement_mode() got an unexpected keyword argument 'gamma'"),
        ((), {}, TypeError,
         "Engine.set_refinement_mode() missing 1 required positional argument: 'mode'"),
    ],
    ids=["int-mode", "str-alpha", "list-beta", "negative-k-prime", "float-k-prime", "unknown-kw",
         "no-mode"],
)
def test_set_refinement_mode_argument_errors(engine, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        engine.set_refinement_mode(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert engine.refinement_mode() == "none"


def test_token_reweighting_flag(engine):
    assert engine.set_token_reweighting(True) is None
    assert engine.token_reweighting() is True
    engine.set_token_reweighting(enabled=np.bool_(False))
    assert engine.token_reweighting() is False
    engine.set_token_reweighting(np.bool_(True))
    assert engine.token_reweighting() is True
    for bad in (1, 0, None, "True", 1.0):
        with pytest.raises(TypeError) as info:
            engine.set_token_reweighting(bad)
        name = "None" if bad is None else type(bad).__name__
        expected = ("'None' is not an instance of 'bool'" if bad is None
                    else f"'{name}' object is not an instance of 'bool'")
        assert str(info.value) == f"argument 'enabled': {expected}"
    assert engine.token_reweighting() is True


def test_settings_hold_per_engine_and_reset_on_open(engine_dir, tmp_path):
    first = Engine(engine_dir)
    other = Engine(str(tmp_path / "other"))
    first.set_refinement_mode("prf")
    first.set_token_reweighting(True)
    assert (other.refinement_mode(), other.token_reweighting()) == ("none", False)
    first.refresh()
    assert (first.refinement_mode(), first.token_reweighting()) == ("prf", True)
    del first
    again = Engine(engine_dir)
    assert (again.refinement_mode(), again.token_reweighting()) == ("none", False)


def token_cells(engine, n=6, dim=8, seed=3):
    rng = np.random.default_rng(seed)
    for i in range(n):
        tokens = rng.standard_normal((4, dim)).astype(np.float32)
        key = np.concatenate([np.zeros(64, np.float32), tokens.ravel()])
        key[0] = -1e9  # the encoded-key sentinel
        key[33] = dim
        engine.mem_write(1, 0, key, np.ones(2, np.float32), 50.0, None)
    return rng.standard_normal((3, dim)).astype(np.float32)


@pytest.mark.parametrize("mode", ["none", "centered", "whitened", "prf"])
def test_every_mode_serves_token_reads(engine, mode):
    query = token_cells(engine)
    engine.set_refinement_mode(mode)
    hits = engine.mem_read_tokens(query, 3, None)
    assert 0 < len(hits) <= 3
    assert len({h.cell_id for h in hits}) == len(hits)
    assert all(0 <= h.cell_id < 6 for h in hits)


def test_token_reweighting_does_not_change_results(engine_dir, tmp_path):
    runs = []
    for flag, path in [(False, engine_dir), (True, str(tmp_path / "other"))]:
        engine = Engine(path)
        query = token_cells(engine)
        engine.set_token_reweighting(flag)
        runs.append([(h.cell_id, h.score) for h in engine.mem_read_tokens(query, 4, None)] +
                    [(h.cell_id, h.score) for h in engine.mem_read(np.ones(8, np.float32), 4, None)])
    assert runs[0] == runs[1]


def test_docstrings():
    assert Engine.set_refinement_mode.__doc__.startswith(
        "Configure post-retrieval refinement (vague-query rescue).\n")
    assert Engine.refinement_mode.__doc__ == (
        'Currently configured refinement mode as "none" | "centered" | "whitened" | "prf".')
    assert Engine.set_token_reweighting.__doc__.startswith(
        "Enable or disable corpus-mean distance token importance reweighting.\n")
    assert Engine.token_reweighting.__doc__ == (
        "Whether corpus-mean distance token importance reweighting is enabled.")
