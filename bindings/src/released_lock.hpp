// Releases the interpreter lock for a block of kernel work.
#pragma once

#include <Python.h>

namespace tallow::bindings {

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

}  // namespace tallow::bindings
