// UniformGenerator: the deterministic pseudo-random source of the initial
// codebooks and of the LSH hyperplanes.
//
// A 32-bit linear congruential generator: each draw advances
// state = state * 1103515245 + 12345 (mod 2^32) and yields
// (state >> 16) / 32768 - 1, a float in [-1, 1) on a grid of 1/32768.
// Not thread-safe; each user owns one and never re-seeds it.
#pragma once

#include <cstdint>

namespace ostrel {

class UniformGenerator {
 public:
  explicit UniformGenerator(uint32_t seed) : state_(seed) {}

  float next() {
    state_ = state_ * 1103515245u + 12345u;
    return static_cast<float>(state_ >> 16) / 32768.0f - 1.0f;
  }

 private:
  uint32_t state_;
};

}  // namespace ostrel
