#include "quellmar/index/vamana_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/file_reader.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/saturating.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/core/temp_file.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {
namespace {

// Raw dot product over the common prefix, summed in f32 in index order.
inline float prefix_dot(std::span<const float> a, std::span<const float> b) {
  return dot_f32(a.data(), b.data(), std::min(a.size(), b.size()));
}

// The bytes of node records that a save writes with one call: a large graph is written in a few
// hundred calls rather than thousands.
constexpr size_t SAVE_CHUNK = 64 * 1024;

}  // namespace

VamanaIndex::VamanaIndex(uint64_t dim, uint64_t max_degree, float alpha)
    : dim_(dim), max_degree_(max_degree), alpha_(alpha) {}

std::optional<uint32_t> VamanaIndex::node_of(CellId cell_id) const {
  if (!ids_ascending_) {
    auto it = id_map_.find(cell_id);
    if (it == id_map_.end()) return std::nullopt;
    return it->second;
  }
  auto it = std::lower_bound(ids_.begin(), ids_.end(), cell_id);
  if (it == ids_.end() || *it != cell_id) return std::nullopt;
  return static_cast<uint32_t>(it - ids_.begin());
}

void VamanaIndex::append_node(CellId cell_id, uint32_t key_owner) {
  const auto index = static_cast<uint32_t>(ids_.size());
  if (ids_ascending_ && !ids_.empty() && cell_id <= ids_.back()) {
    ids_ascending_ = false;
    id_map_.reserve(ids_.size() + 1);
    for (size_t i = 0; i < ids_.size(); ++i) id_map_[ids_[i]] = static_cast<uint32_t>(i);
  }
  if (!ids_ascending_) id_map_[cell_id] = index;  // a repeated id (only from a file): last wins
  ids_.push_back(cell_id);
  key_of_.push_back(key_owner);
  adj_start_.push_back(adjacency_.size());
}

void VamanaIndex::insert_node(CellId cell_id, std::span<const float> key) {
  insert_node(cell_id, SharedKey(std::vector<float>(key.begin(), key.end())));
}

void VamanaIndex::insert_node(CellId cell_id, SharedKey key) {
  QM_CHECK(static_cast<bool>(key));
  // An id above every id so far (the engine's order) cannot be there yet.
  const bool above_all = ids_ascending_ && (ids_.empty() || cell_id > ids_.back());
  if (!above_all && node_of(cell_id)) {
    throw InternalFault(str_cat("duplicate CellId ", cell_id, " in VamanaIndex"));
  }
  QM_CHECK(ids_.size() < UINT32_MAX);
  // Consecutive nodes that share one key (a pack's cells) share one owner.
  if (key_owners_.empty() || key_owners_.back() != key) key_owners_.push_back(std::move(key));
  append_node(cell_id, static_cast<uint32_t>(key_owners_.size() - 1));
}

std::vector<uint32_t> VamanaIndex::seeds() const {
  std::vector<uint32_t> out;
  const size_t n = ids_.size();
  if (n == 0) return out;
  const size_t s = n < 100 ? 1 : std::min<size_t>(n / 100, 10);
  const size_t stride = n / s;
  out.push_back(entry_point_.value_or(0));
  for (size_t i = 1; i < s; ++i) out.push_back(static_cast<uint32_t>(i * stride));
  return out;
}

std::vector<std::pair<uint32_t, float>> VamanaIndex::beam_search(std::span<const float> query,
                                                                 size_t list_size) const {
  struct Candidate {
    uint32_t node;
    float score;
    bool expanded;
  };
  std::vector<std::pair<uint32_t, float>> out;
  if (ids_.empty()) return out;
  std::vector<uint8_t> visited(ids_.size(), 0);
  std::vector<Candidate> list;
  auto visit = [&](uint32_t node) {
    visited[node] = 1;
    list.push_back({node, prefix_dot(query, node_key(node)), false});
  };
  for (uint32_t seed : seeds()) {
    if (!visited[seed]) visit(seed);
  }
  for (;;) {
    // The highest unexpanded score; among equal scores the last in list order.
    std::optional<size_t> pick;
    for (size_t c = 0; c < list.size(); ++c) {
      if (list[c].expanded) continue;
      if (!pick || !(list[*pick].score > list[c].score)) pick = c;
    }
    if (!pick) break;
    list[*pick].expanded = true;
    const uint32_t node = list[*pick].node;
    for (uint32_t nb : neighbours(node)) {
      if (!visited[nb]) visit(nb);
    }
    std::stable_sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
      return score_rank_key(a.score) > score_rank_key(b.score);
    });
    if (list.size() > list_size) list.resize(list_size);
  }
  out.reserve(list.size());
  for (const Candidate& c : list) out.emplace_back(c.node, c.score);
  return out;
}

std::vector<ScoredCell> VamanaIndex::search(std::span<const float> query, uint64_t k,
                                            std::optional<OwnerId> /*owner*/) const {
  std::vector<ScoredCell> out;
  std::optional<KeyView> view = classify_key(query);
  // A malformed query is searched as the empty vector: every node scores zero.
  std::vector<float> pooled = view ? view->mean_pooled() : std::vector<float>{};
  if (ids_.empty()) return out;
  const uint64_t wider = std::max<uint64_t>(max_degree_, k);
  const uint64_t list_size = saturating_mul(2, wider);
  std::vector<std::pair<uint32_t, float>> found = beam_search(pooled, list_size);
  const size_t take = std::min<uint64_t>(k, found.size());
  out.reserve(take);
  for (size_t i = 0; i < take; ++i) out.push_back({ids_[found[i].first], 0, found[i].second});
  return out;
}

void VamanaIndex::insert(CellId cell_id, OwnerId /*owner*/, std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  // A key of another width is left out before anything is pooled or copied.
  if (!view || view->dim() != dim_) return;
  insert_node(cell_id, SharedKey(view->mean_pooled()));
}

void VamanaIndex::insert_shared(CellId cell_id, OwnerId /*owner*/, const SharedKey& key,
                                const SharedKey& pooled) {
  if (!classify_key(*key) || pooled->size() != dim_) return;
  insert_node(cell_id, pooled);
}

void VamanaIndex::remove(CellId /*cell_id*/) {}

std::vector<ScoredCell> VamanaIndex::search_excluding(std::span<const float> query, uint64_t k,
                                                      std::optional<OwnerId> owner,
                                                      const CellIdSet* /*exclude*/,
                                                      const KeyFetcher* /*fetcher*/) const {
  return search(query, k, owner);
}

uint64_t vamana_key_digest(std::span<const float> key) {
  // The values' little-endian bytes, 16 at a time: one 64 x 64 -> 128-bit product per piece, of
  // its two halves each mixed with a constant (the first also with the piece's place), the
  // products independent of one another so that a key digests at the pace of the multiplier;
  // the tail and the length, then a final mix.
  static_assert(std::endian::native == std::endian::little);
  constexpr uint64_t K0 = 0xA0761D6478BD642Full, K1 = 0xE7037ED1A0B428DBull;
  constexpr uint64_t K2 = 0x8EBC6AF09C88C6E3ull, MUL = 0x9E3779B97F4A7C15ull;
  const auto* p = reinterpret_cast<const uint8_t*>(key.data());
  const size_t n = key.size() * sizeof(float);
  auto mix = [](uint64_t a, uint64_t b) {
    const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
  };
  uint64_t h = mix(n ^ K0, K2);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint64_t a, b;
    std::memcpy(&a, p + i, 8);
    std::memcpy(&b, p + i + 8, 8);
    h ^= mix(a ^ (K0 + i), b ^ K1);
  }
  if (i < n) {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, p + i, std::min<size_t>(8, n - i));
    if (n - i > 8) std::memcpy(&b, p + i + 8, n - i - 8);
    h ^= mix(a ^ (K0 + i), b ^ K2);
  }
  h = mix(h ^ K1, MUL);
  return h ^ (h >> 29);
}

namespace {

Status write_header(const VamanaIndex& index, BufferedWriter& writer) {
  uint8_t header[VAMANA_HEADER_SIZE];
  const std::optional<uint32_t> entry = index.entry_point();
  std::memcpy(header + VAMANA_MAGIC_OFFSET, VAMANA_MAGIC, sizeof VAMANA_MAGIC);
  encode_u32(header + VAMANA_VERSION_OFFSET, VAMANA_VERSION);
  encode_u32(header + VAMANA_DIM_OFFSET, static_cast<uint32_t>(index.dim()));
  encode_u32(header + VAMANA_MAX_DEGREE_OFFSET, static_cast<uint32_t>(index.max_degree()));
  encode_u64(header + VAMANA_ENTRY_OFFSET, entry ? index.node_cell_id(*entry) : VAMANA_NO_ENTRY);
  encode_u64(header + VAMANA_NODE_COUNT_OFFSET, index.node_count());
  return writer.append(header, sizeof header);
}

// Node records are encoded into `chunk` and written a chunk at a time; a record larger than the
// chunk grows it.
Status write_node_records(const VamanaIndex& index, BufferedWriter& writer,
                          std::vector<uint8_t>& chunk) {
  size_t used = 0;
  for (size_t i = 0; i < index.node_count(); ++i) {
    std::span<const uint32_t> nb = index.neighbours(i);
    const size_t size = VAMANA_NODE_FIXED_SIZE + VAMANA_NEIGHBOUR_SIZE * nb.size();
    if (used + size > chunk.size()) {
      QM_RETURN_IF_ERROR(writer.append(chunk.data(), used));
      used = 0;
      if (size > chunk.size()) chunk.resize(size);
    }
    uint8_t* out = chunk.data() + used;
    encode_u64(out, index.node_cell_id(i));
    encode_u32(out + 8, static_cast<uint32_t>(nb.size()));
    out += VAMANA_NODE_FIXED_SIZE;
    for (uint32_t j : nb) {
      encode_u64(out, index.node_cell_id(j));
      out += VAMANA_NEIGHBOUR_SIZE;
    }
    used += size;
  }
  return writer.append(chunk.data(), used);
}

// The key check, node i's key being *owners[key_of[i]]: nodes that share a key share its digest.
Status write_key_check(std::span<const uint32_t> key_of, std::span<const SharedKey> owners,
                       BufferedWriter& writer, std::vector<uint8_t>& chunk) {
  uint8_t keys_header[VAMANA_KEYS_HEADER_SIZE];
  std::memcpy(keys_header, VAMANA_KEYS_MAGIC, sizeof VAMANA_KEYS_MAGIC);
  encode_u32(keys_header + 4, VAMANA_KEYS_VERSION);
  encode_u64(keys_header + 8, key_of.size());
  QM_RETURN_IF_ERROR(writer.append(keys_header, sizeof keys_header));
  size_t used = 0;
  uint32_t digest_owner = UINT32_MAX;
  uint64_t digest = 0;
  for (uint32_t owner : key_of) {
    if (owner != digest_owner) {
      digest_owner = owner;
      digest = vamana_key_digest(*owners[owner]);
    }
    if (used + VAMANA_KEY_DIGEST_SIZE > chunk.size()) {
      QM_RETURN_IF_ERROR(writer.append(chunk.data(), used));
      used = 0;
    }
    encode_u64(chunk.data() + used, digest);
    used += VAMANA_KEY_DIGEST_SIZE;
  }
  return writer.append(chunk.data(), used);
}

}  // namespace

Status VamanaIndex::save(const std::string& dir) const {
  // Written under a temporary name of this save's own and renamed over the old file once it is
  // on stable storage: a crash part way leaves the previous file (or none), never a torn one
  // that fails every later open, and saves of other handles never meet it.
  QM_ASSIGN_OR_RETURN(TempFile temp, TempFile::create(dir, VAMANA_FILE));
  const UniqueFd& fd = temp.fd();
  const std::string& path = temp.path();
  BufferedWriter writer(fd, path);
  QM_RETURN_IF_ERROR(write_header(*this, writer));
  // Records are encoded SAVE_CHUNK bytes at a time, and written a chunk at a time.
  std::vector<uint8_t> chunk(SAVE_CHUNK);
  QM_RETURN_IF_ERROR(write_node_records(*this, writer, chunk));
  QM_RETURN_IF_ERROR(write_key_check(key_of_, key_owners_, writer, chunk));
  QM_RETURN_IF_ERROR(writer.flush());
  QM_RETURN_IF_ERROR(full_sync(fd, path));
  return temp.commit();
}

void VamanaIndex::remove_stale_temps(const std::string& dir) {
  quellmar::remove_stale_temps(dir, VAMANA_FILE);
  remove_if_stale(join_path(dir, LEGACY_VAMANA_TMP_FILE));
}

namespace {

// The window vamana.idx is read through.
constexpr size_t LOAD_WINDOW = 1 << 20;

// What the header holds beside its magic and version.
struct SavedHeader {
  uint32_t dim = 0;
  uint32_t max_degree = 0;
  uint64_t entry_id = VAMANA_NO_ENTRY;
  uint64_t count = 0;
};

// The header, field by field: the magic and the version are checked as soon as they are read.
Result<SavedHeader> read_header(FileCursor& in) {
  QM_ASSIGN_OR_RETURN(const uint8_t* magic, in.take(sizeof VAMANA_MAGIC));
  if (std::memcmp(magic, VAMANA_MAGIC, sizeof VAMANA_MAGIC) != 0) {
    return EngineError::io(IoError::invalid_data("bad vamana magic"));
  }
  QM_ASSIGN_OR_RETURN(const uint32_t version, in.u32());
  if (version != VAMANA_VERSION) {
    return EngineError::io(IoError::invalid_data("unsupported vamana version"));
  }
  SavedHeader header;
  QM_ASSIGN_OR_RETURN(header.dim, in.u32());
  QM_ASSIGN_OR_RETURN(header.max_degree, in.u32());
  QM_ASSIGN_OR_RETURN(header.entry_id, in.u64());
  QM_ASSIGN_OR_RETURN(header.count, in.u64());
  return header;
}

// The fixed part of a node record. Its neighbour list comes next, and the file is known to hold
// it.
struct SavedNodeHead {
  CellId id = 0;
  uint32_t neighbours = 0;
};

Result<SavedNodeHead> read_node_head(FileCursor& in) {
  QM_ASSIGN_OR_RETURN(const uint8_t* head, in.take(VAMANA_NODE_FIXED_SIZE));
  const SavedNodeHead node{decode_u64(head), decode_u32(head + 8)};
  if (in.remaining() / VAMANA_NEIGHBOUR_SIZE < node.neighbours) {
    return EngineError::io(IoError::unexpected_eof());
  }
  return node;
}

}  // namespace

// The steps of VamanaIndex::load over one file: the header, the node records, their neighbour
// ids made node numbers, the key check. Every count is checked against the bytes the file holds
// before anything is sized from it.
class VamanaLoader {
 public:
  VamanaLoader(FileCursor& in, VamanaKeyLookup keys) : in_(in), keys_(keys) {}

  Result<VamanaIndex> load() {
    QM_ASSIGN_OR_RETURN(const SavedHeader header, read_header(in_));
    VamanaIndex index(header.dim, header.max_degree, VAMANA_ALPHA);
    QM_RETURN_IF_ERROR(read_nodes(index, header));
    give_missing_keys(index, header.dim);
    QM_RETURN_IF_ERROR(translate_lists(index));
    if (header.entry_id != VAMANA_NO_ENTRY) {
      if (auto node = node_number(index, header.entry_id)) index.entry_point_ = *node;
    }
    index.key_check_ = check_keys(index);
    return index;
  }

 private:
  // Nodes first, with their neighbour cell ids as they are stored, narrowed to 32 bits while
  // every one fits; the ids are translated to node numbers once every node is known
  // (translate_lists).
  Status read_nodes(VamanaIndex& index, const SavedHeader& header) {
    const uint64_t fits = std::min(header.count, in_.remaining() / VAMANA_NODE_FIXED_SIZE);
    index.ids_.reserve(fits);
    index.key_of_.reserve(fits);
    index.adj_start_.reserve(fits + 1);
    neighbour_at_.reserve(fits);
    index.adjacency_.reserve(
        std::min<uint64_t>(fits * header.max_degree, in_.remaining() / VAMANA_NEIGHBOUR_SIZE));
    for (uint64_t i = 0; i < header.count; ++i) {
      QM_ASSIGN_OR_RETURN(const SavedNodeHead node, read_node_head(in_));
      neighbour_at_.push_back(in_.position());
      QM_ASSIGN_OR_RETURN(const uint8_t* ids,
                          in_.take(size_t{node.neighbours} * VAMANA_NEIGHBOUR_SIZE));
      if (index.ids_.size() >= UINT32_MAX) {
        return EngineError::io(IoError::invalid_data("too many vamana nodes"));
      }
      add_node(index, node.id);
      index.adj_start_[index.ids_.size() - 1] = neighbour_total_;
      if (i == 0) shift_ = static_cast<uint32_t>(node.id);
      if (narrow_) add_narrow_list(index, ids, node.neighbours);
      neighbour_total_ += node.neighbours;
    }
    nodes_end_ = in_.position();
    return Status::ok();
  }

  // Appends the node with the key the caller has for its id. Consecutive nodes of one key (or
  // of none) share one owner; a node without a key gets a null placeholder (give_missing_keys).
  void add_node(VamanaIndex& index, CellId id) {
    const SharedKey* found = keys_(id);
    if (found != nullptr) {
      longest_key_ = std::max(longest_key_, (*found)->size());
    } else {
      missing_keys_ = true;
    }
    const bool same_key =
        !index.key_owners_.empty() &&
        (found != nullptr ? index.key_owners_.back() == *found : !index.key_owners_.back());
    if (!same_key) {
      index.key_owners_.push_back(found != nullptr ? *found : SharedKey());
      owner_found_.push_back(found != nullptr);
    }
    index.append_node(id, static_cast<uint32_t>(index.key_owners_.size() - 1));
  }

  // Appends a node's `n` stored neighbour ids at `ids`, narrowed, or notes that one of them does
  // not fit 32 bits: the lists are then read again from the file (reread_wide_lists).
  void add_narrow_list(VamanaIndex& index, const uint8_t* ids, uint32_t n) {
    const size_t at = index.adjacency_.size();
    index.adjacency_.resize(at + n);
    uint32_t* out = index.adjacency_.data() + at;
    // The low halves' bounds and the high halves' union: every id of the list is narrow (below
    // UINT32_MAX) exactly when no high half is set and no low half is UINT32_MAX, and then the
    // low halves' bounds are the ids'.
    uint32_t high = 0, low_min = UINT32_MAX, low_max = 0;
    for (uint32_t j = 0; j < n; ++j) {
      const uint64_t nb = decode_u64(ids + VAMANA_NEIGHBOUR_SIZE * j);
      const uint32_t low = static_cast<uint32_t>(nb);
      high |= static_cast<uint32_t>(nb >> 32);
      low_min = std::min(low_min, low);
      low_max = std::max(low_max, low);
      out[j] = low - shift_;
    }
    if (high != 0 || low_max == UINT32_MAX) {
      narrow_ = false;
    } else if (n > 0) {
      lowest_ = std::min<uint64_t>(lowest_, low_min);
      highest_ = std::max<uint64_t>(highest_, low_max);
    }
  }

  // A node without a key gets zeros. Scores are taken over the common prefix, so zeros beyond
  // the longest key the caller has change no score: a damaged `dim` must not size them.
  void give_missing_keys(VamanaIndex& index, uint32_t dim) const {
    if (!missing_keys_) return;
    const SharedKey zeros(
        std::vector<float>(static_cast<size_t>(std::min<uint64_t>(dim, longest_key_)), 0.0f));
    for (SharedKey& owner : index.key_owners_) {
      if (!owner) owner = zeros;
    }
  }

  // The translation of cell ids to node numbers: the node ids of an engine's file ascend,
  // usually without gaps, so a table over their range (or a binary search) stands in for the
  // hash map.
  void number_nodes(const VamanaIndex& index) {
    const size_t n_nodes = index.ids_.size();
    if (index.ids_ascending_ && n_nodes > 0 &&
        index.ids_.back() - index.ids_.front() < 4 * uint64_t{n_nodes} + 1024) {
      base_ = index.ids_.front();
      // Strictly ascending ids without gaps (the usual case) need no table: node i is base + i.
      contiguous_ = index.ids_.back() - base_ + 1 == n_nodes;
      if (!contiguous_) {
        table_.assign(index.ids_.back() - base_ + 1, UINT32_MAX);
        for (size_t i = 0; i < n_nodes; ++i) {
          table_[index.ids_[i] - base_] = static_cast<uint32_t>(i);
        }
      }
    }
  }

  std::optional<uint32_t> node_number(const VamanaIndex& index, CellId id) const {
    if (contiguous_) {
      if (id < base_ || id - base_ >= index.ids_.size()) return std::nullopt;
      return static_cast<uint32_t>(id - base_);
    }
    if (!table_.empty()) {
      if (id < base_ || id - base_ >= table_.size() || table_[id - base_] == UINT32_MAX) {
        return std::nullopt;
      }
      return table_[id - base_];
    }
    return index.node_of(id);
  }

  // Node i's stored ids are [stored_start(i), stored_start(i + 1)) of what the file holds.
  uint64_t stored_start(const VamanaIndex& index, size_t i) const {
    return i < index.ids_.size() ? index.adj_start_[i] : neighbour_total_;
  }

  // The neighbour lists as node numbers. Ids without a node are dropped.
  Status translate_lists(VamanaIndex& index) {
    number_nodes(index);
    const size_t n_nodes = index.ids_.size();
    // When every stored neighbour names a node of contiguous ids (base being the first node's
    // id), the narrowed lists are final already.
    const bool final_lists =
        narrow_ && contiguous_ &&
        (neighbour_total_ == 0 || (lowest_ >= base_ && highest_ - base_ < n_nodes));
    if (narrow_ && !final_lists) {
      renumber_narrow_lists(index);
    } else if (!narrow_) {
      QM_RETURN_IF_ERROR(reread_wide_lists(index));
    }
    index.adj_start_[n_nodes] = index.adjacency_.size();
    return Status::ok();
  }

  // The narrowed ids made node numbers, the lists packed to the front in place.
  void renumber_narrow_lists(VamanaIndex& index) const {
    uint64_t out = 0;
    uint64_t from = 0;
    for (size_t i = 0; i < index.ids_.size(); ++i) {
      const uint64_t to = stored_start(index, i + 1);
      index.adj_start_[i] = out;
      for (; from < to; ++from) {
        const CellId id = static_cast<uint32_t>(index.adjacency_[from] + shift_);
        if (auto node = node_number(index, id)) index.adjacency_[out++] = *node;
      }
    }
    index.adjacency_.resize(out);
  }

  // A file with an id wider than 32 bits is read a second time for the lists, from where each
  // node's list sits.
  Status reread_wide_lists(VamanaIndex& index) {
    index.adjacency_.clear();
    index.adjacency_.reserve(neighbour_total_);
    for (size_t i = 0; i < index.ids_.size(); ++i) {
      const uint64_t n = stored_start(index, i + 1) - index.adj_start_[i];
      index.adj_start_[i] = index.adjacency_.size();
      QM_RETURN_IF_ERROR(in_.seek(neighbour_at_[i]));
      QM_ASSIGN_OR_RETURN(const uint8_t* p,
                          in_.take(static_cast<size_t>(n * VAMANA_NEIGHBOUR_SIZE)));
      for (uint64_t j = 0; j < n; ++j) {
        if (auto node = node_number(index, decode_u64(p + VAMANA_NEIGHBOUR_SIZE * j))) {
          index.adjacency_.push_back(*node);
        }
      }
    }
    return Status::ok();
  }

  // The key check behind the node records. One that is missing, of another version or another
  // node count, or cut short, is no check: the graph is then not known to fit the keys.
  VamanaIndex::KeyCheck check_keys(const VamanaIndex& index) {
    using KeyCheck = VamanaIndex::KeyCheck;
    const size_t n_nodes = index.ids_.size();
    if (!in_.seek(nodes_end_).is_ok()) return KeyCheck::Unchecked;
    auto header = in_.take(VAMANA_KEYS_HEADER_SIZE);
    if (!header.is_ok() ||
        std::memcmp(*header, VAMANA_KEYS_MAGIC, sizeof VAMANA_KEYS_MAGIC) != 0 ||
        decode_u32(*header + 4) != VAMANA_KEYS_VERSION || decode_u64(*header + 8) != n_nodes ||
        in_.remaining() / VAMANA_KEY_DIGEST_SIZE < n_nodes) {
      return KeyCheck::Unchecked;
    }
    uint32_t digest_owner = UINT32_MAX;
    uint64_t digest = 0;
    constexpr size_t BLOCK = 4096;
    for (size_t first = 0; first < n_nodes; first += BLOCK) {
      const size_t n = std::min(BLOCK, n_nodes - first);
      auto stored = in_.take(n * VAMANA_KEY_DIGEST_SIZE);
      if (!stored.is_ok()) return KeyCheck::Unchecked;
      for (size_t j = 0; j < n; ++j) {
        const uint32_t owner = index.key_of_[first + j];
        if (!owner_found_[owner]) continue;  // a node whose cell is gone: no key to hold it to
        if (owner != digest_owner) {
          digest_owner = owner;
          digest = vamana_key_digest(*index.key_owners_[owner]);
        }
        if (decode_u64(*stored + VAMANA_KEY_DIGEST_SIZE * j) != digest) {
          return KeyCheck::Mismatched;
        }
      }
    }
    return KeyCheck::Matched;
  }

  FileCursor& in_;
  VamanaKeyLookup keys_;
  // The node walk.
  std::vector<uint64_t> neighbour_at_;  // where each node's stored list sits in the file
  uint64_t neighbour_total_ = 0;
  uint64_t nodes_end_ = 0;
  // Per key owner: whether the caller gave that key (the key check skips the others).
  std::vector<uint8_t> owner_found_;
  size_t longest_key_ = 0;
  bool missing_keys_ = false;
  // Whether every neighbour id read so far fits 32 bits. Narrow ids are kept less the first
  // node's id (mod 2^32): when the node ids run without gaps from there, that is already the
  // node number.
  bool narrow_ = true;
  uint32_t shift_ = 0;
  uint64_t lowest_ = UINT64_MAX, highest_ = 0;  // of the narrow neighbour ids
  // The numbering (number_nodes).
  CellId base_ = 0;
  bool contiguous_ = false;
  std::vector<uint32_t> table_;
};

Result<std::optional<VamanaIndex>> VamanaIndex::load(
    const std::string& dir, const std::unordered_map<CellId, std::vector<float>>& keys) {
  std::unordered_map<CellId, SharedKey> shared;
  shared.reserve(keys.size());
  for (const auto& [id, key] : keys) shared.emplace(id, SharedKey(key));
  auto lookup = [&](CellId id) -> const SharedKey* {
    auto it = shared.find(id);
    return it == shared.end() ? nullptr : &it->second;
  };
  return load(dir, lookup);
}

Result<std::optional<VamanaIndex>> VamanaIndex::load(const std::string& dir, VamanaKeyLookup keys) {
  const std::string path = str_cat(dir, "/", VAMANA_FILE);
  if (!path_exists(path)) return std::optional<VamanaIndex>();
  QM_ASSIGN_OR_RETURN(FileCursor in, FileCursor::open(path, LOAD_WINDOW));
  QM_ASSIGN_OR_RETURN(VamanaIndex index, VamanaLoader(in, keys).load());
  return std::optional<VamanaIndex>(std::move(index));
}

Result<std::optional<CellId>> VamanaIndex::highest_saved_id(const std::string& dir, CellId below) {
  const std::string path = join_path(dir, VAMANA_FILE);
  if (!path_exists(path)) return std::optional<CellId>();
  QM_ASSIGN_OR_RETURN(FileCursor in, FileCursor::open(path, LOAD_WINDOW));
  // A header cut short is the short read here, whatever the bytes it holds say.
  if (in.size() < VAMANA_HEADER_SIZE) return EngineError::io(IoError::unexpected_eof());
  QM_ASSIGN_OR_RETURN(const SavedHeader header, read_header(in));
  std::optional<CellId> highest;
  for (uint64_t i = 0; i < header.count; ++i) {
    QM_ASSIGN_OR_RETURN(const SavedNodeHead node, read_node_head(in));
    QM_RETURN_IF_ERROR(in.seek(in.position() + uint64_t{node.neighbours} * VAMANA_NEIGHBOUR_SIZE));
    if (node.id < below) highest = highest ? std::max(*highest, node.id) : node.id;
  }
  return highest;
}

}  // namespace quellmar
