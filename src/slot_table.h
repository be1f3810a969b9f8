// SlotTable<T>: rows of `row_len` values of T addressed directly by a 32-bit
// id, each slot empty or holding one row.
//
// Representation: a two-level page table. id / P selects a page of P rows
// (P a power of two chosen so that a page holds about 64 KiB), pages are
// allocated on first write, and each page keeps a presence bit per row.
// Memory therefore grows with the number of stored rows (plus a page-table
// entry per page of the id range in use), never with one slot descriptor per
// id: a single row under id 4,000,000,000 costs well under 1 MiB.
//
// `slot_count()` is one more than the highest id ever stored (0 when none);
// it only grows until clear().
//
// Thread safety: none; the owner guards the table with its own lock.
// T must be trivially copyable; new rows start zero-filled.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "status.h"

namespace ostrel {

template <typename T>
class SlotTable {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit SlotTable(size_t row_len = 1) { set_row_len(row_len); }

  SlotTable(SlotTable&&) noexcept = default;
  SlotTable& operator=(SlotTable&&) noexcept = default;

  // REQUIRES: the table is empty (no row stored since construction or clear()).
  void set_row_len(size_t row_len) {
    row_len_ = row_len == 0 ? 1 : row_len;
    size_t row_bytes = row_len_ * sizeof(T);
    size_t rows = kPageBytes / row_bytes;
    rows = rows == 0 ? 1 : std::bit_floor(rows);
    if (rows > kMaxRowsPerPage) rows = kMaxRowsPerPage;
    page_shift_ = std::countr_zero(rows);
  }

  size_t row_len() const { return row_len_; }
  uint64_t slot_count() const { return slot_count_; }
  size_t size() const { return size_; }  // stored rows

  // The row stored under `id`, or nullptr when the slot is empty.
  const T* find(uint32_t id) const {
    const Page* page = page_of(id);
    if (page == nullptr) return nullptr;
    uint32_t row = id & row_mask();
    if (!page->has(row)) return nullptr;
    return page->rows.get() + size_t{row} * row_len_;
  }
  T* find(uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }

  // Marks slot `id` as holding a row and returns the row (zero-filled when
  // new, the old contents when it was already stored). Fails with kNoMemory
  // when the page or the page table cannot be allocated; the table is then
  // unchanged.
  Result<T*> emplace(uint32_t id) {
    Page* page = nullptr;
    try {
      page = &ensure_page(id);
    } catch (const std::bad_alloc&) {
      return Status::NoMemory("cannot allocate a slot for id " + std::to_string(id));
    }
    uint32_t row = id & row_mask();
    if (!page->has(row)) {
      page->set(row);
      ++size_;
    }
    if (uint64_t{id} + 1 > slot_count_) slot_count_ = uint64_t{id} + 1;
    return page->rows.get() + size_t{row} * row_len_;
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
    Page* page = const_cast<Page*>(page_of(id));
    if (page == nullptr) return;
    uint32_t row = id & row_mask();
    if (!page->has(row)) return;
    page->clear(row);
    --size_;
  }

  // Calls f(id, const T* row) for every stored row in ascending id order.
  template <typename F>
  void for_each(F&& f) const {
    for (size_t d = 0; d < dir_.size(); ++d) {
      const Dir* dir = dir_[d].get();
      if (dir == nullptr) continue;
      for (size_t p = 0; p < kPagesPerDir; ++p) {
        const Page* page = dir->pages[p].get();
        if (page == nullptr) continue;
        uint64_t first_id = ((uint64_t{d} << kDirShift) | p) << page_shift_;
        for (size_t w = 0; w < page->words(page_shift_); ++w) {
          for (uint64_t bits = page->present[w]; bits != 0; bits &= bits - 1) {
            uint32_t row = static_cast<uint32_t>(w * 64 + std::countr_zero(bits));
            f(static_cast<uint32_t>(first_id + row), page->rows.get() + size_t{row} * row_len_);
          }
        }
      }
    }
  }

  void clear() {
    dir_.clear();
    dir_.shrink_to_fit();
    slot_count_ = 0;
    size_ = 0;
    pages_ = 0;
  }

  // Bytes held by pages and page tables (for measurements).
  size_t memory_bytes() const {
    size_t rows_per_page = size_t{1} << page_shift_;
    size_t page_bytes =
        rows_per_page * row_len_ * sizeof(T) + Page::words(page_shift_) * 8 + sizeof(Page);
    size_t dirs = 0;
    for (const auto& d : dir_) dirs += d != nullptr;
    return dir_.capacity() * sizeof(dir_[0]) + dirs * sizeof(Dir) + pages_ * page_bytes;
  }

 private:
  static constexpr size_t kPageBytes = 64 * 1024;
  static constexpr size_t kMaxRowsPerPage = 16384;
  static constexpr int kDirShift = 14;  // pages per second-level table: 2^14
  static constexpr size_t kPagesPerDir = size_t{1} << kDirShift;

  struct Page {
    std::unique_ptr<T[]> rows;
    std::unique_ptr<uint64_t[]> present;
    static size_t words(int shift) { return ((size_t{1} << shift) + 63) / 64; }
    bool has(uint32_t row) const { return (present[row / 64] >> (row % 64)) & 1; }
    void set(uint32_t row) { present[row / 64] |= uint64_t{1} << (row % 64); }
    void clear(uint32_t row) { present[row / 64] &= ~(uint64_t{1} << (row % 64)); }
  };
  struct Dir {
    std::unique_ptr<Page> pages[kPagesPerDir];
  };

  uint32_t row_mask() const { return (uint32_t{1} << page_shift_) - 1; }

  const Page* page_of(uint32_t id) const {
    uint64_t page_no = uint64_t{id} >> page_shift_;
    uint64_t d = page_no >> kDirShift;
    if (d >= dir_.size() || dir_[d] == nullptr) return nullptr;
    return dir_[d]->pages[page_no & (kPagesPerDir - 1)].get();
  }

  // Throws std::bad_alloc, leaving the table consistent.
  Page& ensure_page(uint32_t id) {
    uint64_t page_no = uint64_t{id} >> page_shift_;
    uint64_t d = page_no >> kDirShift;
    if (d >= dir_.size()) dir_.resize(d + 1);
    if (dir_[d] == nullptr) dir_[d] = std::make_unique<Dir>();
    std::unique_ptr<Page>& slot = dir_[d]->pages[page_no & (kPagesPerDir - 1)];
    if (slot == nullptr) {
      auto page = std::make_unique<Page>();
      size_t rows = size_t{1} << page_shift_;
      page->rows = std::make_unique<T[]>(rows * row_len_);  // value-initialised: zeros
      page->present = std::make_unique<uint64_t[]>(Page::words(page_shift_));
      slot = std::move(page);
      ++pages_;
    }
    return *slot;
  }

  size_t row_len_ = 1;
  int page_shift_ = 0;
  uint64_t slot_count_ = 0;
  size_t size_ = 0;
  size_t pages_ = 0;
  std::vector<std::unique_ptr<Dir>> dir_;
};

}  // namespace ostrel
