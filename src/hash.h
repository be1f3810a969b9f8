// Hashing helpers shared by every index.
//
// - fx_hash: the multiplicative Fx hash, the hasher of every in-memory map
//   keyed by id, code or field path.
// - hash_value: SipHash-1-3 (keys 0, 0) over a text's bytes followed by one
//   0xFF byte; the 64-bit key of the equality index. Stable across runs.
//
// All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace ostrel {

inline constexpr uint64_t FX_SEED = 0x517cc1b727220a95ull;

inline uint64_t fx_hash(uint64_t key) { return key * FX_SEED; }

// Fx hash of a byte string, 8 bytes at a time (rotate, xor, multiply).
uint64_t fx_hash_bytes(std::string_view bytes);

// SipHash-1-3 of `text` followed by the byte 0xFF, both key words zero.
uint64_t hash_value(std::string_view text);

struct FxHash {
  using is_transparent = void;
  size_t operator()(uint64_t key) const { return fx_hash(key); }
  size_t operator()(std::string_view s) const { return fx_hash_bytes(s); }
};

}  // namespace ostrel
