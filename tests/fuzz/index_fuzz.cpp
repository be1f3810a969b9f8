// libFuzzer target for FilterEngine indexing and removal. The input is a
// small program, one operation per line:
//
//   a<id> <json>   add <id> with metadata <json>; a live id is re-added as
//                  the engine's adding path does it (its previous object is
//                  un-indexed first); metadata that is not an object (or not
//                  JSON) makes a document with nothing indexed
//   u<id>          un-index the current object of <id> (it stays a document)
//   r<id>          queue <id> for removal (absent ids included)
//   d              remove the queued ids, then run the full check
//   f              flush (one apply_filter per engine), then the light check
//
// <id> is decimal, taken modulo 2^32. The end of the input acts as `d`.
//
// Two engines run the same program, except that engine A removes a batch
// with one remove_all while engine B calls remove_document per id. The light
// check: both engines' all_docs equal the live set, and both give equal
// outcomes on a fixed list of filters, every result holding live ids only
// (a removed id never comes back). The full check adds filters derived from
// the paths and values the program ever indexed (the first kMaxPaths paths,
// kMaxValuesPerPath values of each kind per path), on which both engines
// agree and match a model of the live documents:
//   - "$exists" and string/boolean "$eq"/"$ne" are sets equal to what the
//     live documents' current objects say;
//   - "$eq" and the range operators on a path that ever received a number
//     are sets holding only live ids that carry a number there; a range
//     operator decides every id whose (smallest) number lies more than
//     kMargin from the bound as exact arithmetic does. The margin covers
//     value grouping: an id behaves as a group key less than
//     GROUP_TOLERANCE below its value, once more per flush.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <roaring/roaring.hh>

#include "filter.h"
#include "json.h"

namespace {

using ostrel::ClauseResult;
using ostrel::FilterEngine;
using ostrel::Result;
using ostrel::json::Array;
using ostrel::json::Member;
using ostrel::json::Object;
using ostrel::json::Value;

constexpr size_t kMaxOps = 48;
constexpr size_t kMaxPaths = 16;
constexpr size_t kMaxValuesPerPath = 6;
constexpr double kMargin = 1e-6;
// Every check flushes once; the margin must exceed the drift of all of them.
static_assert((kMaxOps + 1) * ostrel::GROUP_TOLERANCE < kMargin);

constexpr std::string_view kFixedFilters[] = {
    R"({"a":{"$eq":1}})",
    R"({"a":{"$gt":0}})",
    R"({"a":{"$lte":1.5}})",
    R"({"a":{"$exists":true}})",
    R"({"a":{"$exists":false}})",
    R"({"a.b":{"$gte":-1,"$lt":100}})",
    R"({"b":{"$eq":"x"}})",
    R"({"b":{"$ne":"x"}})",
    R"({"b":{"$in":["x","y",true,1]}})",
    R"({"b":{"$nin":["x",2]}})",
    R"({"$not":{"a":{"$lt":2}}})",
    R"({"$or":[{"a":{"$eq":1}},{"b":{"$eq":"x"}}]})",
    R"({"$and":[{"a":{"$exists":true}},{"$not":{"b":{"$exists":true}}}]})",
};

void check(bool ok) {
  if (!ok) std::abort();
}

const std::vector<Value>& fixed_filters() {
  static const std::vector<Value>* parsed = [] {
    auto* v = new std::vector<Value>;
    for (std::string_view text : kFixedFilters) {
      Result<Value> r = ostrel::json::parse(text);
      check(r.ok());
      v->push_back(std::move(r.value()));
    }
    return v;
  }();
  return *parsed;
}

bool same(const ClauseResult& a, const ClauseResult& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || *a == *b;
}

// Calls fn(path, value) for every member of `object` and of its nested
// objects, forming paths as the engine does.
template <typename Fn>
void walk(const Object& object, const std::string& prefix, Fn&& fn) {
  for (const Member& m : object) {
    const std::string path = prefix.empty() ? m.key : prefix + "." + m.key;
    fn(path, m.value);
    if (m.value.is_object()) walk(m.value.as_object(), path, fn);
  }
}

std::optional<std::string> eq_text(const Value& v) {
  if (v.is_bool()) return v.as_bool() ? "true" : "false";
  if (v.is_string()) return v.as_string();
  return std::nullopt;
}

Value field_op(const std::string& path, std::string op, Value operand) {
  Object ops;
  ops.push_back(Member{std::move(op), std::move(operand)});
  Object node;
  node.push_back(Member{path, Value(std::move(ops))});
  return Value(std::move(node));
}

// What one live document's current object says about one path.
struct Facts {
  bool exists = false;
  std::set<std::string> texts;
  std::optional<double> min_number;
};

struct Seen {
  std::set<std::string> texts;
  std::set<double> numbers;
};

class Harness {
 public:
  void add(uint32_t id, std::string_view metadata) {
    auto it = docs_.find(id);
    if (it != docs_.end() && it->second) {
      a_.unindex_object(it->second->as_object(), "", id);
      b_.unindex_object(it->second->as_object(), "", id);
    }
    a_.add_document(id);
    b_.add_document(id);
    std::optional<Value>& current = docs_[id];
    current.reset();
    Result<Value> parsed = ostrel::json::parse(metadata);
    if (!parsed.ok() || !parsed->is_object()) return;
    a_.index_object(parsed->as_object(), "", id);
    b_.index_object(parsed->as_object(), "", id);
    walk(parsed->as_object(), "", [this](const std::string& path, const Value& v) {
      Seen& s = seen_[path];
      if (std::optional<std::string> t = eq_text(v)) s.texts.insert(*t);
      if (v.is_number()) s.numbers.insert(v.number_as_double());
    });
    current = std::move(parsed.value());
  }

  void unindex(uint32_t id) {
    auto it = docs_.find(id);
    if (it == docs_.end() || !it->second) return;
    a_.unindex_object(it->second->as_object(), "", id);
    b_.unindex_object(it->second->as_object(), "", id);
    it->second.reset();
  }

  void queue(uint32_t id) { queued_.add(id); }

  void remove_queued() {
    a_.remove_all(queued_);
    for (uint32_t id : queued_) {
      b_.remove_document(id);
      docs_.erase(id);
    }
    queued_ = Roaring();
  }

  // A light check runs the fixed filters (which flush both engines) and
  // compares all_docs; a full one adds the filters derived from every path.
  void check_all(bool full) {
    Roaring live;
    for (const auto& [id, object] : docs_) live.add(id);

    // One apply_filter per engine flushes it (and reads all_docs); the fixed
    // filters are parsed once and evaluated directly.
    for (FilterEngine* e : {&a_, &b_}) {
      Result<ClauseResult> all = e->apply_filter(R"({"$not":{"$or":[]}})");
      check(all.ok() && all.value() && *all.value() == live);
    }
    for (const Value& filter : fixed_filters()) eval_both(filter, live);

    if (!full) return;
    size_t paths = 0;
    for (const auto& [path, seen] : seen_) {
      if (++paths > kMaxPaths) break;
      check_path(path, seen, live);
    }
  }

 private:
  ClauseResult eval_both(const Value& filter, const Roaring& live) {
    ClauseResult ra = a_.eval_filter(filter);
    check(same(ra, b_.eval_filter(filter)));
    if (ra) check(ra->isSubset(live));
    return ra;
  }

  Facts facts(const Value& object, const std::string& path) const {
    Facts f;
    walk(object.as_object(), "", [&](const std::string& p, const Value& v) {
      if (p != path) return;
      f.exists = true;
      if (std::optional<std::string> t = eq_text(v)) f.texts.insert(*t);
      if (v.is_number()) {
        const double d = v.number_as_double();
        f.min_number = f.min_number ? std::min(*f.min_number, d) : d;
      }
    });
    return f;
  }

  void check_path(const std::string& path, const Seen& seen, const Roaring& live) {
    std::map<uint32_t, Facts> by_id;
    Roaring present;
    for (const auto& [id, object] : docs_) {
      if (!object) continue;
      Facts f = facts(*object, path);
      if (f.exists) present.add(id);
      by_id.emplace(id, std::move(f));
    }

    ClauseResult yes = eval_both(field_op(path, "$exists", Value(true)), live);
    ClauseResult no = eval_both(field_op(path, "$exists", Value(false)), live);
    check(yes && no);
    check(*yes == present);
    check(*no == (live - present));

    size_t n = 0;
    for (const std::string& text : seen.texts) {
      if (++n > kMaxValuesPerPath) break;
      Roaring want;
      for (const auto& [id, f] : by_id) {
        if (f.texts.contains(text)) want.add(id);
      }
      ClauseResult eq = eval_both(field_op(path, "$eq", Value(text)), live);
      ClauseResult ne = eval_both(field_op(path, "$ne", Value(text)), live);
      check(eq && ne);
      check(*eq == want);
      check(*ne == (live - want));
    }

    if (seen.numbers.empty()) return;
    Roaring holders;
    for (const auto& [id, f] : by_id) {
      if (f.min_number) holders.add(id);
    }
    n = 0;
    for (double v : seen.numbers) {
      if (++n > kMaxValuesPerPath) break;
      ClauseResult eq = eval_both(field_op(path, "$eq", Value(v)), live);
      check(eq && eq->isSubset(holders));
      for (double bound : {v, v - 0.5, v + 0.5}) check_range(path, bound, by_id, holders, live);
    }
  }

  void check_range(const std::string& path, double bound, const std::map<uint32_t, Facts>& by_id,
                   const Roaring& holders, const Roaring& live) {
    for (const char* op : {"$gt", "$gte", "$lt", "$lte"}) {
      ClauseResult r = eval_both(field_op(path, op, Value(bound)), live);
      check(r && r->isSubset(holders));
      const bool upward = op[1] == 'g';
      for (const auto& [id, f] : by_id) {
        if (!f.min_number) continue;
        const double d = *f.min_number - bound;
        if (d > -kMargin && d < kMargin) continue;
        check(r->contains(id) == (upward ? d > 0 : d < 0));
      }
    }
  }

  FilterEngine a_;
  FilterEngine b_;
  std::map<uint32_t, std::optional<Value>> docs_;  // live ids -> indexed object
  std::map<std::string, Seen> seen_;               // everything ever indexed
  Roaring queued_;
};

uint32_t parse_id(std::string_view& line) {
  uint64_t id = 0;
  size_t i = 0;
  while (i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9') {
    id = id * 10 + static_cast<uint64_t>(line[i] - '0');
    ++i;
  }
  line.remove_prefix(i);
  return static_cast<uint32_t>(id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view program(reinterpret_cast<const char*>(data), size);
  Harness h;
  for (size_t ops = 0; ops < kMaxOps && !program.empty(); ++ops) {
    const size_t eol = program.find('\n');
    std::string_view line = program.substr(0, eol);
    program.remove_prefix(eol == std::string_view::npos ? program.size() : eol + 1);
    if (line.empty()) continue;
    const char op = line.front();
    line.remove_prefix(1);
    switch (op) {
      case 'a': {
        const uint32_t id = parse_id(line);
        if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        h.add(id, line);
        break;
      }
      case 'u':
        h.unindex(parse_id(line));
        break;
      case 'r':
        h.queue(parse_id(line));
        break;
      case 'd':
        h.remove_queued();
        h.check_all(/*full=*/true);
        break;
      case 'f':
        h.check_all(/*full=*/false);
        break;
      default:
        break;
    }
  }
  h.remove_queued();
  h.check_all(/*full=*/true);
  return 0;
}
