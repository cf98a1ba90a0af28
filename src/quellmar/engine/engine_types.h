#pragma once

// The values the engine takes and hands back: pack and cell writes, the results of reads and
// listings, its status, and one sweep's steps.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quellmar/core/types.h"
#include "quellmar/storage/cell_record.h"

namespace quellmar {

struct LayerPayload {
  LayerIdx layer_idx = 0;
  std::vector<float> data;
};

// One pack to store: a retrieval key (plain or encoded), one payload per layer, optional text.
struct PackWrite {
  OwnerId owner = 0;
  std::vector<float> retrieval_key;
  std::vector<LayerPayload> layer_payloads;
  float salience = 0.0f;
  std::optional<std::string> text;
};

struct BufferedPack {
  PackWrite request;
  PackId pack_id = 0;
  // The key and the payloads in the form their records store them, one after the other, made
  // when the write buffer takes the pack: a drain then copies them instead of quantizing. Empty
  // for packs written at once.
  std::vector<uint8_t> stored;
};

// Queue of pack writes awaiting one durable batch.
struct WriteBuffer {
  std::vector<BufferedPack> entries;
  uint64_t max_batch_size = 0;
  uint64_t max_idle_ms = 0;  // kept, with no effect
};

// One request of the cell API.
struct CellWrite {
  OwnerId owner = 0;
  LayerIdx layer = 0;
  std::vector<float> key;
  std::vector<float> value;
  float salience = 0.0f;
  std::optional<CellId> parent;
};

struct PackCandidate {
  // The pack's cell list, head cell first, as the pack directory holds it: valid until the
  // directory changes.
  std::span<const CellId> cells;
  PackId pack_id = 0;
  CellId hit_cell = 0;  // the best hit that selected the pack
  OwnerId owner = 0;    // that hit's owner
  float score = 0.0f;   // that hit's raw score
};

// One pack of a read, its layer payloads decoded (LayerPayload) or as stored (StoredPayload).
template <class Layer>
struct BasicPackRead {
  PackId pack_id = 0;
  OwnerId owner = 0;
  float score = 0.0f;
  uint8_t tier = 0;
  std::vector<Layer> layers;  // ascending by layer index
  std::optional<std::string> text;
};
using PackReadResult = BasicPackRead<LayerPayload>;

// A layer payload as stored: `len` values whose 4-bit groups start `at` bytes into the bytes of
// the read that found it.
struct StoredPayload {
  LayerIdx layer_idx = 0;
  uint64_t len = 0;
  size_t at = 0;
};

// Packs of a read whose payloads are left as stored, for a caller that decodes each one straight
// into memory of its own: the records read, and the packs.
struct StoredPackReads {
  std::string bytes;
  std::vector<BasicPackRead<StoredPayload>> packs;

  // Writes the payload's `len` values to out.
  void decode(const StoredPayload& payload, float* out) const {
    decode_q4_groups(reinterpret_cast<const uint8_t*>(bytes.data()) + payload.at, payload.len, out);
  }
};

struct CellReadResult {
  CellRecord record;
  float score = 0.0f;
  uint8_t tier = 0;  // before this read's touch
};

struct PackMetadata {
  PackId pack_id = 0;
  OwnerId owner = 0;
  uint8_t tier = 0;
  float importance = 0.0f;
};

// The engine's sizes and state, read in one pass.
struct EngineStatus {
  uint64_t cell_count = 0;
  uint64_t pack_count = 0;
  uint64_t segment_count = 0;
  uint64_t slb_occupancy = 0;
  uint64_t slb_capacity = 0;
  bool vamana_active = false;
  uint64_t pipeline_stages = 0;
  uint64_t governance_entries = 0;
  uint64_t trace_edges = 0;
  uint64_t arena_bytes = 0;           // the bytes written to every segment, headers included
  uint64_t arena_bytes_per_cell = 0;  // arena_bytes / cell_count rounded down; 0 without cells
};

// The importance bound of a sweep's Draft eviction when the caller names none (the sweeps of
// sweep_now and of the maintenance thread).
inline constexpr float DEFAULT_EVICTION_THRESHOLD = 15.0f;

// One sweep: the governance clock, the Draft eviction over every owner, the scheduled actions.
struct SweepStep {
  std::optional<float> days;  // advance_days(days) first; none leaves the clock alone
  float eviction_threshold = 0.0f;
  bool fire_scheduled = false;  // then fire the actions due at the wall clock
};

}  // namespace quellmar
