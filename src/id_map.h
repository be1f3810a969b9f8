// IdMap: document ids to dense row numbers.
//
// The engine's components file documents by row, not by id: rows are 0, 1,
// 2, ... in the order ids were first added, so slot tables, id sets (Roaring
// containers), bucket lists and the metadata locations stay dense whatever
// ids the caller uses (hashed keys spread over 32 bits, ids taken from
// another database). Memory then grows with the number of documents only.
//
// Representation: while the ids seen are exactly 0 .. n-1, first added in
// that order, row == id and nothing is stored ("identity"). The first id
// that breaks this switches, once, to an explicit map: an open-addressing
// hash map id -> row and an array row -> id, about 17 bytes per document.
// A row is never reassigned or freed: re-adding an id finds its row again.
//
// Thread safety: none; the owner guarantees that assign() runs alone.
// Failure: assign() throws std::bad_alloc and then leaves the map unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "flat_map.h"

namespace ostrel {

class IdMap {
 public:
  // Number of rows assigned: distinct ids ever added.
  uint64_t size() const { return rows_; }
  bool identity() const { return !mapped_; }

  std::optional<uint32_t> row_of(uint32_t id) const {
    if (!mapped_) return id < rows_ ? std::optional<uint32_t>(id) : std::nullopt;
    const uint32_t* row = rows_of_.find(id);
    return row ? std::optional<uint32_t>(*row) : std::nullopt;
  }

  // REQUIRES: row < size().
  uint32_t id_of(uint32_t row) const { return mapped_ ? ids_[row] : row; }

  // The row of `id`, assigning the next one when the id is new.
  uint32_t assign(uint32_t id) {
    if (std::optional<uint32_t> row = row_of(id)) return *row;
    const auto row = static_cast<uint32_t>(rows_);
    if (!mapped_ && id != row) switch_to_map();
    if (mapped_) {
      if (ids_.size() == ids_.capacity()) ids_.reserve(ids_.size() * 2 + 16);
      *rows_of_.try_emplace(id).first = row;  // may throw: nothing changed yet
      ids_.push_back(id);                     // reserved: cannot throw
    }
    ++rows_;
    return row;
  }

  size_t memory_bytes() const { return rows_of_.memory_bytes() + ids_.capacity() * 4; }

 private:
  // Spells out the identity of the rows assigned so far.
  void switch_to_map() {
    FlatMap<uint32_t, uint32_t> rows_of;
    std::vector<uint32_t> ids;
    ids.reserve(rows_ * 2 + 16);
    for (uint32_t row = 0; row < rows_; ++row) {
      *rows_of.try_emplace(row).first = row;
      ids.push_back(row);
    }
    rows_of_ = std::move(rows_of);
    ids_ = std::move(ids);
    mapped_ = true;
  }

  uint64_t rows_ = 0;
  bool mapped_ = false;
  FlatMap<uint32_t, uint32_t> rows_of_;  // when mapped_: id -> row
  std::vector<uint32_t> ids_;            // when mapped_: row -> id
};

}  // namespace ostrel
