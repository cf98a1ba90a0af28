"""Agent memory in a few lines: store what an agent lived through as packs (a retrieval key, the
KV cache of every layer and a text), recall them by similarity or by id, and let governance
forget what mattered little.

    PYTHONPATH=build/python /usr/bin/python3 examples/agent_memory.py
"""

import tempfile

import numpy as np

from quellmar._native import Engine

DIM = 64  # width of a retrieval key
LAYERS = 4  # transformer layers whose KV payload each memory keeps
PAYLOAD = 256  # floats per layer payload
AGENT = 1  # owner id: one agent (or tenant) of the engine

rng = np.random.default_rng(7)


def embed(topic):
    """Stand-in for a real embedding model: one fixed unit vector per topic."""
    v = np.random.default_rng(topic).standard_normal(DIM).astype(np.float32)
    return v / np.linalg.norm(v)


def kv_cache():
    """Stand-in for the KV cache of a forward pass: one payload per layer."""
    return [(layer, rng.standard_normal(PAYLOAD).astype(np.float32)) for layer in range(LAYERS)]


MEMORIES = [  # (text, salience 0..100)
    ("The user prefers answers in French.", 80.0),
    ("The deployment runs on three ARM nodes.", 60.0),
    ("Lunch on Tuesday was pasta.", 5.0),
]

with tempfile.TemporaryDirectory() as path:
    engine = Engine(path)

    pack_ids = []
    for topic, (text, salience) in enumerate(MEMORIES):
        pack_id = engine.mem_write_pack(AGENT, embed(topic), kv_cache(), salience, text=text)
        pack_ids.append(pack_id)
        print(f"stored pack {pack_id} (salience {salience:g}): {text}")

    # Recall by similarity: a query close to topic 1.
    query = embed(1) + 0.1 * rng.standard_normal(DIM).astype(np.float32)
    print("\nrecall by similarity:")
    for hit in engine.mem_read_pack(query, 2, AGENT):
        print(f"  pack {hit['pack_id']}  score {hit['score']:.3f}  tier {hit['tier']}  "
              f"{len(hit['layers'])} layers  {hit['text']}")

    # Recall by id: the whole KV cache comes back as NumPy arrays, ready to inject.
    pack = engine.load_pack_by_id(pack_ids[0])
    shapes = [layer["data"].shape for layer in pack["layers"]]
    print(f"\nloaded pack {pack['pack_id']} by id: {pack['text']}  layer shapes {shapes}")

    # Governance: every read raised the importance of what it returned; simulated time decays
    # it; Draft packs that fell below a threshold are evicted.
    def show_importance(title):
        print(f"\n{title}")
        for pack_id, (text, _) in zip(pack_ids, MEMORIES):
            importance = engine.pack_importance(pack_id)
            shown = "evicted" if importance is None else f"importance {importance:.1f}"
            print(f"  pack {pack_id}: {shown:<18} {text}")

    show_importance("importance after the reads:")
    engine.advance_days(60.0)
    evicted = engine.evict_draft_packs(15.0)
    show_importance(f"after 60 simulated days, {evicted} weak Draft pack(s) evicted:")
    print(f"\n{engine.pack_count()} packs remain; status: {engine.status()}")
