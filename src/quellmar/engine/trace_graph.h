#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "quellmar/core/types.h"

namespace quellmar {

// One directed, typed link between two cells.
struct TraceEdge {
  CellId from = 0;
  CellId to = 0;
  uint64_t created_at = 0;  // Unix nanoseconds of the edge write
  EdgeType edge_type = EdgeType::CausedBy;

  friend bool operator==(const TraceEdge&, const TraceEdge&) = default;
};

// The in-memory trace graph: every edge is kept in insertion order under both of its cells.
// Nothing is de-duplicated and nothing is ever removed.
class TraceGraph {
 public:
  void add_edge(CellId from, CellId to, EdgeType edge_type, uint64_t created_at);
  // Drops every edge (a refresh rebuilds the graph from the log).
  void clear();

  // Edges leaving / reaching `cell` whose type equals `filter`, or all of them when `filter` is
  // EDGE_TYPE_ANY, in insertion order.
  std::vector<TraceEdge> outgoing(CellId cell, uint8_t filter) const;
  std::vector<TraceEdge> incoming(CellId cell, uint8_t filter) const;

  // Every cell reachable from `cell` over outgoing edges of the filtered type, breadth first, in
  // no defined order. `cell` itself is included only when a path leads back to it.
  std::vector<CellId> trace_ancestors(CellId cell, uint8_t filter) const;

  uint64_t edge_count() const { return edge_count_; }

 private:
  static std::vector<TraceEdge> filtered(
      const std::unordered_map<CellId, std::vector<TraceEdge>>& map, CellId cell, uint8_t filter);

  std::unordered_map<CellId, std::vector<TraceEdge>> outgoing_;
  std::unordered_map<CellId, std::vector<TraceEdge>> incoming_;
  uint64_t edge_count_ = 0;
};

}  // namespace quellmar
