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
    reserve_rows(*group, group->count + std::max<size_t>(reserve_hint_, inserts), 1);
    reserve_hint_ = 0;
  }
  return *group;
}

void FlatIndex::reserve_rows(WidthGroup& g, size_t rows, size_t grow) {
  // What a vector with room for `have` entries reserves to take `rows`.
  auto grown = [&](size_t have) { return rows <= have ? have : std::max(rows, grow * have); };
  const size_t entries = grown(g.ids.capacity());
  g.ids.reserve(entries);
  g.owners.reserve(entries);
  if (g.dim == 0) return;
  if (g.paneled || rows >= F32_PANEL_WIDTH) {
    const size_t panel_floats = g.dim * F32_PANEL_WIDTH;
    const size_t have = g.panels.capacity() / panel_floats * F32_PANEL_WIDTH;
    g.panels.reserve(f32_panel_count(grown(have)) * panel_floats);
  } else {
    // Row-major keys never number more than a panel's lanes less one.
    g.rows.reserve(std::min<size_t>(grown(g.rows.capacity() / g.dim), F32_PANEL_WIDTH - 1) * g.dim);
  }
}

void FlatIndex::lay_out(WidthGroup& g, size_t rows) {
  if (!g.paneled && rows < F32_PANEL_WIDTH) {
    if (g.rows.size() < rows * g.dim) g.rows.resize(rows * g.dim);
    return;
  }
  // Panels past the last entry's are zeros, which no search reads, and so are the lanes of the
  // last entry's panel past it: new panels are zeroed as they are laid out.
  const size_t floats = f32_panel_count(rows) * g.dim * F32_PANEL_WIDTH;
  if (g.panels.size() < floats) append_filled(g.panels, floats - g.panels.size(), 0.0f);
  if (!g.paneled) {
    for (size_t r = 0; r < g.count; ++r) {
      store_panel_row(g.panels.data(), g.dim, r, g.rows.data() + r * g.dim);
    }
    decltype(g.rows)().swap(g.rows);
    g.paneled = true;
  }
}

void FlatIndex::store_row(WidthGroup& g, size_t r, const float* key) {
  if (g.paneled) {
    store_panel_row(g.panels.data(), g.dim, r, key);
  } else if (g.dim != 0) {
    std::copy_n(key, g.dim, g.rows.data() + r * g.dim);
  }
}

void FlatIndex::insert(CellId cell_id, OwnerId owner, std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  if (!view) return;
  // A plain key is its own pooled form: only an encoded one needs the mean of its rows.
  std::vector<float> mean;
  if (view->is_encoded()) mean = view->mean_pooled();
  const std::span<const float> pooled = view->is_encoded() ? std::span<const float>(mean) : key;
  WidthGroup& group = group_taking(pooled.size(), 1);
  // The vectors grow by doubling, as they would on their own, unless make_room made room ahead.
  reserve_rows(group, group.count + 1, 2);
  lay_out(group, group.count + 1);
  store_row(group, group.count, pooled.data());
  group.ids.push_back(cell_id);
  group.owners.push_back(owner);
  group.count += 1;
  len_ += 1;
}

void FlatIndex::insert_shared(CellId cell_id, OwnerId owner, const SharedKey& key,
                              const SharedKey& pooled) {
  const StageInsert in{cell_id, owner, &key, &pooled};
  insert_batch(std::span<const StageInsert>(&in, 1));
}

void FlatIndex::insert_batch(std::span<const StageInsert> items) {
  // The width an item's entry takes, none for a malformed key (left out, as by insert).
  auto width_of = [](const StageInsert& in) -> std::optional<uint64_t> {
    if (in.key == nullptr) return classify_key({}) ? std::optional<uint64_t>(0) : std::nullopt;
    if (!classify_key(**in.key)) return std::nullopt;
    return (*in.pooled)->size();
  };
  if (reserve_hint_ != 0) {
    // The room asked for ahead is made for each width by what the batch holds of it: a width
    // with a few entries among many of another never gets room for all of them.
    reserve_hint_ = 0;
    std::vector<std::pair<uint64_t, size_t>> widths;
    for (const StageInsert& in : items) {
      const std::optional<uint64_t> dim = width_of(in);
      if (!dim) continue;
      auto it = std::find_if(widths.begin(), widths.end(),
                             [&](const auto& w) { return w.first == *dim; });
      if (it == widths.end()) {
        widths.emplace_back(*dim, 1);
      } else {
        it->second += 1;
      }
    }
    for (const auto& [dim, n] : widths) {
      WidthGroup& group = group_taking(dim, 0);
      reserve_rows(group, group.count + n, 1);
    }
  }
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
    reserve_rows(group, group.count + (end - i), 2);
    lay_out(group, group.count + (end - i));
    for (; i < end; ++i) {
      const StageInsert& in = items[i];
      if (in.key != nullptr) {
        store_row(group, group.count, (*in.pooled)->data());
      } else if (!group.paneled && group.dim != 0) {
        std::fill_n(group.rows.data() + group.count * group.dim, group.dim, 0.0f);
      }
      group.ids.push_back(in.cell_id);
      group.owners.push_back(in.owner);
      group.count += 1;
      len_ += 1;
    }
  }
}

void FlatIndex::make_room(uint64_t inserts, uint64_t width) {
  if (inserts == 0) return;
  // A new width's group is made now, empty: a search of that width finds nothing in it.
  WidthGroup& group = group_taking(width, 0);
  const size_t rows = group.count + inserts;
  reserve_rows(group, rows, 2);
  // What the inserts will fill is laid out now, so that they touch no fresh memory: row-major
  // room past the last key is never read, nor are zeroed panels past the last entry's.
  lay_out(group, rows);
}

void FlatIndex::unpanel(WidthGroup& g) {
  if (!g.paneled || g.count >= F32_PANEL_WIDTH) return;
  std::vector<float, AlignedAllocator<float>> rows;
  try {
    rows.resize(g.count * g.dim);
  } catch (const std::bad_alloc&) {
    return;  // the keys stay in their panels, which serve as well
  }
  for (size_t r = 0; r < g.count; ++r) load_panel_row(g.panels.data(), g.dim, r, &rows[r * g.dim]);
  g.rows = std::move(rows);
  decltype(g.panels)().swap(g.panels);
  g.paneled = false;
}

void FlatIndex::remove(CellId cell_id) {
  std::vector<float> row;
  for (size_t gi = 0; gi < groups_.size();) {
    WidthGroup& g = groups_[gi];
    size_t w = 0;
    for (size_t r = 0; r < g.count; ++r) {
      if (g.ids[r] == cell_id) continue;
      if (w != r) {
        if (g.paneled) {
          row.resize(g.dim);
          load_panel_row(g.panels.data(), g.dim, r, row.data());
          store_panel_row(g.panels.data(), g.dim, w, row.data());
        } else {
          std::copy_n(g.rows.data() + r * g.dim, g.dim, g.rows.data() + w * g.dim);
        }
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
    if (g.paneled) {
      g.panels.resize(f32_panel_count(w) * g.dim * F32_PANEL_WIDTH);
      // Lanes past the last entry go back to zero padding.
      row.assign(g.dim, 0.0f);
      for (size_t r = w; r < f32_panel_count(w) * F32_PANEL_WIDTH; ++r) {
        store_panel_row(g.panels.data(), g.dim, r, row.data());
      }
      unpanel(g);
    } else {
      g.rows.resize(w * g.dim);
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
  size_t kept;
  if (g->paneled) {
    // One pass: the scan keeps the best k as it goes.
    kept = top_k_f32_panels(q.data(), g->panels.data(), g->count, g->dim, f,
                            owner ? keep.data() : nullptr, k, best.data());
  } else {
    // Fewer keys than a panel holds: each is scored on its own, summed in the same order.
    const float* queries[F32_PANEL_WIDTH];
    const float* keys[F32_PANEL_WIDTH];
    float scores[F32_PANEL_WIDTH];
    for (size_t r = 0; r < g->count; ++r) {
      queries[r] = q.data();
      keys[r] = g->rows.data() + r * g->dim;
    }
    dot_f32_pairs(queries, keys, g->count, g->dim, scores);
    for (size_t r = 0; r < g->count; ++r) scores[r] = f * scores[r];
    kept = top_k_scores(scores, owner ? keep.data() : nullptr, g->count, k, best.data());
  }
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
