// MetadataStore: each document's metadata text, kept in the append-only file
// `metadata.bin` of the database directory and found again by document id.
//
// The file is a headerless concatenation of texts; where each record starts
// and how long it is lives only in memory (`locations`), so a new store on an
// existing directory finds none of the earlier records and appends after
// them. Every append and every get opens, uses and closes the file anew;
// nothing is cached.
//
// Thread safety: none of its own for `locations_`; the owner locks: append()
// needs exclusive access, get() and the other const methods may run
// concurrently. Appends from several stores or processes on the same file
// serialise on an exclusive flock() held from the seek to the end of the
// write, so the recorded offset is always where that text landed.
//
// A location is kept in 6 bytes (a 32-bit offset, a 16-bit length); the rare
// text of LONG_LENGTH bytes or more has its length in `long_lengths_`.
//
// Invariants: `locations_` only grows and its slots are never emptied; a
// slot is set only after its whole text has been written, and then points
// at exactly those bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flat_map.h"
#include "slot_table.h"
#include "status.h"

namespace ostrel {

class MetadataStore {
 public:
  // Where a record lies in the file, in bytes.
  struct Location {
    uint32_t offset;
    uint32_t length;
    bool operator==(const Location&) const = default;
  };

  // `dir` joined with "metadata.bin" ("metadata.bin" alone when `dir` is
  // empty). Touches no file.
  explicit MetadataStore(std::string_view dir);

  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // Appends `text` to the file and points slot `id` at it. Failures (all
  // kInvalid except kNoMemory for a slot that cannot be allocated) leave
  // `locations` as it was; a failed write may leave part of the text at the
  // end of the file, unreferenced.
  Status append(uint32_t id, std::string_view text);

  // The text recorded for `id`, ill-formed UTF-8 replaced by U+FFFD; nothing
  // when the slot is empty or the record cannot be read whole.
  std::optional<std::string> get(uint32_t id) const;

  const std::string& file_path() const { return file_path_; }

  // The location recorded for `id`, if any.
  std::optional<Location> location(uint32_t id) const;
  // One more than the highest id with a record (0 when none).
  uint64_t slot_count() const;

 private:
  struct Packed {
    uint16_t offset_low, offset_high, length;  // length LONG_LENGTH: see long_lengths_
  };
  static constexpr uint16_t LONG_LENGTH = 0xFFFF;

  // The file part of append(): lock, seek, write, then set the slot.
  Status write_record(uint32_t id, std::string_view text);
  Location unpack(uint32_t id, const Packed& p) const;

  std::string file_path_;
  SlotTable<Packed> locations_;
  FlatMap<uint32_t, uint32_t> long_lengths_;  // id -> length, for lengths >= LONG_LENGTH
};

// Decodes `bytes` as UTF-8, replacing each maximal ill-formed subsequence
// with U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace ostrel
