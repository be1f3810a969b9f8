// A plain model of the database, for differential tests of the engine
// (core_test.cpp, tests/fuzz/engine_fuzz.cpp).
//
// Documents live in maps, filters are predicates, and search is the literal
// pipeline: the index's proposals, the replacement rule, every candidate
// scored alone with compute_similarity(), a stable sort. The model shares no
// reader, piece, floor or selection code with the engine. It owns an LSH
// index and a VectorStorage of its own, keyed by id and fed the same vectors
// in the same order, for the same proposals (in the same order) and the
// reference score.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core.h"
#include "lsh.h"
#include "storage.h"

namespace ostrel::model {

struct Doc {  // the metadata {"g": g, "n": n} and, when t, "t": "a"
  uint32_t g, n;
  bool t;
};

// The filters the model evaluates: a text, whose %u stand for the two
// operands, and a predicate. The last compares a field with a plain value:
// it constrains nothing, so it matches nothing.
struct FilterForm {
  const char* text;
  bool (*matches)(const Doc&, uint32_t a, uint32_t b);
};
inline constexpr FilterForm FILTERS[] = {
    {"", [](const Doc&, uint32_t, uint32_t) { return true; }},
    {R"({"g":{"$lt":%u}})", [](const Doc& d, uint32_t a, uint32_t) { return d.g < a; }},
    {R"({"$not":{"g":{"$lt":%u}}})", [](const Doc& d, uint32_t a, uint32_t) { return d.g >= a; }},
    {R"({"g":{"$ne":%u}})", [](const Doc& d, uint32_t a, uint32_t) { return d.g != a; }},
    {R"({"t":{"$exists":false}})", [](const Doc& d, uint32_t, uint32_t) { return !d.t; }},
    {R"({"$or":[{"t":{"$eq":"a"}},{"g":{"$gte":%u}}]})",
     [](const Doc& d, uint32_t a, uint32_t) { return d.t || d.g >= a; }},
    {R"({"g":{"$gte":%u,"$lt":%u}})",
     [](const Doc& d, uint32_t a, uint32_t b) { return d.g >= a && d.g < b; }},
    {R"({"n":{"$lt":%u}})", [](const Doc& d, uint32_t a, uint32_t) { return d.n < a; }},
    {R"({"g":{"$eq":%u}})", [](const Doc& d, uint32_t a, uint32_t) { return d.g == a; }},
    {R"({"g":%u})", [](const Doc&, uint32_t, uint32_t) { return false; }},
};
enum Form { ANY, OLDEST = 7, EQUAL = 8 };

struct Filter {
  size_t form;
  uint32_t a = 0, b = 0;
  bool matches(const Doc& d) const { return FILTERS[form].matches(d, a, b); }
  std::optional<std::string> json() const {
    char text[80];
    std::snprintf(text, sizeof text, FILTERS[form].text, a, b);
    return form == ANY ? std::nullopt : std::optional<std::string>(text);
  }
};

using Pairs = std::vector<std::pair<uint32_t, float>>;  // (id, score)

struct Model {
  void add(uint32_t id, const std::vector<float>& v, const Doc& doc, std::optional<int64_t> ttl) {
    if (!lsh) lsh = std::make_unique<LSH>(v.size());
    (void)lsh->insert(v, id);
    (void)storage.store(id, v);
    docs[id] = doc;
    indexed.insert(id);
    next_id = std::max<uint64_t>(next_id, uint64_t{id} + 1);
    if (ttl) *ttl < 0 ? (void)expiring.insert(id) : (void)expiring.erase(id);  // -1 or far ahead
  }
  // As delete: the indexed documents the filter matches (deleted ones
  // re-added included); returns how many.
  uint64_t remove_matching(const Filter& f) {
    std::vector<uint32_t> matched;
    for (uint32_t id : indexed)
      if (f.matches(docs[id])) matched.push_back(id);
    remove(matched);
    return matched.size();
  }
  void purge() {
    remove({expiring.begin(), expiring.end()});
    expiring.clear();
  }
  void remove(const std::vector<uint32_t>& ids) {
    for (uint32_t id : ids) deleted.insert(id), indexed.erase(id);
    if (lsh) lsh->remove_all(Roaring(ids.size(), ids.data()));
  }

  Pairs search(std::span<const float> query, uint64_t k, const Filter& f) {
    purge();
    if (k == 0) return {};
    std::vector<uint32_t> eligible;  // ascending id
    for (const auto& [id, doc] : docs)
      if (!deleted.count(id) && f.matches(doc)) eligible.push_back(id);
    std::vector<uint32_t> c = lsh ? lsh->query_candidates(query, std::max<uint64_t>(10 * k, 1000))
                                  : std::vector<uint32_t>{};
    if (c.size() < std::min<uint64_t>(2 * k, next_id)) {
      c = eligible;
    } else {
      std::erase_if(c, [&](uint32_t id) {
        return !std::binary_search(eligible.begin(), eligible.end(), id);
      });
      if (c.size() < k && eligible.size() > c.size()) c = eligible;
    }
    Pairs scored;
    for (uint32_t id : c)
      if (std::optional<float> s = storage.compute_similarity(query, id))
        scored.emplace_back(id, *s);
    // Higher scores first, NaN after every number, ties in candidate order.
    std::stable_sort(scored.begin(), scored.end(), [](const auto& x, const auto& y) {
      return !std::isnan(x.second) && (std::isnan(y.second) || x.second > y.second);
    });
    if (scored.size() > k) scored.resize(k);
    return scored;
  }

  std::unique_ptr<LSH> lsh;
  VectorStorage storage;
  std::map<uint32_t, Doc> docs;
  std::set<uint32_t> indexed;   // what negations range over
  std::set<uint32_t> deleted;   // never shrinks
  std::set<uint32_t> expiring;  // their expiry lies in the past
  uint64_t next_id = 0;
};

// Drives the engine and the model through one random sequence of
// operations and compares every answer. `Source` gives the choices:
// uint32_t below(uint32_t n) in [0, n). run() returns what differed first,
// or nothing.
template <typename Source>
class Sequence {
 public:
  Sequence(Source& src, const std::filesystem::path& dir, std::optional<ScoringPlan> plan,
           uint32_t bulk_scale)
      : src_(src), rng_(src.below(1u << 30)), pieces_(plan ? plan->pieces : 4) {
    static constexpr size_t DIMS[] = {12, 96, 128};
    dim_ = DIMS[src_.below(3)];
    layout_ = src_.below(3);
    clustered_ = src_.below(2) == 0;
    deletes_ = src_.below(3) != 0;
    for (auto& c : centres_) c = unit_vector(dim_);
    target_ = (src_.below(2) ? 5000 : 30) + src_.below(bulk_scale);
    db_ = OstrelDB::open(dir.string(), plan).value();
  }

  std::string run() {
    for (uint32_t added = 0; added < target_ && failure_.empty(); ++added) {
      add(fresh_id(), deletes_ ? src_.below(100) : 50);
      if (src_.below(50) == 0) readd();
      if (src_.below(target_ / 4 + 1) == 0) search();
      if (deletes_ && src_.below(target_ / 3 + 1) == 0) remove();
    }
    for (int op = 0; op < 40 && failure_.empty(); ++op) {
      const uint32_t r = src_.below(10);
      if (r < 6) search();
      if (r == 6 && deletes_) remove();
      if (r == 7 && !ids_.empty()) readd();
      if (r >= 8) add(fresh_id(), r == 8 && deletes_ ? 0 : 99);
    }
    return failure_;
  }

 private:
  // Ids dense, random over 32 bits, or in blocks near 0, 10^6, 2^31 and 2^32.
  uint32_t fresh_id() {
    static constexpr uint32_t BASES[] = {0, 1000000, 0x7FFFFF00u, 0xFFFFF000u};
    if (layout_ == 0) return next_dense_++;
    if (layout_ == 1) return static_cast<uint32_t>(rng_());
    const uint32_t b = src_.below(4);
    return BASES[b] + block_next_[b]++;
  }
  uint32_t some_id() { return ids_[src_.below(static_cast<uint32_t>(ids_.size()))]; }

  // Unit length, so that quantized scores spread over [0, 1].
  std::vector<float> unit_vector(size_t n) {
    std::normal_distribution<float> g;
    std::vector<float> v(n);
    float norm = 0.0f;
    for (float& x : v) x = g(rng_), norm += x * x;
    for (float& x : v) x /= std::sqrt(norm);
    return v;
  }
  // Now and then a component the arithmetic must survive.
  void spoil(std::vector<float>& v, uint32_t odds) {
    static constexpr float SPECIAL[] = {NAN, INFINITY, -INFINITY, 1e20f, -1e20f};
    if (!v.empty() && src_.below(odds) == 0) v[rng_() % v.size()] = SPECIAL[src_.below(5)];
  }
  // Clustered: multiples of a few directions held for runs of adds (long
  // runs of rows in one bucket, and ties), some a little off.
  std::vector<float> document_vector() {
    std::vector<float> v = unit_vector(dim_);
    if (!clustered_) return v;
    if (src_.below(64) == 0) centre_ = src_.below(4);
    const float scale = 0.5f + 0.25f * static_cast<float>(src_.below(5));
    const float noise = src_.below(4) == 0 ? 0.05f : 0.0f;
    for (size_t i = 0; i < v.size(); ++i) v[i] = centres_[centre_][i] * scale + noise * v[i];
    return v;
  }

  // `roll` < 2: expires at once; 99: expires far ahead.
  void add(uint32_t id, uint32_t roll) {
    std::vector<float> v = document_vector();
    spoil(v, 300);
    const Doc doc{src_.below(20), serial_, serial_ == 0 || src_.below(2) == 0};  // "t" known
    ++serial_;
    const std::optional<int64_t> ttl = roll < 2     ? -1
                                       : roll == 99 ? std::optional<int64_t>(1000000)
                                                    : std::nullopt;
    if (vectors_.insert_or_assign(id, v).second) ids_.push_back(id);
    model_.add(id, v, doc, ttl);
    const std::string meta = "{\"g\":" + std::to_string(doc.g) + ",\"n\":" + std::to_string(doc.n) +
                             (doc.t ? ",\"t\":\"a\"}" : "}");
    if (!db_->add(id, v, meta, ttl).ok()) fail("add " + std::to_string(id) + " failed");
  }
  // Often a recent id: its row then comes after its neighbours' in the
  // bucket's list, out of order, in the stretch a search reads.
  void readd() {
    const size_t n = ids_.size();
    add(src_.below(2) ? some_id() : ids_[n - 1 - src_.below(std::min<uint32_t>(n, 16))], 50);
  }

  Filter random_filter() {
    const size_t form = src_.below(std::size(FILTERS));
    if (form == OLDEST) return {form, src_.below(serial_ + 1)};
    const uint32_t a = src_.below(21);
    return {form, a, a + src_.below(8)};
  }

  // A run of 256 or more of the oldest documents, a scattered few, or any.
  void remove() {
    const uint32_t r = src_.below(4);
    Filter f = r < 2    ? Filter{OLDEST, oldest_cut_ += 256 + src_.below(400)}
               : r == 2 ? Filter{EQUAL, src_.below(20)}
                        : random_filter();
    if (f.form == ANY) return;
    const uint64_t expected = model_.remove_matching(f);
    Result<uint64_t> got = db_->delete_matching(*f.json());
    if (!got.ok() || *got != expected) fail("delete " + *f.json() + " matched a different count");
  }

  // A stored vector, one of another length or empty, or a new one; now and
  // then with a non-finite or huge component.
  std::vector<float> random_query() {
    const uint32_t r = src_.below(8);
    std::vector<float> q = r < 4 && !ids_.empty() ? vectors_[some_id()]
                                                  : unit_vector(r == 4   ? dim_ + 5
                                                                : r == 5 ? dim_ / 2
                                                                : r == 6 ? 0
                                                                         : dim_);
    spoil(q, 4);
    return q;
  }

  void search() {
    const uint64_t live = model_.docs.size() - model_.deleted.size();
    const uint64_t piece = VectorStorage::piece_length(live, pieces_);  // k at and past a piece
    const uint64_t ks[] = {0, 1, 10, 100, piece, piece + 1, live / 4, live, live + 7};
    const uint64_t k = ks[src_.below(9)];
    const std::vector<float> q = random_query();
    const Filter f = src_.below(3) == 0 ? Filter{ANY} : random_filter();
    const Pairs want = model_.search(q, k, f);
    Result<std::vector<ResultTriple>> got = db_->search(q, k, f.json(), false);
    auto key = [](uint32_t id, float s) {  // scores compared as bits, NaN with NaN
      return std::pair(id, std::bit_cast<uint32_t>(std::isnan(s) ? NAN : s));
    };
    std::vector<std::pair<uint32_t, uint32_t>> seen, wanted;
    for (const ResultTriple& r : got.ok() ? *got : std::vector<ResultTriple>{})
      seen.push_back(key(r.id, r.score));
    for (auto [id, s] : want) wanted.push_back(key(id, s));
    if (!got.ok() || seen != wanted) {
      return fail("search k=" + std::to_string(k) + " filter " + f.json().value_or("-") +
                  (model_.storage.quantized() ? " quantized: " : " raw: ") +
                  std::to_string(seen.size()) + " results, the model has " +
                  std::to_string(want.size()));
    }
    model_.purge();
    Result<uint64_t> count = db_->count();
    if (!count.ok() || *count != model_.next_id - model_.deleted.size()) fail("count differs");
  }

  void fail(const std::string& what) {
    if (failure_.empty()) failure_ = what;
  }

  Source& src_;
  std::mt19937 rng_;  // vector components, random ids
  uint64_t pieces_;   // of the scoring plan
  size_t dim_;
  uint32_t layout_;  // of the ids: see fresh_id()
  bool clustered_;   // vectors: a few directions, or spread
  bool deletes_;     // documents leave (deletes, expiry), or none ever does
  uint32_t target_;  // documents added first
  std::vector<float> centres_[4];
  uint32_t centre_ = 0, next_dense_ = 0, block_next_[4] = {}, serial_ = 0, oldest_cut_ = 0;
  std::map<uint32_t, std::vector<float>> vectors_;  // the latest of each id
  std::vector<uint32_t> ids_;                       // each id once
  std::unique_ptr<OstrelDB> db_;
  Model model_;
  std::string failure_;
};

}  // namespace ostrel::model
