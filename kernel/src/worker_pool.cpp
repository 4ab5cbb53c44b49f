#include "worker_pool.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "fatal.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace tallow {
namespace {

// The next chunk of the `left` indices still to hand out: a share of them
// that shrinks as they run out (guided), so the workers finish together, and
// never so small that the hand-out costs more than the work.
std::size_t chunk_size(std::size_t left, std::size_t workers) {
  constexpr std::size_t shares_per_worker = 8;
  constexpr std::size_t smallest_chunk = 32;
  constexpr std::size_t largest_chunk = 256;
  return std::clamp<std::size_t>(left / (workers * shares_per_worker), smallest_chunk,
                                 largest_chunk);
}

}  // namespace

// Asked once: each call reads a system file, some 20 us that every pool's
// start would pay again.
std::size_t process_cores() {
  static const std::size_t count = [] {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
      return static_cast<std::size_t>(CPU_COUNT(&allowed));
    }
#endif
    return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
  }();
  return count;
}

std::thread WorkerPool::start_thread(std::function<void()> work) {
  return std::thread(std::move(work));
}

WorkerPool::WorkerPool(std::size_t workers, ThreadStarter starter, OnRefusal on_refusal)
    : wake_(std::max<std::size_t>(workers, 1)),
      fits_cores_(std::max<std::size_t>(workers, 1) <= process_cores()) {
  workers_.reserve(std::max<std::size_t>(workers, 1));
  try {
    for (std::size_t i = 0; i < std::max<std::size_t>(workers, 1); ++i) {
      workers_.push_back(starter([this, i] { work(i); }));
    }
  } catch (const std::system_error& error) {
    if (on_refusal == OnRefusal::keep_started) {
      keep_half_of_started();
      return;
    }
    stop_workers();
    fatal(std::string("building the worker pool failed: ") + error.what());
  } catch (const std::bad_alloc&) {
    if (on_refusal == OnRefusal::keep_started) {
      keep_half_of_started();
      return;
    }
    stop_workers();
    throw;
  } catch (...) {
    stop_workers();  // a joinable std::thread must not be destroyed
    throw;
  }
}

// A refused thread means some resource (threads, memory for stacks) ran out:
// the last half of the started workers exit again, so that the run itself
// finds room. The rest are ready to run loops.
void WorkerPool::keep_half_of_started() {
  const std::size_t kept = workers_.size() / 2;
  const auto first_leaving = workers_.begin() + static_cast<std::ptrdiff_t>(kept);
  std::vector<std::thread> leaving(std::make_move_iterator(first_leaving),
                                   std::make_move_iterator(workers_.end()));
  workers_.resize(kept);
  {
    std::lock_guard lock(mutex_);
    active_workers_ = kept;
  }
  wake_all();
  for (std::thread& worker : leaving) {
    worker.join();
  }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::wake_all() {
  started_.fetch_add(1, std::memory_order_release);  // ends a watch
  for (std::condition_variable& wake : wake_) {
    wake.notify_all();
  }
}

void WorkerPool::stop_workers() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) {
      worker.join();
    }
  }
}

void WorkerPool::for_each(std::size_t count,
                          const std::function<void(std::size_t, std::size_t)>& body,
                          std::size_t largest_range) {
  if (count == 0) {
    return;
  }
  if (workers_.empty()) {
    body(0, count);
    return;
  }
  std::unique_lock lock(mutex_);
  body_ = &body;
  count_ = count;
  next_ = 0;
  largest_range_ = largest_range;
  start_loop_and_wait(lock);
}

void WorkerPool::run_on_every_worker(const std::function<void(std::size_t)>& body) {
  if (workers_.empty()) {
    body(0);
    return;
  }
  std::unique_lock lock(mutex_);
  team_body_ = &body;
  start_loop_and_wait(lock);
}

// The loop's body is set; hands it to the workers and waits for them.
void WorkerPool::start_loop_and_wait(std::unique_lock<std::mutex>& lock) {
  failure_ = nullptr;
  busy_ = workers_.size();
  ++generation_;
  started_.store(generation_, std::memory_order_release);
  wake_[0].notify_one();  // it wakes the next (see work())
  finished_.wait(lock, [this] { return busy_ == 0; });
  body_ = nullptr;
  team_body_ = nullptr;
  if (failure_) {
    std::rethrow_exception(std::exchange(failure_, nullptr));
  }
}

void WorkerPool::work(std::size_t index) {
  std::uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  while (true) {
    wake_[index].wait(
        lock, [&] { return stopping_ || index >= active_workers_ || generation_ != seen; });
    if (stopping_ || index >= active_workers_) {
      return;
    }
    seen = generation_;
    // Woken all at once by the calling thread, workers were often queued on
    // one core and the last started up to 1.6 ms late (100,000 nodes, two
    // workers); woken by a running worker, the next is placed on an idle one.
    if (index + 1 < wake_.size()) {
      wake_[index + 1].notify_one();
    }
    lock.unlock();
    if (team_body_ != nullptr) {
      run_team_part(index);
    } else {
      run_chunks();
    }
    lock.lock();
    if (--busy_ == 0) {
      finished_.notify_one();
    }
    if (index == 0 && fits_cores_) {
      lock.unlock();
      await_next_loop(seen);
      lock.lock();
    }
  }
}

// The first worker watches for the next loop a while before it sleeps: the
// calling thread's work between a step's loops mostly ends sooner, and a
// sleeping worker takes 20-60 microseconds to wake, every loop (measured on
// a 2-core virtual machine). The others sleep at once, so that the calling
// thread and the watcher are all that run between loops.
void WorkerPool::await_next_loop(std::uint64_t seen) const {
  constexpr auto longest_watch = std::chrono::microseconds(200);
  const auto give_up = std::chrono::steady_clock::now() + longest_watch;
  while (started_.load(std::memory_order_acquire) == seen &&
         std::chrono::steady_clock::now() < give_up) {
    for (int k = 0; k < 64; ++k) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
}

void WorkerPool::run_team_part(std::size_t index) {
  try {
    (*team_body_)(index);
  } catch (...) {
    keep_first_failure();
  }
}

// Inside a catch block: the loop's first failure is the one rethrown.
void WorkerPool::keep_first_failure() {
  std::lock_guard lock(mutex_);
  if (!failure_) {
    failure_ = std::current_exception();
  }
}

void WorkerPool::run_chunks() {
  while (true) {
    std::size_t begin;
    std::size_t end;
    {
      std::lock_guard lock(mutex_);
      if (next_ >= count_ || failure_) {
        return;
      }
      begin = next_;
      const std::size_t chunk = largest_range_ != 0
                                    ? largest_range_
                                    : chunk_size(count_ - begin, workers_.size());
      end = std::min(count_, begin + chunk);
      next_ = end;
    }
    try {
      (*body_)(begin, end);
    } catch (...) {
      keep_first_failure();
    }
  }
}

}  // namespace tallow
