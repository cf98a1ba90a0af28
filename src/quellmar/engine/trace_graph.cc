#include "quellmar/engine/trace_graph.h"

#include <deque>
#include <unordered_set>

namespace quellmar {

void TraceGraph::add_edge(CellId from, CellId to, EdgeType edge_type, uint64_t created_at) {
  TraceEdge edge{from, to, created_at, edge_type};
  outgoing_[from].push_back(edge);
  incoming_[to].push_back(edge);
  ++edge_count_;
}

void TraceGraph::clear() {
  outgoing_.clear();
  incoming_.clear();
  edge_count_ = 0;
}

std::vector<TraceEdge> TraceGraph::filtered(
    const std::unordered_map<CellId, std::vector<TraceEdge>>& map, CellId cell, uint8_t filter) {
  std::vector<TraceEdge> out;
  auto it = map.find(cell);
  if (it == map.end()) return out;
  for (const TraceEdge& e : it->second) {
    if (filter == EDGE_TYPE_ANY || static_cast<uint8_t>(e.edge_type) == filter) out.push_back(e);
  }
  return out;
}

std::vector<TraceEdge> TraceGraph::outgoing(CellId cell, uint8_t filter) const {
  return filtered(outgoing_, cell, filter);
}

std::vector<TraceEdge> TraceGraph::incoming(CellId cell, uint8_t filter) const {
  return filtered(incoming_, cell, filter);
}

std::vector<CellId> TraceGraph::trace_ancestors(CellId cell, uint8_t filter) const {
  std::unordered_set<CellId> visited;
  std::deque<CellId> queue;
  auto visit_from = [&](CellId c) {
    auto it = outgoing_.find(c);
    if (it == outgoing_.end()) return;
    for (const TraceEdge& e : it->second) {
      if (filter != EDGE_TYPE_ANY && static_cast<uint8_t>(e.edge_type) != filter) continue;
      if (visited.insert(e.to).second) queue.push_back(e.to);
    }
  };
  visit_from(cell);
  while (!queue.empty()) {
    CellId next = queue.front();
    queue.pop_front();
    visit_from(next);
  }
  return std::vector<CellId>(visited.begin(), visited.end());
}

}  // namespace quellmar
