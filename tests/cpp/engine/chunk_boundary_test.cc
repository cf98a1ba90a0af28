#include "quellmar/engine/chunk_boundary.h"

#include <gtest/gtest.h>

#include <string>

namespace quellmar {
namespace {

constexpr auto W = BoundaryStrategy::Whitespace;
constexpr auto S = BoundaryStrategy::Sentence;
constexpr auto P = BoundaryStrategy::Paragraph;

TEST(ChunkBoundaryTest, ParsesExactNamesOnly) {
  EXPECT_EQ(parse_boundary_strategy("whitespace"), W);
  EXPECT_EQ(parse_boundary_strategy("sentence"), S);
  EXPECT_EQ(parse_boundary_strategy("paragraph"), P);
  for (const char* bad : {"Sentence", "sentence ", "", "para"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_boundary_strategy(bad).has_value());
  }
}

TEST(ChunkBoundaryTest, Table) {
  const std::string ideo = "\xE4\xB8\xAD\xE6\x96\x87\xE3\x80\x82x";  // two CJK, U+3002, x
  struct Case {
    const char* name;
    std::string text;
    uint64_t max_pos;
    BoundaryStrategy strategy;
    uint64_t want;
  } cases[] = {
      {"empty text", "", 10, S, 0},
      {"max_pos 0", "a b. c", 0, P, 0},
      {"space splits", "hello world", 8, W, 5},
      {"no space", "hello", 3, W, 3},
      {"space only at 0", " hello", 4, W, 4},
      {"tab does not count", "ab\tcd", 5, W, 5},
      {"max_pos beyond end, no break", "abcdef", 100, W, 6},
      {"space past limit ignored", "abc def", 3, W, 3},
      {"sentence picks last end", "A. B! C", 7, S, 5},
      {"sentence at limit", "A. B! C", 2, S, 2},
      {"sentence falls back to space", "ab cd ef", 8, S, 5},
      {"ideographic stop is 3 bytes", ideo, 10, S, 9},
      {"full-width ! and ?",
       "a\xEF\xBC\x81"
       "b\xEF\xBC\x9F"
       "c",
       9, S, 8},
      {"terminator must lie inside prefix", "ab\xE3\x80\x82", 4, S, 2},
      {"paragraph splits at blank line", "x\n\ny.", 5, P, 1},
      {"paragraph at start is skipped", "\n\nab. c", 7, P, 5},
      {"crlf paragraph", "ab\r\n\r\ncd", 8, P, 2},
      {"paragraph skips sentence end at limit", "ab. cd", 3, P, 3},
      {"paragraph uses sentence below limit", "ab. cd", 6, P, 3},
      {"paragraph falls to whitespace", "ab cd", 5, P, 2},
      // A limit inside a multi-byte character moves back to the character's start.
      {"limit inside char, whitespace", "ab\xC3\xA9", 3, W, 2},
      {"limit inside char, whole prefix", "\xE4\xB8\xAD\xE6\x96\x87", 5, S, 3},
      {"limit inside first char", "\xE4\xB8\xAD", 2, W, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_chunk_boundary(c.text, c.max_pos, c.strategy), c.want);
  }
}

}  // namespace
}  // namespace quellmar
