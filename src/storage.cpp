#include "storage.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "heap.h"
#include "kernels.h"

namespace ostrel {
namespace {

// Written with write(2) so it cannot be reordered with other output of the
// process through a stdio buffer.
void announce_activation(size_t threshold) {
  const std::string line =
      "Activating quantization at " + std::to_string(threshold) + " vectors...\n";
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(1, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report it; the switch goes on
    done += static_cast<size_t>(n);
  }
}

// Pairs handed to a sink at a time; rows per piece at least.
constexpr size_t PAIRS_PER_BLOCK = 64;
constexpr uint64_t MIN_PIECE_ROWS = 512;
// Positions read at a time by a piece (their rows on its stack).
constexpr size_t ROWS_PER_SLICE = 256;

// The quantized score of a summed squared distance: 1 - min(sqrt(total) / 4,
// 1), where the minimum is 1 for a NaN distance (as fmin, without its call).
inline float quantized_score(float total) {
  const float scaled = std::sqrt(total) * 0.25f;
  return 1.0f - (scaled < 1.0f ? scaled : 1.0f);
}

// Rows scored side by side from the distance table: their sums are
// sequential, hence latency-bound, so several advance at once.
constexpr size_t ROWS_PER_GROUP = VectorStorage::ROWS_PER_GROUP;
constexpr size_t CHECK_MISSES = 16;

// Which totals can no longer score at or above a floor. Totals only grow as
// sub-spaces are added (every distance is >= 0 or NaN) and scores only fall
// as totals grow, so a row whose partial total is dropped ends below the
// floor. A NaN or infinite total scores 0, the lowest score: only a floor
// above 0 drops anything, and then it drops those too. Inactive, the rule
// drops nothing, whatever the total.
struct DropRule {
  bool active = false;
  float at = 0.0f;  // when active: the least total scoring below the floor; a
                    // total that is not below it (NaN included) is dropped
};

// Found by bisection over the non-negative floats, whose bit patterns are
// ordered like their values.
DropRule drop_rule(std::optional<float> floor) {
  const float inf = std::numeric_limits<float>::infinity();
  if (!floor || !(quantized_score(inf) < *floor)) return {};
  if (quantized_score(0.0f) < *floor) return {true, 0.0f};
  uint32_t lo = 0, hi = std::bit_cast<uint32_t>(inf);  // score(lo) >= floor > score(hi)
  while (hi - lo > 1) {
    const uint32_t mid = lo + (hi - lo) / 2;
    (quantized_score(std::bit_cast<float>(mid)) < *floor ? hi : lo) = mid;
  }
  return {true, std::bit_cast<float>(hi)};
}

// Same sums as VectorStorage::score_code() for ROWS_PER_GROUP rows: the
// table holds, per sub-space, the distance from the query slice to every
// centroid by the same arithmetic, and each row adds its entries in
// sub-space order (byte 0 beyond the `kept` bytes of a code). `byte(g, s)`
// is byte s of member g's code. With CHECKED, returns false, the sums left
// unfinished, when at a check `rule` (active) drops every partial total. Checks come
// after sub-spaces 4, 8, 16 and 32: each costs about as much as a sub-space.
template <bool CHECKED, typename Byte>
bool sum_codes(const float* distances, size_t kept, size_t used, Byte byte, const DropRule& rule,
               float* total) {
  constexpr size_t N = ROWS_PER_GROUP;
  for (size_t g = 0; g < N; ++g) total[g] = 0.0f;
  const float* d = distances;
  for (size_t s = 0, check = CHECKED ? 3 : kept; s < kept; ++s, d += ProductQuantizer::CENTROIDS) {
    for (size_t g = 0; g < N; ++g) total[g] += d[byte(g, s)];
    if (s == check && s + 1 < kept) {
      check = 2 * check + 1;
      bool all_dropped = true;  // checks run with an active rule only
      for (size_t g = 0; g < N; ++g) all_dropped &= !(total[g] < rule.at);
      if (all_dropped) return false;
    }
  }
  for (size_t s = kept; s < used; ++s) {
    for (size_t g = 0; g < N; ++g) total[g] += distances[s * ProductQuantizer::CENTROIDS];
  }
  return true;
}

// Whether list entries j .. j + 7 are the rows r .. r + 7 of one aligned
// group, r a multiple of ROWS_PER_GROUP. Every entry is compared: a list may
// be in any order (a bucket's re-added row comes last).
bool aligned_run_at(std::span<const uint32_t> rows, size_t j) {
  constexpr size_t LAST = ROWS_PER_GROUP - 1;
  if (j + LAST >= rows.size() || rows[j] % ROWS_PER_GROUP != 0 || rows[j + LAST] != rows[j] + LAST)
    return false;
  for (size_t g = 1; g < LAST; ++g) {
    if (rows[j + g] != rows[j] + g) return false;
  }
  return true;
}

// Calls f(rows) for each slice of positions [begin, end) of `sequence`, its
// rows read into `buffer` (ROWS_PER_SLICE entries). A slice may hold no row.
template <typename F>
void for_each_slice(const RowSequence& sequence, uint64_t begin, uint64_t end, uint32_t* buffer,
                    F&& f) {
  RowSequence::Reader reader(sequence, begin, end);
  for (RowSequence::Slice slice = reader.next(buffer, ROWS_PER_SLICE); slice.positions != 0;
       slice = reader.next(buffer, ROWS_PER_SLICE)) {
    f(slice.rows);
  }
}

// Longest code, in bytes.
constexpr size_t MAX_CODE_LEN = (Options::NOMINAL_DIMENSION + ProductQuantizer::SUBSPACE_DIM - 1) /
                                ProductQuantizer::SUBSPACE_DIM;

// Stands in for the missing members of a group that is not full (read with
// the code stride).
constexpr uint8_t ZERO_CODE[MAX_CODE_LEN * 16] = {};

}  // namespace

RowSequence::Reader::Reader(const RowSequence& rows, uint64_t begin, uint64_t end)
    : rows_(rows), at_(begin), end_(std::min(end, rows.size())) {
  if (at_ >= end_) {
    at_ = end_;
    return;
  }
  if (rows.set_ != nullptr) {
    uint32_t first = 0;
    roaring_bitmap_select(&rows.set_->roaring, static_cast<uint32_t>(begin), &first);
    roaring_init_iterator(&rows.set_->roaring, &it_);
    roaring_move_uint32_iterator_equalorlarger(&it_, first);
  } else if (rows.excluded_ != nullptr) {
    roaring_init_iterator(&rows.excluded_->roaring, &it_);
    roaring_move_uint32_iterator_equalorlarger(&it_, static_cast<uint32_t>(begin));
  }
}

RowSequence::Slice RowSequence::Reader::next(uint32_t* buffer, size_t room) {
  const uint64_t count = std::min<uint64_t>(room, end_ - at_);
  const uint64_t first = at_;
  at_ += count;
  if (count == 0) return {0, {}};
  if (rows_.set_ != nullptr) {
    const uint32_t n = roaring_read_uint32_iterator(&it_, buffer, static_cast<uint32_t>(count));
    return {count, {buffer, n}};
  }
  if (rows_.excluded_ == nullptr) return {count, rows_.list_.subspan(first, count)};
  size_t n = 0;
  for (uint64_t row = first, stop = first + count; row < stop;) {
    const uint64_t excluded = it_.has_value ? std::min<uint64_t>(it_.current_value, stop) : stop;
    while (row < excluded) buffer[n++] = static_cast<uint32_t>(row++);
    if (row < stop) {  // `row` is excluded
      ++row;
      roaring_advance_uint32_iterator(&it_);
    }
  }
  return {count, {buffer, n}};
}

VectorStorage::VectorStorage() : codes_(0), vectors_(0) {}

Status VectorStorage::store(uint32_t row, std::span<const float> vector, const IdOfRow& id_of) {
  try {
    if (quantizer_ == nullptr) {
      Status s = activate_if_due(id_of);
      if (!s.ok()) return s;
    }
    Status s = quantizer_ ? store_code(row, vector) : store_raw(row, vector);
    if (!s.ok()) return s;
    stored_.add(row);
  } catch (const std::bad_alloc&) {
    return Status::NoMemory("cannot store the vector of row " + std::to_string(row));
  } catch (const std::runtime_error&) {  // CRoaring's allocation failures
    return Status::NoMemory("cannot store the vector of row " + std::to_string(row));
  }
  return Status::OK();
}

Status VectorStorage::store_raw(uint32_t row, std::span<const float> vector) {
  if (vector.empty()) {
    empty_vectors_.add(row);
    vectors_.erase(row);
    return Status::OK();
  }
  if (vectors_.size() == 0 && vectors_.row_len() != vector.size()) {
    vectors_.clear();
    vectors_.set_row_len(vector.size());
  }
  if (vectors_.row_len() != vector.size()) {
    return Status::Internal("vector of length " + std::to_string(vector.size()) +
                            " stored beside vectors of length " +
                            std::to_string(vectors_.row_len()));
  }
  Result<float*> slot = vectors_.emplace(row);
  if (!slot.ok()) return slot.status();
  std::copy(vector.begin(), vector.end(), *slot);
  empty_vectors_.remove(row);
  return Status::OK();
}

Status VectorStorage::store_code(uint32_t row, std::span<const float> vector) {
  uint8_t code[MAX_CODE_LEN];
  quantizer_->encode(vector, code);
  return put_code(row, code);
}

Status VectorStorage::put_code(uint32_t row, const uint8_t* code) {
  Result<uint8_t*> slot = codes_.emplace(row);
  if (!slot.ok()) return slot.status();
  uint8_t* at = code_at(*slot, row);
  for (size_t s = 0; s < code_len_; ++s) at[s * CODE_BLOCK] = code[s];
  return Status::OK();
}

Status VectorStorage::activate_if_due(const IdOfRow& id_of) {
  if (stored_.cardinality() < Options::QUANTIZATION_THRESHOLD) return Status::OK();
  announce_activation(Options::QUANTIZATION_THRESHOLD);
  std::unique_ptr<ProductQuantizer> pq;
  size_t dim = 0;
  {
    // The rows themselves serve as training vectors, in ascending id order:
    // no copies are needed since nothing writes them meanwhile.
    std::vector<uint32_t> rows;
    rows.reserve(vectors_.size());
    vectors_.for_each([&](uint32_t row, const float*) { rows.push_back(row); });
    if (id_of) {
      std::sort(rows.begin(), rows.end(),
                [&](uint32_t a, uint32_t b) { return id_of(a) < id_of(b); });
    }
    dim = rows.empty() ? 0 : vectors_.row_len();
    std::vector<std::span<const float>> training;
    training.reserve(rows.size());
    for (uint32_t row : rows) training.emplace_back(vectors_.find(row), dim);
    pq = ProductQuantizer::train(Options::NOMINAL_DIMENSION, training);
  }
  // Sub-spaces from the dimension on always get byte 0: they are not kept.
  const size_t sub = pq->subspace_dim();
  const size_t code_len =
      dim == 0 ? pq->num_subspaces() : std::min(pq->num_subspaces(), (dim + sub - 1) / sub);
  {
    codes_ = SlotTable<uint8_t>(code_len);
    Status failed;
    uint8_t code[MAX_CODE_LEN];
    code_len_ = code_len;
    vectors_.for_each([&](uint32_t row, const float* v) {
      if (!failed.ok()) return;
      pq->encode(std::span<const float>(v, dim), code);
      failed = put_code(row, code);
    });
    for (uint32_t row : empty_vectors_) {  // an empty vector's code is all zeros
      if (!failed.ok()) break;
      Result<uint8_t*> slot = codes_.emplace(row);
      if (!slot.ok()) failed = slot.status();
    }
    if (!failed.ok()) {  // stay raw, as if the switch had not started
      codes_.clear();
      code_len_ = 0;
      return failed;
    }
  }
  {
    vectors_.clear();
    empty_vectors_ = Roaring();
  }
  quantizer_ = std::move(pq);
  // The raw pages were small heap blocks: hand their memory back to the
  // system now rather than keeping it for allocations that may never come.
  release_free_heap();
  return Status::OK();
}

float VectorStorage::score_raw(std::span<const float> query, std::span<const float> v) const {
  if (query.size() == v.size()) {
    return static_cast<float>(1.0 - kernels::cos_f32(query.data(), v.data(), v.size()));
  }
  if (query.empty()) return 0.0f;
  // Unequal lengths: cosine on the common prefix, three float sums in order.
  // (A query longer than the stored vector is cut to the stored length.)
  const size_t n = std::min(query.size(), v.size());
  float dot = 0.0f, nq = 0.0f, nv = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    dot += query[i] * v[i];
    nq += query[i] * query[i];
    nv += v[i] * v[i];
  }
  if (nq == 0.0f || nv == 0.0f) return 0.0f;
  return dot / (std::sqrt(nq) * std::sqrt(nv));
}

float VectorStorage::score_code(std::span<const float> query, const uint8_t* code) const {
  const ProductQuantizer& pq = *quantizer_;
  const size_t sub = pq.subspace_dim();
  float total = 0.0f;
  for (size_t i = 0; i < pq.num_subspaces(); ++i) {
    const size_t start = i * sub;
    if (start >= query.size()) break;
    const size_t end = std::min(start + sub, query.size());
    const uint8_t c = code_byte(code, i);
    // A slice longer than its centroid (query longer than the training
    // data) is cut to the centroid's length.
    const size_t n = std::min(end - start, pq.centroid_len(i, c));
    total +=
        static_cast<float>(kernels::l2sq_f32(query.data() + start, pq.centroid(i, c).data(), n));
  }
  return quantized_score(total);
}

std::optional<float> VectorStorage::compute_similarity(std::span<const float> query,
                                                       uint32_t row) const {
  if (quantizer_ != nullptr) {
    const uint8_t* code = find_code(row);
    if (code == nullptr) return std::nullopt;
    return score_code(query, code);
  }
  if (const float* v = vectors_.find(row)) {
    return score_raw(query, std::span<const float>(v, vectors_.row_len()));
  }
  if (empty_vectors_.contains(row)) return score_raw(query, {});
  return std::nullopt;
}

ScoringPlan VectorStorage::plan_for(uint64_t n) {
  ScoringPlan plan;
  if (n <= Options::PARALLEL_SCORING_THRESHOLD) return plan;
  plan.pool = ThreadPool::instance();
  if (plan.pool == nullptr) return plan;
  // A few pieces per thread, so that a thread held up elsewhere does not
  // hold up the whole search: the pool hands them out as threads get free.
  const uint64_t most = 2 * (plan.pool->worker_count() + 1);
  plan.pieces = std::clamp<uint64_t>(n / MIN_PIECE_ROWS, 1, most);
  return plan;
}

uint64_t VectorStorage::piece_length(uint64_t n, uint64_t pieces) {
  const uint64_t even = (n + pieces - 1) / pieces;
  return (even + ROWS_PER_GROUP - 1) / ROWS_PER_GROUP * ROWS_PER_GROUP;
}

void VectorStorage::score(std::span<const float> query, const RowSequence& rows,
                          const ScoringPlan& plan, const Sink& sink, const Floor& floor) const {
  QueryTable table;
  const bool tabled =
      plan.shortcuts && quantizer_ != nullptr && rows.size() >= Options::TABLE_THRESHOLD;
  if (tabled) table = make_table(query);
  const QueryTable* t = tabled ? &table : nullptr;
  const Floor no_floor;
  const Floor& f = plan.shortcuts ? floor : no_floor;
  const uint64_t count = std::max<uint64_t>(plan.pieces, 1);
  const uint64_t per = piece_length(rows.size(), count);
  auto piece = [&](size_t p) {
    const uint64_t begin = std::min(rows.size(), p * per);
    score_piece(query, t, rows, begin, std::min(rows.size(), begin + per), p, sink, f);
  };
  if (plan.pool == nullptr || count == 1) {
    for (size_t p = 0; p < count; ++p) piece(p);
    return;
  }
  // Workers only read, under the owner's lock held by this thread while it
  // waits.
  std::atomic<bool> failed{false};
  plan.pool->run(count, [&](size_t p) {
    try {
      piece(p);
    } catch (...) {  // the sink failed; reported on the calling thread
      failed = true;
    }
  });
  if (failed) throw std::bad_alloc();
}

// Hands a piece's pairs to the sink a block at a time, and reads the
// piece's floor after each block.
class VectorStorage::Emitter {
 public:
  Emitter(size_t piece, const Sink& sink, const Floor& floor)
      : piece_(piece), sink_(sink), read_floor_(floor) {}

  void operator()(uint32_t row, float score) {
    block_[filled_++] = {row, score};
    if (filled_ == PAIRS_PER_BLOCK) {
      flush();
      if (read_floor_) floor_ = read_floor_(piece_);
    }
  }
  void flush() {
    if (filled_ > 0) sink_(piece_, {block_, filled_});
    filled_ = 0;
  }
  // The floor as last read: scores below it may be left out.
  std::optional<float> floor() const { return floor_; }

 private:
  const size_t piece_;
  const Sink& sink_;
  const Floor& read_floor_;
  std::optional<float> floor_;
  ScoredPair block_[PAIRS_PER_BLOCK];
  size_t filled_ = 0;
};

void VectorStorage::score_piece(std::span<const float> query, const QueryTable* table,
                                const RowSequence& sequence, uint64_t begin, uint64_t end,
                                size_t piece, const Sink& sink, const Floor& floor) const {
  Emitter emit(piece, sink, floor);
  uint32_t buffer[ROWS_PER_SLICE];
  if (table != nullptr) {
    score_by_table(*table, sequence, begin, end, emit);
  } else if (quantizer_ != nullptr) {
    for_each_slice(sequence, begin, end, buffer, [&](std::span<const uint32_t> rows) {
      for (uint32_t row : rows) {
        if (const uint8_t* code = find_code(row)) emit(row, score_code(query, code));
      }
    });
  } else {
    SlotTable<float>::Cursor cursor;
    const size_t dim = vectors_.row_len();
    for_each_slice(sequence, begin, end, buffer, [&](std::span<const uint32_t> rows) {
      for (uint32_t row : rows) {
        if (const float* v = vectors_.find(row, cursor)) {
          emit(row, score_raw(query, std::span<const float>(v, dim)));
        } else if (empty_vectors_.contains(row)) {
          emit(row, score_raw(query, {}));
        }
      }
    });
  }
  emit.flush();
}

// Quantized rows by the query's distance table, ROWS_PER_GROUP at a time,
// those below the floor dropped early.
void VectorStorage::score_by_table(const QueryTable& table, const RowSequence& sequence,
                                   uint64_t begin, uint64_t end, Emitter& emit) const {
  const size_t used = table.used, kept = std::min(used, code_len_);
  const float* distances = table.distances.data();
  std::optional<float> rule_for = emit.floor();
  DropRule rule = drop_rule(rule_for);
  const uint8_t* codes[ROWS_PER_GROUP];
  uint32_t group[ROWS_PER_GROUP];
  size_t n = 0;
  auto emit_group = [&](size_t count, const float* total) {
    for (size_t g = 0; g < count; ++g) {
      if (!rule.active || total[g] < rule.at) emit(group[g], quantized_score(total[g]));
    }
    if (emit.floor() != rule_for) rule = drop_rule(rule_for = emit.floor());
  };
  // Checks pay only when they drop groups: after CHECK_MISSES groups in a
  // row that no check dropped, one group in CHECK_MISSES is checked, until
  // a check drops one again.
  size_t misses = 0, groups = 0;
  auto sum = [&](auto byte, size_t count) {
    float total[ROWS_PER_GROUP];
    bool whole = true;
    if (rule.active && (misses < CHECK_MISSES || ++groups % CHECK_MISSES == 0)) {
      whole = sum_codes<true>(distances, kept, used, byte, rule, total);
      misses = whole ? misses + 1 : 0;
    } else {
      sum_codes<false>(distances, kept, used, byte, rule, total);
    }
    if (whole) emit_group(count, total);
  };
  static_assert(sizeof(ZERO_CODE) >= MAX_CODE_LEN * CODE_BLOCK);
  // The scattered members of `group`, `count` of them, padded with zero codes.
  auto sum_group = [&](size_t count) {
    if (count == 0) return;
    for (size_t g = count; g < ROWS_PER_GROUP; ++g) codes[g] = ZERO_CODE;
    sum([&codes](size_t g, size_t s) { return codes[g][s * CODE_BLOCK]; }, count);
  };
  // An aligned run of rows, all stored (the common case of an exhaustive
  // scan): one pointer reads their codes at fixed offsets.
  auto sum_run = [&](uint32_t first, const uint8_t* base) {
    for (size_t g = 0; g < ROWS_PER_GROUP; ++g) group[g] = first + static_cast<uint32_t>(g);
    sum([base](size_t g, size_t s) { return base[s * CODE_BLOCK + g]; }, ROWS_PER_GROUP);
  };
  SlotTable<uint8_t>::Cursor cursor;
  uint32_t buffer[ROWS_PER_SLICE];
  for_each_slice(sequence, begin, end, buffer, [&](std::span<const uint32_t> rows) {
    for (size_t j = 0; j < rows.size();) {
      const uint32_t row = rows[j];
      if (aligned_run_at(rows, j)) {
        if (const uint8_t* first = codes_.find_run(row, ROWS_PER_GROUP, cursor)) {
          sum_group(n);  // the scattered rows before the run
          n = 0;
          sum_run(row, code_at(first, row));
          j += ROWS_PER_GROUP;
          continue;
        }
      }
      ++j;
      const uint8_t* slot = codes_.find(row, cursor);
      if (slot == nullptr) continue;
      codes[n] = code_at(slot, row);
      group[n++] = row;
      if (n == ROWS_PER_GROUP) {
        sum_group(n);
        n = 0;
      }
    }
  });
  sum_group(n);
}

// The table holds, per sub-space the query reaches, its distance to every
// centroid, computed as score_code() computes it.
VectorStorage::QueryTable VectorStorage::make_table(std::span<const float> query) const {
  const ProductQuantizer& pq = *quantizer_;
  const size_t sub = pq.subspace_dim();
  QueryTable t;
  while (t.used < pq.num_subspaces() && t.used * sub < query.size()) ++t.used;
  t.distances.resize(t.used * ProductQuantizer::CENTROIDS);
  for (size_t i = 0; i < t.used; ++i) {
    const size_t start = i * sub, end = std::min(start + sub, query.size());
    pq.subspace_distances(i, query.subspan(start, end - start),
                          t.distances.data() + i * ProductQuantizer::CENTROIDS);
  }
  return t;
}

bool VectorStorage::quantized() const { return quantizer_ != nullptr; }

size_t VectorStorage::memory_bytes() const {
  return codes_.memory_bytes() + vectors_.memory_bytes() + empty_vectors_.getSizeInBytes() +
         stored_.getSizeInBytes();
}

std::vector<uint8_t> VectorStorage::code_of(uint32_t row) const {
  if (quantizer_ == nullptr) return {};
  const uint8_t* code = find_code(row);
  if (code == nullptr) return {};
  std::vector<uint8_t> out(quantizer_->num_subspaces());
  for (size_t s = 0; s < out.size(); ++s) out[s] = code_byte(code, s);
  return out;
}

}  // namespace ostrel
