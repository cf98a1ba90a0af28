"""Type stubs of the extension module ``quellmar._native``.

Names with a leading underscore exist only here, for type checkers (the result dicts are plain
dicts at run time)."""

import builtins
from typing import Final, Sequence, TypedDict, final

import numpy as np
import numpy.typing as npt

_F32Array = npt.NDArray[np.float32]

__version__: Final[str]
__all__ = [
    "__version__",
    "Engine",
    "ReadResult",
    "CheckpointRepository",
    "ENCODING_HEADER_SIZE",
    "ENCODING_SENTINEL",
    "ENCODING_N_TOKENS_IDX",
    "ENCODING_DIM_IDX",
    "SALIENCE_SCALE",
    "SALIENCE_CAP",
    "find_chunk_boundary",
]

ENCODING_HEADER_SIZE: Final[int]
ENCODING_SENTINEL: Final[float]
ENCODING_N_TOKENS_IDX: Final[int]
ENCODING_DIM_IDX: Final[int]
SALIENCE_SCALE: Final[float]
SALIENCE_CAP: Final[float]

# --- Result dicts -------------------------------------------------------------------------------

class _StatusDict(TypedDict):
    cell_count: int
    pack_count: int
    segment_count: int
    slb_occupancy: int
    slb_capacity: int
    vamana_active: bool
    pipeline_stages: int
    governance_entries: int
    trace_edges: int
    arena_bytes: int
    arena_bytes_per_cell: int

class _CompactionReport(TypedDict):
    segments_compacted: int
    cells_moved: int
    bytes_reclaimed: int

class _LayerDict(TypedDict):
    layer_idx: int
    data: _F32Array

class _PackDict(TypedDict):
    pack_id: int
    owner: int
    score: float
    tier: int
    layers: list[_LayerDict]
    text: str | None

class _AutoLinkResult(TypedDict):
    pack_id: int
    linked_pack_ids: list[int]

class _PackInfo(TypedDict):
    pack_id: int
    owner: int
    tier: int
    importance: float
    text: str | None

class _PacksMetadata(TypedDict):
    pack_ids: npt.NDArray[np.uint64]
    owners: npt.NDArray[np.uint64]
    tiers: npt.NDArray[np.uint8]
    importances: _F32Array

class _MaintenanceStatus(TypedDict):
    sweep_count: int
    compaction_count: int
    total_packs_evicted: int
    total_bytes_reclaimed: int
    last_sweep_epoch_secs: int | None
    last_compaction_epoch_secs: int | None

class _EvictDraftAction(TypedDict):
    type: str
    owner: int
    threshold: float

class _ScheduledEntry(TypedDict):
    id: int
    fires_at_unix_secs: float
    action: _EvictDraftAction

class _SynapsisEntry(TypedDict):
    id: int
    owner: int
    rank: int
    d_model: int
    scale: float
    last_used: int
    quality: float
    lora_a: _F32Array
    lora_b: _F32Array

class _SnapshotManifest(TypedDict):
    magic: str
    format_version: int
    created_at: str
    pack_count: int
    owner_count: int
    sha256: str
    quantization_codec: str
    key_codec: str

class _CheckpointDict(TypedDict):
    label: str
    seq: int
    path: str
    manifest: _SnapshotManifest

# Request records of the batch writes.
_LayerPayload = tuple[int, _F32Array]
_PackWrite = tuple[int, _F32Array, Sequence[_LayerPayload], float, str | None]
_CellWrite = tuple[int, int, _F32Array, _F32Array, float, int | None]

# --- Classes ------------------------------------------------------------------------------------

@final
class ReadResult:
    """A single retrieval result returned from `mem_read`."""

    @property
    def cell_id(self) -> int: ...
    @property
    def owner(self) -> int: ...
    @property
    def layer(self) -> int: ...
    @property
    def score(self) -> float: ...
    @property
    def tier(self) -> int: ...
    @property
    def importance(self) -> float: ...
    def key(self, /) -> list[float]: ...
    def value(self, /) -> list[float]: ...

@final
class Engine:
    """`Quellmar` engine — persistent KV cache memory for LLM agents."""

    def __init__(
        self, path: str, segment_size: int | None = None, vamana_threshold: int | None = None
    ) -> None: ...

    # Lifecycle and status.
    @staticmethod
    def open_with_write_buffer(path: str, max_batch_size: int, max_idle_ms: int = 0) -> Engine: ...
    def flush(self, /) -> None: ...
    def flush_buffer(self, /) -> None: ...
    def refresh(self, /) -> None: ...
    def compact(self, /) -> _CompactionReport: ...
    def status(self, /) -> _StatusDict: ...
    def cell_count(self, /) -> int: ...
    def pack_count(self, /) -> int: ...
    def has_vamana(self, /) -> bool: ...
    def pipeline_stage_count(self, /) -> int: ...

    # Pack writes.
    def mem_write_pack(
        self,
        /,
        owner: int,
        retrieval_key: _F32Array,
        layer_payloads: Sequence[_LayerPayload],
        salience: float,
        text: str | None = None,
        salience_mode: str | None = None,
    ) -> int: ...
    def mem_write_pack_tokens(
        self,
        /,
        owner: int,
        token_matrix: _F32Array,
        layer_payloads: Sequence[_LayerPayload],
        salience: float,
        text: str | None = None,
        salience_mode: str | None = None,
    ) -> int: ...
    def mem_write_pack_with_auto_link(
        self,
        /,
        owner: int,
        retrieval_key: _F32Array,
        layer_payloads: Sequence[_LayerPayload],
        salience: float,
        auto_link_threshold: float | None = None,
        text: str | None = None,
    ) -> _AutoLinkResult: ...
    def mem_write_batch_packs(self, /, packs: Sequence[_PackWrite]) -> list[int]: ...

    # Pack reads.
    def mem_read_pack(self, /, query_key: _F32Array, k: int, owner: int | None) -> list[_PackDict]: ...
    def load_pack_by_id(self, /, pack_id: int) -> _PackDict: ...
    def mem_read_pack_with_trace_boost(
        self, /, query_key: _F32Array, k: int, owner: int | None, boost_factor: float
    ) -> list[_PackDict]: ...
    def mem_read_pack_with_trace_boost_and_follow(
        self, /, query_key: _F32Array, k: int, owner: int | None, boost_factor: float
    ) -> list[_PackDict]: ...

    # Pack directory.
    def list_packs(
        self, /, owner: int | None = None, fetch_text: bool | None = None
    ) -> list[_PackInfo]: ...
    def list_packs_metadata(self, /, owner: int | None = None) -> _PacksMetadata: ...
    def pack_text(self, /, pack_id: int) -> str | None: ...
    def set_pack_text(self, /, pack_id: int, text: str) -> None: ...
    def set_pack_texts(self, /, entries: Sequence[tuple[int, str]]) -> None: ...
    def add_view_keys(self, /, pack_id: int, view_keys: Sequence[_F32Array]) -> int: ...
    def view_count(self, /, pack_id: int) -> int: ...
    def pack_exists(self, /, pack_id: int) -> bool: ...
    def delete_pack(self, /, pack_id: int) -> None: ...
    def pack_importance(self, /, pack_id: int) -> float | None: ...

    # Cells.
    def mem_write(
        self,
        /,
        owner: int,
        layer: int,
        key: _F32Array,
        value: _F32Array,
        salience: float,
        parent_cell_id: int | None,
    ) -> int: ...
    def mem_write_batch(self, /, requests: Sequence[_CellWrite]) -> list[int]: ...
    def mem_read(self, /, query_key: _F32Array, k: int, owner: int | None) -> list[ReadResult]: ...
    def mem_read_tokens(
        self, /, query_tokens: _F32Array, k: int, owner: int | None
    ) -> list[ReadResult]: ...
    def cell_tier(self, /, cell_id: int) -> int | None: ...
    def cell_importance(self, /, cell_id: int) -> float | None: ...

    # Trace edges and governance.
    def add_pack_edge(self, /, pack_id_1: int, pack_id_2: int, edge_type: int) -> None: ...
    def add_pack_link(self, /, pack_id_1: int, pack_id_2: int) -> None: ...
    def pack_links(self, /, pack_id: int) -> list[int]: ...
    def pack_supports(self, /, pack_id: int) -> list[int]: ...
    def pack_contradicts(self, /, pack_id: int) -> list[int]: ...
    def pack_links_by_type(self, /, pack_id: int, edge_type: int) -> list[int]: ...
    def trace_ancestors(self, /, cell_id: int) -> list[int]: ...
    def advance_days(self, /, days: float) -> None: ...
    def sweep_now(self, /, hours: float = 0.0, eviction_threshold: float = 15.0) -> int: ...
    def evict_draft_packs(self, /, importance_threshold: float, owner: int | None = None) -> int: ...
    def delete_owner(self, /, owner: int) -> int: ...
    def list_owners(self, /) -> list[int]: ...
    def owner_exists(self, /, owner: int) -> bool: ...

    # Retrieval settings.
    def set_refinement_mode(
        self,
        /,
        mode: str,
        alpha: float | None = None,
        beta: float | None = None,
        k_prime: int | None = None,
    ) -> None: ...
    def refinement_mode(self, /) -> str: ...
    def set_token_reweighting(self, /, enabled: bool) -> None: ...
    def token_reweighting(self, /) -> bool: ...

    # Maintenance thread and scheduled actions.
    def start_maintenance(
        self,
        /,
        sweep_interval_secs: float = 3600.0,
        compaction_interval_secs: float = 21600.0,
        eviction_threshold: float = 15.0,
        hours_per_tick: float = 1.0,
    ) -> None: ...
    def stop_maintenance(self, /) -> None: ...
    def is_maintenance_running(self, /) -> bool: ...
    def maintenance_status(self, /) -> _MaintenanceStatus: ...
    def schedule_evict_draft(self, /, fires_at_unix_secs: float, owner: int, threshold: float) -> int: ...
    def cancel_scheduled(self, /, id: int) -> bool: ...
    def fire_due_scheduled(self, /) -> int: ...
    def list_scheduled(self, /) -> list[_ScheduledEntry]: ...

    # Synaptic bank.
    def store_synapsis(
        self,
        /,
        id: int,
        owner: int,
        lora_a: _F32Array,
        lora_b: _F32Array,
        scale: float,
        rank: int,
        d_model: int,
        last_used: int | None = None,
        quality: float | None = None,
    ) -> None: ...
    def load_synapsis(self, /, owner: int) -> list[_SynapsisEntry]: ...

    # Snapshots.
    def snapshot(self, /, out_path: str) -> _SnapshotManifest: ...
    @staticmethod
    def restore_from(in_path: str, target_dir: str) -> Engine: ...

@final
class CheckpointRepository:
    """Labeled checkpoint repository."""

    def __init__(self, root: str) -> None: ...
    def save(self, /, engine: Engine, label: str) -> _CheckpointDict: ...
    def list(self, /, label: str | None = None) -> builtins.list[_CheckpointDict]: ...
    def latest(self, /, label: str) -> _CheckpointDict | None: ...
    def restore_latest(self, /, label: str, target_dir: str) -> Engine: ...

def find_chunk_boundary(text: str, max_pos: int, strategy: str) -> int: ...
