#include "hash.h"

#include <bit>
#include <cstring>

namespace ostrel {
namespace {

uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

struct SipState {
  uint64_t v0 = 0x736f6d6570736575ull;
  uint64_t v1 = 0x646f72616e646f6dull;
  uint64_t v2 = 0x6c7967656e657261ull;
  uint64_t v3 = 0x7465646279746573ull;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(uint64_t m) {  // one round per block: SipHash-1-x
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace

uint64_t fx_hash_bytes(std::string_view bytes) {
  uint64_t h = 0;
  auto mix = [&h](uint64_t word) { h = (std::rotl(h, 5) ^ word) * FX_SEED; };
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  for (; n >= 8; n -= 8, p += 8) mix(load_le64(p));
  uint64_t tail = 0;
  for (size_t i = 0; i < n; ++i) tail |= uint64_t{p[i]} << (8 * i);
  mix(tail ^ (uint64_t{bytes.size()} << 56));
  return h;
}

uint64_t hash_value(std::string_view text) {
  SipState s;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const uint64_t total = text.size() + 1;  // the trailing 0xFF counts
  size_t n = text.size();
  for (; n >= 8; n -= 8, p += 8) s.compress(load_le64(p));
  // Last block: the remaining text bytes, the 0xFF byte, the length in the top byte.
  // Fewer than 8 text bytes remain; with the 0xFF they may fill a whole block.
  uint64_t last = 0;
  for (size_t i = 0; i < n; ++i) last |= uint64_t{p[i]} << (8 * i);
  last |= uint64_t{0xFF} << (8 * n);
  if (n + 1 == 8) {
    s.compress(last);
    last = 0;
  }
  last |= (total & 0xFF) << 56;
  s.compress(last);
  s.v2 ^= 0xFF;
  for (int i = 0; i < 3; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace ostrel
