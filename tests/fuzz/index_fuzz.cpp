// libFuzzer target for FilterEngine indexing and removal. The input is a
// small program, one operation per line (<id> decimal, modulo 2^32):
//   a<id> <json>  add <id>; a live id is re-added as the adding path does it
//                 (its previous object un-indexed first); metadata that is
//                 not a JSON object indexes nothing
//   u<id>         un-index the current object of <id> (it stays a document)
//   r<id>         queue <id> for removal (absent ids included)
//   d             remove the queued ids, then check
//   f             check (the check flushes)
// The end of the input acts as `d`.
//
// Engine A removes each batch with one remove_all, engine B with
// remove_document per id. A check asserts that both give equal outcomes on
// fixed filters and on filters built from the first kMaxPaths paths ever
// indexed and their values, and that all_docs is the live set and no result
// holds anything else (a removed id never comes back). What each clause
// matches is checked against a model by the Python differential tests.
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
using ostrel::json::Member;
using ostrel::json::Object;
using ostrel::json::Value;

constexpr size_t kMaxOps = 48;
constexpr size_t kMaxPaths = 16;
constexpr size_t kMaxValuesPerPath = 6;

constexpr std::string_view kFixedFilters[] = {
    R"({"a":{"$gt":0}})",
    R"({"a.b":{"$gte":-1,"$lt":100}})",
    R"({"b":{"$in":["x","y",true,1]}})",
    R"({"b":{"$nin":["x",2]}})",
    R"({"$not":{"a":{"$lt":2}}})",
    R"({"$or":[{"a":{"$eq":1}},{"b":{"$eq":"x"}}]})",
    R"({"$and":[{"a":{"$exists":true}},{"$not":{"b":{"$exists":true}}}]})",
};

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const ClauseResult& a, const ClauseResult& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
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
  Object ops, node;
  ops.push_back(Member{std::move(op), std::move(operand)});
  node.push_back(Member{path, Value(std::move(ops))});
  return Value(std::move(node));
}

class Harness {
 public:
  void add(uint32_t id, std::string_view metadata) {
    unindex(id);
    a_.add_document(id);
    b_.add_document(id);
    docs_[id].reset();
    Result<Value> parsed = ostrel::json::parse(metadata);
    if (!parsed.ok() || !parsed->is_object()) return;
    a_.index_object(parsed->as_object(), "", id);
    b_.index_object(parsed->as_object(), "", id);
    walk(parsed->as_object(), "", [this](const std::string& path, const Value& v) {
      std::set<std::string>& texts = seen_texts_[path];  // every path is listed here
      if (std::optional<std::string> t = eq_text(v)) texts.insert(*t);
      if (v.is_number()) seen_numbers_[path].insert(v.number_as_double());
    });
    docs_[id] = std::move(parsed.value());
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

  void check_all() {
    live_ = Roaring();
    for (const auto& [id, object] : docs_) live_.add(id);
    for (FilterEngine* e : {&a_, &b_}) {  // flushes, and reads all_docs
      Result<ClauseResult> all = e->apply_filter(R"({"$not":{"$or":[]}})");
      check(all.ok() && all.value() && *all.value() == live_);
    }
    for (std::string_view text : kFixedFilters) {
      Result<Value> filter = ostrel::json::parse(text);
      check(filter.ok());
      eval_both(filter.value());
    }
    size_t paths = 0;
    for (const auto& [path, texts] : seen_texts_) {
      if (++paths > kMaxPaths) break;
      check_path(path, texts);
    }
  }

 private:
  ClauseResult eval_both(const Value& filter) {
    ClauseResult ra = a_.eval_filter(filter);
    check(same(ra, b_.eval_filter(filter)));
    if (ra) check(ra->isSubset(live_));
    return ra;
  }

  // eval_both, which must give a set.
  Roaring set_of(const std::string& path, const char* op, Value operand) {
    ClauseResult r = eval_both(field_op(path, op, std::move(operand)));
    check(r.has_value());
    return *r;
  }

  void check_path(const std::string& path, const std::set<std::string>& texts) {
    for (bool exists : {true, false}) set_of(path, "$exists", Value(exists));
    size_t n = 0;
    for (const std::string& text : texts) {
      if (++n > kMaxValuesPerPath) break;
      for (const char* op : {"$eq", "$ne"}) set_of(path, op, Value(text));
    }
    n = 0;
    for (double v : seen_numbers_[path]) {
      if (++n > kMaxValuesPerPath) break;
      set_of(path, "$eq", Value(v));
      for (double bound : {v, v - 0.5, v + 0.5}) {
        for (const char* op : {"$gt", "$gte", "$lt", "$lte"}) set_of(path, op, Value(bound));
      }
    }
  }

  FilterEngine a_, b_;
  std::map<uint32_t, std::optional<Value>> docs_;            // live ids -> indexed object
  std::map<std::string, std::set<std::string>> seen_texts_;  // every path ever indexed
  std::map<std::string, std::set<double>> seen_numbers_;
  Roaring queued_, live_;
};

uint32_t parse_id(std::string_view& line) {
  uint64_t id = 0;
  size_t i = 0;
  for (; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i)
    id = id * 10 + static_cast<uint64_t>(line[i] - '0');
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
    const uint32_t id = parse_id(line);
    if (op == 'a') h.add(id, line.starts_with(' ') ? line.substr(1) : line);
    if (op == 'u') h.unindex(id);
    if (op == 'r') h.queue(id);
    if (op == 'd') h.remove_queued();
    if (op == 'd' || op == 'f') h.check_all();
  }
  h.remove_queued();
  h.check_all();
  return 0;
}
