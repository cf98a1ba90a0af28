// trace.wal: open, replay (which skips damaged records) and the graph rebuilt from it over any
// bytes; a record appended afterwards must be the last one replayed.

#include "fuzz_util.h"
#include "quellmar/engine/trace_wal.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("trace.wal", data, size);
  const std::string& dir = fuzz::scratch_dir();
  auto wal = TraceWal::open(dir);
  QM_FUZZ_CHECK(wal.is_ok());
  auto records = wal->replay();
  QM_FUZZ_CHECK(records.is_ok());
  QM_FUZZ_CHECK(records->size() <= size / TRACE_RECORD_SIZE);
  TraceGraph graph;
  QM_FUZZ_CHECK(rebuild_trace_graph(*wal, graph).is_ok());
  for (size_t i = 0; i < records->size() && i < 4; ++i) {
    (void)graph.trace_ancestors((*records)[i].from, EDGE_TYPE_ANY);
    (void)graph.trace_ancestors((*records)[i].to, static_cast<uint8_t>(EdgeType::CausedBy));
  }
  const TraceEdge added{11, 22, 33, EdgeType::Supports};
  QM_FUZZ_CHECK(wal->append(added).is_ok());
  auto again = wal->replay();
  QM_FUZZ_CHECK(again.is_ok() && again->size() == records->size() + 1);
  QM_FUZZ_CHECK((again->back() == TraceRecord{11, 22, 3, 33}));
  return 0;
}
