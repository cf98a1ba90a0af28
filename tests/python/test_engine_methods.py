"""The Engine class against its method table (63 methods by group, each with its signature), and
the type stub python/quellmar/_native.pyi against the table and the module."""

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quellmar
from quellmar import _native
from quellmar._native import CheckpointRepository, Engine, ReadResult

# Groups whose methods are still being added on other branches: their methods are checked once
# they exist. Empty this set once every group is in, which makes the table strict.
PENDING_GROUPS = set()

# name: (group, signature as inspect shows it)
METHODS = {
    # lifecycle and status
    "open_with_write_buffer": ("lifecycle", "(path, max_batch_size, max_idle_ms=0)"),
    "flush": ("lifecycle", "(self, /)"),
    "flush_buffer": ("lifecycle", "(self, /)"),
    "refresh": ("lifecycle", "(self, /)"),
    "compact": ("lifecycle", "(self, /)"),
    "status": ("lifecycle", "(self, /)"),
    "cell_count": ("lifecycle", "(self, /)"),
    "pack_count": ("lifecycle", "(self, /)"),
    "has_vamana": ("lifecycle", "(self, /)"),
    "pipeline_stage_count": ("lifecycle", "(self, /)"),
    # pack writes
    "mem_write_pack": ("pack writes", "(self, /, owner, retrieval_key, layer_payloads, salience, "
                       "text=None, salience_mode=None)"),
    "mem_write_pack_tokens": ("pack writes", "(self, /, owner, token_matrix, layer_payloads, "
                              "salience, text=None, salience_mode=None)"),
    "mem_write_pack_with_auto_link": ("pack writes", "(self, /, owner, retrieval_key, "
                                      "layer_payloads, salience, auto_link_threshold=None, "
                                      "text=None)"),
    "mem_write_batch_packs": ("pack writes", "(self, /, packs)"),
    # pack reads
    "mem_read_pack": ("pack reads", "(self, /, query_key, k, owner)"),
    "load_pack_by_id": ("pack reads", "(self, /, pack_id)"),
    "mem_read_pack_with_trace_boost": ("pack reads", "(self, /, query_key, k, owner, "
                                       "boost_factor)"),
    "mem_read_pack_with_trace_boost_and_follow": ("pack reads", "(self, /, query_key, k, owner, "
                                                  "boost_factor)"),
    # pack directory
    "list_packs": ("pack directory", "(self, /, owner=None, fetch_text=None)"),
    "list_packs_metadata": ("pack directory", "(self, /, owner=None)"),
    "pack_text": ("pack directory", "(self, /, pack_id)"),
    "set_pack_text": ("pack directory", "(self, /, pack_id, text)"),
    "set_pack_texts": ("pack directory", "(self, /, entries)"),
    "add_view_keys": ("pack directory", "(self, /, pack_id, view_keys)"),
    "view_count": ("pack directory", "(self, /, pack_id)"),
    "pack_exists": ("pack directory", "(self, /, pack_id)"),
    "delete_pack": ("pack directory", "(self, /, pack_id)"),
    "pack_importance": ("pack directory", "(self, /, pack_id)"),
    # cells
    "mem_write": ("cells", "(self, /, owner, layer, key, value, salience, parent_cell_id)"),
    "mem_write_batch": ("cells", "(self, /, requests)"),
    "mem_read": ("cells", "(self, /, query_key, k, owner)"),
    "mem_read_tokens": ("cells", "(self, /, query_tokens, k, owner)"),
    "cell_tier": ("cells", "(self, /, cell_id)"),
    "cell_importance": ("cells", "(self, /, cell_id)"),
    # trace and governance
    "add_pack_edge": ("trace and governance", "(self, /, pack_id_1, pack_id_2, edge_type)"),
    "add_pack_link": ("trace and governance", "(self, /, pack_id_1, pack_id_2)"),
    "pack_links": ("trace and governance", "(self, /, pack_id)"),
    "pack_supports": ("trace and governance", "(self, /, pack_id)"),
    "pack_contradicts": ("trace and governance", "(self, /, pack_id)"),
    "pack_links_by_type": ("trace and governance", "(self, /, pack_id, edge_type)"),
    "trace_ancestors": ("trace and governance", "(self, /, cell_id)"),
    "advance_days": ("trace and governance", "(self, /, days)"),
    "sweep_now": ("trace and governance", "(self, /, hours=0.0, eviction_threshold=15.0)"),
    "evict_draft_packs": ("trace and governance", "(self, /, importance_threshold, owner=None)"),
    "delete_owner": ("trace and governance", "(self, /, owner)"),
    "list_owners": ("trace and governance", "(self, /)"),
    "owner_exists": ("trace and governance", "(self, /, owner)"),
    # retrieval settings
    "set_refinement_mode": ("retrieval settings", "(self, /, mode, alpha=None, beta=None, "
                            "k_prime=None)"),
    "refinement_mode": ("retrieval settings", "(self, /)"),
    "set_token_reweighting": ("retrieval settings", "(self, /, enabled)"),
    "token_reweighting": ("retrieval settings", "(self, /)"),
    # maintenance and scheduled actions
    "start_maintenance": ("maintenance", "(self, /, sweep_interval_secs=3600.0, "
                          "compaction_interval_secs=21600.0, eviction_threshold=15.0, "
                          "hours_per_tick=1.0)"),
    "stop_maintenance": ("maintenance", "(self, /)"),
    "is_maintenance_running": ("maintenance", "(self, /)"),
    "maintenance_status": ("maintenance", "(self, /)"),
    "schedule_evict_draft": ("maintenance", "(self, /, fires_at_unix_secs, owner, threshold)"),
    "cancel_scheduled": ("maintenance", "(self, /, id)"),
    "fire_due_scheduled": ("maintenance", "(self, /)"),
    "list_scheduled": ("maintenance", "(self, /)"),
    # synaptic bank
    "store_synapsis": ("synaptic bank", "(self, /, id, owner, lora_a, lora_b, scale, rank, "
                       "d_model, last_used=None, quality=None)"),
    "load_synapsis": ("synaptic bank", "(self, /, owner)"),
    # snapshots
    "snapshot": ("snapshots", "(self, /, out_path)"),
    "restore_from": ("snapshots", "(in_path, target_dir)"),
}
STATIC = {"open_with_write_buffer", "restore_from"}

CHECKPOINT_METHODS = {
    "save": "(self, /, engine, label)",
    "list": "(self, /, label=None)",
    "latest": "(self, /, label)",
    "restore_latest": "(self, /, label, target_dir)",
}

STUB = Path(__file__).resolve().parents[2] / "python" / "quellmar" / "_native.pyi"


def engine_methods():
    return {name for name in vars(Engine) if not name.startswith("__")}


def pending_names():
    return {name for name, (group, _) in METHODS.items() if group in PENDING_GROUPS}


def test_the_table_has_63_methods_two_of_them_static():
    assert len(METHODS) == 63
    assert {group for group, _ in METHODS.values()} >= PENDING_GROUPS


def test_engine_methods_match_the_table():
    present = engine_methods()
    assert present - set(METHODS) == set(), "methods outside the table"
    missing = set(METHODS) - present
    assert missing <= pending_names(), "methods of landed groups are missing"
    if not PENDING_GROUPS:
        assert len(present) == 63


@pytest.mark.parametrize("name", list(METHODS))
def test_method_signature(name):
    if name not in vars(Engine):
        assert name in pending_names()
        pytest.skip(f"{METHODS[name][0]} methods not merged yet")
    method = getattr(Engine, name)
    assert str(inspect.signature(method)) == METHODS[name][1]
    assert isinstance(vars(Engine)[name], staticmethod) == (name in STATIC)
    assert method.__doc__ and method.__doc__.strip(), f"{name} has no docstring text"


def test_checkpoint_repository_methods():
    assert {n for n in vars(CheckpointRepository) if not n.startswith("__")} == set(
        CHECKPOINT_METHODS)
    for name, signature in CHECKPOINT_METHODS.items():
        assert str(inspect.signature(getattr(CheckpointRepository, name))) == signature


# --- The type stub ------------------------------------------------------------------------------


def stub_tree():
    return ast.parse(STUB.read_text(), filename=str(STUB))


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def stub_signature(fn):
    """The signature of a stub function as inspect prints it: names and defaults only."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parts = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        parts.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
        if args.posonlyargs and i == len(args.posonlyargs) - 1:
            parts.append("/")
    return "(" + ", ".join(parts) + ")"


def functions_of(cls):
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def is_static(fn):
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)


def test_stub_engine_matches_the_table():
    functions = functions_of(stub_classes()["Engine"])
    assert set(functions) - {"__init__"} == set(METHODS)
    for name, (_, signature) in METHODS.items():
        assert stub_signature(functions[name]) == signature, name
        assert is_static(functions[name]) == (name in STATIC), name
    assert stub_signature(functions["__init__"]) == (
        "(self, path, segment_size=None, vamana_threshold=None)")


def test_stub_other_classes_and_module_attributes():
    classes = stub_classes()
    functions = functions_of(classes["CheckpointRepository"])
    assert {n: stub_signature(f) for n, f in functions.items() if n != "__init__"} == (
        CHECKPOINT_METHODS)
    assert stub_signature(functions["__init__"]) == "(self, root)"

    read_result = functions_of(classes["ReadResult"])
    properties = [n for n, f in read_result.items()
                  if any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)]
    assert properties == ["cell_id", "owner", "layer", "score", "tier", "importance"]
    assert set(read_result) - set(properties) == {"key", "value"}
    assert {n for n in vars(ReadResult) if not n.startswith("__")} == set(read_result)

    tree = stub_tree()
    declared = set()
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
        elif isinstance(node, ast.Assign):
            declared.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
    public = {name for name in declared if not name.startswith("_")} | {"__version__"}
    assert public == set(_native.__all__)
    stub_all = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                    and any(getattr(t, "id", None) == "__all__" for t in node.targets))
    assert ast.literal_eval(stub_all) == _native.__all__
    fn = next(node for node in tree.body
              if isinstance(node, ast.FunctionDef) and node.name == "find_chunk_boundary")
    assert stub_signature(fn) == str(inspect.signature(_native.find_chunk_boundary))


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_passes_stubtest(tmp_path):
    """mypy's stubtest compares the stub with the imported module: names, kinds, parameters."""
    allowlist = tmp_path / "allowlist"
    missing = sorted(set(METHODS) - engine_methods())
    allowlist.write_text("".join(f"quellmar._native.Engine.{name}\n" for name in missing))
    runtime_root = Path(quellmar.__file__).resolve().parents[1]
    env = dict(os.environ, MYPYPATH=str(STUB.parents[1]), PYTHONPATH=str(runtime_root))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quellmar._native", "--allowlist",
         str(allowlist), "--mypy-config-file", os.devnull],
        env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
