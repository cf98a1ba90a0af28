"""The checkpoint repository from Python: numbered saves per label, listing, the latest, restores
into fresh directories, and the repository's own failures."""

import os
import threading

import numpy as np
import pytest

from conftest import raises
from quellmar._native import CheckpointRepository, Engine

f32 = np.float32
MANIFEST_KEYS = ["magic", "format_version", "created_at", "pack_count", "owner_count", "sha256",
                 "quantization_codec", "key_codec"]


def write_pack(engine, owner, seed):
    key = np.full(8, 0.1 * (seed + 1), f32)
    return engine.mem_write_pack(owner, key, [(0, np.full(4, seed, f32))], 60.0, text=f"t{seed}")


@pytest.fixture
def root(tmp_path):
    return str(tmp_path / "checkpoints")


def test_missing_root(root, tmp_path):
    repo = CheckpointRepository(root)
    assert repo.list() == []
    assert repo.list("a") == []
    assert repo.latest("a") is None
    raises(RuntimeError, "snapshot integrity check failed: no checkpoint found for label a",
           repo.restore_latest, "a", str(tmp_path / "target"))
    assert not os.path.exists(root)
    assert not (tmp_path / "target").exists()


def test_saves_number_per_label_and_restore_the_latest(engine, root, tmp_path):
    repo = CheckpointRepository(root)
    first = write_pack(engine, 1, 0)
    one = repo.save(engine, "a")
    assert list(one) == ["label", "seq", "path", "manifest"]
    assert (one["label"], one["seq"], one["path"]) == ("a", 1, f"{root}/a/1.tar")
    assert list(one["manifest"]) == MANIFEST_KEYS
    assert one["manifest"]["pack_count"] == 1
    assert os.path.isfile(one["path"])

    second = write_pack(engine, 2, 1)
    two = repo.save(engine=engine, label="a")
    assert (two["seq"], two["path"]) == (2, f"{root}/a/2.tar")
    assert two["manifest"]["pack_count"] == 2
    other = repo.save(engine, "0-first")  # sorts before "a"
    assert other["seq"] == 1

    assert repo.latest("a") == two
    assert repo.latest(label="0-first") == other
    assert repo.latest("b") is None
    assert repo.list() == [other, one, two]
    assert repo.list("a") == [one, two]
    assert repo.list(label=None) == [other, one, two]
    assert repo.list("b") == []

    target = str(tmp_path / "restored")
    restored = repo.restore_latest("a", target)
    assert type(restored) is Engine
    assert restored.pack_count() == 2
    for pack_id in (first, second):
        assert restored.load_pack_by_id(pack_id)["text"] == engine.load_pack_by_id(pack_id)["text"]
    assert restored.is_maintenance_running() is False

    # The manifest read back from a listed archive is the one the save returned.
    assert CheckpointRepository(root).list("a")[0]["manifest"] == one["manifest"]


def test_numbers_continue_from_the_highest_present(engine, root):
    repo = CheckpointRepository(root)
    os.makedirs(os.path.join(root, "a"))
    open(os.path.join(root, "a", "notes.txt"), "w").close()  # not a checkpoint name
    repo.save(engine, "a")
    os.rename(os.path.join(root, "a", "1.tar"), os.path.join(root, "a", "007.tar"))
    saved = repo.save(engine, "a")
    assert saved["seq"] == 8
    assert [c["seq"] for c in repo.list("a")] == [7, 8]


def test_save_of_a_running_engine(engine, root):
    # save holds the engine lock for the whole snapshot; the maintenance thread waits for it.
    write_pack(engine, 1, 0)
    engine.start_maintenance(0.001, 0.001)
    repo = CheckpointRepository(root)
    errors = []

    def save_many(label):
        try:
            for _ in range(5):
                repo.save(engine, label)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=save_many, args=(label,)) for label in ("x", "y")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    engine.stop_maintenance()
    assert errors == []
    assert [c["seq"] for c in repo.list("x")] == [1, 2, 3, 4, 5]


@pytest.mark.parametrize(
    "label, shown",
    [("", '""'), ("..", '".."'), ("a/b", '"a/b"'), (".", '"."')],
    ids=["empty", "dot-dot", "slash", "dot"],
)
def test_labels_that_are_no_single_component(engine, root, tmp_path, label, shown):
    raises(RuntimeError,
           f"snapshot integrity check failed: invalid checkpoint label {shown}: a label must be "
           'a single path component (not empty, "." or "..", and without "/")',
           CheckpointRepository(root).save, engine, label)
    assert not os.path.exists(root)
    # The queries compare the label with directory names: it names none of them.
    repo = CheckpointRepository(root)
    repo.save(engine, "a")
    assert repo.list(label) == []
    assert repo.latest(label) is None
    raises(RuntimeError, f"snapshot integrity check failed: no checkpoint found for label {label}",
           repo.restore_latest, label, str(tmp_path / "t"))


def test_foreign_archive_fails_the_listing(root, tmp_path):
    os.makedirs(os.path.join(root, "a"))
    with open(os.path.join(root, "a", "1.tar"), "wb") as f:
        f.write(b"\0" * 1024)  # an empty tar: no manifest
    repo = CheckpointRepository(root)
    for call in (lambda: repo.list(), lambda: repo.latest("a"),
                 lambda: repo.restore_latest("a", str(tmp_path / "t"))):
        raises(RuntimeError, "not a Quellmar snapshot: manifest.json missing", call)


def test_argument_errors(root, engine):
    repo = CheckpointRepository(root)
    raises(TypeError, "argument 'engine': 'str' object is not an instance of 'Engine'",
           repo.save, "x", "a")
    raises(TypeError, "argument 'engine': 'CheckpointRepository' object is not an instance of "
           "'Engine'", repo.save, repo, "a")
    raises(TypeError, "argument 'label': 'int' object is not an instance of 'str'",
           repo.save, engine, 1)
    raises(TypeError, "argument 'label': 'int' object is not an instance of 'str'", repo.list, 1)
    raises(TypeError, "CheckpointRepository.latest() missing 1 required positional argument: "
           "'label'", repo.latest)
    assert not os.path.exists(root)


def test_docstrings():
    expected = {
        "save": "Save ``engine``'s current state under ``label``.",
        "list": "Return all checkpoints, optionally filtered by ",
        "latest": "Latest checkpoint for ``label`` or ``None``",
        "restore_latest": "Restore the latest checkpoint for ``label`` into ``target_dir``.",
    }
    names = [n for n in vars(CheckpointRepository) if not n.startswith("__")]
    assert sorted(names) == sorted(expected)
    for name, doc in expected.items():
        assert getattr(CheckpointRepository, name).__doc__.startswith(doc)
