#pragma once

// text_store.bin: no header; records back to back from offset 0, little-endian:
//   u64 pack id, u32 text length L, L bytes of UTF-8 text.
// A later record of a pack supersedes an earlier one. A record with a damaged length costs that
// record alone: the load finds the records behind it by their bytes (text_store.cc says how).
// The file only grows, but for the repair of such damage: the first append after it writes the
// file afresh with the records that read, keeping the damaged file whole beside it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "quellmar/core/async_sync.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

class TextStore {
 public:
  static constexpr uint64_t RECORD_HEADER = 12;

  // Loads every text of the file (an empty store when there is none).
  static Result<TextStore> open(const std::string& dir);

  // Stores the texts durably with one device flush, then puts them in memory; a later text of a
  // pack wins, also within one batch. Texts of 4 GiB or more are refused before anything is
  // written.
  Status append_batch(std::span<const std::pair<PackId, std::string>> texts);

  // append_batch in three steps, so that the caller can work while the device flushes and show
  // the texts only when it is ready: start_append writes them and starts the flush (nothing when
  // there are none), finish_append waits for it (a failed flush is cut back off the file, and
  // what cannot be cut back is cut before the next append), and publish puts them in memory. Until
  // finish_append succeeds, nothing is durable. stage makes the entries ready beforehand (while the
  // flush runs), so that publish only links them in.
  using Staged = std::unordered_map<PackId, std::string>;
  Result<std::optional<PendingAppend>> start_append(
      std::span<const std::pair<PackId, std::string>> texts);
  Status finish_append(std::optional<PendingAppend>& pending);
  static Staged stage(std::vector<std::pair<PackId, std::string>> texts);
  void publish(Staged staged);
  // Room for n texts in memory without a rehash.
  void reserve(size_t n) { texts_.reserve(n); }
  // Reads the file again and replaces the texts in memory. A torn final record (one still being
  // written by another handle, or one a crash cut short) is left as it is: the next append of
  // this handle cuts what still does not read then. Damaged records elsewhere stay too.
  Status reload();

  const std::string* find(PackId pack) const;
  // Forgets a pack's text in memory (the file keeps it).
  void erase(PackId pack) { texts_.erase(pack); }
  const std::unordered_map<PackId, std::string>& texts() const { return texts_; }
  const std::string& path() const { return path_; }

 private:
  TextStore(std::string dir, std::string path) : dir_(std::move(dir)), path_(std::move(path)) {}
  // Before an append: cuts off the bytes of a failed append and the torn final record the last
  // read left, or writes the file afresh when it holds damage.
  Status repair_tail();

  std::string dir_;
  std::string path_;
  std::unordered_map<PackId, std::string> texts_;
  // What the next append cuts first: a failed append's bytes, and what the last read found
  // behind the readable records.
  FileTail tail_;
  // Whether the last read found damage (anything but a torn final record that does not read).
  bool damaged_ = false;
};

}  // namespace quellmar
