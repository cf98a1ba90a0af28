#include "quellmar/retrieval/flat_index.h"

#include <algorithm>
#include <cmath>

#include "quellmar/core/internal_fault.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {

const FlatIndex::WidthGroup* FlatIndex::group_for(uint64_t dim) const {
  for (const WidthGroup& g : groups_) {
    if (g.dim == dim) return &g;
  }
  return nullptr;
}

FlatIndex::WidthGroup* FlatIndex::group_for(uint64_t dim) {
  for (WidthGroup& g : groups_) {
    if (g.dim == dim) return &g;
  }
  return nullptr;
}

FlatIndex::WidthGroup& FlatIndex::group_taking(uint64_t dim, size_t inserts) {
  WidthGroup* group = group_for(dim);
  if (group == nullptr) {
    groups_.push_back(WidthGroup{});
    group = &groups_.back();
    group->dim = dim;
  }
  if (reserve_hint_ != 0) {
    const size_t rows = group->count + std::max<size_t>(reserve_hint_, inserts);
    group->panels.reserve(f32_panel_count(rows) * dim * F32_PANEL_WIDTH);
    group->ids.reserve(rows);
    group->owners.reserve(rows);
    reserve_hint_ = 0;
  }
  return *group;
}

void FlatIndex::insert(CellId cell_id, OwnerId owner, std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  if (!view) return;
  // A plain key is its own pooled form: only an encoded one needs the mean of its rows.
  std::vector<float> mean;
  if (view->is_encoded()) mean = view->mean_pooled();
  const std::span<const float> pooled = view->is_encoded() ? std::span<const float>(mean) : key;
  WidthGroup& group = group_taking(pooled.size(), 1);
  // A new panel starts zeroed, unless make_room laid it out already.
  if (group.count % F32_PANEL_WIDTH == 0 &&
      group.panels.size() < f32_panel_count(group.count + 1) * group.dim * F32_PANEL_WIDTH) {
    append_filled(group.panels, group.dim * F32_PANEL_WIDTH, 0.0f);
  }
  store_panel_row(group.panels.data(), group.dim, group.count, pooled.data());
  group.ids.push_back(cell_id);
  group.owners.push_back(owner);
  group.count += 1;
  len_ += 1;
}

void FlatIndex::insert_batch(std::span<const StageInsert> items) {
  // The width an item's entry takes, none for a malformed key (left out, as by insert).
  auto width_of = [](const StageInsert& in) -> std::optional<uint64_t> {
    if (in.key == nullptr) return classify_key({}) ? std::optional<uint64_t>(0) : std::nullopt;
    if (!classify_key(**in.key)) return std::nullopt;
    return (*in.pooled)->size();
  };
  // Runs of items of one width are appended together.
  for (size_t i = 0; i < items.size();) {
    const std::optional<uint64_t> dim = width_of(items[i]);
    if (!dim) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < items.size() && width_of(items[end]) == dim) ++end;
    WidthGroup& group = group_taking(*dim, end - i);
    const size_t rows = group.count + (end - i);
    // Panels that make_room laid out are zeros already. New ones are taken as they come: every
    // lane of theirs is written below, the rows' own and, past the last row, zeros.
    const size_t had = group.panels.size();
    if (f32_panel_count(rows) * *dim * F32_PANEL_WIDTH > had) {
      group.panels.resize(f32_panel_count(rows) * *dim * F32_PANEL_WIDTH);
      const std::vector<float> zeros(*dim, 0.0f);
      const size_t first_new_row = had / (*dim * F32_PANEL_WIDTH) * F32_PANEL_WIDTH;
      for (size_t r = std::max(rows, first_new_row); r < f32_panel_count(rows) * F32_PANEL_WIDTH;
           ++r) {
        store_panel_row(group.panels.data(), *dim, r, zeros.data());
      }
    }
    for (; i < end; ++i) {
      const StageInsert& in = items[i];
      if (in.key != nullptr) {
        store_panel_row(group.panels.data(), *dim, group.count, (*in.pooled)->data());
      }
      group.ids.push_back(in.cell_id);
      group.owners.push_back(in.owner);
      group.count += 1;
      len_ += 1;
    }
  }
}

void FlatIndex::make_room(uint64_t inserts, uint64_t width) {
  WidthGroup* group = group_for(width);
  if (group == nullptr) return;
  const size_t rows = group->count + inserts;
  if (rows > group->ids.capacity()) {
    const size_t want = std::max<size_t>(rows, 2 * group->ids.capacity());
    group->panels.reserve(f32_panel_count(want) * group->dim * F32_PANEL_WIDTH);
    group->ids.reserve(want);
    group->owners.reserve(want);
  }
  // The zeroed panels the inserts will fill are laid out now, so that the inserts touch no fresh
  // memory: panels past the last entry's are zeros, which no search reads.
  const size_t floats = f32_panel_count(rows) * group->dim * F32_PANEL_WIDTH;
  if (group->panels.size() < floats) {
    append_filled(group->panels, floats - group->panels.size(), 0.0f);
  }
}

void FlatIndex::remove(CellId cell_id) {
  std::vector<float> row;
  for (size_t gi = 0; gi < groups_.size();) {
    WidthGroup& g = groups_[gi];
    row.resize(g.dim);
    size_t w = 0;
    for (size_t r = 0; r < g.count; ++r) {
      if (g.ids[r] == cell_id) continue;
      if (w != r) {
        load_panel_row(g.panels.data(), g.dim, r, row.data());
        store_panel_row(g.panels.data(), g.dim, w, row.data());
        g.ids[w] = g.ids[r];
        g.owners[w] = g.owners[r];
      }
      ++w;
    }
    if (w == g.count) {
      ++gi;
      continue;
    }
    len_ -= g.count - w;
    if (w == 0) {
      groups_.erase(groups_.begin() + static_cast<ptrdiff_t>(gi));
      continue;
    }
    g.count = w;
    g.ids.resize(w);
    g.owners.resize(w);
    g.panels.resize(f32_panel_count(w) * g.dim * F32_PANEL_WIDTH);
    // Lanes past the last entry go back to zero padding.
    std::fill(row.begin(), row.end(), 0.0f);
    for (size_t r = w; r < f32_panel_count(w) * F32_PANEL_WIDTH; ++r) {
      store_panel_row(g.panels.data(), g.dim, r, row.data());
    }
    ++gi;
  }
}

std::vector<ScoredCell> FlatIndex::search(std::span<const float> query, uint64_t k,
                                          std::optional<OwnerId> owner) const {
  std::vector<ScoredCell> out;
  if (query.empty()) return out;
  std::optional<KeyView> view = classify_key(query);
  if (!view) return out;
  std::vector<float> q = view->mean_pooled();
  const WidthGroup* g = group_for(q.size());
  if (g == nullptr || g->count == 0) return out;
  QM_CHECK(g->count <= UINT32_MAX);

  const float f = 1.0f / std::sqrt(static_cast<float>(q.size()));
  // Per-thread scratch: a search allocates nothing once the buffers have grown.
  thread_local std::vector<uint8_t> keep;
  thread_local std::vector<ScoredIndex> best;
  if (owner) {
    keep.resize(g->count);
    for (size_t r = 0; r < g->count; ++r) keep[r] = g->owners[r] == *owner;
  }
  best.resize(std::min<uint64_t>(k, g->count));
  // One pass: the scan keeps the best k as it goes.
  size_t kept = top_k_f32_panels(q.data(), g->panels.data(), g->count, g->dim, f,
                                 owner ? keep.data() : nullptr, k, best.data());
  out.reserve(kept);
  for (size_t j = 0; j < kept; ++j) {
    size_t r = best[j].index;
    out.push_back({g->ids[r], g->owners[r], best[j].score});
  }
  return out;
}

std::vector<ScoredCell> FlatIndex::search_excluding(std::span<const float> query, uint64_t k,
                                                    std::optional<OwnerId> owner,
                                                    const CellIdSet* /*exclude*/,
                                                    const KeyFetcher* /*fetcher*/) const {
  return search(query, k, owner);
}

}  // namespace quellmar
