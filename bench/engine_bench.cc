// End-to-end engine figures against the machine's own floors, measured in the same run:
//   write   one unbuffered mem_write_pack (key 128, 8 layers of 1024 floats), without and with
//           text, against one (two) raw write + fsync of the same record (and text) bytes;
//   batch   mem_write_batch_packs of 256 such packs with texts, and a write-buffer drain of 256,
//           against two raw write + fsync pairs of the same total bytes;
//   read    mem_read_pack, k = 10, over 10,000 such packs: median and 99th percentile;
//   open    reopen of an unchanged engine of 50,000 packs (key 128, two layers of 256 floats,
//           past the Vamana threshold) against reading all its segment bytes once; then the open
//           after 1,000 more packs, which updates the saved graph, against the unchanged reopen,
//           and the graph build from scratch over the same cells on the machine's threads (the
//           engine's default) against the same build on one thread (QMR_GRAPH_THREADS=1);
//   open_growth  the open after +2% packs at 10,000, 30,000 and 100,000 packs against the
//           unchanged reopen of each, with the share of the graph update.
//
//   build/bench/engine_bench [write|batch|read|open|open_growth|all] [scale] [--json=PATH]
// scale (default 1.0) multiplies the pack counts of read, open and open_growth, for quick runs;
// --json writes the records (bench_records.py).

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "bench_util.h"
#include "quellmar/core/file_names.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/env_settings.h"

using namespace quellmar;
using namespace quellmar::bench;

namespace {

std::mt19937 rng(7);

std::vector<float> random_vector(size_t n, float centre_weight = 0.0f,
                                 const std::vector<float>* centre = nullptr) {
  std::normal_distribution<float> dist;
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = dist(rng) + (centre ? centre_weight * (*centre)[i] : 0.0f);
  return v;
}

PackWrite make_pack(size_t key_dim, size_t layers, size_t width, bool text,
                    const std::vector<std::vector<float>>* centres = nullptr) {
  PackWrite w;
  w.owner = 1;
  if (centres) {
    const auto& c = (*centres)[rng() % centres->size()];
    w.retrieval_key = random_vector(key_dim, 3.0f, &c);
  } else {
    w.retrieval_key = random_vector(key_dim);
  }
  for (size_t l = 0; l < layers; ++l) {
    w.layer_payloads.push_back(LayerPayload{static_cast<LayerIdx>(l), random_vector(width)});
  }
  w.salience = 50.0f;
  if (text) w.text = "a short note that an agent keeps with this memory";
  return w;
}

// One pack's encoded record bytes, as the engine writes them.
uint64_t pack_record_bytes(const PackWrite& w) {
  CellRecord head;
  head.key = w.retrieval_key;
  uint64_t total = *head.encoded_size();
  for (const LayerPayload& p : w.layer_payloads) {
    CellRecord r;
    r.key = w.retrieval_key;
    r.value = p.data;
    total += *r.encoded_size();
  }
  return total;
}

uint64_t text_record_bytes(const PackWrite& w) { return w.text ? 12 + w.text->size() : 0; }

// Appends n bytes to a file and flushes it: the floor of one durable append.
double raw_append_us(const std::string& path, const std::string& bytes) {
  const double t0 = now_us();
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::fsync(fd) != 0) {
    std::perror("raw append");
    std::exit(1);
  }
  ::close(fd);
  return now_us() - t0;
}

// Graph builds and updates use every hardware thread unless QMR_GRAPH_THREADS says fewer; the
// variable is read when an engine opens.
void set_graph_threads(const char* threads) {
  if (threads != nullptr) {
    ::setenv("QMR_GRAPH_THREADS", threads, 1);
  } else {
    ::unsetenv("QMR_GRAPH_THREADS");
  }
}

std::unique_ptr<Engine> open_engine(const std::string& dir, uint64_t threshold = 10000) {
  auto e = Engine::open(dir, threshold);
  if (!e.is_ok()) {
    std::fprintf(stderr, "%s\n", e.error().message().c_str());
    std::exit(1);
  }
  return std::move(e).value();
}

// Prints and records one figure against its floor; `packs` (when not 0) goes into the record.
void report(RecordFile& records, const char* name, const std::vector<double>& ours,
            const std::vector<double>& floor, double target, size_t packs = 0) {
  std::printf(
      "  %-34s median %9.1f us  p99 %9.1f us | floor median %9.1f us | ratio %.3f (target <= "
      "%.1f)\n",
      name, median(ours), percentile(ours, 0.99), median(floor), median(ours) / median(floor),
      target);
  char bound[32];
  std::snprintf(bound, sizeof bound, "<= %.1f", target);
  Record r(name, median(ours));
  r.with_p99(percentile(ours, 0.99)).against("floor", median(floor)).with_target(bound);
  if (packs != 0) r.with_param("packs", double(packs));
  records.add(std::move(r));
}

void bench_write(RecordFile& records, int rounds) {
  ScratchDir scratch("engine-write");
  auto e = open_engine(scratch.path() + "/engine");
  const std::string raw = scratch.path() + "/raw.bin";
  std::vector<double> plain, plain_floor, texted, texted_floor;
  for (int i = 0; i < rounds; ++i) {
    PackWrite a = make_pack(128, 8, 1024, false);
    const std::string a_bytes(pack_record_bytes(a), 'x');
    double t0 = now_us();
    if (!e->mem_write_pack(std::move(a)).is_ok()) std::exit(1);
    plain.push_back(now_us() - t0);
    plain_floor.push_back(raw_append_us(raw, a_bytes));

    PackWrite b = make_pack(128, 8, 1024, true);
    const std::string b_bytes(pack_record_bytes(b), 'x'), b_text(text_record_bytes(b), 'y');
    t0 = now_us();
    if (!e->mem_write_pack(std::move(b)).is_ok()) std::exit(1);
    texted.push_back(now_us() - t0);
    texted_floor.push_back(raw_append_us(raw, b_bytes) + raw_append_us(raw + ".text", b_text));
  }
  std::printf("unbuffered mem_write_pack (key 128, 8 layers x 1024), %d rounds:\n", rounds);
  report(records, "pack without text", plain, plain_floor, 1.3);
  report(records, "pack with text (two flushes)", texted, texted_floor, 1.3);
}

void bench_batch(RecordFile& records, int rounds) {
  ScratchDir scratch("engine-batch");
  auto e = open_engine(scratch.path() + "/engine", UINT64_MAX);
  auto buffered = Engine::open_with_write_buffer(scratch.path() + "/buffered", 256, 0);
  if (!buffered.is_ok()) std::exit(1);
  const std::string raw = scratch.path() + "/raw.bin";
  std::vector<double> batch, drain, floor;
  for (int r = 0; r < rounds; ++r) {
    std::vector<PackWrite> packs, copy;
    uint64_t rec = 0, txt = 0;
    for (int i = 0; i < 256; ++i) {
      packs.push_back(make_pack(128, 8, 1024, true));
      rec += pack_record_bytes(packs.back());
      txt += text_record_bytes(packs.back());
    }
    copy = packs;
    // Which of the two goes first alternates, so neither always pays for the freshly made data.
    auto run_batch = [&] {
      const double t0 = now_us();
      if (!e->mem_write_batch_packs(std::move(packs)).is_ok()) std::exit(1);
      batch.push_back(now_us() - t0);
    };
    auto run_drain = [&] {
      // 255 queued writes cost nothing durable; the 256th writes the batch.
      for (int i = 0; i < 255; ++i) {
        if (!(*buffered)->mem_write_pack(std::move(copy[i])).is_ok()) std::exit(1);
      }
      const double t0 = now_us();
      if (!(*buffered)->mem_write_pack(std::move(copy[255])).is_ok()) std::exit(1);
      drain.push_back(now_us() - t0);
    };
    if (r % 2 == 0) {
      run_batch();
      run_drain();
    } else {
      run_drain();
      run_batch();
    }
    floor.push_back(raw_append_us(raw, std::string(rec, 'x')) +
                    raw_append_us(raw + ".text", std::string(txt, 'y')));
  }
  std::printf("256 packs with texts in one batch, %d rounds:\n", rounds);
  report(records, "mem_write_batch_packs", batch, floor, 1.3);
  report(records, "write-buffer drain", drain, floor, 1.3);
}

void bench_read(RecordFile& records, size_t packs, int queries) {
  ScratchDir scratch("engine-read");
  auto e = open_engine(scratch.path() + "/engine");
  std::vector<std::vector<float>> centres;
  for (int i = 0; i < 64; ++i) centres.push_back(random_vector(128));
  for (size_t done = 0; done < packs;) {
    std::vector<PackWrite> batch;
    for (size_t i = 0; i < 256 && done < packs; ++i, ++done) {
      batch.push_back(make_pack(128, 8, 1024, true, &centres));
    }
    if (!e->mem_write_batch_packs(std::move(batch)).is_ok()) std::exit(1);
  }
  std::vector<double> t;
  for (int i = 0; i < queries; ++i) {
    std::vector<float> q = random_vector(128, 3.0f, &centres[rng() % centres.size()]);
    const double t0 = now_us();
    auto r = e->mem_read_pack(q, 10, std::nullopt);
    t.push_back(now_us() - t0);
    if (!r.is_ok() || r->empty()) std::exit(1);
  }
  std::printf("mem_read_pack k=10 over %zu packs (8 layers x 1024), %d queries:\n", packs, queries);
  std::printf("  median %.1f us  p99 %.1f us\n", median(t), percentile(t, 0.99));
  records.add(Record("mem_read_pack k=10", median(t))
                  .with_p99(percentile(t, 0.99))
                  .with_param("packs", double(packs)));
}

// Reads every segment file (and, with `graph`, vamana.idx) once through one 1 MiB buffer.
double read_all_bytes_us(const std::string& dir, bool graph = false) {
  auto ids = SegmentFile::list_ids(dir);
  std::vector<std::string> paths;
  for (uint32_t id : *ids) paths.push_back(segment_path(dir, id));
  if (graph) paths.push_back(dir + "/" + VAMANA_FILE);
  std::vector<char> buf(1 << 20);
  const double t0 = now_us();
  uint64_t total = 0;
  for (const std::string& path : paths) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) > 0) total += static_cast<uint64_t>(n);
    ::close(fd);
  }
  if (total == 0) std::exit(1);
  return now_us() - t0;
}

// Writes `packs` packs (key 128, two layers of 256 floats) in batches.
void write_open_packs(Engine& e, size_t packs) {
  for (size_t done = 0; done < packs;) {
    std::vector<PackWrite> batch;
    for (size_t i = 0; i < 1024 && done < packs; ++i, ++done) {
      batch.push_back(make_pack(128, 2, 256, false));
    }
    if (!e.mem_write_batch_packs(std::move(batch)).is_ok()) std::exit(1);
  }
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_whole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The opens of a store that grew by `more` packs after its graph was saved: in each round the
// saved graph of before the growth is put back, then one open updates it and one more reopens
// the store unchanged. Medians of both, in microseconds.
struct GrowthOpens {
  std::vector<double> updating, unchanged;
};

GrowthOpens time_growth_opens(const std::string& dir, size_t more, int rounds) {
  const std::string idx = dir + "/" + VAMANA_FILE;
  const std::string saved = read_whole(idx);
  {
    auto e = open_engine(dir, UINT64_MAX);  // below the threshold: the graph is left alone
    write_open_packs(*e, more);
  }
  GrowthOpens out;
  for (int r = 0; r < rounds; ++r) {
    write_whole(idx, saved);
    double t0 = now_us();
    {
      auto e = open_engine(dir);
      out.updating.push_back(now_us() - t0);
      if (!e->has_vamana()) std::exit(1);
    }
    t0 = now_us();
    auto e = open_engine(dir);
    out.unchanged.push_back(now_us() - t0);
  }
  return out;
}

void bench_open(RecordFile& records, size_t packs, int rounds) {
  ScratchDir scratch("engine-open");
  const std::string dir = scratch.path() + "/engine";
  {
    auto e = open_engine(dir);
    write_open_packs(*e, packs);
  }
  // The first open after the writes saves the graph over every cell; later ones reuse it.
  double t0 = now_us();
  open_engine(dir);
  const double first = now_us() - t0;
  std::vector<double> reopen, floor, all_files;
  for (int i = 0; i < rounds; ++i) {
    floor.push_back(read_all_bytes_us(dir));
    all_files.push_back(read_all_bytes_us(dir, /*graph=*/true));
    t0 = now_us();
    auto e = open_engine(dir);
    reopen.push_back(now_us() - t0);
    if (!e->has_vamana()) std::exit(1);
  }
  std::printf("open of %zu packs (key 128, 2 layers x 256; %zu cells), %d rounds:\n", packs,
              packs * 3, rounds);
  report(records, "reopen, unchanged", reopen, floor, 3.0, packs);
  // The open also reads vamana.idx whole: the floor of every byte it reads.
  std::printf(
      "  %-34s median %9.1f us | read of the segments and vamana.idx median %9.1f us | ratio "
      "%.3f\n",
      "reopen, unchanged, all its files", median(reopen), median(all_files),
      median(reopen) / median(all_files));
  records.add(Record("reopen, unchanged, all its files", median(reopen))
                  .against("read of the segments and vamana.idx", median(all_files))
                  .with_param("packs", double(packs)));
  std::printf("  first open after the writes (graph rebuilt and saved): %.1f ms\n", first / 1000);
  records.add(Record("first open after the writes", first).with_param("packs", double(packs)));

  // 1,000 more packs: the open updates the saved graph.
  const size_t threads = hardware_threads();
  const GrowthOpens g = time_growth_opens(dir, 1000, rounds);
  const double after = median(g.updating), unchanged = median(g.unchanged);
  std::printf(
      "  %-34s median %9.1f us  p99 %9.1f us | reopen, unchanged median %9.1f us | ratio %.3f "
      "(target <= 2.5; %zu graph threads)\n",
      "open after 1,000 more packs", after, percentile(g.updating, 0.99), unchanged,
      after / unchanged, threads);
  // The build from scratch over the same cells, on every thread and on one, round by round
  // (each on an engine opened with that setting).
  std::vector<double> build, build_one;
  for (int r = 0; r < std::min(rounds, 3); ++r) {
    for (const char* setting : {static_cast<const char*>(nullptr), "1"}) {
      set_graph_threads(setting);
      auto e = open_engine(dir);
      set_graph_threads(nullptr);
      t0 = now_us();
      if (!e->ensure_vamana().is_ok()) std::exit(1);
      (setting == nullptr ? build : build_one).push_back(now_us() - t0);
    }
  }
  std::printf(
      "  graph update %.1f ms (%.0f%% of that open, the time beyond the unchanged reopen)\n",
      (after - unchanged) / 1000, 100.0 * (after - unchanged) / after);
  std::printf(
      "  %-34s median %9.1f us | one thread median %9.1f us | ratio %.3f, %.1fx faster (target "
      "<= 0.2)\n",
      "graph build from scratch", median(build), median(build_one),
      median(build) / median(build_one), median(build_one) / median(build));
  records.add(Record("open after 1,000 more packs", after)
                  .with_p99(percentile(g.updating, 0.99))
                  .against("reopen, unchanged", unchanged)
                  .with_target("<= 2.5")
                  .with_extra("update_share_pct", 100.0 * (after - unchanged) / after)
                  .with_extra("graph_build_ms", median(build) / 1000)
                  .with_extra("graph_threads", double(threads))
                  .with_param("packs", double(packs)));
  records.add(Record("graph build from scratch", median(build))
                  .against("one thread", median(build_one))
                  .with_target("<= 0.2")
                  .with_extra("graph_threads", double(threads))
                  .with_extra("speedup", median(build_one) / median(build))
                  .with_param("packs", double(packs)));
}

// Opens after +2% packs at several store sizes: each size is written, its graph built and saved
// by one open, then 2% more packs are written and the opens that update the graph are timed.
void bench_open_growth(RecordFile& records, const std::vector<size_t>& sizes, int rounds) {
  std::printf("open after +2%% packs (key 128, 2 layers x 256), %d rounds per size:\n", rounds);
  for (size_t packs : sizes) {
    ScratchDir scratch("engine-open-growth");
    const std::string dir = scratch.path() + "/engine";
    {
      auto e = open_engine(dir);
      write_open_packs(*e, packs);
    }
    open_engine(dir);  // builds and saves the graph
    const size_t more = packs / 50;
    const GrowthOpens g = time_growth_opens(dir, more, rounds);
    const double after = median(g.updating), unchanged = median(g.unchanged);
    char label[64];
    std::snprintf(label, sizeof label, "%zu packs, open after %zu more", packs, more);
    std::printf(
        "  %-34s median %9.1f us  p99 %9.1f us | reopen, unchanged median %9.1f us | ratio "
        "%.3f\n",
        label, after, percentile(g.updating, 0.99), unchanged, after / unchanged);
    // The update scores each new pack's key against every stored one.
    std::printf(
        "    graph update %.1f ms (%.0f%% of the open), %.3f us per new pack per 1,000 stored "
        "packs\n",
        (after - unchanged) / 1000, 100.0 * (after - unchanged) / after,
        (after - unchanged) / double(more) / (double(packs) / 1000));
    records.add(Record("open after 2% more packs", after)
                    .with_p99(percentile(g.updating, 0.99))
                    .against("reopen, unchanged", unchanged)
                    .with_extra("update_share_pct", 100.0 * (after - unchanged) / after)
                    .with_extra("us_per_new_pack_per_1k",
                                (after - unchanged) / double(more) / (double(packs) / 1000))
                    .with_param("packs", double(packs))
                    .with_param("more", double(more)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  RecordFile records("engine_bench", argc, argv);
  const std::string what = argc > 1 ? argv[1] : "all";
  const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
  if (what == "write" || what == "all") bench_write(records, 200);
  if (what == "batch" || what == "all") bench_batch(records, 12);
  if (what == "read" || what == "all") bench_read(records, static_cast<size_t>(10000 * scale), 500);
  if (what == "open" || what == "all") bench_open(records, static_cast<size_t>(50000 * scale), 5);
  if (what == "open_growth" || what == "all") {
    std::vector<size_t> sizes;
    // Never below the graph threshold (10,000 cells, three per pack), which a small scale would
    // cross.
    for (size_t n : {10000, 30000, 100000}) {
      sizes.push_back(std::max<size_t>(static_cast<size_t>(n * scale), 4000));
    }
    bench_open_growth(records, sizes, 3);
  }
  return 0;
}
