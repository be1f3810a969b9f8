// libFuzzer target for the whole search pipeline: the input chooses a
// sequence of adds, re-adds, expiring adds, deletes and searches (and the
// split of the scoring), and every search must equal the plain pipeline of
// tests/cpp/engine_model.h. Bulk phases are short (up to 64 documents past
// the quantization threshold) so that quantized databases stay within reach.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "../cpp/engine_model.h"
#include "thread_pool.h"

namespace {

struct FuzzSource {
  FuzzedDataProvider& data;
  uint32_t below(uint32_t n) { return data.ConsumeIntegralInRange<uint32_t>(0, n - 1); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static ostrel::ThreadPool* pool = ostrel::ThreadPool::create(2).release();
  static const auto dir =
      std::filesystem::temp_directory_path() / ("ostrel_engine_fuzz_" + std::to_string(::getpid()));
  FuzzedDataProvider data(bytes, size);
  FuzzSource source{data};
  static constexpr uint64_t PIECES[] = {1, 2, 3, 7, 32, 64};
  const ostrel::ScoringPlan plan{PIECES[source.below(6)], source.below(2) ? pool : nullptr,
                                 source.below(4) != 0};
  std::filesystem::remove_all(dir);
  const std::string failure = ostrel::model::Sequence(source, dir, plan, 64).run();
  if (!failure.empty()) {
    std::fprintf(stderr, "differs from the model: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
