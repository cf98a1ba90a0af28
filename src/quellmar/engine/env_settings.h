#pragma once

// The settings an engine reads from the environment at every open and refresh: the per-token
// tier (QMR_INT8_TIER_CAPACITY, QMR_PER_TOKEN_EAGER) and the threads of a graph build
// (QMR_GRAPH_THREADS).

#include <cstddef>
#include <cstdint>

#include "quellmar/retrieval/per_token_retriever.h"
#include "quellmar/retrieval/retrieval_pipeline.h"

namespace quellmar {

// The retrieval pipeline of a fresh open or refresh: the per-token retriever (configured from
// QMR_INT8_TIER_CAPACITY and QMR_PER_TOKEN_EAGER) followed by an empty flat index.
RetrievalPipeline engine_config_from_env(const PerTokenConfig& config);
// The tier capacity and eager flag read from those variables (null for an unset variable).
uint64_t parse_int8_tier_capacity(const char* value);
bool parse_per_token_eager(const char* value);
// The threads a graph build or update may use, read from QMR_GRAPH_THREADS with the variables
// above (at every open and refresh): a positive decimal number (at most one leading "+") lowers
// it from `cores`, the default; a larger number is `cores`, and an unset or unparsable value, 0,
// or a number above 2^64 - 1 leaves the default.
size_t parse_graph_threads(const char* value, size_t cores);
// The machine's hardware threads, at least 1: the default of QMR_GRAPH_THREADS.
size_t hardware_threads();
size_t graph_threads_from_env();

}  // namespace quellmar
