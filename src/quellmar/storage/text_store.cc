#include "quellmar/storage/text_store.h"

#include <optional>
#include <string_view>
#include <vector>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/core/temp_file.h"
#include "quellmar/core/utf8.h"

namespace quellmar {

namespace {

constexpr uint64_t HEADER = TextStore::RECORD_HEADER;

struct LoadedTexts {
  std::unordered_map<PackId, std::string> texts;
  // Where a torn final record starts, when the file ends in one.
  std::optional<uint64_t> tail;
  // Whether anything but a torn final record does not read (damage, or invalid text); then
  // `records` holds [start, end) of every record with a valid text that was read, in file order.
  bool damaged = false;
  std::vector<std::pair<uint64_t, uint64_t>> records;
};

// The end of the record at `off` of a file of `size` bytes, or nullopt when it runs past the end.
std::optional<uint64_t> record_end(const uint8_t* p, uint64_t size, uint64_t off) {
  if (off + HEADER > size) return std::nullopt;
  const uint64_t end = off + HEADER + decode_u32(p + off + 8);
  if (end > size) return std::nullopt;
  return end;
}

std::string_view text_of(std::string_view bytes, uint64_t off, uint64_t end) {
  return bytes.substr(static_cast<size_t>(off + HEADER), static_cast<size_t>(end - off - HEADER));
}

// How the walk of the records from one offset ends, as worked out for every offset at once.
enum class WalkEnd : uint8_t {
  Damaged,    // a record on the way has invalid text
  AtTheEnd,   // whole records with valid texts, up to the end of the file exactly
  TornLater,  // whole records with valid texts, then one that runs past the end of the file
  TornHere,   // the record here already runs past the end
};

// How every offset's walk ends (strictly: invalid text ends it too), worked out from the end
// backwards, each offset from the one its record leads to. Texts are checked in constant time
// each: a ring holds, for the next few offsets, how far valid UTF-8 runs from there, and a text
// [a, e) is valid when that run from a reaches e and e starts a character (or ends the run).
std::vector<WalkEnd> walk_ends(const uint8_t* p, uint64_t size) {
  std::vector<WalkEnd> ends(static_cast<size_t>(size) + 1, WalkEnd::Damaged);
  ends[size] = WalkEnd::AtTheEnd;
  constexpr size_t RING = 16;
  static_assert(RING > HEADER);
  uint64_t valid_to[RING];
  valid_to[size % RING] = size;
  for (uint64_t off = size; off-- > 0;) {
    const size_t len = utf8_char_length(p + off, static_cast<size_t>(size - off));
    valid_to[off % RING] = len == 0 ? off : valid_to[(off + len) % RING];
    const std::optional<uint64_t> end = record_end(p, size, off);
    if (!end) {
      ends[off] = WalkEnd::TornHere;
      continue;
    }
    const uint64_t run = valid_to[(off + HEADER) % RING];
    if (*end > run || (*end < run && (p[*end] & 0xC0) == 0x80)) continue;  // invalid text
    const WalkEnd next = ends[*end];
    ends[off] = next == WalkEnd::TornHere ? WalkEnd::TornLater : next;
  }
  return ends;
}

// How many of the four bytes of two lengths differ.
int bytes_apart(uint32_t a, uint32_t b) {
  const uint32_t x = a ^ b;
  return (x & 0xFF ? 1 : 0) + (x & 0xFF00 ? 1 : 0) + (x & 0xFF0000 ? 1 : 0) +
         (x & 0xFF000000 ? 1 : 0);
}

// How many bytes of the stored length of a record at `off` differ from the length that would end
// it at `end` (4 when no length could).
int length_bytes_off(const uint8_t* p, uint64_t off, uint64_t end) {
  if (end < off + HEADER || end - off - HEADER > UINT32_MAX) return 4;
  return bytes_apart(decode_u32(p + off + 8), static_cast<uint32_t>(end - off - HEADER));
}

// Whether the stored length of a record at `off` reads as the length that would end it at `end`
// with one of its bytes damaged (or none): the mark of a length that a flipped bit, a changed
// byte or a zeroed byte damaged.
bool length_points_to(const uint8_t* p, uint64_t off, uint64_t end) {
  return length_bytes_off(p, off, end) <= 1;
}

// Reads a file whose first walk (each record found by the length of the one before it) does not
// end exactly at the end of the file, or meets invalid text: a length on the way may be damaged,
// and the length has no redundancy, so the records behind the damage are found by their own
// bytes. `stop` is where the first walk ended.
//
// Offsets from which records walk cleanly (lengths that fit, valid UTF-8) exactly to the end of
// the file are where the records the writer wrote after the damage start; garbage rarely walks so
// far. The reading chosen is the one that leaves the fewest bytes unexplained (bytes of no
// record with a valid text): the first walk as it is (a torn final record at `stop`, cut by the
// next append), or the first walk's records up to such an offset and the clean walk from there
// (the bytes between, the gap, are the damage, and stay). A record of the first walk that holds
// such an offset inside it is not taken for one when the walk goes on behind it: it swallowed the
// start of records (a damaged length that still fits), and so do the records after it. A tie
// goes to the first walk, then to the earlier offset. When no offset walks cleanly to the end,
// the first one behind `stop` that walks cleanly to a torn final record stands in (damage, and a
// torn record behind it).
//
// Records the writer wrote are not the only bytes that walk cleanly: a text may hold bytes shaped
// like records (a copy of another store's records, say), and when such bytes end the damaged
// record's own text, the clean walk that starts among them is the earliest, and would take them
// for records of their packs. Nothing in the bytes tells them from records the writer wrote
// there, but the damaged record's length still says where it ends, but for the damage: so when
// the gap begins with a header whose length does not point to the chosen offset, and a later
// offset on the same clean walk is where it points with one byte damaged (a flipped bit, a
// changed or zeroed byte), the damaged record's text ends there, and the walk is taken up there;
// where it points to the end of the file, the damaged record is the last, and nothing after it is
// taken. A gap too short to begin with a header is the end of the text of the record before it,
// whose length is then the damaged one (too small): that record is not taken either; and so it is
// when the gap begins with bytes that point nowhere on the clean walk and read as a length three
// or four bytes off where it starts, while that record's length points there over valid text.
LoadedTexts read_damaged(std::string_view bytes, uint64_t stop) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint64_t size = bytes.size();
  const std::vector<WalkEnd> ends = walk_ends(p, size);
  auto valid_text = [&](uint64_t off, uint64_t end) {
    return is_valid_utf8(text_of(bytes, off, end));
  };
  // The first walk's records that may stand before a clean walk: those before the first one
  // holding the start of a clean walk inside it.
  uint64_t keep_before = stop;
  for (uint64_t off = 0; off < stop && keep_before == stop;) {
    const uint64_t end = *record_end(p, size, off);
    for (uint64_t x = off + 1; x < end; ++x) {
      if (ends[x] == WalkEnd::AtTheEnd) {
        keep_before = off;
        break;
      }
    }
    off = end;
  }
  // The first walk as it is: its invalid texts and what follows `stop` are unexplained.
  uint64_t best = size - stop;
  for (uint64_t off = 0; off < stop;) {
    const uint64_t end = *record_end(p, size, off);
    if (!valid_text(off, end)) best += end - off;
    off = end;
  }
  std::optional<uint64_t> resume;
  uint64_t gap = 0;                 // where the first walk's records kept before `resume` end
  uint64_t last_kept = UINT64_MAX;  // where the last of them starts
  {
    uint64_t kept_end = 0, kept_start = UINT64_MAX, kept_invalid = 0;
    for (uint64_t y = 1, next = 0; y < size; ++y) {
      if (ends[y] != WalkEnd::AtTheEnd) continue;
      // The first walk's records that end by y.
      while (next < keep_before) {
        const uint64_t end = *record_end(p, size, next);
        if (end > y) break;
        if (!valid_text(next, end)) kept_invalid += end - next;
        kept_start = next;
        kept_end = next = end;
      }
      const uint64_t unexplained = kept_invalid + (y - kept_end);
      if (unexplained < best) {
        best = unexplained;
        resume = y;
        gap = kept_end;
        last_kept = kept_start;
      }
    }
  }
  uint64_t first_walk_to = stop;  // the first walk's records kept end by here
  if (resume) {
    first_walk_to = gap;
    if (*resume - gap < HEADER) {
      // No header fits in the gap: it is the end of the text of the record before it.
      if (last_kept != UINT64_MAX) first_walk_to = last_kept;
    } else if (!length_points_to(p, gap, *resume)) {
      // Later offsets of the clean walk, the end of the file among them (the damaged record is
      // then the last one), for as long as the bytes from the damaged record's text on are valid
      // UTF-8 (the writer wrote its text so) and its length can reach them.
      std::optional<uint64_t> pointed;
      uint64_t valid_to = gap + HEADER;
      for (uint64_t at = *record_end(p, size, *resume); at - gap - HEADER <= UINT32_MAX;) {
        while (valid_to < at) {
          const size_t len = utf8_char_length(p + valid_to, static_cast<size_t>(size - valid_to));
          if (len == 0) break;
          valid_to += len;
        }
        if (valid_to < at) break;  // invalid bytes on the way: no later end either
        // (Where a character runs across `at`, no text ends there.)
        if (valid_to == at && length_points_to(p, gap, at)) {
          pointed = at;
          break;
        }
        if (at == size) break;
        at = *record_end(p, size, at);
      }
      if (pointed) {
        resume = pointed;
      } else if (last_kept != UINT64_MAX && length_bytes_off(p, gap, *resume) >= 3 &&
                 length_points_to(p, last_kept, *resume) && valid_text(last_kept, *resume)) {
        // The gap does not begin with a header: its length would end it where the clean walk
        // starts only with three or four bytes damaged (text bytes read as a length, as a rule),
        // while the length of the record before the gap would with one, over valid text. That
        // length is the damaged one (too small), and the gap the rest of its text: the record is
        // not taken with part of its text.
        first_walk_to = last_kept;
      }
    }
  } else if (stop < size) {
    for (uint64_t y = stop + 1; y < size && !resume; ++y) {
      if (ends[y] == WalkEnd::TornLater) resume = y;
    }
  }
  LoadedTexts out;
  auto take = [&](uint64_t off, uint64_t end) {
    out.texts.insert_or_assign(decode_u64(p + off), std::string(text_of(bytes, off, end)));
    out.records.emplace_back(off, end);
  };
  bool invalid = false;
  for (uint64_t off = 0; off < size;) {
    const std::optional<uint64_t> end = record_end(p, size, off);
    if (!end || *end > first_walk_to ||
        (resume && ends[*resume] == WalkEnd::AtTheEnd && off >= keep_before)) {
      break;
    }
    if (valid_text(off, *end)) {
      take(off, *end);
    } else {
      invalid = true;
    }
    off = *end;
  }
  if (!resume) {
    if (stop < size) out.tail = stop;
    // The first walk as it is: damaged only where it met invalid text.
    out.damaged = invalid;
    return out;
  }
  out.damaged = true;
  uint64_t off = *resume;
  for (std::optional<uint64_t> end; off < size && (end = record_end(p, size, off)); off = *end) {
    take(off, *end);
  }
  if (off < size) out.tail = off;
  return out;
}

// Reads the records of `bytes` (the file from its start): each record is found by the length of
// the one before it, and a text that is not valid UTF-8 is skipped by its length. When that walk
// does not end exactly at the end of the file, or meets invalid text, read_damaged takes over.
// Cost: that walk, for a file that reads cleanly (every load of a healthy file); otherwise one
// more pass over every byte and a byte of memory per byte of the file.
LoadedTexts parse_texts(std::string_view bytes) {
  LoadedTexts out;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint64_t size = bytes.size();
  uint64_t off = 0;
  bool clean = true;
  for (std::optional<uint64_t> end; (end = record_end(p, size, off)); off = *end) {
    const std::string_view text = text_of(bytes, off, *end);
    if (is_valid_utf8(text)) {
      out.texts.insert_or_assign(decode_u64(p + off), std::string(text));
    } else {
      clean = false;
    }
  }
  if (clean && off == size) return out;
  return read_damaged(bytes, off);
}

}  // namespace

Result<TextStore> TextStore::open(const std::string& dir) {
  TextStore store(dir, join_path(dir, TEXT_STORE_FILE));
  QM_RETURN_IF_ERROR(store.reload());
  return store;
}

Status TextStore::reload() {
  std::string bytes;
  QM_ASSIGN_OR_RETURN(const bool present, read_file_if_present(path_, bytes));
  if (!present) {
    texts_.clear();
    tail_.readable_end.reset();
    damaged_ = false;
    return Status::ok();
  }
  LoadedTexts loaded = parse_texts(bytes);
  // A torn final record stays, and so does damage: the next append cuts what still does not read
  // then, or writes the file afresh (repair_tail).
  tail_.readable_end = loaded.tail;
  damaged_ = loaded.damaged;
  texts_ = std::move(loaded.texts);
  return Status::ok();
}

Status TextStore::repair_tail() {
  // The bytes of a failed append go first, whatever they read as.
  QM_RETURN_IF_ERROR(cut_failed_append(path_, tail_));
  if (!tail_.readable_end && !damaged_) return Status::ok();
  // Then what the last read found: the whole file is read again, as the next load reads it (it
  // may have changed since, and where damage was found, the reading of the records behind it is
  // chosen over the whole file: a walk from the tail alone could choose otherwise). A torn final
  // record is cut off, kept in a file of its own. Damage is repaired by writing the file afresh
  // with just the records that read: records appended behind damage could otherwise change how
  // the next load reads past it (a damaged length that runs past the end now may end inside
  // them later), while a file that walks cleanly stays so. The damaged file is kept whole first,
  // under "text_store.bin.cut-0" (cut_file_name), and the new one is written and flushed under a
  // temporary name of this handle's own and renamed over it (replace_preserving), so a crash
  // leaves the old file or the new one. A failure leaves the file and the damage noted, and the
  // next append tries again. Nothing is cut or written after a failed read.
  std::string bytes;
  QM_ASSIGN_OR_RETURN(const bool present, read_file_if_present(path_, bytes));
  if (present) {
    const LoadedTexts loaded = parse_texts(bytes);
    if (loaded.damaged) {
      std::string fresh;
      for (const auto& [start, end] : loaded.records) {
        fresh.append(bytes, static_cast<size_t>(start), static_cast<size_t>(end - start));
      }
      QM_RETURN_IF_ERROR(replace_preserving(dir_, TEXT_STORE_FILE,
                                            [&](const UniqueFd& fd, const std::string& tmp) {
                                              return write_all(fd, fresh.data(), fresh.size(), tmp);
                                            }));
    } else if (loaded.tail) {
      QM_RETURN_IF_ERROR(cut_preserving(path_, *loaded.tail).status());
    }
  }
  tail_.readable_end.reset();
  damaged_ = false;
  return Status::ok();
}

namespace {

// The file's records of the texts, one after the other.
Result<std::string> encode_texts(std::span<const std::pair<PackId, std::string>> texts) {
  uint64_t total = 0;
  for (const auto& [id, text] : texts) {
    if (text.size() > UINT32_MAX) {
      return EngineError::io(IoError::invalid_input(str_cat(
          "text of pack ", id, " is ", uint64_t{text.size()}, " bytes, over the 4 GiB limit")));
    }
    total += TextStore::RECORD_HEADER + text.size();
  }
  std::string buf;
  buf.reserve(total);
  for (const auto& [id, text] : texts) {
    put_u64(buf, id);
    put_u32(buf, static_cast<uint32_t>(text.size()));
    buf.append(text);
  }
  return buf;
}

}  // namespace

Status TextStore::append_batch(std::span<const std::pair<PackId, std::string>> texts) {
  if (texts.empty()) return Status::ok();
  QM_ASSIGN_OR_RETURN(const std::string buf, encode_texts(texts));
  QM_RETURN_IF_ERROR(repair_tail());
  QM_RETURN_IF_ERROR(
      append_durably(path_, buf.data(), buf.size(), /*create=*/true, &tail_.failed_at).status());
  for (const auto& [id, text] : texts) texts_.insert_or_assign(id, text);
  return Status::ok();
}

Result<std::optional<PendingAppend>> TextStore::start_append(
    std::span<const std::pair<PackId, std::string>> texts) {
  if (texts.empty()) return std::optional<PendingAppend>();
  QM_ASSIGN_OR_RETURN(const std::string buf, encode_texts(texts));
  QM_RETURN_IF_ERROR(repair_tail());
  QM_ASSIGN_OR_RETURN(
      PendingAppend pending,
      PendingAppend::start(path_, buf.data(), buf.size(), /*create=*/true, &tail_.failed_at));
  return std::optional<PendingAppend>(std::move(pending));
}

Status TextStore::finish_append(std::optional<PendingAppend>& pending) {
  if (!pending) return Status::ok();
  return pending->finish(&tail_.failed_at).status();
}

TextStore::Staged TextStore::stage(std::vector<std::pair<PackId, std::string>> texts) {
  Staged staged;
  staged.reserve(texts.size());
  for (auto& [id, text] : texts) staged.insert_or_assign(id, std::move(text));
  return staged;
}

void TextStore::publish(Staged staged) {
  // Entries move over as they are; what stays behind is a text for a pack that had one already.
  texts_.merge(staged);
  for (auto& [id, text] : staged) texts_.insert_or_assign(id, std::move(text));
}

const std::string* TextStore::find(PackId pack) const {
  auto it = texts_.find(pack);
  return it == texts_.end() ? nullptr : &it->second;
}

}  // namespace quellmar
