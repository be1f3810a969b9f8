// ThreadPool: the workers that score long candidate lists.
//
// The process-wide pool has one worker per logical processor but one (at
// least one), started on first use: run() hands out task indices to the
// workers and to the calling thread, which takes the remaining processor,
// and returns when every task has finished. The process-wide pool survives
// fork(): the child forgets the parent's pool (its threads do not exist
// there) and starts a new one on first use. When no worker thread can be
// started, instance() returns nullptr and callers do the work on their own
// thread. create() makes a pool of any size, whose threads stop when it is
// destroyed: tests use it to make every split a machine could make.
//
// Thread safety: any thread may call run(); calls are served one at a time.
// Tasks must not throw and must not call run() themselves.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace ostrel {

class ThreadPool {
 public:
  // The process-wide pool, or nullptr when no worker could be started.
  static ThreadPool* instance();
  // A pool of `workers` threads of its own, or nullptr when they could not
  // be started. REQUIRES: no run() is in progress when it is destroyed.
  static std::unique_ptr<ThreadPool> create(size_t workers);

  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t worker_count() const;

  // Runs task(0) .. task(n - 1), each exactly once, on the workers and the
  // calling thread; returns when all are done.
  void run(size_t n, const std::function<void(size_t)>& task);

  struct State;  // implementation detail

 private:
  explicit ThreadPool(State* state) : state_(state) {}
  State* state_;
};

}  // namespace ostrel
