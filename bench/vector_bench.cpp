// Microbenchmarks of the vector core: kernels, LSH hashing, encoding,
// quantized scoring, and memory per stored document.
//
//   cmake --build build --target vector_bench && ./build/vector_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "kernels.h"
#include "lsh.h"
#include "quantize.h"
#include "storage.h"

namespace ostrel {
namespace {

std::vector<float> random_unit(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> g;
  std::vector<float> v(dim);
  float n = 0;
  for (float& x : v) x = g(rng), n += x * x;
  for (float& x : v) x /= std::sqrt(n);
  return v;
}

// Keeps the activation line out of the benchmark's report.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(1)) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

void BM_CosF32(benchmark::State& state) {
  std::mt19937 rng(1);
  auto a = random_unit(rng, state.range(0)), b = random_unit(rng, state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(kernels::cos_f32(a.data(), b.data(), a.size()));
  state.SetLabel(kernels::target_name());
}
BENCHMARK(BM_CosF32)->Arg(128)->Arg(768);

void BM_L2sqF32Columns256(benchmark::State& state) {
  std::mt19937 rng(2);
  auto x = random_unit(rng, 12), cols = random_unit(rng, 12 * 256);
  std::vector<float> out(256);
  for (auto _ : state) {
    kernels::l2sq_f32_columns(x.data(), 12, cols.data(), 16, 12, 256, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_L2sqF32Columns256);

void BM_LshHash(benchmark::State& state) {
  std::mt19937 rng(3);
  LSH lsh(state.range(0));
  auto v = random_unit(rng, state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(lsh.hash_vector(v));
}
BENCHMARK(BM_LshHash)->Arg(128)->Arg(768);

void BM_Encode768(benchmark::State& state) {
  std::mt19937 rng(4);
  std::vector<std::vector<float>> data;
  for (int i = 0; i < 5000; ++i) data.push_back(random_unit(rng, 768));
  auto pq = ProductQuantizer::train(768, {data.begin(), data.end()});
  uint8_t code[64];
  size_t i = 0;
  for (auto _ : state) {
    pq->encode(data[i++ % data.size()], code);
    benchmark::DoNotOptimize(code);
  }
}
BENCHMARK(BM_Encode768);

// The add that switches 5000 stored 768-d vectors to codes (train + encode).
void BM_Activation5000x768(benchmark::State& state) {
  std::mt19937 rng(5);
  std::vector<std::vector<float>> data;
  for (int i = 0; i <= 5000; ++i) data.push_back(random_unit(rng, 768));
  QuietStdout quiet;
  for (auto _ : state) {
    state.PauseTiming();
    VectorStorage storage;
    for (uint32_t id = 0; id < 5000; ++id) (void)storage.store(id, data[id]);
    state.ResumeTiming();
    (void)storage.store(5000, data[5000]);
  }
}
BENCHMARK(BM_Activation5000x768)->Unit(benchmark::kMillisecond)->Iterations(3);

// A storage holding n random unit vectors of `dim` components under rows 0..n-1.
std::unique_ptr<VectorStorage> filled_storage(std::mt19937& rng, uint32_t n, size_t dim) {
  auto storage = std::make_unique<VectorStorage>();
  QuietStdout quiet;
  for (uint32_t row = 0; row < n; ++row) (void)storage->store(row, random_unit(rng, dim));
  return storage;
}

void BM_QuantizedScore1000(benchmark::State& state) {
  std::mt19937 rng(6);
  const auto filled = filled_storage(rng, 20000, 768);
  const VectorStorage& storage = *filled;
  std::vector<uint32_t> ids(1000);
  for (uint32_t& id : ids) id = rng() % 20000;
  auto query = random_unit(rng, 768);
  float sum = 0;
  for (auto _ : state) {
    storage.score(query, std::span<const uint32_t>(ids), ScoringPlan{},
                  [&](size_t, std::span<const ScoredPair> block) {
                    for (const ScoredPair& p : block) sum += p.score;
                  });
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_QuantizedScore1000)->Unit(benchmark::kMicrosecond);

// Members of 1000 clusters of 128-d vectors, as the peer comparison draws
// them (centre plus noise of norm 0.75).
class Mixture {
 public:
  explicit Mixture(uint32_t seed) : rng_(seed) {
    for (int c = 0; c < 1000; ++c) centres_.push_back(random_unit(rng_, 128));
  }
  std::vector<float> member() {
    std::vector<float> v = centres_[rng_() % centres_.size()];
    for (float& x : v) x += noise_(rng_);
    return v;
  }

 private:
  std::mt19937 rng_;
  std::vector<std::vector<float>> centres_;
  std::normal_distribution<float> noise_{0.0f, 0.75f / std::sqrt(128.0f)};
};

// Candidates of a k = 10 search (limit 1000) from an index of clustered
// 128-d vectors: the exact bucket, 16 probes and the 20-entry scan.
void BM_LshQuery(benchmark::State& state) {
  Mixture mixture(10);
  auto member = [&] { return mixture.member(); };
  const size_t n = state.range(0);
  LSH lsh(128);
  for (uint32_t id = 0; id < n; ++id) (void)lsh.insert(member(), id);
  std::vector<std::vector<float>> queries;
  for (int q = 0; q < 256; ++q) queries.push_back(member());
  size_t q = 0, found = 0;
  for (auto _ : state) found += lsh.query_candidates(queries[q++ % queries.size()], 1000).size();
  state.counters["candidates"] = double(found) / state.iterations();
}
BENCHMARK(BM_LshQuery)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// The 20 codes nearest a query among n codes of clustered vectors.
void BM_CodeIndexNearest(benchmark::State& state) {
  Mixture mixture(11);
  const size_t n = state.range(0);
  LSH lsh(128);
  auto member_code = [&] { return static_cast<uint32_t>(lsh.hash_vector(mixture.member())); };
  CodeIndex index;
  std::set<uint32_t> seen;
  while (seen.size() < n) {
    const uint32_t c = member_code();
    if (seen.insert(c).second) index.add(c, 0);
  }
  std::vector<uint32_t> queries, out;
  for (int q = 0; q < 256; ++q) queries.push_back(member_code());
  size_t q = 0;
  for (auto _ : state) {
    index.nearest(queries[q++ % queries.size()], 20, &out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_CodeIndexNearest)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// Scoring every stored code, as an exhaustive search does: 100,000 128-d
// documents, on the calling thread alone (0) or on the pool (1).
void BM_ScoreAll100kx128(benchmark::State& state) {
  std::mt19937 rng(9);
  const auto filled = filled_storage(rng, 100000, 128);
  const VectorStorage& storage = *filled;
  std::vector<uint32_t> rows(100000);
  std::iota(rows.begin(), rows.end(), 0u);
  auto query = random_unit(rng, 128);
  const ScoringPlan plan = state.range(0) ? VectorStorage::plan_for(rows.size()) : ScoringPlan{};
  std::vector<float> best(plan.pieces, 0.0f);
  for (auto _ : state) {
    storage.score(query, std::span<const uint32_t>(rows), plan,
                  [&](size_t piece, std::span<const ScoredPair> block) {
                    for (const ScoredPair& p : block) best[piece] = std::max(best[piece], p.score);
                  });
    benchmark::DoNotOptimize(best.data());
  }
}
BENCHMARK(BM_ScoreAll100kx128)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Bytes of the storage per stored document, raw (N = 4000) and quantized
// (N = 20000), densely numbered.
void BM_StorageBytesPerDocument(benchmark::State& state) {
  const size_t dim = state.range(0), n = state.range(1);
  std::mt19937 rng(7);
  auto v = random_unit(rng, dim);
  double per_doc = 0;
  for (auto _ : state) {
    QuietStdout quiet;
    VectorStorage storage;
    for (uint32_t id = 0; id < n; ++id) (void)storage.store(id, v);
    per_doc = double(storage.memory_bytes()) / n;
  }
  state.counters["bytes_per_doc"] = per_doc;
}
BENCHMARK(BM_StorageBytesPerDocument)
    ->Args({128, 4000})
    ->Args({768, 4000})
    ->Args({128, 20000})
    ->Args({768, 20000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_LshBytesPerDocument(benchmark::State& state) {
  std::mt19937 rng(8);
  const size_t n = state.range(0);
  double per_doc = 0;
  for (auto _ : state) {
    LSH lsh(128);
    for (uint32_t id = 0; id < n; ++id) (void)lsh.insert(random_unit(rng, 128), id);
    per_doc = double(lsh.memory_bytes()) / n;
  }
  state.counters["bytes_per_doc"] = per_doc;
}
BENCHMARK(BM_LshBytesPerDocument)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ostrel

BENCHMARK_MAIN();
