// A fixed set of worker threads that runs parallel for-each loops.
//
// The calling thread hands a loop to the pool and waits; it runs no part of
// the loop itself. Index ranges are handed out dynamically, a chunk at a
// time, so both cores stay busy to the end even when items cost unevenly.
// The unit of correctness is one index: every index runs exactly once, in an
// unspecified order and on an unspecified worker, so a body must write only
// what belongs to its own indices.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tallow {

// The cores this process may run on (a container or `taskset` may allow
// fewer than the machine has), at least 1.
std::size_t process_cores();

class WorkerPool {
 public:
  // Starts a thread; replaceable so that tests can make a start fail.
  using ThreadStarter = std::thread (*)(std::function<void()> work);
  static std::thread start_thread(std::function<void()> work);

  // What to do when the system refuses to start a thread.
  enum class OnRefusal {
    fail,         // stop the threads already started; the fatal internal error
                  // "building the worker pool failed: <reason>"
    keep_started  // keep half of the threads that did start, leaving room for
                  // the run; with none, loops run on the calling thread
                  // (results never depend on the count)
  };

  // Starts `workers` threads (at least one), handling a refusal as `on_refusal` says.
  explicit WorkerPool(std::size_t workers, ThreadStarter starter = &start_thread,
                      OnRefusal on_refusal = OnRefusal::fail);
  // Tells every worker to exit once idle, wakes the sleeping ones and joins them.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return workers_.size(); }

  // Runs body(begin, end) over consecutive ranges covering [0, count) and
  // returns when all have run (on the calling thread when the pool has no
  // worker). Ranges hold at most `largest_range` indices (0: the pool's own
  // guided sizes, meant for many cheap indices; 1: one index at a time, for
  // a few large parts). An exception thrown by a body stops the hand-out
  // of further ranges and is rethrown here once every worker is idle again.
  void for_each(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body,
                std::size_t largest_range = 0);

  // Whether every worker can have a core of its own: no more workers than cores.
  bool workers_fit_cores() const { return fits_cores_; }

  // Runs body(k) once on every worker k in [0, size()), all at the same
  // time, and returns when all have returned (body(0) on the calling thread
  // when the pool has no worker). For work whose parts wait for each other
  // (TeamBarrier): a body that throws must stop its team first, or the others
  // wait forever. The first exception is rethrown here, as in for_each.
  void run_on_every_worker(const std::function<void(std::size_t worker)>& body);

 private:
  void work(std::size_t index);
  void keep_half_of_started();
  void start_loop_and_wait(std::unique_lock<std::mutex>& lock);
  void run_chunks();
  void run_team_part(std::size_t index);
  void keep_first_failure();
  void await_next_loop(std::uint64_t seen) const;
  void stop_workers();
  void wake_all();

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  // Per worker: a new loop, or shutdown. The calling thread wakes the first
  // worker and each worker the next.
  std::vector<std::condition_variable> wake_;
  std::condition_variable finished_;  // the last busy worker went idle

  // The current loop; written by the calling thread under mutex_ before a
  // generation starts, read by workers after they observed that generation.
  const std::function<void(std::size_t, std::size_t)>* body_ = nullptr;
  const std::function<void(std::size_t)>* team_body_ = nullptr;  // or this one
  std::size_t count_ = 0;
  std::size_t next_ = 0;  // next index to hand out; guarded by mutex_
  std::size_t largest_range_ = 0;
  std::uint64_t generation_ = 0;
  // generation_ again, for the first worker to watch without the mutex;
  // moved on also to end that watch at shutdown.
  std::atomic<std::uint64_t> started_{0};
  // No more workers than cores: then the first worker watches for loops
  // before it sleeps (a watcher would otherwise take a core from a worker).
  bool fits_cores_ = false;
  std::size_t busy_ = 0;
  std::exception_ptr failure_;
  bool stopping_ = false;
  std::size_t active_workers_ = SIZE_MAX;  // workers from this index on exit
};

}  // namespace tallow
