// Pack writes and reads that use the trace graph: the auto-linking write and the trace-boosted
// reads.

#include <algorithm>
#include <unordered_set>

#include "quellmar/core/saturating.h"
#include "quellmar/engine/engine.h"

namespace quellmar {

namespace {

// Candidate pool of a boosted read: 5k, saturating, and at least 10.
uint64_t boost_pool(uint64_t k) { return std::max<uint64_t>(saturating_mul(5, k), 10); }

}  // namespace

Result<std::pair<PackId, std::vector<PackId>>> Engine::mem_write_pack_with_auto_link(
    PackWrite request, float auto_link_threshold) {
  // Queued packs are written first, so that the similarity read sees them and a link to one of
  // them finds it in the pack directory.
  if (write_buffer_ && !write_buffer_->entries.empty()) QM_RETURN_IF_ERROR(flush_buffer());

  std::vector<PackId> linked;
  if (pack_directory_.pack_count() > 0) {
    QM_ASSIGN_OR_RETURN(std::vector<PackReadResult> best,
                        mem_read_pack(request.retrieval_key, 1, request.owner));
    for (const PackReadResult& r : best) {
      // A NaN on either side never qualifies.
      if (r.score >= auto_link_threshold) linked.push_back(r.pack_id);
    }
  }

  QM_ASSIGN_OR_RETURN(const PackId pack_id, mem_write_pack(std::move(request)));
  // With a write buffer the new pack may only be queued; an edge needs it in the directory.
  if (!linked.empty() && !pack_directory_.contains(pack_id)) QM_RETURN_IF_ERROR(flush_buffer());
  for (PackId other : linked) QM_RETURN_IF_ERROR(add_pack_edge(pack_id, other, EdgeType::Follows));
  return std::pair<PackId, std::vector<PackId>>(pack_id, std::move(linked));
}

Result<std::vector<PackReadResult>> Engine::mem_read_pack_with_trace_boost(
    std::span<const float> query, uint64_t k, std::optional<OwnerId> owner, float boost_factor) {
  const uint64_t pool = boost_pool(k);
  std::vector<PackCandidate> candidates =
      rank_pack_candidates(find_candidates(query, pool, owner), pool, owner);
  std::vector<PackReadResult> out;
  out.reserve(candidates.size());
  for (PackCandidate& c : candidates) {
    const float links = static_cast<float>(pack_links_by_type(c.pack_id, EDGE_TYPE_ANY).size());
    QM_ASSIGN_OR_RETURN(std::vector<LayerPayload> layers, load_pack_layers(c.cells));
    const auto [tier, multiplier, recency] = touch_hit(c.hit_cell);
    // Single precision, one operation at a time, in this order.
    const float boost_term = boost_factor * links;
    const float boost = boost_term + 1.0f;
    const float boosted = c.score * boost;
    const float weighted = boosted * recency;
    const float score = weighted * multiplier;
    const std::string* text = text_store_.find(c.pack_id);
    out.push_back(PackReadResult{c.pack_id, c.owner, score, tier, std::move(layers),
                                 text ? std::optional<std::string>(*text) : std::nullopt});
  }
  // Best first; equal scores (and comparisons with NaN) keep rank order.
  std::stable_sort(out.begin(), out.end(), [](const PackReadResult& a, const PackReadResult& b) {
    return a.score > b.score;
  });
  if (out.size() > k) out.resize(k);
  return out;
}

Result<std::vector<PackReadResult>> Engine::mem_read_pack_with_trace_boost_and_follow(
    std::span<const float> query, uint64_t k, std::optional<OwnerId> owner, float boost_factor) {
  QM_ASSIGN_OR_RETURN(std::vector<PackReadResult> out,
                      mem_read_pack_with_trace_boost(query, k, owner, boost_factor));
  std::unordered_set<PackId> seen;
  for (const PackReadResult& r : out) seen.insert(r.pack_id);
  // One hop: the links of the boosted results, each linked pack once, in discovery order.
  std::vector<PackId> follow;
  for (size_t i = 0; i < out.size(); ++i) {
    for (PackId linked : pack_links_by_type(out[i].pack_id, EDGE_TYPE_ANY)) {
      if (seen.insert(linked).second) follow.push_back(linked);
    }
  }
  for (PackId pack : follow) {
    Result<PackReadResult> r = load_pack_by_id(pack);
    if (r.is_ok()) out.push_back(std::move(r).value());
  }
  return out;
}

}  // namespace quellmar
