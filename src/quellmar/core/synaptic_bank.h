#pragma once

// synaptic.qmr: no header; records back to back from offset 0, little-endian, packed:
//    0 u32 B = 38 + 2 * (number of lora_a values + number of lora_b values)
//    4 u64 id      12 u64 owner     20 u32 rank     24 u32 d_model
//   28 u16 scale (binary16)         30 u64 last_used 38 f32 quality
//   42 lora_a values, then lora_b values (binary16 each)

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

struct SynapticEntry {
  uint64_t id = 0;
  OwnerId owner = 0;
  uint32_t rank = 0;
  uint32_t d_model = 0;
  uint16_t scale = 0;  // binary16 bits
  uint64_t last_used = 0;
  float quality = 0.0f;
  std::vector<uint16_t> lora_a;  // rank * d_model binary16 values
  std::vector<uint16_t> lora_b;
};

// LoRA adapter entries per owner in one append-only file, with an in-memory index of where each
// record starts. Holds no file open between calls; not thread-safe (the engine lock guards it).
class SynapticBank {
 public:
  static constexpr uint64_t FIXED_BODY = 38;
  static constexpr uint64_t RECORD_HEADER = 42;

  struct IndexEntry {
    uint64_t id;
    OwnerId owner;
    uint64_t offset;
  };

  // Creates the directory and the (possibly empty) file, and indexes every whole record: one
  // whose length agrees with its shape (B = 38 + 4 * rank * d_model). A damaged record is left
  // out and the walk finds the next whole one by its bytes; a torn final record (or what the open
  // cannot tell from one) is left as it is, for the next append to cut.
  static Result<SynapticBank> open(const std::string& dir);

  // Stores the entry durably, then indexes it. First the bytes of a failed append and a torn
  // final record the open found are cut off (kept in a file of their own), or, when the open
  // found damage, the file is written afresh with its whole records (the damaged file kept whole
  // beside it) and the index follows.
  Status append(const SynapticEntry& entry);
  // The owner's entries in storing order. When the file is no longer the one the index was built
  // from (another handle wrote it afresh to repair damage), it is indexed again first.
  Result<std::vector<SynapticEntry>> load_for_owner(OwnerId owner);

  const std::vector<IndexEntry>& index() const { return index_; }

 private:
  SynapticBank(std::string dir, std::string path) : dir_(std::move(dir)), path_(std::move(path)) {}
  // Before an append: cuts off the bytes of a failed append and a torn final record, or writes
  // the file afresh when the open found damage.
  Status repair();
  // Indexes the whole file open as `fd` (`size` bytes) afresh, noting what the next append must
  // repair. A read failure keeps what was indexed before it and is returned.
  Status index_file(const UniqueFd& fd, uint64_t size);
  // Indexes the file open as `fd` again when it is another file than the one indexed.
  Status follow(const UniqueFd& fd, uint64_t size);

  std::string dir_;
  std::string path_;
  std::vector<IndexEntry> index_;
  // What the next append cuts first: a failed append's bytes, and what the open found behind the
  // whole records.
  FileTail tail_;
  // Whether the open found damage (bytes between whole records that do not read).
  bool damaged_ = false;
  // The file the index was built from.
  FileIdentity indexed_;
};

}  // namespace quellmar
