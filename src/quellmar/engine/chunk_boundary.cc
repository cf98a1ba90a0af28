#include "quellmar/engine/chunk_boundary.h"

#include <algorithm>

namespace quellmar {

namespace {

constexpr std::string_view SENTENCE_TERMINATORS[] = {
    ".",
    "!",
    "?",
    "\xE3\x80\x82" /* U+3002 */,
    "\xEF\xBC\x81" /* U+FF01 */,
    "\xEF\xBC\x9F" /* U+FF1F */,
};

// Start of the last occurrence of `pattern` lying wholly inside `prefix`, if any.
std::optional<size_t> rfind_in(std::string_view prefix, std::string_view pattern) {
  size_t p = prefix.rfind(pattern);
  if (p == std::string_view::npos) return std::nullopt;
  return p;
}

uint64_t whitespace_rule(std::string_view prefix) {
  auto p = rfind_in(prefix, " ");
  if (p && *p > 0) return *p;
  return prefix.size();
}

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::optional<BoundaryStrategy> parse_boundary_strategy(std::string_view name) {
  if (name == "whitespace") return BoundaryStrategy::Whitespace;
  if (name == "sentence") return BoundaryStrategy::Sentence;
  if (name == "paragraph") return BoundaryStrategy::Paragraph;
  return std::nullopt;
}

uint64_t sentence_boundary(std::string_view text, uint64_t limit) {
  std::string_view prefix = text.substr(0, static_cast<size_t>(limit));
  std::optional<size_t> best;
  for (std::string_view t : SENTENCE_TERMINATORS) {
    if (auto p = rfind_in(prefix, t)) best = std::max(best.value_or(0), *p + t.size());
  }
  if (best) return *best;
  return whitespace_rule(prefix);
}

uint64_t find_chunk_boundary(std::string_view text, uint64_t max_pos, BoundaryStrategy strategy) {
  size_t limit = static_cast<size_t>(std::min<uint64_t>(max_pos, text.size()));
  // Never cut inside a character.
  while (limit > 0 && limit < text.size() && is_continuation_byte(text[limit])) --limit;
  if (limit == 0) return 0;
  std::string_view prefix = text.substr(0, limit);
  switch (strategy) {
    case BoundaryStrategy::Whitespace:
      return whitespace_rule(prefix);
    case BoundaryStrategy::Sentence:
      return sentence_boundary(text, limit);
    case BoundaryStrategy::Paragraph: {
      if (auto p = rfind_in(prefix, "\n\n"); p && *p > 0) return *p;
      if (auto q = rfind_in(prefix, "\r\n\r\n"); q && *q > 0) return *q;
      uint64_t s = sentence_boundary(text, limit);
      if (s < limit) return s;
      return whitespace_rule(prefix);
    }
  }
  return limit;
}

}  // namespace quellmar
