// Lets other Python threads run while the codec works.
#pragma once

#include "python_api.h"

namespace quorvane::python {

// Releases the interpreter lock for its lifetime and takes it back when it
// ends, also while a C++ exception unwinds, so that nothing after it touches
// a Python object without the lock. Whatever the codec reads in between must
// be kept alive by a reference the caller holds.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace quorvane::python
