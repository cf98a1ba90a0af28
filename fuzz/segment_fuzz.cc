// Segment files: the scan, the record decoder and the block pool's open over any bytes; a cell
// appended afterwards must read back after the next open.

#include "fuzz_util.h"
#include "quellmar/storage/block_pool.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("segment_000000.qmr", data, size);
  const std::string& dir = fuzz::scratch_dir();
  auto scan = SegmentFile::scan(dir, 0);
  if (scan.is_ok()) {
    auto reader = SegmentReader::open(dir + "/segment_000000.qmr");
    QM_FUZZ_CHECK(reader.is_ok());
    CellRecord record;
    std::string encoded;
    for (const ScannedRecord& r : scan->records) {
      QM_FUZZ_CHECK(r.offset + 4 + r.body_len <= size);
      (void)reader->read(r.offset, DecodeParts::All, record);
      (void)reader->read(r.offset, DecodeParts::SkipValue, record);
      (void)reader->read_encoded(r.offset, encoded);
    }
  }
  auto pool = BlockPool::open(dir, 1 << 20);
  if (!pool.is_ok()) return 0;
  pool->read_all(
      DecodeParts::All, [](size_t, CellRecord&) {}, [](size_t, const EngineError&) {});

  CellRecord added;
  added.cell_id = 0xfeedfacecafeULL;
  added.owner = 3;
  added.layer = 4;
  added.key = {1, 2, 3, 7};
  added.value = {7, -7};
  QM_FUZZ_CHECK(pool->append(added).is_ok());
  auto again = BlockPool::open(dir, 1 << 20);
  QM_FUZZ_CHECK(again.is_ok());
  auto got = again->read_cell(added.cell_id);
  QM_FUZZ_CHECK(got.is_ok());
  QM_FUZZ_CHECK(got->key == added.key && got->value == added.value);
  return 0;
}
