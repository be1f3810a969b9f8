#include "thread_pool.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace ostrel {

struct ThreadPool::State {
  std::mutex run_mu;  // one job at a time
  std::mutex mu;
  std::condition_variable wake;
  std::condition_variable finished;
  const std::function<void(size_t)>* task = nullptr;  // GUARDED_BY(mu)
  size_t n = 0;
  uint64_t generation = 0;  // GUARDED_BY(mu)
  std::atomic<size_t> next{0};
  size_t done = 0;    // GUARDED_BY(mu)
  size_t active = 0;  // GUARDED_BY(mu): workers inside drain()
  bool stop = false;  // GUARDED_BY(mu): the pool is being destroyed
  std::vector<std::thread> workers;

  // Starts `count` workers; throws std::system_error when one cannot be
  // started, the others then running until `stop`.
  void start(size_t count) {
    for (size_t i = 0; i < count; ++i) workers.emplace_back([this] { work(); });
  }
  void stop_and_join() {
    {
      std::lock_guard lock(mu);
      stop = true;
    }
    wake.notify_all();
    for (auto& t : workers) {
      if (t.joinable()) t.join();
    }
  }

  // Takes task indices until none is left; returns how many it ran.
  size_t drain(const std::function<void(size_t)>& fn, size_t count) {
    size_t ran = 0;
    for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      fn(i);
      ++ran;
    }
    return ran;
  }

  // A worker joins the job current when it wakes, if any, and counts as
  // active until it has left drain(): run() waits for that, so no worker can
  // still be taking indices of a finished job when the next one starts.
  void work() {
    // The C++ runtime allocates a thread's exception state on first use;
    // doing it now means a task that catches an allocation failure later
    // does not need memory just to throw.
    (void)std::uncaught_exceptions();
    uint64_t seen = 0;
    std::unique_lock lock(mu);
    for (;;) {
      wake.wait(lock, [&] { return stop || generation != seen; });
      if (stop) return;
      seen = generation;
      if (task == nullptr) continue;  // woke after the job had ended
      const auto* fn = task;
      const size_t count = n;
      ++active;
      lock.unlock();
      const size_t ran = drain(*fn, count);
      lock.lock();
      done += ran;
      --active;
      if (done == count && active == 0) finished.notify_all();
    }
  }
};

namespace {

// Leaked on purpose: worker threads run for the life of the process, and a
// forked child must be able to drop the pointer without destroying a pool
// whose threads do not exist there.
std::atomic<ThreadPool*> g_pool{nullptr};
std::atomic<bool> g_unavailable{false};
std::mutex* g_create_mu = new std::mutex;

void forget_pool_in_child() {
  g_pool.store(nullptr);
  g_unavailable.store(false);
  g_create_mu = new std::mutex;  // the parent's may have been held at fork time
}

}  // namespace

ThreadPool* ThreadPool::instance() {
  if (ThreadPool* pool = g_pool.load(std::memory_order_acquire)) return pool;
  if (g_unavailable.load()) return nullptr;
  std::lock_guard lock(*g_create_mu);
  if (ThreadPool* pool = g_pool.load()) return pool;
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    return true;
  }();
  (void)registered;
  auto* state = new State;
  const unsigned count = std::max(2u, std::thread::hardware_concurrency()) - 1;
  try {
    state->start(count);
  } catch (const std::system_error&) {
    // Threads already started keep waiting for work that never comes; the
    // pool is simply not offered. Scoring then stays on the calling thread.
    for (auto& t : state->workers) t.detach();
    g_unavailable.store(true);
    return nullptr;
  }
  for (auto& t : state->workers) t.detach();
  auto* pool = new ThreadPool(state);
  g_pool.store(pool, std::memory_order_release);
  return pool;
}

std::unique_ptr<ThreadPool> ThreadPool::create(size_t workers) {
  auto state = std::make_unique<State>();
  try {
    state->start(workers);
  } catch (const std::system_error&) {
    state->stop_and_join();
    return nullptr;
  }
  return std::unique_ptr<ThreadPool>(new ThreadPool(state.release()));
}

// Only pools from create() are destroyed: the process-wide one is leaked.
ThreadPool::~ThreadPool() {
  state_->stop_and_join();
  delete state_;
}

size_t ThreadPool::worker_count() const { return state_->workers.size(); }

void ThreadPool::run(size_t n, const std::function<void(size_t)>& task) {
  if (n == 0) return;
  State& s = *state_;
  std::lock_guard run_lock(s.run_mu);
  {
    std::lock_guard lock(s.mu);
    s.task = &task;
    s.n = n;
    s.done = 0;
    s.next.store(0);
    ++s.generation;
  }
  s.wake.notify_all();
  const size_t ran = s.drain(task, n);
  std::unique_lock lock(s.mu);
  s.done += ran;
  s.finished.wait(lock, [&] { return s.done == n && s.active == 0; });
  s.task = nullptr;
}

}  // namespace ostrel
