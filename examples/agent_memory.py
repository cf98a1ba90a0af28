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
TIERS = ("Draft", "Validated", "Core")  # tier numbers as the engine reports them

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

    # Each write is durable when it returns. A pack starts at importance salience + 5, and its
    # tier follows: Core from 85, Validated from 65, Draft below.
    print("stored:")
    pack_ids, caches = [], []
    for topic, (text, salience) in enumerate(MEMORIES):
        cache = kv_cache()
        pack_id = engine.mem_write_pack(AGENT, embed(topic), cache, salience, text=text)
        pack_ids.append(pack_id)
        caches.append(cache)
        print(f"  pack {pack_id}  salience {salience:4.0f}  importance "
              f"{engine.pack_importance(pack_id):5.1f}  {text}")

    # Recall by similarity: a noisy query near topic 1. Scores are dot products scaled by
    # 1/sqrt(DIM), weighted by tier (x1.0, x1.1, x1.25) and recency.
    query = embed(1) + 0.1 * rng.standard_normal(DIM).astype(np.float32)
    print("\nrecall by similarity (top 2):")
    for hit in engine.mem_read_pack(query, 2, AGENT):
        print(f"  pack {hit['pack_id']}  score {hit['score']:.3f}  {TIERS[hit['tier']]:<9}  "
              f"{len(hit['layers'])} layers  {hit['text']}")

    # Recall by id: the whole KV cache comes back as float32 NumPy arrays, one per layer, in
    # layer order. Payloads are stored with 4-bit group quantisation, so they come back close
    # to what was written, not bit for bit.
    pack = engine.load_pack_by_id(pack_ids[0])
    written = np.stack([data for _, data in caches[0]])
    loaded = np.stack([layer["data"] for layer in pack["layers"]])
    error = np.linalg.norm(loaded - written) / np.linalg.norm(written)
    print(f"\nloaded pack {pack['pack_id']} by id: {pack['text']}")
    print(f"  layers {[layer['layer_idx'] for layer in pack['layers']]}, each {loaded.shape[1]} "
          f"floats ({loaded.dtype}); relative error of the stored payload {error:.1%}")

    # Governance: every read raised the importance of what it returned by 3; simulated time
    # decays it by 0.5% a day; Draft packs that fell below a threshold are evicted.
    def show_importance(title):
        print(f"\n{title}")
        for pack_id, (text, _) in zip(pack_ids, MEMORIES):
            importance = engine.pack_importance(pack_id)
            shown = "evicted" if importance is None else f"importance {importance:5.1f}"
            print(f"  pack {pack_id}  {shown:<16}  {text}")

    show_importance("after the reads:")
    engine.advance_days(60.0)
    evicted = engine.evict_draft_packs(15.0)
    show_importance(f"after 60 simulated days and evicting Draft packs below 15 "
                    f"({evicted} evicted):")

    status = engine.status()
    print(f"\n{engine.pack_count()} packs remain: {status['cell_count']} cells, "
          f"{status['arena_bytes']} bytes in {status['segment_count']} segment(s), "
          f"{status['slb_occupancy']} keys in the SLB")
    del engine  # before its directory goes
