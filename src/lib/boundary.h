// The boundary between the interpreter and the C++ core, shared by both
// modules.
//
// Every function the interpreter calls runs its body through call_guarded(),
// which turns any C++ exception leaving the body into a Python exception by
// the module's BoundaryRules, and lets through the one unwind that must not
// be caught: the forced unwind with which the C library ends a thread. The
// interpreter ends a daemon thread that takes its lock back while it is
// finalizing with pthread_exit (CPython 3.9 to 3.13); a catch that swallowed
// that unwind, or a noexcept frame it had to cross, would abort the process.
//
// without_gil() runs a body with the interpreter lock released and takes the
// lock back by a plain call once the body is done, never from a destructor:
// that call is where the thread may be ended, and a destructor is noexcept.
// Call everything here with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cxxabi.h>  // abi::__forced_unwind

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "lib/py_ref.h"

namespace quillmere::lib {

// The raised exception, normalized, taken off the interpreter (nullptr when
// none is set), and set again; the same across the C API versions that
// changed how an error is taken and restored.
PyRef take_error();
void restore_error(PyRef error);

// What a module raises for each kind of C++ failure.
enum class Raise {
  kMemoryError,       // MemoryError
  kOSError,           // OSError with errno and the system's description
  kRuntimeErrorText,  // RuntimeError whose message is the system's description
  kInternalFault,     // the module's internal-fault type, with a diagnostic on stderr
};

struct BoundaryRules {
  Raise out_of_memory;  // std::bad_alloc
  Raise no_descriptor;  // the system refused a descriptor (EMFILE, ENFILE)
  Raise no_thread;      // the system refused a thread (EAGAIN)
  // The internal-fault type, or nullptr with a Python error set when it
  // cannot be made.
  PyObject* (*internal_fault_type)();
  // Put before the fault's message in the exception ("" for none).
  const char* internal_fault_prefix;
};

// Turns the exception being handled into a Python exception by `rules`. Call
// only from a catch block that is not handling a forced unwind.
void raise_current_exception(const BoundaryRules& rules) noexcept;

// body() or, when it throws, `failure` with a Python exception set.
template <typename Result, typename Body>
Result call_guarded(const BoundaryRules& rules, Result failure, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended: let it unwind
  } catch (...) {
    raise_current_exception(rules);
  }
  return failure;
}

// body() with the interpreter lock released; nothing in it may touch a
// Python object. An exception from the body is rethrown once the lock is
// back.
template <typename Body>
auto without_gil(Body&& body) -> std::invoke_result_t<Body&&> {
  using Result = std::invoke_result_t<Body&&>;
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  if constexpr (std::is_void_v<Result>) {
    try {
      std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state);  // may end this thread: see the top
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<Result> result;
    try {
      result.emplace(std::forward<Body>(body)());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state);  // may end this thread: see the top
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace quillmere::lib
