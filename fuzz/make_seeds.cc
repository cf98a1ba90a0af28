// Writes the seed corpus of every fuzz target into <out>/<target>/: the files of a small but
// complete engine directory (every record file with several records, vamana.idx, the schedule),
// a snapshot archive of it with its manifest, and a few keys and texts.
//
//   qm_fuzz_seeds OUT_DIR

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "quellmar/core/file_names.h"
#include "quellmar/engine/engine.h"
#include "quellmar/retrieval/key_view.h"

using namespace quellmar;
namespace fs = std::filesystem;

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void put(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

std::string floats(const std::vector<float>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

template <typename T>
T must(Result<T> r) {
  if (!r.is_ok()) {
    std::fprintf(stderr, "seed generation failed: %s\n", r.error().message().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

void must(Status s) {
  if (!s.is_ok()) {
    std::fprintf(stderr, "seed generation failed: %s\n", s.error().message().c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];
  const fs::path work = fs::temp_directory_path() / ("qm_seeds_" + std::to_string(getpid()));
  fs::remove_all(work);
  const std::string dir = (work / "engine").string();
  {
    auto engine = must(Engine::open(dir, 8));
    for (int i = 0; i < 6; ++i) {
      PackWrite w;
      w.owner = 1 + i % 2;
      w.retrieval_key = std::vector<float>(8, static_cast<float>(i));
      w.retrieval_key[i] = 7.0f;
      w.layer_payloads = {{0, std::vector<float>(40, 1.0f)}, {3, std::vector<float>(5, -2.0f)}};
      w.salience = 10.0f * i;
      if (i % 3) w.text = "pack text " + std::to_string(i) + " \xc3\xa9";
      must(engine->mem_write_pack(std::move(w)));
    }
    const std::vector<float> key(8, 0.5f), value = {1, 2, 3};
    must(engine->mem_write(4, 2, key, value, 1.0f, CellId{0}));
    must(engine->delete_pack(2));
    must(engine->delete_pack(5));
    must(engine->add_pack_edge(1, 3, EdgeType::Follows));
    must(engine->add_pack_edge(3, 4, EdgeType::CausedBy));
    must(engine->set_pack_texts({{4, "later text"}}));
    for (uint64_t i = 0; i < 3; ++i) {
      SynapticEntry e{
          i, 1 + i % 2, 2, 3, 0x3c00, i * 5, 0.25f, {1, 2, 3, 4, 5, 6}, {6, 5, 4, 3, 2, 1}};
      must(engine->synaptic().append(e));
    }
    must(engine->schedule().add(UnixTime{1700000000, 5}, 1, 15.0f));
    must(engine->schedule().add(UnixTime{-5, 0}, 2, 0.5f));
    must(engine->ensure_vamana());
    must(engine->snapshot((work / "snap.tar").string()));
  }
  auto file = [&](const char* name) { return read_all(dir + "/" + name); };
  const std::string segment = file("segment_000000.qmr");
  put(out / "segment", "whole", segment);
  put(out / "segment", "torn", segment.substr(0, segment.size() - 30));
  put(out / "segment", "header", segment.substr(0, 8));
  put(out / "text_store", "whole", file(TEXT_STORE_FILE));
  put(out / "deletion_log", "whole", file(DELETION_LOG_FILE));
  put(out / "synaptic", "whole", file(SYNAPTIC_FILE));
  put(out / "vamana", "whole", file(VAMANA_FILE));
  put(out / "trace_wal", "whole", file(TRACE_WAL_FILE));
  put(out / "schedule", "whole", file(SCHEDULE_FILE));
  put(out / "schedule", "empty", "{\"next_id\": 1, \"entries\": []}");
  const SnapshotManifest manifest = must(read_snapshot_manifest((work / "snap.tar").string()));
  put(out / "snapshot_manifest", "whole", must(serialize_snapshot_manifest(manifest)));
  put(out / "snapshot_restore", "whole", read_all((work / "snap.tar").string()));

  std::vector<float> encoded(64 + 3 * 4, 0.25f);
  encoded[0] = ENCODING_SENTINEL;
  encoded[ENCODING_DIM_IDX] = 4;
  put(out / "key_view", "encoded", floats(encoded));
  put(out / "key_view", "plain", floats({1, 2, 3, 4, 5, 6, 7, 8}));
  encoded[ENCODING_DIM_IDX] = 5;
  put(out / "key_view", "malformed", floats(encoded));
  put(out / "chunk_boundary", "sentence",
      std::string("\x01\x20\0\0\0", 5) + "One sentence. Another one! A third?\n\nNew paragraph.");
  put(out / "chunk_boundary", "utf8",
      std::string("\x00\x09\0\0\0", 5) + "caf\xc3\xa9 na\xc3\xafve \xe2\x82\xac");
  fs::remove_all(work);
  return 0;
}
