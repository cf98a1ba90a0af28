// Crash harness: proves that what the engine acknowledged survives a SIGKILL at any moment.
//
//   qm_crash_harness run [--kills N] [--seed S] [--dir D] [--keep] [--vamana-threshold T]
//   qm_crash_harness child DIR SEED VAMANA_THRESHOLD [die-at-cut FILE]
//
// `run` starts the child again and again on one engine directory, kills it with SIGKILL at a
// random moment, reopens the directory in-process and checks it against what the child reported.
// The child writes packs (one at a time, in batches and through a write buffer), deletes packs,
// adds pack edges, sets texts, writes plain cells and compacts. It prints one line before each
// operation ("B ...") and one after the call returned success ("A ...", "Q ..."), so the parent
// knows what was acknowledged and which operation was in flight when the signal came.
//
// Every pack's content is a function of its pack id (layer count, layer indices, payloads, owner,
// text), and every plain cell's of its cell id, so the parent can check any pack it finds, also
// one whose write was never acknowledged: it must be whole (every layer, its text) or absent.
// Values are whole numbers with |v| <= 7 and a 7 in every group of 32, which the 4-bit codec
// stores exactly.
//
// Now and then the parent leaves a torn tail on one of the record files before a round. An open
// only reads, so the child opens, appends to that file first, and kills itself at the cut that
// append makes before it writes: after the cut bytes were kept in a file of their own, before the
// file was cut. The parent checks that nothing was lost.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/trace_wal.h"
#include "quellmar/storage/segment_file.h"

// The crash harness is test code: it reads the id counters and the pool the way the tests do.
#include "engine_test_peer.h"

namespace quellmar {
namespace {

constexpr uint64_t SEGMENT_SIZE = 64 * 1024;  // small, so that segments roll and compact
constexpr uint64_t KEY_DIM = 32;
constexpr OwnerId CELL_OWNER = 9;
constexpr LayerIdx CELL_LAYER = 5;

// ---------------------------------------------------------------------------------------------
// Content, derived from ids

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// n whole numbers in -7..7, each group of 32 led by +7 or -7: the codec holds them exactly.
std::vector<float> exact_values(uint64_t seed, size_t n) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<float>(static_cast<int>(mix(seed * 1000003 + i) % 15) - 7);
  }
  for (size_t g = 0; g < n; g += 32) v[g] = (mix(seed + g) & 1) ? 7.0f : -7.0f;
  return v;
}

OwnerId pack_owner(PackId id) { return 1 + id % 3; }

std::vector<float> pack_key(PackId id) { return exact_values(mix(id) ^ 0x6b6579, KEY_DIM); }

std::vector<LayerPayload> pack_layers(PackId id) {
  std::vector<LayerPayload> layers;
  const size_t n_layers = 1 + id % 4;
  for (size_t j = 0; j < n_layers; ++j) {
    // Mostly small payloads; every 13th pack has large ones, so that a batch spans many pages.
    size_t len = 32 * (1 + mix(id * 7 + j) % 24) + mix(id + j) % 31;
    if (id % 13 == 0) len = 32 * 256;
    layers.push_back(
        LayerPayload{static_cast<LayerIdx>(3 * j + id % 3), exact_values(mix(id * 31 + j), len)});
  }
  return layers;
}

// Text version 0 is the text the pack is written with (none for every third pack); higher
// versions are set later through set_pack_texts.
std::optional<std::string> pack_text(PackId id, uint64_t version) {
  if (version == 0 && id % 3 == 0) return std::nullopt;
  std::string text = str_cat("pack ", id, " version ", version, ":");
  const uint64_t words = mix(id ^ (version << 20)) % 200;
  for (uint64_t w = 0; w < words; ++w) text += str_cat(" w", mix(id + w) % 1000);
  return text;
}

PackWrite pack_request(PackId id) {
  PackWrite w;
  w.owner = pack_owner(id);
  w.retrieval_key = pack_key(id);
  w.layer_payloads = pack_layers(id);
  w.salience = static_cast<float>(id % 50);
  w.text = pack_text(id, 0);
  return w;
}

std::vector<float> cell_key(CellId id) { return exact_values(mix(id) ^ 0x63656c6c, KEY_DIM); }
std::vector<float> cell_value(CellId id) { return exact_values(mix(id * 3 + 1), 64); }

// ---------------------------------------------------------------------------------------------
// Child

[[noreturn]] void child_fail(const std::string& what, const EngineError& e) {
  std::printf("X %s %s\n", what.c_str(), e.message().c_str());
  std::fflush(stdout);
  std::_Exit(4);
}

template <typename T>
T child_check(Result<T> r, const char* what) {
  if (!r.is_ok()) child_fail(what, r.error());
  return std::move(r).value();
}

void child_check(Status s, const char* what) {
  if (!s.is_ok()) child_fail(what, s.error());
}

// The file the parent left a torn tail on, in a child that dies at its cut.
std::string g_torn_file;

// A kill at the moment a repair cuts the torn file: its copy of the cut bytes is durable by then.
// The cuts of other files (tails that kills left, repaired by the first append to them) go on.
int die_at_cut(FileOp op, const std::string& path) {
  if (op == FileOp::Truncate && path.ends_with("/" + g_torn_file)) raise(SIGKILL);
  return 0;
}

// `torn_file`, when not empty, names the record file the parent left a torn tail on: the child
// opens without a write buffer, and its first operation appends to that file, whose append cuts
// the tail first; the hook kills the child there. An append that comes back instead is reported
// ("N <file>") and ends the child.
int run_child(const std::string& dir, uint64_t seed, uint64_t vamana_threshold,
              std::string torn_file) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!torn_file.empty()) {
    g_torn_file = torn_file;
    set_file_fault_hook(&quellmar::die_at_cut);
  }
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return n == 0 ? 0 : rng() % n; };
  for (;;) {
    const bool buffered = torn_file.empty() && pick(3) == 0;
    std::unique_ptr<Engine> engine =
        buffered ? child_check(Engine::open_with_write_buffer(dir, 1 + pick(6), 0), "open")
                 : child_check(Engine::open(dir, vamana_threshold, SEGMENT_SIZE), "open");
    std::printf("O %s\n", buffered ? "buffered" : "plain");
    auto packs = [&] {
      std::vector<PackId> ids;
      for (const auto& [id, cells] : engine->pack_directory().packs()) ids.push_back(id);
      std::sort(ids.begin(), ids.end());
      return ids;
    };
    // Every pack written through the queue is acknowledged once the queue is empty again.
    auto ack_queue = [&] {
      if (buffered && EngineTestPeer(*engine).write_buffer()->entries.empty()) std::printf("A F\n");
    };
    auto write_one = [&] {
      const PackId id = EngineTestPeer(*engine).next_pack_id();
      std::printf("B W %llu 1\n", (unsigned long long)id);
      const PackId got = child_check(engine->mem_write_pack(pack_request(id)), "write");
      if (got != id) child_fail("write", EngineError::pack_not_found(got));
      if (buffered) {
        ack_queue();
      } else {
        std::printf("A W %llu 1\n", (unsigned long long)id);
      }
    };
    auto delete_one = [&](PackId id) {
      std::printf("B D %llu\n", (unsigned long long)id);
      child_check(engine->delete_pack(id), "delete");
      std::printf("A D %llu\n", (unsigned long long)id);
    };
    auto add_edge = [&](PackId a, PackId b, unsigned t) {
      std::printf("B E %llu %llu %u\n", (unsigned long long)a, (unsigned long long)b, t);
      child_check(engine->add_pack_edge(a, b, static_cast<EdgeType>(t)), "edge");
      std::printf("A E %llu %llu %u\n", (unsigned long long)a, (unsigned long long)b, t);
    };
    auto set_text = [&](PackId id) {
      const uint64_t version = 1 + pick(1u << 30);
      std::printf("B T %llu %llu\n", (unsigned long long)id, (unsigned long long)version);
      child_check(engine->set_pack_texts({{id, *pack_text(id, version)}}), "text");
      std::printf("A T %llu %llu\n", (unsigned long long)id, (unsigned long long)version);
    };
    if (!torn_file.empty()) {
      const bool segment = torn_file.rfind("segment_", 0) == 0;
      const size_t needed = torn_file == TRACE_WAL_FILE                                      ? 2
                            : torn_file == TEXT_STORE_FILE || torn_file == DELETION_LOG_FILE ? 1
                                                                                             : 0;
      while (packs().size() < needed) write_one();
      const std::vector<PackId> ids = packs();
      if (segment) {
        write_one();
      } else if (torn_file == TEXT_STORE_FILE) {
        set_text(ids[0]);
      } else if (torn_file == DELETION_LOG_FILE) {
        delete_one(ids[0]);
      } else if (torn_file == TRACE_WAL_FILE) {
        add_edge(ids[0], ids[1], 0);
      } else {
        SynapticEntry entry;
        entry.id = 1;
        entry.owner = CELL_OWNER;
        child_check(engine->synaptic().append(entry), "synaptic");
      }
      std::printf("N %s\n", torn_file.c_str());
      std::fflush(stdout);
      std::_Exit(5);
    }
    const uint64_t ops = 5 + pick(30);
    for (uint64_t op = 0; op < ops; ++op) {
      uint64_t roll = pick(100);
      const std::vector<PackId> existing = packs();
      // Past 300 packs, deletions win over writes, which keeps a long run bounded.
      const bool crowded = existing.size() > 300;
      const uint64_t delete_share = crowded ? 30 : 10;
      if (crowded && roll < 50 && pick(2) == 0) roll = 50;
      if (roll < 35) {
        write_one();
      } else if (roll < 50) {
        const PackId first = EngineTestPeer(*engine).next_pack_id();
        const uint64_t n = 1 + pick(crowded ? 3 : 12);
        std::vector<PackWrite> batch;
        for (uint64_t i = 0; i < n; ++i) batch.push_back(pack_request(first + i));
        std::printf("B W %llu %llu\n", (unsigned long long)first, (unsigned long long)n);
        child_check(engine->mem_write_batch_packs(std::move(batch)), "batch");
        std::printf("A W %llu %llu\n", (unsigned long long)first, (unsigned long long)n);
        ack_queue();
      } else if (roll < 50 + delete_share) {
        if (existing.empty()) continue;
        delete_one(existing[pick(existing.size())]);
      } else if (roll < 70) {
        if (existing.size() < 2) continue;
        const PackId a = existing[pick(existing.size())], b = existing[pick(existing.size())];
        if (a == b) continue;
        add_edge(a, b, static_cast<unsigned>(pick(4)));
      } else if (roll < 82) {
        if (existing.empty()) continue;
        set_text(existing[pick(existing.size())]);
      } else if (roll < 88) {
        std::printf("B C\n");
        child_check(engine->compact(), "compact");
        std::printf("A C\n");
      } else if (roll < 95) {
        const CellId id = EngineTestPeer(*engine).next_cell_id();
        std::printf("B M %llu\n", (unsigned long long)id);
        const CellId got = child_check(
            engine->mem_write(CELL_OWNER, CELL_LAYER, cell_key(id), cell_value(id), 1.0f, {}),
            "cell");
        if (got != id) child_fail("cell", EngineError::cell_not_found(got));
        std::printf("A M %llu\n", (unsigned long long)id);
      } else if (buffered) {
        std::printf("B F\n");
        child_check(engine->flush_buffer(), "flush");
        std::printf("A F\n");
      }
    }
    if (buffered) {
      child_check(engine->flush_buffer(), "flush");
      std::printf("A F\n");
    }
    engine.reset();
  }
}

// ---------------------------------------------------------------------------------------------
// Parent

struct Model {
  std::map<PackId, uint64_t> packs;  // pack -> text version that must be there
  std::set<PackId> deleted;
  std::set<std::pair<PackId, PackId>> edges;  // (smaller, larger)
  std::set<CellId> cells;

  // The operations of the current round that were begun but not acknowledged.
  std::set<PackId> pending_writes;
  std::optional<PackId> pending_delete;
  std::optional<std::pair<PackId, uint64_t>> pending_text;
  std::optional<std::pair<PackId, PackId>> pending_edge;
  std::optional<CellId> pending_cell;

  uint64_t acked_ops = 0;
};

std::pair<PackId, PackId> edge_key(PackId a, PackId b) { return {std::min(a, b), std::max(a, b)}; }

// Applies one line of the child's report; returns an error text for a line that breaks the
// protocol.
std::string apply_line(Model& m, const std::string& line) {
  std::istringstream in(line);
  std::string kind, what;
  in >> kind;
  if (kind == "O") return "";
  if (kind == "X") return str_cat("child failed: ", line);
  if (kind == "N") return str_cat("child appended without cutting the torn tail first: ", line);
  in >> what;
  unsigned long long a = 0, b = 0, c = 0;
  if (kind == "B") {
    if (what == "W") {
      in >> a >> b;
      for (uint64_t i = 0; i < b; ++i) m.pending_writes.insert(a + i);
    } else if (what == "D") {
      in >> a;
      m.pending_delete = a;
    } else if (what == "E") {
      in >> a >> b >> c;
      m.pending_edge = edge_key(a, b);
    } else if (what == "T") {
      in >> a >> b;
      m.pending_text = std::make_pair(PackId{a}, uint64_t{b});
    } else if (what == "M") {
      in >> a;
      m.pending_cell = a;
    }
    return "";
  }
  if (kind != "A") return str_cat("unknown line: ", line);
  ++m.acked_ops;
  if (what == "W") {
    in >> a >> b;
    for (uint64_t i = 0; i < b; ++i) {
      m.pending_writes.erase(a + i);
      m.packs[a + i] = 0;
    }
  } else if (what == "F") {
    for (PackId id : m.pending_writes) m.packs[id] = 0;
    m.pending_writes.clear();
  } else if (what == "D") {
    in >> a;
    m.packs.erase(a);
    m.deleted.insert(a);
    m.pending_delete.reset();
  } else if (what == "E") {
    in >> a >> b >> c;
    m.edges.insert(edge_key(a, b));
    m.pending_edge.reset();
  } else if (what == "T") {
    in >> a >> b;
    m.packs[a] = b;
    m.pending_text.reset();
  } else if (what == "M") {
    in >> a;
    m.cells.insert(a);
    m.pending_cell.reset();
  }
  return "";
}

struct Checker {
  std::vector<std::string> failures;
  uint64_t packs_checked = 0;
  void fail(std::string s) {
    if (failures.size() < 20) failures.push_back(std::move(s));
  }
};

// Checks a pack found in the directory: every layer, owner and the text of one of `versions`.
void check_pack(Engine& engine, PackId id, const std::vector<uint64_t>& versions, Checker& ck,
                uint64_t& seen_version) {
  auto got = engine.load_pack_by_id(id);
  if (!got.is_ok()) {
    ck.fail(str_cat("pack ", id, ": load failed: ", got.error().message()));
    return;
  }
  ++ck.packs_checked;
  const std::vector<LayerPayload> want = pack_layers(id);
  if (got->owner != pack_owner(id)) ck.fail(str_cat("pack ", id, ": wrong owner ", got->owner));
  if (got->layers.size() != want.size()) {
    ck.fail(str_cat("pack ", id, ": ", got->layers.size(), " layers, want ", want.size()));
    return;
  }
  for (size_t j = 0; j < want.size(); ++j) {
    if (got->layers[j].layer_idx != want[j].layer_idx || got->layers[j].data != want[j].data) {
      ck.fail(str_cat("pack ", id, ": layer ", j, " differs"));
      return;
    }
  }
  for (uint64_t v : versions) {
    if (got->text == pack_text(id, v)) {
      seen_version = v;
      return;
    }
  }
  ck.fail(str_cat("pack ", id, ": text ",
                  got->text ? str_cat("'", got->text->substr(0, 40), "'") : std::string("(none)"),
                  " is none of the expected versions"));
}

// Reopens the directory and checks it against the model; resolves the pending operations by
// what it finds, so that the next round starts from what is now on disk.
void verify(const std::string& dir, uint64_t vamana_threshold, Model& m, Checker& ck,
            std::mt19937_64& rng) {
  auto opened = Engine::open(dir, vamana_threshold, SEGMENT_SIZE);
  if (!opened.is_ok()) {
    ck.fail(str_cat("reopen failed: ", opened.error().message()));
    return;
  }
  Engine& engine = **opened;
  std::set<PackId> present;
  for (const auto& [id, cells] : engine.pack_directory().packs()) present.insert(id);

  // Acknowledged packs: all there, whole, with the text last acknowledged (or the pending one).
  for (auto it = m.packs.begin(); it != m.packs.end();) {
    const PackId id = it->first;
    if (!present.count(id)) {
      if (m.pending_delete == id) {
        m.deleted.insert(id);
        it = m.packs.erase(it);
        continue;
      }
      ck.fail(str_cat("acknowledged pack ", id, " is missing"));
      ++it;
      continue;
    }
    std::vector<uint64_t> versions{it->second};
    if (m.pending_text && m.pending_text->first == id) versions.push_back(m.pending_text->second);
    check_pack(engine, id, versions, ck, it->second);
    ++it;
  }
  // Deleted packs stay deleted.
  for (PackId id : m.deleted) {
    if (present.count(id)) ck.fail(str_cat("deleted pack ", id, " is back"));
    auto got = engine.load_pack_by_id(id);
    if (got.is_ok() || got.error().code() != EngineError::Code::CellNotFound) {
      ck.fail(str_cat("deleted pack ", id, " does not read as not found"));
    }
  }
  // Packs nobody acknowledged: only those in flight, and then whole.
  for (PackId id : present) {
    if (m.packs.count(id) || m.deleted.count(id)) continue;
    if (!m.pending_writes.count(id)) {
      ck.fail(str_cat("pack ", id, " was never written"));
      continue;
    }
    uint64_t version = 0;
    check_pack(engine, id, {0}, ck, version);
    m.packs[id] = version;
  }
  // Links: every acknowledged edge between present packs, and nothing but the pending one more.
  for (PackId id : present) {
    std::vector<PackId> links = engine.pack_links_by_type(id, EDGE_TYPE_ANY);
    std::set<PackId> got(links.begin(), links.end());
    for (const auto& [a, b] : m.edges) {
      const PackId other = a == id ? b : b == id ? a : 0;
      if (other == 0 || !present.count(other)) continue;
      if (!got.erase(other)) ck.fail(str_cat("edge ", a, "-", b, " is missing"));
    }
    for (PackId other : got) {
      if (m.pending_edge == edge_key(id, other)) {
        m.edges.insert(edge_key(id, other));
      } else {
        ck.fail(str_cat("pack ", id, " is linked to ", other, " by no written edge"));
      }
    }
  }
  // Plain cells.
  auto check_cell = [&](CellId id, bool must) {
    auto got = EngineTestPeer(engine).block_pool().read_cell(id);
    if (!got.is_ok()) {
      if (must) ck.fail(str_cat("acknowledged cell ", id, ": ", got.error().message()));
      return false;
    }
    if (got->key != cell_key(id) || got->value != cell_value(id) || got->owner != CELL_OWNER ||
        got->layer != CELL_LAYER || got->pack_id != 0) {
      ck.fail(str_cat("cell ", id, " differs"));
    }
    return true;
  };
  for (CellId id : m.cells) check_cell(id, true);
  if (m.pending_cell && check_cell(*m.pending_cell, false)) m.cells.insert(*m.pending_cell);

  // Retrieval finds a few of the packs again through the rebuilt indexes.
  std::vector<PackId> ids(present.begin(), present.end());
  for (int i = 0; i < 3 && !ids.empty(); ++i) {
    const PackId id = ids[rng() % ids.size()];
    auto hits = engine.mem_read_pack(pack_key(id), 10, pack_owner(id));
    bool found = false;
    if (hits.is_ok()) {
      for (const PackReadResult& r : *hits) found = found || r.pack_id == id;
    }
    if (!found) ck.fail(str_cat("pack ", id, " is not found by its own key"));
  }

  m.pending_writes.clear();
  m.pending_delete.reset();
  m.pending_text.reset();
  m.pending_edge.reset();
  m.pending_cell.reset();
}

// A torn tail left on one record file (as a write cut short by a crash would leave it), for the
// child's first append to that file to repair.
struct TornTail {
  std::string name;
  std::string before;   // the file's bytes with the torn tail
  uint64_t cut_at = 0;  // where the tail begins
};

// Whether the record file `name` of `dir` reads as whole records to its end. A tail that an
// earlier round or a kill left stays until an append to the file cuts it; bytes left behind it
// could read as a record with it.
bool reads_to_end(const std::string& dir, const std::string& name, const std::string& bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  auto length_prefixed = [&](uint64_t header, uint64_t length_at) {
    uint64_t off = 0;
    while (off + header <= bytes.size()) off += header + decode_u32(p + off + length_at);
    return off == bytes.size();
  };
  if (name == TRACE_WAL_FILE) {
    if (bytes.size() % TRACE_RECORD_SIZE != 0) return false;
    for (size_t off = 0; off < bytes.size(); off += TRACE_RECORD_SIZE) {
      if (p[off + TRACE_OFF_TAG] != TRACE_RECORD_TAG) return false;
    }
    return true;
  }
  if (name == TEXT_STORE_FILE) return length_prefixed(12, 8);
  if (name == DELETION_LOG_FILE) return bytes.size() % 8 == 0;
  if (name == SYNAPTIC_FILE) return length_prefixed(4, 0);
  // A segment that a kill left a half-appended record in reads as damaged and is sealed: no
  // append goes to it again, and nothing of it is ever cut.
  const uint32_t id = static_cast<uint32_t>(std::stoul(name.substr(8, 6)));
  auto scan = SegmentFile::scan(dir, id);
  return scan.is_ok() && scan->end == ScanEnd::Clean;
}

std::optional<TornTail> leave_torn_tail(const std::string& dir, std::mt19937_64& rng) {
  std::vector<std::string> segments;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("segment_", 0) == 0 && name.size() == 18 && name.ends_with(".qmr")) {
      segments.push_back(name);
    }
  }
  std::sort(segments.begin(), segments.end());
  // Tails that each file's walk can only take for a record cut short.
  std::vector<std::pair<std::string, std::string>> tails = {
      {TRACE_WAL_FILE, std::string("\x01torn tail", 10)},
      {TEXT_STORE_FILE, std::string("\x07\0\0", 3)},
      {DELETION_LOG_FILE, std::string("\x05\0\0", 3)},
      {SYNAPTIC_FILE, std::string("\x30\0", 2)},
  };
  if (!segments.empty()) tails.push_back({segments.back(), std::string("\x57\x01", 2)});
  std::vector<TornTail> choices;
  std::vector<std::string> chosen_tails;
  for (const auto& [name, tail] : tails) {
    auto bytes = read_whole_file(join_path(dir, name));
    if (!bytes.is_ok() || !reads_to_end(dir, name, *bytes)) continue;
    choices.push_back(TornTail{name, *bytes + tail, bytes->size()});
    chosen_tails.push_back(tail);
  }
  if (choices.empty()) return std::nullopt;
  const size_t k = rng() % choices.size();
  const std::string& tail = chosen_tails[k];
  if (!append_durably(join_path(dir, choices[k].name), tail.data(), tail.size(), false).is_ok()) {
    return std::nullopt;
  }
  return choices[k];
}

// Every byte of a torn tail left before the round is still in the directory: the file holds what
// came before it, and a copy beside it holds the tail.
void check_torn_tail_kept(const std::string& dir, const TornTail& t, Checker& ck) {
  auto now = read_whole_file(join_path(dir, t.name));
  if (!now.is_ok() || now->compare(0, t.cut_at, t.before, 0, t.cut_at) != 0) {
    ck.fail(str_cat(t.name, ": bytes before the torn tail changed"));
    return;
  }
  const std::string tail = t.before.substr(t.cut_at);
  for (unsigned n = 0; n < 1000; ++n) {
    auto copy = read_whole_file(join_path(dir, cut_file_name(t.name, t.cut_at, n)));
    if (!copy.is_ok()) break;
    if (*copy == tail) return;
  }
  ck.fail(str_cat(t.name, ": the torn tail at ", t.cut_at, " was not kept"));
}

struct RunOptions {
  uint64_t kills = 30;
  uint64_t seed = 1;
  uint64_t vamana_threshold = 1500;
  std::string dir;
  bool keep = false;
};

int run_parent(const char* self, const RunOptions& opt) {
  std::string dir = opt.dir;
  if (dir.empty()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qm_crash_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
      std::perror("mkdtemp");
      return 2;
    }
    dir = tmpl;
  }
  std::mt19937_64 rng(opt.seed);
  Model model;
  Checker ck;
  const auto started = std::chrono::steady_clock::now();
  uint64_t kills = 0, lines_total = 0, cuts_killed = 0;
  for (uint64_t round = 0; round < opt.kills && ck.failures.empty(); ++round) {
    int fds[2];
    if (pipe(fds) != 0) {
      std::perror("pipe");
      return 2;
    }
    const std::string child_seed = std::to_string(rng());
    const std::string threshold = std::to_string(opt.vamana_threshold);
    std::optional<TornTail> torn;
    if (round > 0 && rng() % 5 == 0) torn = leave_torn_tail(dir, rng);
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror("fork");
      return 2;
    }
    if (pid == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      execl(self, self, "child", dir.c_str(), child_seed.c_str(), threshold.c_str(),
            torn ? "die-at-cut" : static_cast<char*>(nullptr),
            torn ? torn->name.c_str() : static_cast<char*>(nullptr), static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    close(fds[1]);
    // Mostly a kill some time after the child opened its engine; now and then one during the
    // open itself, while it repairs what the previous kill left.
    const bool early = rng() % 8 == 0;
    const auto delay = std::chrono::microseconds(early ? rng() % 20000 : rng() % 120000);
    std::string buf;
    auto read_some = [&](int timeout_ms) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return true;
      char chunk[65536];
      const ssize_t n = read(fds[0], chunk, sizeof chunk);
      if (n <= 0) return false;
      buf.append(chunk, static_cast<size_t>(n));
      return true;
    };
    auto t0 = std::chrono::steady_clock::now();
    bool open_seen = early;
    bool alive = true;
    while (alive) {
      const auto now = std::chrono::steady_clock::now();
      if (torn) {
        // The child kills itself at the cut of its first append to the torn file.
        if (now - t0 > std::chrono::seconds(60)) {
          ck.fail("child did not reach the cut of its first append within 60 s");
          break;
        }
      } else if (!open_seen) {
        open_seen = buf.find("O ") != std::string::npos;
        if (open_seen) t0 = now;
        if (now - t0 > std::chrono::seconds(60)) {
          ck.fail("child did not open its engine within 60 s");
          break;
        }
      } else if (now - t0 >= delay) {
        break;
      }
      alive = read_some(1);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    while (read_some(100)) {
    }
    close(fds[0]);
    const bool by_kill = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    if (!by_kill) ck.fail(str_cat("child ended on its own (status ", status, ")"));
    ++kills;
    // Whole lines only: a line cut by the kill was never acknowledged.
    size_t start = 0;
    for (size_t nl; (nl = buf.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string err = apply_line(model, buf.substr(start, nl - start));
      ++lines_total;
      if (!err.empty()) ck.fail(err);
    }
    verify(dir, opt.vamana_threshold, model, ck, rng);
    if (torn) {
      check_torn_tail_kept(dir, *torn, ck);
      ++cuts_killed;
    }
    if (!ck.failures.empty()) {
      std::fprintf(stderr, "round %llu failed; last child output:\n%s\n", (unsigned long long)round,
                   buf.substr(buf.size() > 2000 ? buf.size() - 2000 : 0).c_str());
    }
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "crash harness: %llu kills (%llu at a repair's cut), %llu acknowledged operations, %llu pack "
      "reads checked, %zu packs, %zu deleted, %zu edges, %zu cells at the end, %.1f s\n",
      (unsigned long long)kills, (unsigned long long)cuts_killed,
      (unsigned long long)model.acked_ops, (unsigned long long)ck.packs_checked, model.packs.size(),
      model.deleted.size(), model.edges.size(), model.cells.size(), secs);
  for (const std::string& f : ck.failures) std::printf("FAIL: %s\n", f.c_str());
  if (!ck.failures.empty() || opt.keep) {
    std::printf("engine directory kept: %s\n", dir.c_str());
  } else if (opt.dir.empty()) {
    std::filesystem::remove_all(dir);
  }
  (void)lines_total;
  return ck.failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace quellmar

int main(int argc, char** argv) {
  using namespace quellmar;
  const bool torn = argc == 7 && std::strcmp(argv[5], "die-at-cut") == 0;
  if ((argc == 5 || torn) && std::strcmp(argv[1], "child") == 0) {
    return run_child(argv[2], std::strtoull(argv[3], nullptr, 10),
                     std::strtoull(argv[4], nullptr, 10), torn ? argv[6] : "");
  }
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
    RunOptions opt;
    for (int i = 2; i < argc; ++i) {
      const std::string a = argv[i];
      auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
      if (a == "--kills") {
        opt.kills = std::strtoull(next(), nullptr, 10);
      } else if (a == "--seed") {
        opt.seed = std::strtoull(next(), nullptr, 10);
      } else if (a == "--dir") {
        opt.dir = next();
      } else if (a == "--vamana-threshold") {
        opt.vamana_threshold = std::strtoull(next(), nullptr, 10);
      } else if (a == "--keep") {
        opt.keep = true;
      } else {
        std::fprintf(stderr, "unknown option %s\n", a.c_str());
        return 2;
      }
    }
    return run_parent("/proc/self/exe", opt);
  }
  std::fprintf(stderr,
               "usage: %s run [--kills N] [--seed S] [--dir D] [--keep] [--vamana-threshold T]\n",
               argv[0]);
  return 2;
}
