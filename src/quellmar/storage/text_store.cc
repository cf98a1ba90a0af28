#include "quellmar/storage/text_store.h"

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/core/utf8.h"

namespace quellmar {

namespace {

struct LoadedTexts {
  std::unordered_map<PackId, std::string> texts;
  uint64_t valid_end = 0;
};

LoadedTexts parse_texts(const std::string& bytes) {
  LoadedTexts out;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint64_t size = bytes.size();
  uint64_t off = 0;
  while (off + TextStore::RECORD_HEADER <= size) {
    const PackId id = decode_u64(p + off);
    const uint64_t len = decode_u32(p + off + 8);
    if (off + TextStore::RECORD_HEADER + len > size) break;  // torn last record
    std::string_view text(bytes.data() + off + TextStore::RECORD_HEADER, len);
    if (is_valid_utf8(text)) out.texts.insert_or_assign(id, std::string(text));
    off += TextStore::RECORD_HEADER + len;
  }
  out.valid_end = off;
  return out;
}

}  // namespace

Result<TextStore> TextStore::open(const std::string& dir) {
  TextStore store(join_path(dir, TEXT_STORE_FILE));
  QM_RETURN_IF_ERROR(store.reload());
  return store;
}

Status TextStore::reload() {
  std::string bytes;
  QM_ASSIGN_OR_RETURN(const bool present, read_file_if_present(path_, bytes));
  if (!present) {
    texts_.clear();
    tail_.readable_end.reset();
    return Status::ok();
  }
  LoadedTexts loaded = parse_texts(bytes);
  // What the walk cannot read (a torn last record, or a length that runs past the end after
  // damage) stays; the next append cuts it first (repair_tail).
  tail_.readable_end.reset();
  if (loaded.valid_end < bytes.size()) tail_.readable_end = loaded.valid_end;
  texts_ = std::move(loaded.texts);
  return Status::ok();
}

Status TextStore::repair_tail() {
  // Cut off what still does not read, so that the append lands where the next load reads it;
  // the bytes cut go to a file of their own first, so nothing stored is lost.
  return quellmar::repair_tail(
      path_, tail_, [](const UniqueFd& fd, uint64_t from, uint64_t size) -> Result<uint64_t> {
        std::string bytes(static_cast<size_t>(size - from), '\0');
        QM_ASSIGN_OR_RETURN(const size_t got, pread_some(fd, bytes.data(), bytes.size(), from));
        bytes.resize(got);
        return from + parse_texts(bytes).valid_end;
      });
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
