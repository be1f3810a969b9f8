// Small value types shared by the engine's components and its callers.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// A document id with its score; higher scores are better.
struct ScoredPair {
  uint32_t id;
  float score;
};

// What a search returns per document.
struct ResultTriple {
  uint32_t id;
  float score;
  std::string metadata;  // empty when metadata was not asked for
};

}  // namespace ostrel
