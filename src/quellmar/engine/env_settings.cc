#include "quellmar/engine/env_settings.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "quellmar/retrieval/flat_index.h"

namespace quellmar {

namespace {

// The value of a numeric setting: decimal digits with at most one leading "+", the whole text,
// no more than 2^64 - 1; none for anything else (a null text included).
std::optional<uint64_t> parse_setting_number(const char* value) {
  if (value == nullptr) return std::nullopt;
  std::string_view s(value);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace

uint64_t parse_int8_tier_capacity(const char* value) {
  const std::optional<uint64_t> v = parse_setting_number(value);
  return !v || *v == 0 ? DEFAULT_INT8_TIER_CAPACITY : *v;
}

size_t parse_graph_threads(const char* value, size_t cores) {
  cores = std::max<size_t>(cores, 1);
  const std::optional<uint64_t> v = parse_setting_number(value);
  return !v || *v == 0 ? cores : static_cast<size_t>(std::min<uint64_t>(*v, cores));
}

size_t hardware_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

size_t graph_threads_from_env() {
  return parse_graph_threads(std::getenv("QMR_GRAPH_THREADS"), hardware_threads());
}

bool parse_per_token_eager(const char* value) {
  if (value == nullptr) return false;
  std::string_view s(value);
  return s == "1" || s == "true";
}

RetrievalPipeline engine_config_from_env(const PerTokenConfig& config) {
  uint64_t capacity = parse_int8_tier_capacity(std::getenv("QMR_INT8_TIER_CAPACITY"));
  const bool eager = parse_per_token_eager(std::getenv("QMR_PER_TOKEN_EAGER"));
  if (eager) capacity = DEFAULT_INT8_TIER_CAPACITY;
  RetrievalPipeline pipeline(2);
  pipeline.add_stage(std::make_unique<PerTokenRetriever>(PerTokenAggregation::TopNMean, config,
                                                         TOKEN_CACHE_CAPACITY, capacity, eager));
  pipeline.add_stage(std::make_unique<FlatIndex>());
  return pipeline;
}

}  // namespace quellmar
