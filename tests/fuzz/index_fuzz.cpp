// libFuzzer target for FilterEngine indexing and removal. The input is a
// program, one operation per line (<id> decimal, modulo 2^32): `a<id> <json>`
// (re-)adds <id> as the engine does, `u<id>` un-indexes its object, `r<id>`
// queues it for removal, `d` removes the queued ids and checks, `f` checks;
// the end acts as `d`. Engine A removes a batch with one remove_all, engine B
// id by id: a check asserts that all_docs is the live set and that both give
// the same set, within it, for every clause on the first 16 paths ever
// indexed and their values (logical nodes only combine these).
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

void check(bool ok) {
  if (!ok) std::abort();
}

struct Harness {
  FilterEngine a, b;
  std::map<uint32_t, std::optional<Value>> docs;       // live ids -> indexed object
  std::map<std::string, std::set<std::string>> texts;  // every path ever indexed
  std::map<std::string, std::set<double>> numbers;
  Roaring queued, live;

  // Records the paths of `object` as the engine forms them, with their values.
  void walk(const Object& object, const std::string& prefix) {
    for (const Member& m : object) {
      const std::string path = prefix.empty() ? m.key : prefix + "." + m.key;
      std::set<std::string>& t = texts[path];
      if (m.value.is_string()) t.insert(m.value.as_string());
      if (m.value.is_bool()) t.insert(m.value.as_bool() ? "true" : "false");
      if (m.value.is_number()) numbers[path].insert(m.value.number_as_double());
      if (m.value.is_object()) walk(m.value.as_object(), path);
    }
  }

  void add(uint32_t id, std::string_view metadata) {
    unindex(id);
    for (FilterEngine* e : {&a, &b}) e->add_document(id);
    docs[id].reset();
    Result<Value> parsed = ostrel::json::parse(metadata);
    if (!parsed.ok() || !parsed->is_object()) return;
    for (FilterEngine* e : {&a, &b}) e->index_object(parsed->as_object(), "", id);
    walk(parsed->as_object(), "");
    docs[id] = std::move(parsed.value());
  }

  void unindex(uint32_t id) {
    auto it = docs.find(id);
    if (it == docs.end() || !it->second) return;
    for (FilterEngine* e : {&a, &b}) e->unindex_object(it->second->as_object(), "", id);
    it->second.reset();
  }

  void remove_queued() {
    a.remove_all(queued);
    for (uint32_t id : queued) b.remove_document(id), docs.erase(id);
    queued = Roaring();
  }

  // A clause on a path ever indexed: both engines give the same set. A path
  // named like a logical operator ("$or", "$and", "$not") reads as that
  // operator, which may put no constraint: both engines must then agree.
  void clause(const std::string& path, const char* op, Value operand) {
    Object ops, node;
    ops.push_back(Member{op, std::move(operand)});
    node.push_back(Member{path, Value(std::move(ops))});
    const Value filter(std::move(node));
    ClauseResult r = a.eval_filter(filter), s = b.eval_filter(filter);
    const bool logical = path == "$or" || path == "$and" || path == "$not";
    if (logical && !r) return check(!s);
    check(r && s && *r == *s && r->isSubset(live));
  }

  void check_all() {
    live = Roaring();
    for (const auto& entry : docs) live.add(entry.first);
    for (FilterEngine* e : {&a, &b}) {  // flushes, and reads all_docs
      Result<ClauseResult> all = e->apply_filter(R"({"$not":{"$or":[]}})");
      check(all.ok() && all.value() && *all.value() == live);
    }
    size_t paths = 0;
    for (const auto& [path, values] : texts) {
      if (++paths > 16) break;
      for (bool exists : {true, false}) clause(path, "$exists", Value(exists));
      size_t n = 0;
      for (auto it = values.begin(); it != values.end() && n++ < 6; ++it) {
        for (const char* op : {"$eq", "$ne"}) clause(path, op, Value(*it));
      }
      n = 0;
      for (auto it = numbers[path].begin(); it != numbers[path].end() && n++ < 6; ++it) {
        clause(path, "$eq", Value(*it));
        for (double bound : {*it, *it - 0.5, *it + 0.5}) {
          for (const char* op : {"$gt", "$gte", "$lt", "$lte"}) clause(path, op, Value(bound));
        }
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view program(reinterpret_cast<const char*>(data), size);
  Harness h;
  for (size_t ops = 0; ops < 48 && !program.empty(); ++ops) {
    const size_t eol = std::min(program.find('\n'), program.size());
    std::string_view line = program.substr(0, eol);
    program.remove_prefix(std::min(eol + 1, program.size()));
    if (line.empty()) continue;
    uint64_t id = 0;  // up to 10 digits after the operation
    size_t i = 1;
    for (; i < line.size() && i <= 10 && line[i] >= '0' && line[i] <= '9'; ++i)
      id = id * 10 + static_cast<uint64_t>(line[i] - '0');
    const char op = line.front();
    line.remove_prefix(i);
    if (op == 'a') h.add(static_cast<uint32_t>(id), line.starts_with(' ') ? line.substr(1) : line);
    if (op == 'u') h.unindex(static_cast<uint32_t>(id));
    if (op == 'r') h.queued.add(static_cast<uint32_t>(id));
    if (op == 'd') h.remove_queued();
    if (op == 'd' || op == 'f') h.check_all();
  }
  h.remove_queued();
  h.check_all();
  return 0;
}
