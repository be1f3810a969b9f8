#include "core.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "engine_model.h"
#include "thread_pool.h"

namespace ostrel {
namespace {

struct SeededSource {
  std::mt19937 rng;
  uint32_t below(uint32_t n) { return rng() % n; }
};

// Random sequences of adds, re-adds, expiring adds, deletes of long runs and
// of scattered documents, filtered searches with k from 0 past the live
// count, non-finite values in vectors and queries, over raw and quantized
// databases with dense, random and blocked ids; each search must equal the
// plain pipeline, under every split a machine could make.
TEST(Engine, RandomSequencesEqualThePlainPipeline) {
  const bool emulated = std::getenv("OSTREL_EMULATED") != nullptr;
  std::unique_ptr<ThreadPool> one = ThreadPool::create(1), three = ThreadPool::create(3);
  // The machine's plan, then forced pieces on the calling thread and on pools
  // of 1 and 3 workers, and the plain twin.
  // clang-format off
  const std::optional<ScoringPlan> plans[] = {
      std::nullopt, ScoringPlan{1}, ScoringPlan{2, three.get()}, ScoringPlan{3},
      ScoringPlan{7, one.get()}, ScoringPlan{32, three.get()}, ScoringPlan{64},
      ScoringPlan{5, three.get(), false}};
  // clang-format on
  // More for a longer hunt: OSTREL_MODEL_SEQUENCES=n.
  const char* asked = std::getenv("OSTREL_MODEL_SEQUENCES");
  const int sequences = asked ? std::atoi(asked) : emulated ? 8 : 48;
  const auto root =
      std::filesystem::temp_directory_path() / ("ostrel_core_test_" + std::to_string(::getpid()));
  for (int s = 0; s < sequences; ++s) {
    SeededSource source{std::mt19937(s)};
    testing::internal::CaptureStdout();  // the activation notices
    model::Sequence sequence(source, root / std::to_string(s), plans[s % std::size(plans)],
                             emulated ? 200 : 600);
    const std::string failure = sequence.run();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failure, "") << "sequence " << s;
  }
  std::filesystem::remove_all(root);
}

// A writer re-adds documents with new numbers (each leaving its number
// pending, out of the range index) and adds documents that expire at once;
// readers search with a negated range filter meanwhile. No result may fail
// the filter or have expired: the merge of pending numbers and the purge
// must come in the same hold as the evaluation.
TEST(Engine, ConcurrentSearchesSeeMergedNumbersAndNoExpiredDocuments) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("ostrel_core_threads_" + std::to_string(::getpid()));
  std::unique_ptr<OstrelDB> db = OstrelDB::open(dir.string()).value();
  constexpr uint32_t DOCS = 2000, EXPIRED_FROM = 10000;
  const auto meta = [](uint32_t v) { return "{\"v\":" + std::to_string(v) + "}"; };
  const std::vector<float> query(16, 0.25f), other(16, -0.25f);  // query: every re-add's vector
  for (uint32_t id = 0; id < DOCS; ++id) ASSERT_TRUE(db->add(id, other, meta(id % 100), {}).ok());
  std::atomic<bool> done{false};
  std::atomic<uint64_t> violations{0}, searches{0};
  std::thread writer([&] {
    std::mt19937 w(2);
    for (uint32_t i = 0; i < (std::getenv("OSTREL_EMULATED") ? 1000u : 3000u); ++i) {
      (void)db->add(w() % DOCS, query, meta(w() % 100), {});
      if (i % 8 == 0) (void)db->add(EXPIRED_FROM + i, query, meta(99), -1);
    }
    done = true;
  });
  auto reader = [&] {
    for (; !done; ++searches) {
      auto got = db->search(query, 100, R"({"$not":{"v":{"$lt":50}}})", true);
      for (const ResultTriple& r : got.value())
        violations += r.id >= EXPIRED_FROM || std::stoi(r.metadata.substr(5)) < 50;
    }
  };
  std::thread r1(reader), r2(reader);
  writer.join();
  r1.join();
  r2.join();
  EXPECT_EQ(violations, 0u) << "in " << searches << " searches";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ostrel
