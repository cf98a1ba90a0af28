#include "quellmar/index/vamana_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
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

// Reads fixed-width fields front to back through one reused window, so a large file is neither
// held whole nor copied into fresh memory; running past the end is the short-read error. A
// pointer from take stays valid until the next call.
class Reader {
 public:
  static constexpr size_t WINDOW = 1 << 20;
  Reader(const UniqueFd& fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t remaining() const { return size_ - pos_; }
  uint64_t position() const { return pos_; }
  Status seek(uint64_t pos) {
    if (pos > size_) return EngineError::io(IoError::unexpected_eof());
    pos_ = pos;
    return Status::ok();
  }
  Status take(size_t n, const uint8_t** out) {
    if (pos_ >= start_ && pos_ + n <= start_ + len_) {  // in the window, so in the file
      *out = buf_.data() + (pos_ - start_);
      pos_ += n;
      return Status::ok();
    }
    return refill_and_take(n, out);
  }
  Result<uint32_t> u32() {
    const uint8_t* p = nullptr;
    QM_RETURN_IF_ERROR(take(4, &p));
    return decode_u32(p);
  }
  Result<uint64_t> u64() {
    const uint8_t* p = nullptr;
    QM_RETURN_IF_ERROR(take(8, &p));
    return decode_u64(p);
  }

 private:
  Status refill_and_take(size_t n, const uint8_t** out) {
    if (remaining() < n) return EngineError::io(IoError::unexpected_eof());
    if (pos_ < start_ || pos_ + n > start_ + len_) {
      // n is bounded by the bytes left in the file, checked above.
      if (buf_.size() < std::max(WINDOW, n)) buf_.resize(std::max(WINDOW, n));
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), size_ - pos_));
      size_t got = 0;
      while (got < want) {
        QM_ASSIGN_OR_RETURN(size_t k, pread_some(fd_, buf_.data() + got, want - got, pos_ + got));
        if (k == 0) break;
        got += k;
      }
      start_ = pos_;
      len_ = got;
      if (got < n) return EngineError::io(IoError::unexpected_eof());
    }
    *out = buf_.data() + (pos_ - start_);
    pos_ += n;
    return Status::ok();
  }

  const UniqueFd& fd_;
  uint64_t size_;
  uint64_t pos_ = 0;
  uint64_t start_ = 0;
  uint64_t len_ = 0;
  std::vector<uint8_t> buf_;
};

}  // namespace

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
  // Every count below is checked against the bytes the file holds before anything is sized
  // from it.
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  QM_ASSIGN_OR_RETURN(uint64_t file_size, fd_size(fd));
  Reader in(fd, file_size);
  const uint8_t* magic = nullptr;
  QM_RETURN_IF_ERROR(in.take(sizeof VAMANA_MAGIC, &magic));
  if (std::memcmp(magic, VAMANA_MAGIC, sizeof VAMANA_MAGIC) != 0) {
    return EngineError::io(IoError::invalid_data("bad vamana magic"));
  }
  QM_ASSIGN_OR_RETURN(uint32_t version, in.u32());
  if (version != VAMANA_VERSION) {
    return EngineError::io(IoError::invalid_data("unsupported vamana version"));
  }
  QM_ASSIGN_OR_RETURN(uint32_t dim, in.u32());
  QM_ASSIGN_OR_RETURN(uint32_t max_degree, in.u32());
  QM_ASSIGN_OR_RETURN(uint64_t entry_id, in.u64());
  QM_ASSIGN_OR_RETURN(uint64_t count, in.u64());

  // A node without a key gets zeros. Scores are taken over the common prefix, so zeros beyond
  // the longest key the caller has change no score: a damaged `dim` must not size them. They
  // are made once every node is read, in place of the null placeholders below.
  size_t longest_key = 0;
  bool missing_keys = false;
  // Per key owner: whether the caller gave that key (the key check skips the others).
  std::vector<uint8_t> owner_found;

  VamanaIndex index(dim, max_degree, VAMANA_ALPHA);
  // Nodes first, with their neighbour cell ids as they are stored, narrowed to 32 bits while
  // every one fits; the ids are translated to node numbers once every node is known. A file with
  // a wider id is read a second time for them, from where each node's list sits.
  std::vector<uint64_t> neighbour_at;
  uint64_t neighbour_total = 0;
  bool narrow = true;
  uint64_t lowest = UINT64_MAX, highest = 0;  // of the narrow neighbour ids
  // Narrow ids are kept less the first node's id (mod 2^32): when the node ids run without gaps
  // from there, that is already the node index.
  uint32_t shift = 0;
  const uint64_t fits = std::min(count, in.remaining() / VAMANA_NODE_FIXED_SIZE);
  index.ids_.reserve(fits);
  index.key_of_.reserve(fits);
  index.adj_start_.reserve(fits + 1);
  neighbour_at.reserve(fits);
  index.adjacency_.reserve(
      std::min<uint64_t>(fits * max_degree, in.remaining() / VAMANA_NEIGHBOUR_SIZE));
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* head = nullptr;
    QM_RETURN_IF_ERROR(in.take(VAMANA_NODE_FIXED_SIZE, &head));
    const uint64_t id = decode_u64(head);
    const uint32_t n = decode_u32(head + 8);
    const uint8_t* ids = nullptr;
    if (in.remaining() / VAMANA_NEIGHBOUR_SIZE < n) {
      return EngineError::io(IoError::unexpected_eof());
    }
    neighbour_at.push_back(in.position());
    QM_RETURN_IF_ERROR(in.take(size_t{n} * VAMANA_NEIGHBOUR_SIZE, &ids));
    if (index.ids_.size() >= UINT32_MAX) {
      return EngineError::io(IoError::invalid_data("too many vamana nodes"));
    }
    const SharedKey* found = keys(id);
    if (found != nullptr) {
      longest_key = std::max(longest_key, (*found)->size());
    } else {
      missing_keys = true;
    }
    // Consecutive nodes of one key (or of none) share one owner.
    const bool same_key =
        !index.key_owners_.empty() &&
        (found != nullptr ? index.key_owners_.back() == *found : !index.key_owners_.back());
    if (!same_key) {
      index.key_owners_.push_back(found != nullptr ? *found : SharedKey());
      owner_found.push_back(found != nullptr);
    }
    index.append_node(id, static_cast<uint32_t>(index.key_owners_.size() - 1));
    index.adj_start_[index.ids_.size() - 1] = neighbour_total;
    if (i == 0) shift = static_cast<uint32_t>(id);
    if (narrow) {
      const size_t at = index.adjacency_.size();
      index.adjacency_.resize(at + n);
      uint32_t* out = index.adjacency_.data() + at;
      // The low halves' bounds and the high halves' union: every id of the list is narrow
      // (below UINT32_MAX) exactly when no high half is set and no low half is UINT32_MAX, and
      // then the low halves' bounds are the ids'.
      uint32_t high = 0, low_min = UINT32_MAX, low_max = 0;
      for (uint32_t j = 0; j < n; ++j) {
        const uint64_t nb = decode_u64(ids + VAMANA_NEIGHBOUR_SIZE * j);
        const uint32_t low = static_cast<uint32_t>(nb);
        high |= static_cast<uint32_t>(nb >> 32);
        low_min = std::min(low_min, low);
        low_max = std::max(low_max, low);
        out[j] = low - shift;
      }
      if (high != 0 || low_max == UINT32_MAX) {
        narrow = false;
      } else if (n > 0) {
        lowest = std::min<uint64_t>(lowest, low_min);
        highest = std::max<uint64_t>(highest, low_max);
      }
    }
    neighbour_total += n;
  }
  const uint64_t nodes_end = in.position();
  if (missing_keys) {
    const SharedKey zeros(
        std::vector<float>(static_cast<size_t>(std::min<uint64_t>(dim, longest_key)), 0.0f));
    for (SharedKey& owner : index.key_owners_) {
      if (!owner) owner = zeros;
    }
  }
  // Translation: the node ids of an engine's file ascend, usually without gaps, so a table over
  // their range (or a binary search) stands in for the hash map.
  const size_t n_nodes = index.ids_.size();
  std::vector<uint32_t> table;
  CellId base = 0;
  bool contiguous = false;
  if (index.ids_ascending_ && n_nodes > 0 &&
      index.ids_.back() - index.ids_.front() < 4 * uint64_t{n_nodes} + 1024) {
    base = index.ids_.front();
    // Strictly ascending ids without gaps (the usual case) need no table: node i is base + i.
    contiguous = index.ids_.back() - base + 1 == n_nodes;
    if (!contiguous) {
      table.assign(index.ids_.back() - base + 1, UINT32_MAX);
      for (size_t i = 0; i < n_nodes; ++i) table[index.ids_[i] - base] = static_cast<uint32_t>(i);
    }
  }
  auto translate = [&](CellId id) -> std::optional<uint32_t> {
    if (contiguous) {
      if (id < base || id - base >= n_nodes) return std::nullopt;
      return static_cast<uint32_t>(id - base);
    }
    if (!table.empty()) {
      if (id < base || id - base >= table.size() || table[id - base] == UINT32_MAX) {
        return std::nullopt;
      }
      return table[id - base];
    }
    return index.node_of(id);
  };
  // Node i's stored ids are [stored(i), stored(i + 1)); ids without a node are dropped, so the
  // translated lists are packed to the front in place.
  auto stored = [&](size_t i) {
    return i + 1 < n_nodes ? index.adj_start_[i + 1] : neighbour_total;
  };
  // When every stored neighbour names a node of contiguous ids (base being the first node's id),
  // the narrowed lists are final already.
  const bool final_lists = narrow && contiguous &&
                           (neighbour_total == 0 || (lowest >= base && highest - base < n_nodes));
  if (narrow && !final_lists) {
    uint64_t out = 0;
    uint64_t from = 0;
    for (size_t i = 0; i < n_nodes; ++i) {
      const uint64_t to = stored(i);
      index.adj_start_[i] = out;
      for (; from < to; ++from) {
        const CellId id = static_cast<uint32_t>(index.adjacency_[from] + shift);
        if (auto node = translate(id)) index.adjacency_[out++] = *node;
      }
    }
    index.adjacency_.resize(out);
  } else if (!narrow) {
    index.adjacency_.clear();
    index.adjacency_.reserve(neighbour_total);
    for (size_t i = 0; i < n_nodes; ++i) {
      const uint64_t n = stored(i) - index.adj_start_[i];
      index.adj_start_[i] = index.adjacency_.size();
      const uint8_t* p = nullptr;
      QM_RETURN_IF_ERROR(in.seek(neighbour_at[i]));
      QM_RETURN_IF_ERROR(in.take(static_cast<size_t>(n * VAMANA_NEIGHBOUR_SIZE), &p));
      for (uint64_t j = 0; j < n; ++j) {
        if (auto node = translate(decode_u64(p + VAMANA_NEIGHBOUR_SIZE * j))) {
          index.adjacency_.push_back(*node);
        }
      }
    }
  }
  index.adj_start_[n_nodes] = index.adjacency_.size();
  if (entry_id != VAMANA_NO_ENTRY) {
    if (auto node = translate(entry_id)) index.entry_point_ = *node;
  }
  // The key check. One that is missing, of another version or another node count, or cut short,
  // is no check: the graph is then not known to fit the keys.
  // It is read with reads of its own, in blocks: the node walk above keeps the window to itself.
  auto check_keys = [&]() -> KeyCheck {
    uint8_t header[VAMANA_KEYS_HEADER_SIZE];
    if (file_size - nodes_end < VAMANA_KEYS_HEADER_SIZE ||
        !pread_exact(fd, header, sizeof header, nodes_end).is_ok() ||
        std::memcmp(header, VAMANA_KEYS_MAGIC, sizeof VAMANA_KEYS_MAGIC) != 0 ||
        decode_u32(header + 4) != VAMANA_KEYS_VERSION || decode_u64(header + 8) != n_nodes ||
        (file_size - nodes_end - VAMANA_KEYS_HEADER_SIZE) / VAMANA_KEY_DIGEST_SIZE < n_nodes) {
      return KeyCheck::Unchecked;
    }
    uint32_t digest_owner = UINT32_MAX;
    uint64_t digest = 0;
    constexpr size_t BLOCK = 4096;
    std::vector<uint8_t> block(std::min<size_t>(BLOCK, n_nodes) * VAMANA_KEY_DIGEST_SIZE);
    for (size_t first = 0; first < n_nodes; first += BLOCK) {
      const size_t n = std::min(BLOCK, n_nodes - first);
      const uint8_t* stored = block.data();
      if (!pread_exact(fd, block.data(), n * VAMANA_KEY_DIGEST_SIZE,
                       nodes_end + VAMANA_KEYS_HEADER_SIZE + first * VAMANA_KEY_DIGEST_SIZE)
               .is_ok()) {
        return KeyCheck::Unchecked;
      }
      for (size_t j = 0; j < n; ++j) {
        const uint32_t owner = index.key_of_[first + j];
        if (!owner_found[owner]) continue;  // a node whose cell is gone: no key to hold it to
        if (owner != digest_owner) {
          digest_owner = owner;
          digest = vamana_key_digest(*index.key_owners_[owner]);
        }
        if (decode_u64(stored + VAMANA_KEY_DIGEST_SIZE * j) != digest) {
          return KeyCheck::Mismatched;
        }
      }
    }
    return KeyCheck::Matched;
  };
  index.key_check_ = check_keys();
  return std::optional<VamanaIndex>(std::move(index));
}

Result<std::optional<CellId>> VamanaIndex::highest_saved_id(const std::string& dir, CellId below) {
  const std::string path = join_path(dir, VAMANA_FILE);
  if (!path_exists(path)) return std::optional<CellId>();
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  QM_ASSIGN_OR_RETURN(uint64_t file_size, fd_size(fd));
  Reader in(fd, file_size);
  const uint8_t* header = nullptr;
  QM_RETURN_IF_ERROR(in.take(VAMANA_HEADER_SIZE, &header));
  if (std::memcmp(header, VAMANA_MAGIC, sizeof VAMANA_MAGIC) != 0) {
    return EngineError::io(IoError::invalid_data("bad vamana magic"));
  }
  if (decode_u32(header + VAMANA_VERSION_OFFSET) != VAMANA_VERSION) {
    return EngineError::io(IoError::invalid_data("unsupported vamana version"));
  }
  const uint64_t count = decode_u64(header + VAMANA_NODE_COUNT_OFFSET);
  std::optional<CellId> highest;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* node = nullptr;
    QM_RETURN_IF_ERROR(in.take(VAMANA_NODE_FIXED_SIZE, &node));
    const CellId id = decode_u64(node);
    const uint32_t n = decode_u32(node + 8);
    if (in.remaining() / VAMANA_NEIGHBOUR_SIZE < n) {
      return EngineError::io(IoError::unexpected_eof());
    }
    QM_RETURN_IF_ERROR(in.seek(in.position() + uint64_t{n} * VAMANA_NEIGHBOUR_SIZE));
    if (id < below) highest = highest ? std::max(*highest, id) : id;
  }
  return highest;
}

}  // namespace quellmar
