// The read paths of the engine: candidate gathering, pack ranking, pack and cell reads.

#include <algorithm>

#include "quellmar/core/saturating.h"
#include "quellmar/engine/engine.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/refinement.h"
#include "quellmar/retrieval/slb.h"

namespace quellmar {

namespace {

bool is_multi_token(std::span<const float> query) {
  return classify_key_kind(query) == KeyKind::Encoded;
}

// Stable sort, best first; a comparison involving NaN counts as equal.
template <typename T, typename Score>
void stable_sort_desc(std::vector<T>& v, Score score) {
  std::stable_sort(v.begin(), v.end(), [&](const T& a, const T& b) { return score(a) > score(b); });
}

}  // namespace

std::vector<ScoredCell> Engine::gather(std::span<const float> query, uint64_t k,
                                       std::optional<OwnerId> owner, uint64_t multi_factor) {
  auto fetch = [this](CellId id) { return fetch_key(id); };
  const KeyFetcher fetcher(fetch);
  std::vector<ScoredCell> out;
  // Up to a few dozen hits a scan of those kept beats a hash set; past that the set takes over.
  static constexpr size_t SCAN_LIMIT = 64;
  CellIdSet seen;
  auto is_new = [&](CellId id) {
    if (out.size() < SCAN_LIMIT) {
      return std::none_of(out.begin(), out.end(),
                          [id](const ScoredCell& kept) { return kept.cell_id == id; });
    }
    if (seen.empty()) {
      for (const ScoredCell& kept : out) seen.insert(kept.cell_id);
    }
    return seen.insert(id).second;
  };
  auto append_new = [&](const std::vector<ScoredCell>& hits) {
    for (const ScoredCell& h : hits) {
      if (is_new(h.cell_id)) out.push_back(h);
    }
  };
  if (is_multi_token(query)) {
    append_new(pipeline_.search(query, saturating_mul(multi_factor, k), owner, &fetcher));
    if (out.size() < k && slb_->occupancy() > 0)
      append_new(slb_->query(pooled_key(query), saturating_mul(2, k)));
    return out;
  }
  if (slb_->occupancy() > 0) {
    append_new(slb_->query(pooled_key(query), saturating_mul(2, k)));
    if (out.size() >= k) return out;
  } else if (k == 0) {
    return out;
  }
  append_new(pipeline_.search(query, saturating_mul(2, k), owner, &fetcher));
  return out;
}

std::vector<ScoredCell> Engine::find_candidates(std::span<const float> query, uint64_t k,
                                                std::optional<OwnerId> owner) {
  return gather(query, k, owner, 4);
}

std::vector<PackCandidate> Engine::rank_pack_candidates(std::vector<ScoredCell> hits, uint64_t k,
                                                        std::optional<OwnerId> owner) const {
  stable_sort_desc(hits, [](const ScoredCell& h) { return h.score; });
  std::vector<PackCandidate> out;
  std::unordered_set<PackId> seen;
  for (const ScoredCell& h : hits) {
    if (out.size() >= k) break;
    const PackId* pack = pack_directory_.pack_of(h.cell_id);
    if (!pack) continue;
    const std::vector<CellId>* cells = pack_directory_.cells(*pack);
    if (!cells) continue;
    if (owner && h.owner != *owner) continue;
    if (!seen.insert(*pack).second) continue;
    out.push_back(PackCandidate{*cells, *pack, h.cell_id, h.owner, h.score});
  }
  return out;
}

namespace {

// The layer payloads among one pack's records (bytes + at[i] for the record of cell i when
// statuses[i] is ok): head and view-key cells skipped, cells gone since the listing skipped, any
// other failure returned; ascending by layer index.
Result<std::vector<StoredPayload>> pack_layers(const std::string& bytes, std::span<const size_t> at,
                                               std::span<const Status> statuses) {
  std::vector<StoredPayload> layers;
  layers.reserve(at.size());
  for (size_t i = 0; i < at.size(); ++i) {
    if (!statuses[i].is_ok()) {
      if (statuses[i].error().code() == EngineError::Code::CellNotFound) continue;
      return statuses[i].error();
    }
    const StoredValue value = stored_value(reinterpret_cast<const uint8_t*>(bytes.data()) + at[i]);
    if (value.layer == HEAD_CELL_LAYER) continue;
    layers.push_back(StoredPayload{value.layer, value.len, at[i] + value.at});
  }
  std::stable_sort(
      layers.begin(), layers.end(),
      [](const StoredPayload& a, const StoredPayload& b) { return a.layer_idx < b.layer_idx; });
  return layers;
}

// Stored payloads of `read`, decoded into vectors of their own.
std::vector<LayerPayload> decode_layers(const StoredPackReads& read,
                                        std::span<const StoredPayload> stored) {
  std::vector<LayerPayload> layers;
  layers.reserve(stored.size());
  for (const StoredPayload& p : stored) {
    layers.push_back(LayerPayload{p.layer_idx, std::vector<float>(p.len)});
    read.decode(p, layers.back().data.data());
  }
  return layers;
}

}  // namespace

Result<std::vector<LayerPayload>> Engine::load_pack_layers(std::span<const CellId> cells) const {
  StoredPackReads read;
  std::vector<size_t> at;
  std::vector<Status> statuses = block_pool_.read_encoded_cells(cells, read.bytes, at);
  QM_ASSIGN_OR_RETURN(std::vector<StoredPayload> stored, pack_layers(read.bytes, at, statuses));
  return decode_layers(read, stored);
}

std::vector<Result<std::vector<StoredPayload>>> Engine::stored_layers_of(
    const std::vector<PackCandidate>& candidates, std::string& bytes) const {
  std::vector<CellId> cells;
  size_t total = 0;
  for (const PackCandidate& c : candidates) total += c.cells.size();
  cells.reserve(total);
  for (const PackCandidate& c : candidates)
    cells.insert(cells.end(), c.cells.begin(), c.cells.end());
  std::vector<size_t> at;
  std::vector<Status> statuses = block_pool_.read_encoded_cells(cells, bytes, at);
  std::vector<Result<std::vector<StoredPayload>>> out;
  out.reserve(candidates.size());
  size_t first = 0;
  for (const PackCandidate& c : candidates) {
    const size_t n = c.cells.size();
    out.push_back(
        pack_layers(bytes, std::span(at).subspan(first, n), std::span(statuses).subspan(first, n)));
    first += n;
  }
  return out;
}

Engine::HitWeight Engine::touch_hit(CellId cell) {
  auto it = governance_.find(cell);
  if (it == governance_.end()) return HitWeight{};
  read_touch(it->second);
  return HitWeight{it->second.tier, tier_multiplier(it->second.tier),
                   recency_factor(it->second.age_days)};
}

uint8_t Engine::touch(CellId cell) {
  auto it = governance_.find(cell);
  if (it == governance_.end()) return 0;
  read_touch(it->second);
  return it->second.tier;
}

Result<StoredPackReads> Engine::mem_read_pack_stored(std::span<const float> query, uint64_t k,
                                                     std::optional<OwnerId> owner) {
  std::vector<PackCandidate> candidates =
      rank_pack_candidates(find_candidates(query, k, owner), k, owner);
  StoredPackReads out;
  // Every candidate's cells in one pass over the block pool.
  std::vector<Result<std::vector<StoredPayload>>> loaded = stored_layers_of(candidates, out.bytes);
  out.packs.reserve(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    PackCandidate& c = candidates[i];
    QM_ASSIGN_OR_RETURN(std::vector<StoredPayload> layers, std::move(loaded[i]));
    const auto [tier, multiplier, recency] = touch_hit(c.hit_cell);
    const std::string* text = text_store_.find(c.pack_id);
    out.packs.push_back(BasicPackRead<StoredPayload>{
        c.pack_id, c.owner, multiplier * (recency * c.score), tier, std::move(layers),
        text ? std::optional<std::string>(*text) : std::nullopt});
  }
  stable_sort_desc(out.packs, [](const BasicPackRead<StoredPayload>& r) { return r.score; });
  return out;
}

Result<std::vector<PackReadResult>> Engine::mem_read_pack(std::span<const float> query, uint64_t k,
                                                          std::optional<OwnerId> owner) {
  QM_ASSIGN_OR_RETURN(StoredPackReads read, mem_read_pack_stored(query, k, owner));
  std::vector<PackReadResult> out;
  out.reserve(read.packs.size());
  for (BasicPackRead<StoredPayload>& p : read.packs) {
    out.push_back(PackReadResult{p.pack_id, p.owner, p.score, p.tier, decode_layers(read, p.layers),
                                 std::move(p.text)});
  }
  return out;
}

Result<PackReadResult> Engine::load_pack_by_id(PackId pack_id) {
  const std::vector<CellId>* cells = pack_directory_.cells(pack_id);
  if (!cells || cells->empty()) return EngineError::cell_not_found(pack_id);
  const std::vector<CellId> list = *cells;
  const CellId head = list.front();
  auto head_record = block_pool_.read_cell(head);
  const OwnerId owner = head_record.is_ok() ? head_record->owner : 0;
  QM_ASSIGN_OR_RETURN(std::vector<LayerPayload> layers, load_pack_layers(list));
  const uint8_t tier = touch(head);
  const std::string* text = text_store_.find(pack_id);
  return PackReadResult{pack_id,
                        owner,
                        0.0f,
                        tier,
                        std::move(layers),
                        text ? std::optional<std::string>(*text) : std::nullopt};
}

Result<std::vector<CellReadResult>> Engine::mem_read(std::span<const float> query, uint64_t k,
                                                     std::optional<OwnerId> owner) {
  if (query.empty()) return std::vector<CellReadResult>{};
  std::vector<ScoredCell> candidates = gather(query, k, owner, 2);

  if (is_multi_token(query) && !refinement_->is_noop()) {
    if (PerTokenRetriever* retriever = per_token_retriever()) {
      auto fetch = [this](CellId id) { return fetch_key(id); };
      const KeyFetcher fetcher(fetch);
      candidates = refinement_->refine(*retriever, query, std::move(candidates),
                                       saturating_mul(2, k), owner, &fetcher);
    }
  }

  std::vector<CellId> ids;
  ids.reserve(candidates.size());
  for (const ScoredCell& c : candidates) ids.push_back(c.cell_id);
  std::vector<CellRecord> records;
  std::vector<Status> statuses = block_pool_.read_cells(ids, DecodeParts::All, records);

  std::vector<CellReadResult> out;
  out.reserve(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    float multiplier = 1.0f, recency = 1.0f;
    uint8_t tier = 0;
    if (auto it = governance_.find(candidates[i].cell_id); it != governance_.end()) {
      recency = recency_factor(it->second.age_days);
      tier = it->second.tier;
      multiplier = tier_multiplier(tier);
    }
    if (!statuses[i].is_ok()) {
      if (statuses[i].error().code() == EngineError::Code::CellNotFound) continue;
      return statuses[i].error();
    }
    if (owner && records[i].owner != *owner) continue;
    // A deleted pack's cells stay in the graph, which removes nothing, until the next open
    // leaves them out: they are not found again.
    if (records[i].pack_id != 0 && deletion_log_.contains(records[i].pack_id)) continue;
    out.push_back(
        CellReadResult{std::move(records[i]), (candidates[i].score * recency) * multiplier, tier});
  }
  stable_sort_desc(out, [](const CellReadResult& r) { return r.score; });
  if (out.size() > k) out.resize(k);
  for (const CellReadResult& r : out) {
    (void)touch(r.record.cell_id);
    slb_->insert(r.record.cell_id, r.record.owner, pooled_key(r.record.key));
  }
  return out;
}

Result<std::vector<CellReadResult>> Engine::mem_read_tokens(std::span<const float> tokens,
                                                            uint64_t n_tokens, uint64_t dim,
                                                            uint64_t k,
                                                            std::optional<OwnerId> owner) {
  if (n_tokens == 0 || dim == 0 || tokens.size() / dim != n_tokens || tokens.size() % dim != 0) {
    return std::vector<CellReadResult>{};
  }
  return mem_read(encode_per_token_key(tokens, dim), k, owner);
}

}  // namespace quellmar
