// Filter engine throughput: indexing 100k five-field metadata objects,
// evaluating equality, range and three-clause "$and" filters over them, and
// the memory of the range index for 100k distinct values.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "filter.h"

namespace ostrel {
namespace {

constexpr uint32_t kDocs = 100000;

// {"cat": "c<i%50>", "flag": <i%3==0>, "price": <0.5..2500>, "tag": "x<i%7>",
//  "year": <1990..2024>}; members in ascending key order, as parse() gives them.
// Built with append: GCC 12 misreports -Wrestrict on `"c" + std::string` at -O3.
std::string label(char letter, uint32_t n) {
  std::string s(1, letter);
  s.append(std::to_string(n));
  return s;
}

json::Object make_metadata(uint32_t i) {
  json::Object o;
  o.push_back({"cat", json::Value(label('c', i % 50))});
  o.push_back({"flag", json::Value(i % 3 == 0)});
  o.push_back({"price", json::Value(double((i * 37u) % 10000u) / 4.0 + 0.5)});
  o.push_back({"tag", json::Value(label('x', i % 7))});
  o.push_back({"year", json::Value(uint64_t{1990 + i % 35})});
  return o;
}

const std::vector<json::Object>& metadata() {
  static const std::vector<json::Object> objects = [] {
    std::vector<json::Object> out;
    out.reserve(kDocs);
    for (uint32_t i = 0; i < kDocs; ++i) out.push_back(make_metadata(i));
    return out;
  }();
  return objects;
}

void index_all(FilterEngine& engine) {
  const std::vector<json::Object>& objects = metadata();
  for (uint32_t id = 0; id < kDocs; ++id) {
    engine.add_document(id);
    engine.index_object(objects[id], "", id);
  }
}

void BM_IndexObjects(benchmark::State& state) {
  metadata();
  for (auto _ : state) {
    auto engine = std::make_unique<FilterEngine>();
    index_all(*engine);
    state.PauseTiming();
    engine.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kDocs);
}
BENCHMARK(BM_IndexObjects)->Unit(benchmark::kMillisecond);

// One indexed and flushed engine shared by the evaluation benchmarks.
FilterEngine& indexed_engine() {
  static FilterEngine* engine = [] {
    auto* e = new FilterEngine();
    index_all(*e);
    (void)e->apply_filter("{}");
    return e;
  }();
  return *engine;
}

void run_filter(benchmark::State& state, const char* filter) {
  FilterEngine& engine = indexed_engine();
  uint64_t matched = 0;
  for (auto _ : state) {
    Result<ClauseResult> r = engine.apply_filter(filter);
    matched = r.ok() && r.value() ? r.value()->cardinality() : 0;
    benchmark::DoNotOptimize(matched);
  }
  state.counters["matched"] = double(matched);
}

void BM_EvalEquality(benchmark::State& state) { run_filter(state, R"({"cat": {"$eq": "c17"}})"); }
BENCHMARK(BM_EvalEquality)->Unit(benchmark::kMicrosecond);

void BM_EvalRange(benchmark::State& state) {
  run_filter(state, R"({"price": {"$gte": 100, "$lt": 600}})");
}
BENCHMARK(BM_EvalRange)->Unit(benchmark::kMicrosecond);

void BM_EvalAnd3(benchmark::State& state) {
  run_filter(state,
             R"({"$and": [{"cat": {"$eq": "c17"}}, {"price": {"$lt": 1500}},
                          {"flag": {"$eq": true}}]})");
}
BENCHMARK(BM_EvalAnd3)->Unit(benchmark::kMicrosecond);

// Range index of one field holding 100k distinct values (ids in shuffled
// value order), built by index_object's threshold flushes plus a final one.
void BM_RangeIndexMemory(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) {
    FilterEngine engine;
    for (uint32_t id = 0; id < kDocs; ++id) {
      json::Object o;
      o.push_back({"v", json::Value(double((id * 7919u) % kDocs) * 0.25)});
      engine.add_document(id);
      engine.index_object(o, "", id);
    }
    (void)engine.apply_filter("{}");
    bytes = engine.range_index_memory_bytes();
  }
  state.counters["range_index_bytes"] = double(bytes);
  state.counters["bytes_per_value"] = double(bytes) / kDocs;
}
BENCHMARK(BM_RangeIndexMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace ostrel

BENCHMARK_MAIN();
