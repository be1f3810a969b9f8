#include "thread_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

namespace ostrel {
namespace {

TEST(ThreadPool, ChildAfterForkGetsAWorkingPool) {
  ThreadPool* pool = ThreadPool::instance();
  std::atomic<int> sum{0};
  pool->run(8, [&](size_t i) { sum += static_cast<int>(i); });
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang fails the test instead of blocking it
    std::atomic<int> in_child{0};
    ThreadPool* fresh = ThreadPool::instance();
    if (fresh == nullptr) _exit(2);
    fresh->run(100, [&](size_t) { in_child += 1; });
    _exit(in_child.load() == 100 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child hung or crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  sum = 0;
  pool->run(8, [&](size_t i) { sum += static_cast<int>(i); });
  EXPECT_EQ(sum.load(), 28);
}

}  // namespace
}  // namespace ostrel
