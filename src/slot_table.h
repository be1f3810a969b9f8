// SlotTable<T>: rows of `row_len` values of T addressed directly by a 32-bit
// id, each slot empty or holding one row.
//
// Representation: a two-level page table. id / P selects a page of P rows
// (P a power of two chosen so a page holds about 16 KiB, and at least 16
// rows), pages are allocated on first write as one block (presence bits, then
// the rows), and groups of 512 pages hang off a small hash map. Memory
// therefore grows with the number of stored rows, never with one slot
// descriptor per id: a single row under id 4,000,000,000 costs a few KiB.
// Scattered keys still cost a page each, so the engine keys its tables by
// the dense rows of id_map.h, which fill every page.
//
// `slot_count()` is one more than the highest id ever stored (0 when none);
// it only grows until clear().
//
// Thread safety: none; the owner guards the table with its own lock.
// T must be trivially copyable; new rows start zero-filled.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "flat_map.h"
#include "status.h"

namespace ostrel {

template <typename T>
class SlotTable {
  static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= 8);

 public:
  // Pages hold a power of two of rows, this many at least: rows id .. id + 15
  // with id a multiple of 16 lie side by side in one page.
  static constexpr size_t MIN_ROWS_PER_PAGE = 16;

  explicit SlotTable(size_t row_len = 1) { set_row_len(row_len); }

  SlotTable(SlotTable&&) noexcept = default;
  SlotTable& operator=(SlotTable&&) noexcept = default;

  // REQUIRES: the table is empty (no row stored since construction or clear()).
  void set_row_len(size_t row_len) {
    row_len_ = row_len == 0 ? 1 : row_len;
    size_t rows = PAGE_BYTES / (row_len_ * sizeof(T));
    rows = rows < MIN_ROWS_PER_PAGE ? MIN_ROWS_PER_PAGE : std::bit_floor(rows);
    page_shift_ = std::countr_zero(rows);
    words_ = (rows + 63) / 64;
  }

  size_t row_len() const { return row_len_; }
  uint64_t slot_count() const { return slot_count_; }
  size_t size() const { return size_; }  // stored rows

  // The row stored under `id`, or nullptr when the slot is empty.
  const T* find(uint32_t id) const {
    const unsigned char* page = page_of(id);
    if (page == nullptr) return nullptr;
    uint32_t row = id & row_mask();
    if (!has(page, row)) return nullptr;
    return rows_of(page) + size_t{row} * row_len_;
  }
  T* find(uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }

  // find() for runs of nearby ids (a scan in ascending order): remembers the
  // last page looked up. A cursor belongs to one reader and is valid only
  // while the table does not change.
  struct Cursor {
    uint64_t page_no = ~uint64_t{0};
    const unsigned char* page = nullptr;
  };
  const T* find(uint32_t id, Cursor& cursor) const {
    const uint64_t page_no = id >> page_shift_;
    if (page_no != cursor.page_no) {
      cursor.page_no = page_no;
      cursor.page = page_of(id);
    }
    if (cursor.page == nullptr) return nullptr;
    uint32_t row = id & row_mask();
    if (!has(cursor.page, row)) return nullptr;
    return rows_of(cursor.page) + size_t{row} * row_len_;
  }

  // The first of `count` rows stored under ids id .. id + count - 1 when all
  // of them are stored in one page (they then lie one after another, row_len
  // values apart); nullptr otherwise. REQUIRES: 0 < count <= 64.
  const T* find_run(uint32_t id, uint32_t count, Cursor& cursor) const {
    const uint64_t page_no = id >> page_shift_;
    if (page_no != cursor.page_no) {
      cursor.page_no = page_no;
      cursor.page = page_of(id);
    }
    const uint32_t row = id & row_mask();
    if (cursor.page == nullptr || row + count > row_mask() + 1) return nullptr;
    const uint64_t* present = bits(cursor.page);
    const uint64_t want = count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
    const uint32_t word = row / 64, shift = row % 64;
    uint64_t have = present[word] >> shift;
    if (shift != 0 && shift + count > 64) have |= present[word + 1] << (64 - shift);
    if ((have & want) != want) return nullptr;
    return rows_of(cursor.page) + size_t{row} * row_len_;
  }

  // Marks slot `id` as holding a row and returns the row (zero-filled when
  // new, the old contents when it was already stored). Fails with kNoMemory
  // when the page or the page table cannot be allocated; the table is then
  // unchanged.
  Result<T*> emplace(uint32_t id) {
    unsigned char* page = nullptr;
    try {
      page = ensure_page(id);
    } catch (const std::bad_alloc&) {
      return Status::NoMemory("cannot allocate a slot for id " + std::to_string(id));
    }
    uint32_t row = id & row_mask();
    if (!has(page, row)) {
      bits(page)[row / 64] |= uint64_t{1} << (row % 64);
      ++size_;
    }
    if (uint64_t{id} + 1 > slot_count_) slot_count_ = uint64_t{id} + 1;
    return rows_of(page) + size_t{row} * row_len_;
  }

  // Allocates the page of `id` without storing anything, so that a later
  // emplace(id) cannot fail. Fails with kNoMemory like emplace().
  Status reserve(uint32_t id) {
    try {
      ensure_page(id);
    } catch (const std::bad_alloc&) {
      return Status::NoMemory("cannot allocate a slot for id " + std::to_string(id));
    }
    return Status::OK();
  }

  // Empties slot `id` (slot_count() is unchanged).
  void erase(uint32_t id) {
    unsigned char* page = const_cast<unsigned char*>(page_of(id));
    if (page == nullptr) return;
    uint32_t row = id & row_mask();
    if (!has(page, row)) return;
    bits(page)[row / 64] &= ~(uint64_t{1} << (row % 64));
    --size_;
  }

  // Calls f(id, const T* row) for every stored row in ascending id order.
  template <typename F>
  void for_each(F&& f) const {
    std::vector<uint32_t> dir_numbers;
    dir_numbers.reserve(dirs_.size());
    dirs_.for_each([&](uint32_t d, const std::unique_ptr<Dir>&) { dir_numbers.push_back(d); });
    std::sort(dir_numbers.begin(), dir_numbers.end());
    for (uint32_t d : dir_numbers) {
      const Dir& dir = **dirs_.find(d);
      for (size_t p = 0; p < PAGES_PER_DIR; ++p) {
        const unsigned char* page = dir.pages[p].get();
        if (page == nullptr) continue;
        const uint64_t first_id = ((uint64_t{d} << DIR_SHIFT) | p) << page_shift_;
        const uint64_t* present = bits(page);
        for (size_t w = 0; w < words_; ++w) {
          for (uint64_t b = present[w]; b != 0; b &= b - 1) {
            uint32_t row = static_cast<uint32_t>(w * 64 + std::countr_zero(b));
            f(static_cast<uint32_t>(first_id + row), rows_of(page) + size_t{row} * row_len_);
          }
        }
      }
    }
  }

  void clear() {
    dirs_.clear();
    slot_count_ = 0;
    size_ = 0;
    pages_ = 0;
  }

  // Bytes held by pages and page tables (for measurements).
  size_t memory_bytes() const {
    return dirs_.memory_bytes() + dirs_.size() * sizeof(Dir) + pages_ * page_bytes();
  }

 private:
  static constexpr size_t PAGE_BYTES = 16 * 1024;
  static constexpr int DIR_SHIFT = 9;  // pages per second-level table: 512
  static constexpr size_t PAGES_PER_DIR = size_t{1} << DIR_SHIFT;

  // A page is one block: `words_` presence words, then the rows.
  struct Dir {
    std::unique_ptr<unsigned char[]> pages[PAGES_PER_DIR];
  };

  uint32_t row_mask() const { return (uint32_t{1} << page_shift_) - 1; }
  size_t page_bytes() const {
    return words_ * 8 + (size_t{1} << page_shift_) * row_len_ * sizeof(T);
  }
  static uint64_t* bits(unsigned char* page) { return reinterpret_cast<uint64_t*>(page); }
  static const uint64_t* bits(const unsigned char* page) {
    return reinterpret_cast<const uint64_t*>(page);
  }
  bool has(const unsigned char* page, uint32_t row) const {
    return (bits(page)[row / 64] >> (row % 64)) & 1;
  }
  T* rows_of(unsigned char* page) const { return reinterpret_cast<T*>(page + words_ * 8); }
  const T* rows_of(const unsigned char* page) const {
    return reinterpret_cast<const T*>(page + words_ * 8);
  }

  const unsigned char* page_of(uint32_t id) const {
    const uint32_t page_no = id >> page_shift_;
    const std::unique_ptr<Dir>* dir = dirs_.find(page_no >> DIR_SHIFT);
    if (dir == nullptr) return nullptr;
    return (*dir)->pages[page_no & (PAGES_PER_DIR - 1)].get();
  }

  // Throws std::bad_alloc, leaving the table consistent.
  unsigned char* ensure_page(uint32_t id) {
    const uint32_t page_no = id >> page_shift_;
    std::unique_ptr<Dir>* dir = dirs_.find(page_no >> DIR_SHIFT);
    if (dir == nullptr) {
      auto fresh = std::make_unique<Dir>();
      dir = dirs_.try_emplace(page_no >> DIR_SHIFT).first;
      *dir = std::move(fresh);
    }
    std::unique_ptr<unsigned char[]>& slot = (*dir)->pages[page_no & (PAGES_PER_DIR - 1)];
    if (slot == nullptr) {
      slot = std::make_unique<unsigned char[]>(page_bytes());  // value-initialised: zeros
      ++pages_;
    }
    return slot.get();
  }

  size_t row_len_ = 1;
  int page_shift_ = 0;
  size_t words_ = 1;
  uint64_t slot_count_ = 0;
  size_t size_ = 0;
  size_t pages_ = 0;
  FlatMap<uint32_t, std::unique_ptr<Dir>> dirs_;
};

}  // namespace ostrel
