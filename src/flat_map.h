// FlatMap / FlatSet: open-addressing hash containers for integer keys
// (document ids, hash codes), hashed with the Fx hash.
//
// Linear probing over a power-of-two table, at most 7/8 full; slot use is
// kept in a separate byte array so every key value (0 included) is valid.
// Erase uses backward-shift deletion, so there are no tombstones.
// Growth throws std::bad_alloc like the standard containers; engine callers
// catch it at their operation boundary.
//
// Thread safety: none; callers guard a container with their own lock.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "hash.h"

namespace ostrel {

template <typename K, typename V>
class FlatMap {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  V* find(K key) {
    if (size_ == 0) return nullptr;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      if (!used_[i]) return nullptr;
      if (slots_[i].first == key) return &slots_[i].second;
    }
  }
  const V* find(K key) const { return const_cast<FlatMap*>(this)->find(key); }

  // Returns the value for `key`, default-constructing it when new; the bool
  // is true when the key was inserted.
  std::pair<V*, bool> try_emplace(K key) {
    if ((size_ + 1) * 8 > slots_.size() * 7) grow();
    size_t i = home(key);
    for (; used_[i]; i = (i + 1) & mask_) {
      if (slots_[i].first == key) return {&slots_[i].second, false};
    }
    used_[i] = 1;
    slots_[i].first = key;
    slots_[i].second = V();
    ++size_;
    return {&slots_[i].second, true};
  }

  bool erase(K key) {
    if (size_ == 0) return false;
    size_t i = home(key);
    for (;; i = (i + 1) & mask_) {
      if (!used_[i]) return false;
      if (slots_[i].first == key) break;
    }
    // Backward shift: pull later members of the probe run into the hole.
    size_t hole = i;
    for (size_t j = (i + 1) & mask_; used_[j]; j = (j + 1) & mask_) {
      size_t want = home(slots_[j].first);
      if (((j - want) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = std::move(slots_[j]);
        hole = j;
      }
    }
    used_[hole] = 0;
    slots_[hole].second = V();
    --size_;
    return true;
  }

  // Calls f(key, value) for every member, in table order.
  template <typename F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < slots_.size(); ++i)
      if (used_[i]) f(slots_[i].first, slots_[i].second);
  }
  // Calls f(key, value) in table order while it returns true.
  template <typename F>
  void for_each_while(F&& f) const {
    for (size_t i = 0; i < slots_.size(); ++i)
      if (used_[i] && !f(slots_[i].first, slots_[i].second)) return;
  }
  template <typename F>
  void for_each_mut(F&& f) {
    for (size_t i = 0; i < slots_.size(); ++i)
      if (used_[i]) f(slots_[i].first, slots_[i].second);
  }

  void clear() {
    slots_.clear();
    used_.clear();
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
  }

  size_t memory_bytes() const { return slots_.capacity() * sizeof(Slot) + used_.capacity(); }

 private:
  using Slot = std::pair<K, V>;

  // High bits of the product: the low bits of a multiplicative hash are weak.
  size_t home(K key) const { return shift_ >= 64 ? 0 : (fx_hash(uint64_t(key)) >> shift_); }

  void grow() {
    size_t cap = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Slot> old_slots(cap);
    std::vector<uint8_t> old_used(cap, 0);
    old_slots.swap(slots_);
    old_used.swap(used_);
    mask_ = cap - 1;
    shift_ = 64 - std::countr_zero(cap);
    for (size_t i = 0; i < old_slots.size(); ++i) {
      if (!old_used[i]) continue;
      size_t j = home(old_slots[i].first);
      while (used_[j]) j = (j + 1) & mask_;
      used_[j] = 1;
      slots_[j] = std::move(old_slots[i]);
    }
  }

  std::vector<Slot> slots_;
  std::vector<uint8_t> used_;
  size_t size_ = 0;
  size_t mask_ = 0;
  int shift_ = 64;
};

// Set of 32-bit ids that remembers insertion order; `clear()` keeps the
// table's memory so one set can be reused across searches.
class FlatIdSet {
 public:
  // Returns true when `id` was not yet a member.
  bool insert(uint32_t id) {
    if ((order_.size() + 1) * 8 > table_.size() * 7) grow();
    size_t i = home(id);
    for (; table_[i] != EMPTY_SLOT; i = (i + 1) & mask_) {
      if (order_[table_[i]] == id) return false;
    }
    table_[i] = static_cast<uint32_t>(order_.size());
    order_.push_back(id);
    return true;
  }
  size_t size() const { return order_.size(); }
  // Members in the order they were first inserted.
  const std::vector<uint32_t>& ids() const { return order_; }
  std::vector<uint32_t> take_ids() {
    std::vector<uint32_t> out = std::move(order_);
    order_ = {};
    std::fill(table_.begin(), table_.end(), EMPTY_SLOT);
    return out;
  }
  void clear() {
    order_.clear();
    std::fill(table_.begin(), table_.end(), EMPTY_SLOT);
  }

 private:
  static constexpr uint32_t EMPTY_SLOT = 0xFFFFFFFFu;  // positions in order_ stay below it

  size_t home(uint32_t id) const { return fx_hash(id) >> shift_; }

  void grow() {
    size_t cap = table_.empty() ? 64 : table_.size() * 2;
    table_.assign(cap, EMPTY_SLOT);
    mask_ = cap - 1;
    shift_ = 64 - std::countr_zero(cap);
    for (uint32_t pos = 0; pos < order_.size(); ++pos) {
      size_t i = home(order_[pos]);
      while (table_[i] != EMPTY_SLOT) i = (i + 1) & mask_;
      table_[i] = pos;
    }
  }

  std::vector<uint32_t> table_;  // positions into order_, or EMPTY_SLOT
  std::vector<uint32_t> order_;
  size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace ostrel
