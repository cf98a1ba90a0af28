#pragma once

// What tests look at inside an engine beyond its public surface: its components and the steps of
// its reads. Only tests include this header.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quellmar/engine/engine.h"
#include "quellmar/retrieval/slb.h"

namespace quellmar {

class EngineTestPeer {
 public:
  // *engine must outlive the peer.
  explicit EngineTestPeer(Engine& engine) : e_(engine) {}

  const BlockPool& block_pool() const { return e_.block_pool_; }
  const SLB& slb() const { return *e_.slb_; }
  const RetrievalPipeline& pipeline() const { return e_.pipeline_; }
  const TraceWal& trace_wal() const { return e_.trace_wal_; }
  std::optional<uint64_t> key_dim() const { return e_.key_dim_; }
  CellId next_cell_id() const { return e_.next_cell_id_; }
  PackId next_pack_id() const { return e_.next_pack_id_; }
  const WriteBuffer* write_buffer() const {
    return e_.write_buffer_ ? &*e_.write_buffer_ : nullptr;
  }

  std::vector<ScoredCell> find_candidates(std::span<const float> query, uint64_t k,
                                          std::optional<OwnerId> owner) const {
    return e_.find_candidates(query, k, owner);
  }

 private:
  Engine& e_;
};

}  // namespace quellmar
