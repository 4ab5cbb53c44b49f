#include "run.hpp"

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "convergence.hpp"
#include "fatal.hpp"
#include "internal_error.hpp"
#include "layout.hpp"
#include "py_ref.hpp"
#include "released_lock.hpp"

namespace tallow::bindings {
namespace {

// One lock-released block: `iterations` steps of the kernel. The step buffers
// are scratch space whose capacity carries from block to block; their contents
// never do.
void run_block(tallow::Matrices& matrices, const tallow::LayoutSettings& settings,
               std::uint32_t iterations, std::uint64_t threads, tallow::StepBuffers& buffers) {
  // The module never stops a run from inside (no callback); progress is
  // reported between blocks.
  std::optional<tallow::LayoutAborted> aborted;
  {
    const ReleasedLock unlocked;
    aborted = tallow::run_layout(matrices.nodes, matrices.edges, settings, iterations, threads,
                                 /*keep_going=*/{}, buffers);
  }
  if (aborted) {
    tallow::fatal("a run without a callback was stopped: LayoutAborted");
  }
}

// The lock-released state of a run that takes the lock back now and then:
// lock() and unlock() pair up inside the block; the destructor leaves the
// lock held on every way out.
class UnlockedRun {
 public:
  UnlockedRun() noexcept : saved_(PyEval_SaveThread()) {}
  UnlockedRun(const UnlockedRun&) = delete;
  UnlockedRun& operator=(const UnlockedRun&) = delete;
  ~UnlockedRun() {
    if (saved_ != nullptr) {
      PyEval_RestoreThread(saved_);
    }
  }
  void lock() noexcept { PyEval_RestoreThread(std::exchange(saved_, nullptr)); }
  void unlock() noexcept { saved_ = PyEval_SaveThread(); }

 private:
  PyThreadState* saved_;
};

// How many non-finite nodes the FloatingPointError lists by index.
constexpr std::size_t listed_non_finite_nodes = 10;

[[noreturn]] void throw_non_finite(const tallow::NonFinitePositions& found,
                                   std::uint32_t iteration) {
  std::string listed;
  for (const std::size_t node : found.first) {
    listed += (listed.empty() ? "" : ", ") + std::to_string(node);
  }
  const std::string message = "positions of " + std::to_string(found.count) +
                              " nodes are not finite after iteration " +
                              std::to_string(iteration) + " (first nodes: " + listed + ")";
  PyRef nodes = PyRef::steal(PyList_New(0));
  for (std::size_t i = 0; nodes && i < found.first.size(); ++i) {
    PyRef index = PyRef::steal(PyLong_FromSize_t(found.first[i]));
    if (!index || PyList_Append(nodes.get(), index.get()) < 0) {
      nodes = PyRef();
    }
  }
  if (nodes) {
    PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_FloatingPointError, "(skOn)",
                                                     message.c_str(),
                                                     static_cast<unsigned long>(iteration),
                                                     nodes.get(),
                                                     static_cast<Py_ssize_t>(found.count)));
    if (error) {
      PyErr_SetObject(PyExc_FloatingPointError, error.get());
    }
  }
  throw_pending_error();
}

void report_progress(PyObject* progress, std::uint32_t completed, std::uint32_t iterations) {
  PyRef arguments = PyRef::steal(Py_BuildValue("(kk)", static_cast<unsigned long>(completed),
                                               static_cast<unsigned long>(iterations)));
  if (!arguments) {
    throw_pending_error();
  }
  PyRef ignored = PyRef::steal(PyObject_Call(progress, arguments.get(), nullptr));
  if (!ignored) {
    throw_pending_error();
  }
}

// Once attraction reads each node's edge lists, nothing reads the edge
// matrix again: it goes, and a call's peak memory drops by its size.
void let_edges_go_for_lists(tallow::StepBuffers& buffers, tallow::Matrices& matrices) {
  buffers.release_edges = [&matrices] { tallow::EdgeMatrix().swap(matrices.edges); };
}

}  // namespace

void run_iterations(tallow::Matrices& matrices, const tallow::LayoutSettings& settings,
                    std::uint32_t iterations, std::uint64_t threads, PyObject* progress) {
  tallow::StepBuffers buffers;
  let_edges_go_for_lists(buffers, matrices);
  if (progress == nullptr) {
    run_block(matrices, settings, iterations, threads, buffers);
    return;
  }
  for (std::uint32_t completed = 1; completed <= iterations; ++completed) {
    run_block(matrices, settings, /*iterations=*/1, threads, buffers);
    report_progress(progress, completed, iterations);
    if (completed == iterations) {
      break;  // at iterations = UINT32_MAX the increment would wrap to 0
    }
  }
}

void run_iterations_in_one_block(tallow::Matrices& matrices,
                                 const tallow::LayoutSettings& settings,
                                 std::uint32_t iterations, std::uint64_t threads,
                                 const RunControls& controls) {
  tallow::StepBuffers buffers;
  let_edges_go_for_lists(buffers, matrices);
  // Sizes reach the Barnes-Hut walks only when the caller gave them, so that
  // a call without sizes keeps layout_raw's bits and cost.
  buffers.sized_leaves = settings.adjustSizes && controls.sized_walks;
  std::exception_ptr failure;  // of the callback; rethrown with the lock held
  std::optional<tallow::NonFinitePositions> non_finite;
  std::uint32_t stopped_after = 0;
  bool settled = false;
  std::optional<tallow::ConvergenceMeter> meter;
  tallow::SettledRule rule(controls.tolerance);
  if (controls.tolerance > 0.0) {
    meter.emplace(matrices.nodes);
  }
  std::optional<tallow::LayoutAborted> aborted;
  {
    UnlockedRun unlocked;
    const tallow::IterationCallback after_step = [&](std::uint32_t done) {
      if (controls.check_finite) {
        tallow::NonFinitePositions found =
            tallow::non_finite_positions(matrices.nodes, listed_non_finite_nodes);
        if (found.count > 0) {
          non_finite = std::move(found);
          stopped_after = done;
          return false;
        }
      }
      settled = meter && rule.settled(meter->measure_step(matrices.nodes));
      if (controls.progress != nullptr) {
        unlocked.lock();
        try {
          report_progress(controls.progress, done, iterations);
        } catch (...) {
          failure = std::current_exception();
        }
        unlocked.unlock();
      }
      return !failure && !settled;
    };
    aborted = tallow::run_layout(matrices.nodes, matrices.edges, settings, iterations, threads,
                                 after_step, buffers,
                                 tallow::PoolPolicy{tallow::WorkerPool::OnRefusal::keep_started,
                                                    /*skip_pool_for_small_runs=*/true,
                                                    // only the progress callback needs
                                                    // this thread (and the lock)
                                                    /*callback_on_any_thread=*/
                                                    controls.progress == nullptr});
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
  if (non_finite) {
    throw_non_finite(*non_finite, stopped_after);
  }
  if (aborted && !settled) {
    tallow::fatal("no-op callback never aborts: LayoutAborted");
  }
}

}  // namespace tallow::bindings
