// Durable append of one pack-shaped batch against the raw floor of the same bytes (one write and
// one fsync appended to a file on the same file system), alternated in one run; the decode of
// one 1024-value record (one open, one read); and the 4-bit quantizer on the payloads of a
// 256-pack batch at this CPU's best level, against the AVX2 level, alternated in one run.
//
//   build/storage_bench [rounds] [--json=PATH]      (QMR_BENCH_DIR chooses the file system;
//   default ./bench-scratch; --json writes the records, bench_records.py)

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "bench_util.h"
#include "quellmar/storage/block_pool.h"
#include "quellmar/storage/q4_kernels.h"

using namespace quellmar;
using namespace quellmar::bench;

namespace {

std::vector<CellRecord> pack_batch(CellId first, std::mt19937& rng) {
  std::normal_distribution<float> dist;
  std::vector<CellRecord> batch;
  CellRecord head;
  head.cell_id = first;
  head.layer = HEAD_CELL_LAYER;
  head.key.resize(128);
  for (float& x : head.key) x = dist(rng);
  batch.push_back(head);
  for (int layer = 0; layer < 8; ++layer) {
    CellRecord r;
    r.cell_id = first + 1 + layer;
    r.layer = static_cast<LayerIdx>(layer);
    r.value.resize(1024);
    for (float& x : r.value) x = dist(rng);
    batch.push_back(std::move(r));
  }
  return batch;
}

// The payloads of 256 packs of 8 layers (2,097,152 values, 8 MiB, one vector per layer as a
// caller hands them over) put in their stored form in one buffer, as a batch's records take
// them, at the best level and at the AVX2 level.
void bench_quantizer(std::mt19937& rng, RecordFile& records) {
  const Q4Level best = q4_detected_level();
  if (best <= Q4Level::Avx2) {
    std::printf("4-bit quantizer: this CPU's best level is AVX2 or below; no comparison\n");
    return;
  }
  std::normal_distribution<float> dist;
  std::vector<std::vector<float>> payloads(256 * 8, std::vector<float>(1024));
  for (auto& p : payloads) {
    for (float& x : p) x = dist(rng);
  }
  std::vector<uint8_t> out(payloads.size() * q4_stored_size(1024));
  auto run = [&] {
    const double t0 = now_us();
    uint8_t* at = out.data();
    for (const auto& p : payloads) {
      store_q4(p, at);
      at += q4_stored_size(p.size());
    }
    return now_us() - t0;
  };
  std::vector<double> t_best, t_avx2;
  for (int i = 0; i < 60; ++i) {
    for (int k = 0; k < 2; ++k) {
      const bool first = (i + k) % 2 == 0;
      q4_force_level_for_testing(first ? best : Q4Level::Avx2);
      (first ? t_best : t_avx2).push_back(run());
    }
  }
  q4_force_level_for_testing(best);
  std::printf("4-bit quantizer, 2,097,152 values in 2,048 vectors, 60 rounds:\n");
  std::printf(
      "  quantize at the AVX-512 level  median %9.1f us  p99 %9.1f us | AVX2 level median %9.1f "
      "us | ratio %.3f\n",
      median(t_best), percentile(t_best, 0.99), median(t_avx2), median(t_best) / median(t_avx2));
  records.add(Record("quantize at the AVX-512 level", median(t_best))
                  .with_p99(percentile(t_best, 0.99))
                  .against("AVX2 level", median(t_avx2)));
}

}  // namespace

int main(int argc, char** argv) {
  RecordFile records("storage_bench", argc, argv);
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
  ScratchDir scratch("storage");
  std::mt19937 rng(1);

  auto pool = BlockPool::open(scratch.path() + "/engine", BlockPool::DEFAULT_CAPACITY);
  if (!pool.is_ok()) {
    std::fprintf(stderr, "%s\n", pool.error().message().c_str());
    return 1;
  }
  uint64_t bytes = 0;
  for (const CellRecord& r : pack_batch(1, rng)) bytes += *r.encoded_size();
  const std::string raw_path = scratch.path() + "/raw.bin";
  std::string raw(bytes, 'x');

  std::vector<double> t_pool, t_raw;
  CellId next = 1;
  for (int i = 0; i < rounds; ++i) {
    std::vector<CellRecord> batch = pack_batch(next, rng);
    next += batch.size();
    double t0 = now_us();
    if (!pool->append_batch(batch).is_ok()) return 1;
    double t1 = now_us();
    int fd = ::open(raw_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (::write(fd, raw.data(), raw.size()) != static_cast<ssize_t>(raw.size())) return 1;
    if (::fsync(fd) != 0) return 1;
    ::close(fd);
    double t2 = now_us();
    t_pool.push_back(t1 - t0);
    t_raw.push_back(t2 - t1);
  }
  std::printf("pack batch append (%llu bytes, 9 records), %d rounds:\n",
              static_cast<unsigned long long>(bytes), rounds);
  std::printf("  block pool append_batch  median %8.1f us  p99 %8.1f us\n", median(t_pool),
              percentile(t_pool, 0.99));
  std::printf("  raw write + fsync        median %8.1f us  p99 %8.1f us\n", median(t_raw),
              percentile(t_raw, 0.99));
  std::printf("  ratio (medians)          %.3f   (target <= 1.2)\n",
              median(t_pool) / median(t_raw));
  records.add(Record("block pool append_batch", median(t_pool))
                  .with_p99(percentile(t_pool, 0.99))
                  .against("raw write + fsync", median(t_raw), percentile(t_raw, 0.99))
                  .with_target("<= 1.2"));

  // Decode one layer record: open, read, dequantize 1024 values, close.
  const CellId layer_cell = 2;
  std::vector<double> t_dec;
  for (int i = 0; i < 20000; ++i) {
    double t0 = now_us();
    auto rec = pool->read_cell(layer_cell);
    double t1 = now_us();
    if (!rec.is_ok() || rec->value.size() != 1024) return 1;
    t_dec.push_back(t1 - t0);
  }
  // The floor of the same read on this machine: open, one pread of the first 4 KiB, close.
  const std::string seg = pool->segments().back().path;
  const uint64_t off = pool->locations().at(layer_cell).offset;
  std::vector<double> t_floor;
  char buf[4096];
  for (int i = 0; i < 20000; ++i) {
    double t0 = now_us();
    int fd = ::open(seg.c_str(), O_RDONLY | O_CLOEXEC);
    if (::pread(fd, buf, sizeof buf, static_cast<off_t>(off)) <= 0) return 1;
    ::close(fd);
    t_floor.push_back(now_us() - t0);
  }
  std::printf("decode of one 1024-value record: median %.2f us  p99 %.2f us  (target < 2 us)\n",
              median(t_dec), percentile(t_dec, 0.99));
  std::printf("  open + pread + close floor     median %.2f us; decode above the floor %.2f us\n",
              median(t_floor), median(t_dec) - median(t_floor));
  records.add(Record("decode of one 1024-value record", median(t_dec))
                  .with_p99(percentile(t_dec, 0.99))
                  .against("open + pread + close", median(t_floor)));
  bench_quantizer(rng, records);
  return 0;
}
