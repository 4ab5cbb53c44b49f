// A barrier for the workers of one pool loop that run a whole computation
// together, each meant to have a core of its own: they spin a while instead
// of sleeping at once, since waking a sleeping thread costs tens of
// microseconds on a virtual machine, more than a small step's phases. A wait
// that lasts longer sleeps, so that a long part that one member runs alone
// does not keep the others' cores spinning. A member that fails stops the
// team, so that the others leave their waits instead of waiting for it
// forever.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace tallow {

// Spins a while, then yields: a member may share its core after all (the
// system schedules it), and must then let the others run.
inline void pause_while_waiting(unsigned& spins) {
  constexpr unsigned spins_before_yield = 256;  // some microseconds
  if (++spins < spins_before_yield) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } else {
    std::this_thread::yield();
  }
}

class TeamBarrier {
 public:
  explicit TeamBarrier(std::size_t members) : members_(members) {}
  TeamBarrier(const TeamBarrier&) = delete;
  TeamBarrier& operator=(const TeamBarrier&) = delete;

  // Returns once every member has arrived, false if the team was stopped.
  // Whatever a member wrote before arriving is visible to all after it.
  bool arrive_and_wait() {
    const std::uint32_t phase = phase_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == members_) {
      arrived_.store(0, std::memory_order_relaxed);
      phase_.store(phase + 1, std::memory_order_release);
      phase_.notify_all();  // a system call only when someone sleeps
      return !stopped();
    }
    // Measured on a 2-core virtual machine: a thousand-node step's waits
    // last up to some 30 us when each member has its core.
    constexpr auto longest_spin = std::chrono::microseconds(60);
    const auto give_up = std::chrono::steady_clock::now() + longest_spin;
    unsigned spins = 0;
    while (phase_.load(std::memory_order_acquire) == phase) {
      if (stopped()) {
        return false;
      }
      pause_while_waiting(spins);
      if (spins % 16 == 0 && std::chrono::steady_clock::now() > give_up) {
        phase_.wait(phase, std::memory_order_acquire);
      }
    }
    return !stopped();
  }

  // A member failed or the computation ends early: every wait returns false.
  void stop() {
    stopped_.store(true, std::memory_order_release);
    phase_.fetch_add(1, std::memory_order_acq_rel);  // wakes the sleepers
    phase_.notify_all();
  }
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }

 private:
  const std::size_t members_;
  std::atomic<std::size_t> arrived_{0};
  std::atomic<std::uint32_t> phase_{0};  // wraps harmlessly: compared for change
  std::atomic<bool> stopped_{false};
};

}  // namespace tallow
