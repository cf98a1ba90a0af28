// The write paths of the engine: packs, batches of packs, the write buffer, and single cells.

#include <algorithm>
#include <functional>

#include "quellmar/core/clock.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/refresh_scan.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/slb.h"

namespace quellmar {

namespace {

// The key and payloads of a pack in their stored form, one after the other.
std::vector<uint8_t> stored_vectors(const PackWrite& w) {
  uint64_t size = q4_stored_size(w.retrieval_key.size());
  for (const LayerPayload& p : w.layer_payloads) size += q4_stored_size(p.data.size());
  std::vector<uint8_t> out(size);
  uint8_t* at = out.data();
  store_q4(w.retrieval_key, at);
  at += q4_stored_size(w.retrieval_key.size());
  for (const LayerPayload& p : w.layer_payloads) {
    store_q4(p.data, at);
    at += q4_stored_size(p.data.size());
  }
  return out;
}

// The records of a pack, borrowing its vectors (and their stored form from stored_vectors, when
// given): the head cell and one cell per payload, with consecutive cell ids from `next_cell`.
// Returns the head cell's id.
CellId pack_records(const PackWrite& w, const std::vector<uint8_t>& stored, PackId pack_id,
                    uint64_t now, CellId& next_cell, std::vector<CellRecordView>& out) {
  const GovernanceEntry g = entry_at_write(w.salience);
  const uint8_t* at = stored.empty() ? nullptr : stored.data();
  CellRecordView r;
  r.owner = w.owner;
  r.key = w.retrieval_key;
  r.key_stored = at;
  r.pack_id = pack_id;
  r.created_at_ns = r.updated_at_ns = now;
  r.importance = g.importance;
  r.tier = g.tier;
  const CellId head = next_cell;
  r.cell_id = next_cell++;
  r.layer = HEAD_CELL_LAYER;
  out.push_back(r);
  if (at) at += q4_stored_size(w.retrieval_key.size());
  for (const LayerPayload& p : w.layer_payloads) {
    r.cell_id = next_cell++;
    r.layer = p.layer_idx;
    r.value = p.data;
    r.value_stored = at;
    out.push_back(r);
    if (at) at += q4_stored_size(p.data.size());
  }
  return head;
}

// The cell ids of a pack written by pack_records: the head cell and one per payload.
std::vector<CellId> pack_cell_ids(CellId head, const PackWrite& w) {
  std::vector<CellId> ids(w.layer_payloads.size() + 1);
  for (CellId& id : ids) id = head++;
  return ids;
}

// Appends a write's records to the pool. An allocation that fails while they are encoded stores
// nothing (the append cuts its bytes back off the file): `undo` takes back what the write did
// before it, and the failure goes on as AllocationFailure.
Status store_records(BlockPool& pool, std::span<const CellRecordView> records,
                     const std::function<void()>& undo) {
  try {
    return pool.append_views(records);
  } catch (const std::bad_alloc&) {
    undo();
    throw AllocationFailure("out of memory: no room to encode the records; they were not stored");
  }
}

}  // namespace

Result<PackId> Engine::mem_write_pack(PackWrite request) {
  if (write_buffer_) {
    // Its cell ids are taken when the queue drains; a pack they would not suffice for, together
    // with the packs queued before it, is refused now, before it is acknowledged.
    uint64_t cells = request.layer_payloads.size() + 1;
    for (const BufferedPack& p : write_buffer_->entries)
      cells += p.request.layer_payloads.size() + 1;
    QM_RETURN_IF_ERROR(check_ids_left(1, cells));
    // Quantized now, so that the caller whose write drains the buffer does not pay for all of it.
    std::vector<uint8_t> stored;
    try {
      stored = stored_vectors(request);
      write_buffer_->entries.reserve(write_buffer_->entries.size() + 1);
    } catch (const std::bad_alloc&) {
      throw AllocationFailure(
          "out of memory: no room for the pack's stored form; nothing was queued");
    }
    QM_ASSIGN_OR_RETURN(const TakenIds taken, take_ids(1, 0));
    const PackId id = taken.first_pack;
    write_buffer_->entries.push_back(BufferedPack{std::move(request), id, std::move(stored)});
    if (write_buffer_->entries.size() >= write_buffer_->max_batch_size) {
      Status st = flush_buffer();
      if (!st.is_ok()) {
        // This caller gets the failure instead of an id, so its pack must not be written later:
        // only the packs acknowledged before stay queued.
        std::erase_if(write_buffer_->entries,
                      [id](const BufferedPack& p) { return p.pack_id == id; });
        return st;
      }
    }
    return id;
  }
  QM_ASSIGN_OR_RETURN(const TakenIds taken, take_ids(1, request.layer_payloads.size() + 1));
  const PackId pack_id = taken.first_pack;
  const uint64_t now = unix_now_ns();

  std::vector<CellRecordView> records;
  records.reserve(request.layer_payloads.size() + 1);
  CellId next_cell = taken.first_cell;
  const CellId head = pack_records(request, {}, pack_id, now, next_cell, records);
  // Everything that indexing the pack and encoding its records takes in proportion to its key
  // and payloads is had before anything is stored.
  CellInsert head_insert;
  make_room_for_keys(1, pooled_key_len(request.retrieval_key), [&] {
    head_insert = cell_insert(request.retrieval_key);
    block_pool_.make_room_to_encode(records);
  });
  // The text goes first: a crash between the two appends then leaves a text of a pack that
  // does not exist (its id is never given out again), never a pack without its text.
  if (request.text) {
    const std::pair<PackId, std::string> entry{pack_id, *request.text};
    QM_RETURN_IF_ERROR(text_store_.append_batch(std::span(&entry, 1)));
  }
  Status st = store_records(block_pool_, records, [&] { text_store_.erase(pack_id); });
  if (!st.is_ok()) {
    text_store_.erase(pack_id);
    return st;
  }
  index_cell(head, request.owner, head_insert);
  governance_[head] = entry_at_write(request.salience);
  pack_directory_.insert(pack_id, pack_cell_ids(head, request), request.owner);
  return pack_id;
}

Result<PackId> Engine::mem_write_pack_tokens(OwnerId owner, std::span<const float> tokens,
                                             uint64_t n_tokens, uint64_t dim,
                                             std::vector<LayerPayload> layer_payloads,
                                             float salience, std::optional<std::string> text) {
  if (n_tokens == 0 || dim == 0 || tokens.size() / dim != n_tokens || tokens.size() % dim != 0) {
    return EngineError::malformed_token_matrix(n_tokens, dim, tokens.size());
  }
  PackWrite w;
  w.owner = owner;
  w.retrieval_key = encode_per_token_key(tokens, dim);
  w.layer_payloads = std::move(layer_payloads);
  w.salience = salience;
  w.text = std::move(text);
  return mem_write_pack(std::move(w));
}

Status Engine::flush_buffer() {
  if (!write_buffer_ || write_buffer_->entries.empty()) return Status::ok();
  std::vector<BufferedPack> entries = std::move(write_buffer_->entries);
  write_buffer_->entries.clear();
  return write_pack_batch(std::move(entries));
}

Status Engine::write_pack_batch(std::vector<BufferedPack> packs) {
  if (packs.empty()) return Status::ok();
  // On a failure before anything reached the pool, packs whose ids were handed out by the write
  // buffer go back to the front of its queue, with their payloads, so the next drain writes them
  // (with new cell ids).
  auto give_back = [&](Status failure) {
    if (write_buffer_) {
      std::vector<BufferedPack>& q = write_buffer_->entries;
      q.insert(q.begin(), std::make_move_iterator(packs.begin()),
               std::make_move_iterator(packs.end()));
    }
    return failure;
  };
  size_t total = 0;
  for (const BufferedPack& p : packs) total += p.request.layer_payloads.size() + 1;
  Result<TakenIds> taken = take_ids(0, total);
  if (!taken.is_ok()) return give_back(taken.status());
  const uint64_t now = unix_now_ns();
  std::vector<CellRecordView> records;
  std::vector<CellId> heads(packs.size());
  records.reserve(total);
  CellId next_cell = taken->first_cell;
  for (size_t i = 0; i < packs.size(); ++i) {
    const BufferedPack& p = packs[i];
    heads[i] = pack_records(p.request, p.stored, p.pack_id, now, next_cell, records);
  }
  // An allocation that fails before anything is stored leaves the engine as it was: the packs
  // go back to the queue they came from, and the caller learns that memory could not hold them.
  auto out_of_memory = [&] {
    (void)give_back(Status::ok());
    return AllocationFailure(str_cat("out of memory: no room for a batch of ", packs.size(),
                                     " packs; nothing was stored"));
  };
  try {
    for (auto p = packs.begin(); !key_dim_ && p != packs.end(); ++p) {
      adopt_key_dim(pooled_key_len(p->request.retrieval_key));
    }
    block_pool_.make_room_to_encode(records);
  } catch (const std::bad_alloc&) {
    throw out_of_memory();
  }

  std::vector<std::pair<PackId, std::string>> texts;
  for (const BufferedPack& p : packs) {
    if (p.request.text) texts.emplace_back(p.pack_id, *p.request.text);
  }
  // Texts first, as for a single pack: a crash between the appends leaves texts of packs that
  // do not exist, never packs without their texts. While the device flushes them, the records
  // are encoded and written, all but the first length word, which hides them from every reader
  // (and from a scan after a crash) until it is written once the texts are durable.
  Result<std::optional<PendingAppend>> pending_texts = text_store_.start_append(texts);
  Status stored = pending_texts.status();
  bool texts_finished = false;
  // What the batch adds to the in-memory structures is worked out while the texts' flush runs
  // (which, on a journalling file system, often waits for the records' data too) and the
  // records' pieces are written back, before the records can be seen; it is shown only once the
  // flush succeeded.
  // What a written pack adds to the in-memory structures, worked out before they change.
  struct PackInsert {
    CellInsert head;
    std::vector<CellId> cells;
    GovernanceEntry governance;
  };
  std::vector<PackInsert> inserts;
  std::vector<StageInsert> stage_inserts;
  TextStore::Staged staged_texts;
  auto prepare = [&] {
    staged_texts = TextStore::stage(std::move(texts));
    inserts.reserve(packs.size());
    for (size_t i = 0; i < packs.size(); ++i) {
      const PackWrite& w = packs[i].request;
      PackInsert in;
      in.head = cell_insert(w.retrieval_key);
      in.cells = pack_cell_ids(heads[i], w);
      in.governance = entry_at_write(w.salience);
      inserts.push_back(std::move(in));
    }
    std::vector<std::pair<uint64_t, uint64_t>> widths;
    for (const PackInsert& in : inserts) {
      const uint64_t width = in.head.pooled->size();
      auto it = std::find_if(widths.begin(), widths.end(),
                             [&](const auto& w) { return w.first == width; });
      if (it == widths.end()) {
        widths.emplace_back(width, 1);
      } else {
        it->second += 1;
      }
    }
    make_room_for_packs(packs.size(), records.size(), widths);
    stage_inserts.reserve(packs.size());
    for (size_t i = 0; i < packs.size(); ++i) {
      stage_inserts.push_back(
          {heads[i], packs[i].request.owner, &inserts[i].head.key, &inserts[i].head.pooled});
    }
  };
  AppendOverlap overlap;
  overlap.before_showing = [&] {
    prepare();
    texts_finished = true;
    return text_store_.finish_append(*pending_texts);
  };
  if (stored.is_ok()) {
    try {
      stored = block_pool_.append_views(records, &overlap);
    } catch (const std::bad_alloc&) {
      // Thrown before the records were shown, and they were cut back off the file.
      if (!texts_finished) (void)text_store_.finish_append(*pending_texts);
      throw out_of_memory();
    }
    // The records failed before they could be seen: the texts' flush still has to be seen
    // through (a failed one is cut back off the file), though the batch failed either way.
    if (!texts_finished) (void)text_store_.finish_append(*pending_texts);
  }
  if (!stored.is_ok()) return give_back(std::move(stored));  // nothing reached the pool
  text_store_.publish(std::move(staged_texts));
  // Structure by structure, each taking the packs in list order.
  for (const auto& stage : pipeline_.stages()) stage->insert_batch(stage_inserts);
  for (size_t i = 0; i < packs.size(); ++i) {
    PackInsert& in = inserts[i];
    slb_->insert_quantized(heads[i], packs[i].request.owner, in.head.codes, in.head.pooled->size());
    governance_[heads[i]] = in.governance;
  }
  for (size_t i = 0; i < packs.size(); ++i) {
    pack_directory_.insert(packs[i].pack_id, std::move(inserts[i].cells), packs[i].request.owner);
  }
  return maybe_ensure_vamana();
}

Result<std::vector<PackId>> Engine::mem_write_batch_packs(std::vector<PackWrite> packs) {
  if (packs.empty()) return std::vector<PackId>{};
  QM_RETURN_IF_ERROR(flush_buffer());
  // The cell ids are taken when the batch is written; a batch they would not suffice for takes
  // no pack id either.
  uint64_t cells = 0;
  for (const PackWrite& w : packs) cells += w.layer_payloads.size() + 1;
  QM_RETURN_IF_ERROR(check_ids_left(packs.size(), cells));
  QM_ASSIGN_OR_RETURN(const TakenIds taken, take_ids(packs.size(), 0));
  std::vector<BufferedPack> batch;
  std::vector<PackId> ids;
  batch.reserve(packs.size());
  ids.reserve(packs.size());
  for (PackWrite& w : packs) {
    ids.push_back(taken.first_pack + ids.size());
    batch.push_back(BufferedPack{std::move(w), ids.back(), {}});
  }
  // Not through the queue: a failed batch is the caller's failure, with no id handed out.
  std::optional<WriteBuffer> buffer = std::move(write_buffer_);
  write_buffer_.reset();
  Status st = write_pack_batch(std::move(batch));
  write_buffer_ = std::move(buffer);
  QM_RETURN_IF_ERROR(st);
  return ids;
}

Result<CellId> Engine::mem_write(OwnerId owner, LayerIdx layer, std::span<const float> key,
                                 std::span<const float> value, float salience,
                                 std::optional<CellId> parent) {
  QM_ASSIGN_OR_RETURN(const TakenIds taken, take_ids(0, 1));
  const CellId id = taken.first_cell;
  const uint64_t now = unix_now_ns();
  const GovernanceEntry g = entry_at_write(salience);
  CellRecordView r;
  r.cell_id = id;
  r.owner = owner;
  r.layer = layer;
  r.key = key;
  r.value = value;
  r.created_at_ns = r.updated_at_ns = now;
  r.importance = g.importance;
  r.tier = g.tier;
  CellInsert in;
  make_room_for_keys(1, pooled_key_len(key), [&] {
    in = cell_insert(key);
    block_pool_.make_room_to_encode(std::span(&r, 1));
    packless_cells_.reserve(packless_cells_.size() + 1);
  });
  QM_RETURN_IF_ERROR(store_records(block_pool_, std::span(&r, 1), [] {}));
  packless_cells_.insert(id);
  index_cell(id, owner, in);
  governance_[id] = g;
  if (parent) {
    const TraceEdge edge{id, *parent, now, EdgeType::CausedBy};
    QM_RETURN_IF_ERROR(trace_wal_.append(edge));
    trace_graph_.add_edge(edge.from, edge.to, edge.edge_type, edge.created_at);
  }
  QM_RETURN_IF_ERROR(maybe_ensure_vamana());
  return id;
}

Result<std::vector<CellId>> Engine::mem_write_batch(std::vector<CellWrite> requests) {
  if (requests.empty()) return std::vector<CellId>{};
  QM_ASSIGN_OR_RETURN(const TakenIds taken, take_ids(0, requests.size()));
  uint64_t width = 0;
  for (auto r = requests.begin(); width == 0 && r != requests.end(); ++r)
    width = pooled_key_len(r->key);
  const uint64_t now = unix_now_ns();
  std::vector<CellRecordView> records;
  std::vector<CellId> ids;
  std::vector<CellInsert> inserts;
  make_room_for_keys(requests.size(), width, [&] {
    records.reserve(requests.size());
    ids.reserve(requests.size());
    inserts.reserve(requests.size());
    for (const CellWrite& w : requests) {
      const GovernanceEntry g = entry_at_write(w.salience);
      CellRecordView r;
      r.cell_id = taken.first_cell + ids.size();
      r.owner = w.owner;
      r.layer = w.layer;
      r.key = w.key;
      r.value = w.value;
      r.created_at_ns = r.updated_at_ns = now;
      r.importance = g.importance;
      r.tier = g.tier;
      ids.push_back(r.cell_id);
      records.push_back(r);
      inserts.push_back(cell_insert(w.key));
    }
    block_pool_.make_room_to_encode(records);
    packless_cells_.reserve(packless_cells_.size() + requests.size());
  });
  QM_RETURN_IF_ERROR(store_records(block_pool_, records, [] {}));
  for (size_t i = 0; i < records.size(); ++i) {
    const CellRecordView& r = records[i];
    packless_cells_.insert(r.cell_id);
    index_cell(r.cell_id, r.owner, inserts[i]);
    governance_[r.cell_id] = entry_at_write(requests[i].salience);
    if (requests[i].parent) {
      const TraceEdge edge{r.cell_id, *requests[i].parent, now, EdgeType::CausedBy};
      QM_RETURN_IF_ERROR(trace_wal_.append(edge));
      trace_graph_.add_edge(edge.from, edge.to, edge.edge_type, edge.created_at);
    }
  }
  QM_RETURN_IF_ERROR(maybe_ensure_vamana());
  return ids;
}

}  // namespace quellmar
