"""Snapshots from Python: the archive read back with tarfile against its layout and digest, the
manifest dict, restores into new directories that read back every pack, and refused archives."""

import hashlib
import io
import json
import os
import tarfile
import time

import numpy as np
import pytest

from conftest import raises
from quellmar._native import Engine

f32 = np.float32
MANIFEST_KEYS = ["magic", "format_version", "created_at", "pack_count", "owner_count", "sha256",
                 "quantization_codec", "key_codec"]
TREE_MTIME = 1153704088


def populate(engine, n=6, seed=0):
    """Packs of two owners (with and without texts), a LoRA entry and a scheduled action."""
    rng = np.random.default_rng(seed)
    ids = []
    for i in range(n):
        layers = [(layer, rng.standard_normal(8).astype(f32)) for layer in range(3)]
        text = None if i == 2 else f"memory {i}"
        ids.append(engine.mem_write_pack(1 + i % 2, rng.standard_normal(16).astype(f32), layers,
                                         40.0 + i, text=text))
    engine.store_synapsis(9, 1, np.ones(4, f32), np.full(4, 0.5, f32), 2.0, 2, 2)
    engine.schedule_evict_draft(4e9, 2, 10.0)
    return ids


def files_of(directory):
    """Every regular file below `directory` by its relative path, with its bytes."""
    out = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            out[os.path.relpath(path, directory)] = open(path, "rb").read()
    return out


def content_digest(files):
    h = hashlib.sha256()
    for name in sorted(files, key=lambda p: [c.encode() for c in p.split("/")]):
        data = files[name]
        h.update(name.encode() + b"\0" + len(data).to_bytes(8, "little") + data)
    return h.hexdigest()


def packs_of(engine, ids):
    out = []
    for pack_id in ids:
        p = engine.load_pack_by_id(pack_id)
        out.append((p["pack_id"], p["owner"], p["tier"], p["text"],
                    [(layer["layer_idx"], layer["data"].tolist()) for layer in p["layers"]]))
    return out


@pytest.fixture
def populated(engine_dir):
    engine = Engine(engine_dir)
    ids = populate(engine)
    # Foreign files are archived too; "a/b" sorts before "a.b" in the digest.
    os.makedirs(os.path.join(engine_dir, "a"))
    open(os.path.join(engine_dir, "a", "b"), "wb").write(b"nested")
    open(os.path.join(engine_dir, "a.b"), "wb").write(b"dotted")
    return engine, ids


def test_archive_layout_manifest_and_digest(populated, engine_dir, tmp_path):
    engine, _ = populated
    out = str(tmp_path / "snap.tar")
    t0 = int(time.time())
    manifest = engine.snapshot(out)
    t1 = int(time.time())

    assert list(manifest) == MANIFEST_KEYS
    assert manifest["magic"] == "qmr!"
    assert manifest["format_version"] == 1
    assert manifest["created_at"].startswith("@")
    assert t0 <= int(manifest["created_at"][1:]) <= t1
    assert (manifest["pack_count"], manifest["owner_count"]) == (6, 2)
    assert (manifest["quantization_codec"], manifest["key_codec"]) == ("q4", "top5avg")

    raw = open(out, "rb").read()
    assert raw[257:265] == b"ustar  \x00"  # the GNU header of the first entry
    with tarfile.open(out) as tar:
        members = tar.getmembers()
        first, state, rest = members[0], members[1], members[2:]
        assert (first.name, first.isfile(), first.mode, first.mtime, first.uid, first.gid) == (
            "manifest.json", True, 0o644, 0, 0, 0)
        text = tar.extractfile(first).read().decode()
        assert (state.name, state.isdir(), state.mode, state.mtime) == (
            "engine_state", True, 0o755, TREE_MTIME)
        archived = {}
        for m in rest:
            assert m.name.startswith("engine_state/")
            assert (m.mtime, m.uid, m.gid) == (TREE_MTIME, 0, 0)
            assert m.mode == (0o755 if m.isdir() else 0o644)
            if m.isfile():
                archived[m.name[len("engine_state/"):]] = tar.extractfile(m).read()
        end = rest[-1].offset_data + -(-rest[-1].size // 512) * 512

    # The archive ends with at least two zero blocks after the last entry.
    assert len(raw) % 512 == 0 and len(raw) - end >= 1024 and raw[end:].count(0) == len(raw) - end

    on_disk = files_of(engine_dir)
    assert archived == on_disk
    assert {"a/b", "a.b", "scheduled_actions.json", "synaptic.qmr", "trace.wal"} <= set(on_disk)
    assert manifest["sha256"] == content_digest(on_disk)

    written = json.loads(text)
    assert list(written) == ["magic", "format_version", "created_at", "codecs", "stats", "sha256"]
    assert text == json.dumps(written, indent=2)  # two-space pretty print, no final line break
    assert written == {
        "magic": "qmr!", "format_version": 1, "created_at": manifest["created_at"],
        "codecs": {"quantization": "q4", "key": "top5avg"},
        "stats": {"pack_count": 6, "owner_count": 2}, "sha256": manifest["sha256"],
    }


def test_restore_into_a_new_directory_reads_back_everything(populated, engine_dir, tmp_path):
    engine, ids = populated
    out = str(tmp_path / "snap.tar")
    engine.snapshot(out)
    # A reopen gives every stored cell a governance entry, layer cells included, so the restored
    # engine is compared with a reopen of the source directory.
    status = Engine(engine_dir).status()
    target = str(tmp_path / "new" / "restored")  # missing parents are created

    restored = Engine.restore_from(out, target)
    assert type(restored) is Engine
    assert repr(restored) == f"Engine(path='{target}', cells={status['cell_count']})"
    assert restored.status() == status
    assert files_of(target) == files_of(engine_dir)
    assert packs_of(restored, ids) == packs_of(engine, ids)
    assert restored.load_synapsis(1)[0]["lora_b"].tolist() == [0.5] * 4
    assert restored.list_scheduled() == engine.list_scheduled()
    assert sorted(restored.list_packs_metadata()["pack_ids"].tolist()) == ids

    # The restored engine is a separate engine.
    restored.delete_pack(ids[0])
    assert engine.pack_exists(ids[0]) is True

    # Restoring again into the same directory replaces the archived files and keeps the others:
    # the deletion log, made after the snapshot, still deletes the pack.
    del restored
    again = Engine.restore_from(in_path=out, target_dir=target)
    assert files_of(target)["segment_000000.qmr"] == files_of(engine_dir)["segment_000000.qmr"]
    assert again.pack_exists(ids[0]) is False
    assert packs_of(again, ids[1:]) == packs_of(engine, ids[1:])


def test_snapshot_drains_the_write_buffer(engine_dir, tmp_path):
    engine = Engine.open_with_write_buffer(engine_dir, 100)
    pack = engine.mem_write_pack(4, np.ones(8, f32), [(0, np.arange(4, dtype=f32))], 50.0)
    assert engine.pack_exists(pack) is False  # only queued
    manifest = engine.snapshot(str(tmp_path / "snap.tar"))
    assert manifest["pack_count"] == 1
    restored = Engine.restore_from(str(tmp_path / "snap.tar"), str(tmp_path / "restored"))
    assert restored.pack_exists(pack) is True
    assert restored.load_pack_by_id(pack)["owner"] == 4


def test_empty_engine_snapshot(engine, engine_dir, tmp_path):
    manifest = engine.snapshot(str(tmp_path / "snap.tar"))
    assert (manifest["pack_count"], manifest["owner_count"]) == (0, 0)
    assert manifest["sha256"] == content_digest(files_of(engine_dir))
    restored = Engine.restore_from(str(tmp_path / "snap.tar"), str(tmp_path / "restored"))
    assert restored.pack_count() == 0


def test_snapshot_into_the_engine_directory_is_refused(engine, engine_dir, tmp_path):
    for out in (os.path.join(engine_dir, "snap.tar"), os.path.join(engine_dir, "trace.wal")):
        before = files_of(engine_dir)
        raises(RuntimeError,
               f"snapshot integrity check failed: out_path ({out}) is inside engine_dir "
               f"({engine_dir}); pick a path outside the engine directory",
               engine.snapshot, out)
        assert files_of(engine_dir) == before
    with pytest.raises(RuntimeError) as exc:
        engine.snapshot(str(tmp_path / "missing" / "snap.tar"))
    assert str(exc.value).startswith("storage I/O error: ")
    with pytest.raises(TypeError) as exc:
        engine.snapshot(None)
    assert str(exc.value) == "argument 'out_path': 'None' is not an instance of 'str'"


def archive(path, manifest=None, files=(), digest=None):
    """A tar file of our layout built by hand: manifest.json (a dict, or raw bytes) and files
    under engine_state; the digest is computed over the files unless given."""
    files = dict(files)
    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as tar:
        def add(name, data):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))

        if manifest is not None:
            if isinstance(manifest, dict):
                manifest = dict(manifest)
                manifest.setdefault("sha256", digest or content_digest(files))
                manifest = json.dumps(manifest, indent=2).encode()
            add("manifest.json", manifest)
        for name, data in files.items():
            add(name if name.startswith("engine_state") else "engine_state/" + name, data)
    return path


GOOD = {"magic": "qmr!", "format_version": 1, "created_at": "@0",
        "codecs": {"quantization": "q4", "key": "top5avg"},
        "stats": {"pack_count": 0, "owner_count": 0}}


@pytest.mark.parametrize(
    "manifest, files, text",
    [
        (None, {"x": b"1"}, "not a Quellmar snapshot: manifest.json missing"),
        ({**GOOD, "magic": "abcd"}, {}, 'not a Quellmar snapshot: unexpected magic: "abcd"'),
        ({**GOOD, "format_version": 2}, {},
         "unsupported snapshot format version 2, supported: 1"),
        ({**GOOD, "codecs": {"quantization": "q8", "key": "top5avg"}}, {},
         "snapshot codec mismatch for quantization: snapshot=q8, engine=q4"),
        ({**GOOD, "codecs": {"quantization": "q4", "key": "mean"}}, {},
         "snapshot codec mismatch for key: snapshot=mean, engine=top5avg"),
        ({**GOOD, "sha256": "0" * 64}, {"x": b"1"},
         "snapshot integrity check failed: sha256 mismatch: manifest=" + "0" * 64
         + ", computed=" + content_digest({"x": b"1"})),
        (GOOD, {"engine_state/../escape": b"1"},
         'snapshot integrity check failed: unsafe file name in archive: '
         '"engine_state/../escape"'),
    ],
    ids=["no-manifest", "magic", "version", "quantization-codec", "key-codec", "digest",
         "dot-dot"],
)
def test_refused_archives_write_nothing(tmp_path, manifest, files, text):
    path = archive(str(tmp_path / "crafted.tar"), manifest, files)
    target = tmp_path / "target"
    raises(RuntimeError, text, Engine.restore_from, path, str(target))
    assert not target.exists()
    assert not (tmp_path / "escape").exists()


def test_handmade_archive_restores(tmp_path):
    # Only the files and the digest matter; a restored directory opens as an engine.
    path = archive(str(tmp_path / "ok.tar"), GOOD, {"notes/readme": b"hello"})
    e = Engine.restore_from(path, str(tmp_path / "target"))
    assert e.pack_count() == 0
    assert (tmp_path / "target" / "notes" / "readme").read_bytes() == b"hello"


def test_tampered_archive_is_refused(populated, tmp_path):
    engine, _ = populated
    out = tmp_path / "snap.tar"
    manifest = engine.snapshot(str(out))
    raw = bytearray(out.read_bytes())
    with tarfile.open(str(out)) as tar:
        member = next(m for m in tar.getmembers() if m.name == "engine_state/a.b")
    raw[member.offset_data] ^= 0x01
    out.write_bytes(bytes(raw))
    with pytest.raises(RuntimeError) as exc:
        Engine.restore_from(str(out), str(tmp_path / "target"))
    assert str(exc.value).startswith(
        f"snapshot integrity check failed: sha256 mismatch: manifest={manifest['sha256']}, "
        "computed=")
    assert not (tmp_path / "target").exists()


def test_restore_errors(tmp_path):
    with pytest.raises(RuntimeError) as exc:
        Engine.restore_from(str(tmp_path / "missing.tar"), str(tmp_path / "target"))
    assert str(exc.value).startswith("storage I/O error: ")
    assert not (tmp_path / "target").exists()
    with pytest.raises(TypeError) as exc:
        Engine.restore_from(str(tmp_path / "missing.tar"))
    assert str(exc.value) == (
        "Engine.restore_from() missing 1 required positional argument: 'target_dir'"
    )
