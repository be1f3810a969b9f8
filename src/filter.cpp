#include "filter.h"

#include <algorithm>
#include <utility>

namespace ostrel {
namespace {

using Kind = json::Value::Kind;

// The text whose hash keys a string or boolean in eq_index.
std::string_view eq_text(const json::Value& value) {
  if (value.is_bool()) return value.as_bool() ? "true" : "false";
  return value.as_string();
}

// Appends `key` to the enclosing path held in `path` and returns the old
// length, to which the caller trims the path back afterwards.
size_t push_key(std::string& path, std::string_view key) {
  size_t old_size = path.size();
  if (old_size != 0) path.push_back('.');
  path.append(key);
  return old_size;
}

template <typename Map>
typename Map::mapped_type& find_or_create(Map& map, std::string_view path) {
  auto it = map.find(path);
  if (it == map.end()) it = map.emplace(std::string(path), typename Map::mapped_type()).first;
  return it->second;
}

}  // namespace

void FilterEngine::add_document(uint32_t id) { all_docs_.add(id); }

// ---------------------------------------------------------------------------
// Indexing

namespace {

// Calls visit(path, value) for every member of `object` and of the objects
// nested in it, in ascending key order, with `path` the member's dotted path.
// Array elements are not visited.
template <typename Visit>
void visit_members(const json::Object& object, std::string& path, Visit&& visit) {
  for (const json::Member& member : object) {
    const size_t old_size = push_key(path, member.key);
    visit(std::string_view(path), member.value);
    if (member.value.kind() == Kind::kObject) visit_members(member.value.as_object(), path, visit);
    path.resize(old_size);
  }
}

bool is_number(const json::Value& value) {
  return value.kind() == Kind::kUint || value.kind() == Kind::kInt || value.kind() == Kind::kDouble;
}

bool is_eq_value(const json::Value& value) {
  return value.kind() == Kind::kBool || value.kind() == Kind::kString;
}

}  // namespace

void FilterEngine::index_object(const json::Object& object, std::string_view prefix, uint32_t id) {
  std::string path(prefix);
  visit_members(object, path, [&](std::string_view path, const json::Value& value) {
    { find_or_create(exists_index_, path).add(id); }
    if (is_eq_value(value)) {
      const uint64_t h = hash_value(eq_text(value));
      find_or_create(eq_index_, path).try_emplace(h).first->add(id);
    } else if (is_number(value)) {
      PairVec& pairs = find_or_create(pending_numeric_, path);
      pairs.emplace_back(value.number_as_double(), id);
      if (pairs.size() >= Options::PENDING_FLUSH_THRESHOLD) {
        // The array is emptied only once the new tree is stored, so a failed
        // merge leaves the numbers pending rather than lost.
        flush_pending(range_trees_, path, pairs);
        PairVec().swap(pairs);
      }
    }
  });
}

void FilterEngine::unindex_object(const json::Object& object, std::string_view prefix,
                                  uint32_t id) {
  std::string path(prefix);
  visit_members(object, path, [&](std::string_view path, const json::Value& value) {
    {
      auto it = exists_index_.find(path);
      if (it != exists_index_.end()) it->second.remove(id);
    }
    if (is_eq_value(value)) {
      const uint64_t h = hash_value(eq_text(value));
      auto it = eq_index_.find(path);
      if (it != eq_index_.end()) {
        if (Roaring* set = it->second.find(h)) set->remove(id);
      }
    } else if (is_number(value)) {
      Roaring one;
      one.add(id);
      purge_numeric(one, path);
    }
  });
}

// ---------------------------------------------------------------------------
// Flushing

void FilterEngine::flush_pending(RangeTrees& trees, std::string_view path, const PairVec& pending) {
  // The same tree as rebuilding from the pending pairs followed by the old
  // tree's pairs; a handful of values is merged in place.
  auto it = trees.find(path);
  if (it != trees.end()) {
    it->second.insert(pending);
  } else {
    trees.emplace(std::string(path), IntervalTree::build(pending));
  }
}

void FilterEngine::flush_pending_numbers() {
  PendingNumeric& pending = pending_numeric_;
  RangeTrees& trees = range_trees_;
  // An entry is erased only after its tree is stored, so a failed build
  // leaves the remaining numbers pending rather than lost.
  for (auto it = pending.begin(); it != pending.end(); it = pending.erase(it)) {
    if (!it->second.empty()) {
      flush_pending(trees, it->first, it->second);
    } else if (!trees.contains(it->first)) {
      // Every number of a never-flushed field was removed while pending:
      // the field was still seen, so it gets an (empty) tree.
      trees.emplace(it->first, IntervalTree::build({}));
    }
  }
}

// ---------------------------------------------------------------------------
// Removal

void FilterEngine::purge_numeric(const Roaring& ids, std::optional<std::string_view> only_path) {
  // Both locks together (in the allowed order), so a concurrent flush cannot
  // move a pair into the tree between the two purges.
  auto drop = [&ids](const IntervalTree::Pair& p) { return ids.contains(p.second); };
  if (only_path) {
    auto p = pending_numeric_.find(*only_path);
    if (p != pending_numeric_.end()) std::erase_if(p->second, drop);
    auto t = range_trees_.find(*only_path);
    if (t != range_trees_.end()) t->second.remove(ids);
    return;
  }
  for (auto& [path, pairs] : pending_numeric_) std::erase_if(pairs, drop);
  for (auto& [path, tree] : range_trees_) tree.remove(ids);
}

void FilterEngine::remove_document(uint32_t id) {
  { all_docs_.remove(id); }
  {
    for (auto& [path, values] : eq_index_) {
      values.for_each_mut([id](uint64_t, Roaring& set) { set.remove(id); });
    }
  }
  {
    for (auto& [path, set] : exists_index_) set.remove(id);
  }
  Roaring one;
  one.add(id);
  purge_numeric(one, std::nullopt);
}

void FilterEngine::remove_all(const Roaring& ids) {
  if (ids.isEmpty()) return;
  { all_docs_ -= ids; }
  {
    for (auto& [path, values] : eq_index_) {
      values.for_each_mut([&ids](uint64_t, Roaring& set) { set -= ids; });
    }
  }
  {
    for (auto& [path, set] : exists_index_) set -= ids;
  }
  purge_numeric(ids, std::nullopt);
}

// ---------------------------------------------------------------------------
// Evaluation

Result<ClauseResult> FilterEngine::apply_filter(std::string_view filter_json) {
  flush_pending_numbers();
  return evaluate(filter_json);
}

Result<ClauseResult> FilterEngine::evaluate(std::string_view filter_json) const {
  Result<json::Value> parsed = json::parse(filter_json);
  if (!parsed.ok()) return parsed.status();
  return eval_filter(parsed.value());
}

ClauseResult FilterEngine::eval_filter(const json::Value& node) const {
  if (!node.is_object() || node.as_object().empty()) return std::nullopt;
  // Members are sorted by key: the first one has the smallest key, and is
  // the only one used.
  const json::Member& member = node.as_object().front();
  const json::Value& value = member.value;

  if (member.key == "$and") {
    if (!value.is_array() || value.as_array().empty()) return std::nullopt;
    ClauseResult running;
    for (const json::Value& element : value.as_array()) {
      ClauseResult r = eval_filter(element);
      if (!r) continue;
      if (!running) {
        running = std::move(r);
      } else {
        *running &= *r;
      }
      if (running->isEmpty()) return Roaring();
    }
    return running;
  }
  if (member.key == "$or") {
    if (!value.is_array()) return std::nullopt;
    Roaring all;
    for (const json::Value& element : value.as_array()) {
      if (ClauseResult r = eval_filter(element)) all |= *r;
    }
    return all;
  }
  if (member.key == "$not") {
    ClauseResult r = eval_filter(value);
    if (!r) return std::nullopt;
    return all_docs_minus(*r);
  }
  if (!value.is_object() || value.as_object().empty()) return std::nullopt;
  return eval_field(member.key, value.as_object());
}

ClauseResult FilterEngine::eval_field(std::string_view field, const json::Object& ops) const {
  ClauseResult running;
  for (const json::Member& op : ops) {
    const std::string_view name = op.key;
    const json::Value& operand = op.value;
    ClauseResult r;
    if (name == "$eq") {
      r = eval_eq(field, operand);
    } else if (name == "$ne") {
      r = eval_eq(field, operand);
      if (r) r = all_docs_minus(*r);
    } else if (name == "$gt" || name == "$gte" || name == "$lt" || name == "$lte") {
      if (operand.is_number()) r = eval_range(field, name, operand.number_as_double());
    } else if (name == "$in" || name == "$nin") {
      if (operand.is_array()) {
        Roaring any;
        for (const json::Value& element : operand.as_array()) {
          if (ClauseResult e = eval_eq(field, element)) any |= *e;
        }
        r = name == "$in" ? std::move(any) : all_docs_minus(any);
      }
    } else if (name == "$exists") {
      if (operand.is_bool()) r = eval_exists(field, operand.as_bool());
    }
    // Unknown operators and operands of the wrong kind are skipped.
    if (!r) continue;
    if (!running) {
      running = std::move(r);
    } else {
      *running &= *r;
    }
  }
  return running;
}

ClauseResult FilterEngine::eval_eq(std::string_view field, const json::Value& value) const {
  if (value.is_bool() || value.is_string()) {
    const uint64_t h = hash_value(eq_text(value));
    auto it = eq_index_.find(field);
    if (it == eq_index_.end() || it->second.empty()) return std::nullopt;
    if (const Roaring* set = it->second.find(h)) return Roaring(*set);
    return Roaring();  // the field has values, none of them this one
  }
  if (value.is_number()) {
    const double v = value.number_as_double();
    auto it = range_trees_.find(field);
    if (it == range_trees_.end()) return std::nullopt;
    return it->second.equal_to(v);
  }
  return std::nullopt;  // null, array, object
}

ClauseResult FilterEngine::eval_range(std::string_view field, std::string_view op,
                                      double bound) const {
  auto it = range_trees_.find(field);
  if (it == range_trees_.end()) return std::nullopt;
  return it->second.range_query(op, bound);
}

ClauseResult FilterEngine::eval_exists(std::string_view field, bool want) const {
  auto it = exists_index_.find(field);
  if (it == exists_index_.end()) return std::nullopt;
  if (want) return Roaring(it->second);
  Roaring result;
  { result = all_docs_; }
  result -= it->second;
  return result;
}

Roaring FilterEngine::all_docs_minus(const Roaring& set) const {
  Roaring result;
  { result = all_docs_; }
  result -= set;
  return result;
}

// ---------------------------------------------------------------------------
// Introspection

size_t FilterEngine::pending_count(std::string_view path) const {
  auto it = pending_numeric_.find(path);
  return it == pending_numeric_.end() ? 0 : it->second.size();
}

std::optional<std::vector<IntervalTree::Pair>> FilterEngine::tree_pairs(
    std::string_view path) const {
  auto it = range_trees_.find(path);
  if (it == range_trees_.end()) return std::nullopt;
  return it->second.pairs();
}

size_t FilterEngine::range_index_memory_bytes() const {
  size_t bytes = 0;
  for (const auto& [path, tree] : range_trees_) bytes += tree.memory_bytes();
  return bytes;
}

}  // namespace ostrel
