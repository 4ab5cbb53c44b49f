// Keeping the members of a spinning team (team_barrier.hpp) on cores of
// their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace tallow {

// Two members the system placed on one core run one at a time, and the one
// that waits hands the core over only when it yields: such a run took up to
// 1.8 times as long (a thousand nodes, 40 steps, two workers), and nothing
// ever moved either member, since neither waited long enough to sleep. A
// member that finds an earlier one on its core sleeps a moment instead: the
// wake-up puts it on an idle core if there is one. A few times a run at most,
// in case the process has fewer cores than the pool thought.
class CoreSharing {
 public:
  explicit CoreSharing(std::size_t members) : cores_(members) {
    for (std::atomic<int>& core : cores_) {
      core.store(-1, std::memory_order_relaxed);
    }
  }

  // Before a barrier: where `member` runs now.
  void note(std::size_t member) {
#if defined(__linux__)
    cores_[member].store(sched_getcpu(), std::memory_order_relaxed);
#else
    (void)member;
#endif
  }

  // After it: if an earlier member was noted on the same core, move.
  void move_if_shared(std::size_t member) {
    constexpr int most_moves = 4;
    const int core = cores_[member].load(std::memory_order_relaxed);
    if (core < 0 || moves_.load(std::memory_order_relaxed) >= most_moves) {
      return;
    }
    for (std::size_t other = 0; other < member; ++other) {
      if (cores_[other].load(std::memory_order_relaxed) == core) {
        moves_.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(1));
        return;
      }
    }
  }

 private:
  std::vector<std::atomic<int>> cores_;
  std::atomic<int> moves_{0};
};

}  // namespace tallow
