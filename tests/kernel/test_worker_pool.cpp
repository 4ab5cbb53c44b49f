#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fatal.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

class WorkerPoolSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolSizes, RunsEveryIndexExactlyOnce) {
  WorkerPool pool(GetParam());
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{100'003}}) {
    // Each index is written by the one task that owns it, so plain ints suffice.
    std::vector<int> runs(count, 0);
    pool.for_each(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        ++runs[i];
      }
    });
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(runs[i], 1) << "index " << i << " of " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, WorkerPoolSizes, testing::Values(1, 2, 3, 8),
                         [](const testing::TestParamInfo<std::size_t>& param_info) {
                           return "workers" + std::to_string(param_info.param);
                         });

TEST(WorkerPool, CallingThreadRunsNoTask) {
  WorkerPool pool(/*workers=*/2);
  std::vector<std::thread::id> runners(1000);
  pool.for_each(runners.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      runners[i] = std::this_thread::get_id();
    }
  });
  for (const std::thread::id& id : runners) {
    ASSERT_NE(id, std::this_thread::get_id());
  }
}

// Workers wake one another in turn: every loop must reach every worker,
// including loops that start while some are still going back to sleep, and
// loops that start after all of them slept.
class EveryLoop : public testing::TestWithParam<std::size_t> {};

TEST_P(EveryLoop, WakesEveryWorker) {
  const std::size_t workers = GetParam();
  WorkerPool pool(workers);
  for (int loop = 0; loop < 200; ++loop) {
    if (loop % 3 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    std::mutex mutex;
    std::condition_variable all_in;
    std::size_t entered = 0;
    bool met = true;
    // One index a worker, each waiting for all the others: the loop ends
    // only if every worker took one.
    pool.for_each(
        workers,
        [&](std::size_t, std::size_t) {
          std::unique_lock lock(mutex);
          ++entered;
          all_in.notify_all();
          met = all_in.wait_for(lock, std::chrono::seconds(10),
                                [&] { return entered == workers; }) && met;
        },
        /*largest_range=*/1);
    ASSERT_TRUE(met) << "loop " << loop << ": only " << entered << " workers took part";
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, EveryLoop, testing::Values(2u, 4u));

TEST(WorkerPool, ErrorInATaskReachesTheCallerAndThePoolStaysUsable) {
  WorkerPool pool(/*workers=*/3);
  auto failing = [](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (i == 4242) {
        index_out_of_bounds(10, i);
      }
    }
  };
  try {
    pool.for_each(10'000, failing);
    FAIL() << "the task's error was lost";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "index out of bounds: the len is 10 but the index is 4242");
  }
  std::vector<int> runs(50, 0);
  pool.for_each(runs.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      ++runs[i];
    }
  });
  EXPECT_EQ(std::vector<int>(50, 1), runs);
}

int started_before_refusal = 0;

std::thread refuse_third_thread(std::function<void()> work) {
  if (started_before_refusal == 2) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  ++started_before_refusal;
  return std::thread(std::move(work));
}

TEST(WorkerPool, RefusedThreadIsTheBuildingFailedError) {
  started_before_refusal = 0;
  try {
    WorkerPool pool(/*workers=*/4, &refuse_third_thread);
    FAIL() << "the refused thread went unnoticed";
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("building the worker pool failed: ", 0), 0u)
        << error.what();
  }
}

std::thread refuse_every_thread(std::function<void()>) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// Counts how often each index runs.
std::vector<int> run_counts(WorkerPool& pool, std::size_t count) {
  std::vector<int> runs(count, 0);
  pool.for_each(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      ++runs[i];
    }
  });
  return runs;
}

TEST(WorkerPool, KeepsHalfOfTheThreadsThatStartedWhenAskedTo) {
  started_before_refusal = 0;
  WorkerPool pool(/*workers=*/4, &refuse_third_thread, WorkerPool::OnRefusal::keep_started);
  EXPECT_EQ(pool.size(), 1u);  // two started; one leaves room for the run
  EXPECT_EQ(run_counts(pool, 5000), std::vector<int>(5000, 1));
}

TEST(WorkerPool, WithNoThreadStartedLoopsRunOnTheCallingThread) {
  WorkerPool pool(/*workers=*/3, &refuse_every_thread, WorkerPool::OnRefusal::keep_started);
  EXPECT_EQ(pool.size(), 0u);
  const std::thread::id caller = std::this_thread::get_id();
  bool elsewhere = false;
  pool.for_each(100, [&](std::size_t, std::size_t) {
    elsewhere = elsewhere || std::this_thread::get_id() != caller;
  });
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(run_counts(pool, 100), std::vector<int>(100, 1));
}

}  // namespace
}  // namespace tallow
