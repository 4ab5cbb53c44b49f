#include "run.hpp"

#include <optional>

#include "fatal.hpp"
#include "internal_error.hpp"
#include "layout.hpp"
#include "py_ref.hpp"

namespace tallow::bindings {
namespace {

// Releases the interpreter lock for its lifetime; the destructor takes it back
// also when the kernel unwinds with an exception.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : saved_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

// One lock-released block: `iterations` steps of the kernel. The step buffers
// are scratch space whose capacity carries from block to block; their contents
// never do.
void run_block(tallow::Matrices& matrices, const tallow::LayoutSettings& settings,
               std::uint32_t iterations, std::uint64_t threads, tallow::StepBuffers& buffers) {
  // The module never stops a run from inside; progress is reported between blocks.
  const tallow::IterationCallback never_abort = [](std::uint32_t) { return true; };
  std::optional<tallow::LayoutAborted> aborted;
  {
    const ReleasedLock unlocked;
    aborted = tallow::run_layout(matrices.nodes, matrices.edges, settings, iterations, threads,
                                 never_abort, buffers);
  }
  if (aborted) {
    tallow::fatal("no-op callback never aborts: LayoutAborted");
  }
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

}  // namespace

void run_iterations(tallow::Matrices& matrices, const tallow::LayoutSettings& settings,
                    std::uint32_t iterations, std::uint64_t threads, PyObject* progress) {
  tallow::StepBuffers buffers;
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

}  // namespace tallow::bindings
