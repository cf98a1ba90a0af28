// Writes a few cells into a block pool in a temporary directory, reopens it as a fresh process
// would, and reads them back.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "quellmar/storage/block_pool.h"

using namespace quellmar;

int main() {
  char tmpl[] = "/tmp/quellmar-demo-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  std::printf("engine directory: %s\n", dir.c_str());

  {
    auto pool = BlockPool::open(dir, BlockPool::DEFAULT_CAPACITY);
    if (!pool.is_ok()) {
      std::fprintf(stderr, "%s\n", pool.error().message().c_str());
      return 1;
    }
    std::vector<CellRecord> cells;
    for (CellId id = 1; id <= 3; ++id) {
      CellRecord r;
      r.cell_id = id;
      r.owner = 7;
      r.layer = static_cast<LayerIdx>(id - 1);
      r.key = {1.0f * id, 0.5f, -0.25f, 2.0f};
      r.value.assign(64, 0.1f * static_cast<float>(id));
      r.importance = 55.0f;
      cells.push_back(std::move(r));
    }
    auto ids = pool->append_batch(cells);
    if (!ids.is_ok()) {
      std::fprintf(stderr, "%s\n", ids.error().message().c_str());
      return 1;
    }
    std::printf("stored %zu cells with one flush\n", ids->size());
  }

  auto pool = BlockPool::open(dir, BlockPool::DEFAULT_CAPACITY);
  if (!pool.is_ok()) return 1;
  std::printf("reopened: %zu cells in %zu segment(s)\n", pool->cell_count(),
              pool->segments().size());
  for (const auto& [id, loc] : pool->locations()) {
    auto cell = pool->read_cell(id);
    if (!cell.is_ok()) return 1;
    std::printf("  cell %llu  owner %llu  layer %u  key[0] %.3f  value[0] %.3f (4-bit codes)\n",
                static_cast<unsigned long long>(cell->cell_id),
                static_cast<unsigned long long>(cell->owner), cell->layer, cell->key[0],
                cell->value[0]);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
