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
// The dict helpers build both modules' dictionaries: values made from C++
// numbers, inserted under keys interned once per module, with no reference
// leaked on an error path.
// Call everything here with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cxxabi.h>  // abi::__forced_unwind (libstdc++)

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "lib/py_ref.h"

// PyEval_RestoreThread from a frame the forced unwind stops at
// (restore_thread.cpp): libc++ has no type to tell that unwind by, and its
// unwinder is not the C library's.
extern "C" void quillmere_restore_thread(PyThreadState* state);

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
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended: let it unwind
#endif
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
  if constexpr (std::is_void_v<Result>) {
    without_gil([&body] {
      std::forward<Body>(body)();
      return true;
    });
  } else {
    std::optional<Result> result;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
      result.emplace(std::forward<Body>(body)());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
      throw;
#endif
    } catch (...) {
      failure = std::current_exception();
    }
#if defined(_LIBCPP_VERSION)
    quillmere_restore_thread(state);  // may end this thread: see the top
#else
    PyEval_RestoreThread(state);  // may end this thread: see the top
#endif
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

// --- Building dicts ----------------------------------------------------------

// Inserts key -> value, taking ownership of `value` (which may be nullptr
// after a failed constructor). Returns false with a Python error set.
bool set_item(PyObject* dict, PyObject* key, PyObject* value);

// New references: None, and an unsigned value as an int (never negative, also
// where long is 32 bits wide).
PyObject* new_none();
PyObject* unsigned_int(std::uint64_t value);

// A module's dict keys as interned str objects (strong references, nullptr
// when not made), so that building a dict creates and hashes no key string.
template <std::size_t N>
using InternedKeys = std::array<PyObject*, N>;

// The slot of a key name, found at compile time: a misspelt key does not
// build.
template <std::size_t N>
consteval std::size_t key_index(const std::array<const char*, N>& names, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == names[i]) return i;
  }
  throw "not a key of the module's dicts";
}

// Fills every slot; false with a Python error set (the slots made so far stay
// filled, for clear_keys to release).
template <std::size_t N>
bool intern_keys(const std::array<const char*, N>& names, InternedKeys<N>& keys) {
  for (std::size_t i = 0; i < N; ++i) {
    keys[i] = PyUnicode_InternFromString(names[i]);
    if (keys[i] == nullptr) return false;
  }
  return true;
}

template <std::size_t N>
void clear_keys(InternedKeys<N>& keys) noexcept {
  for (PyObject*& key : keys) Py_CLEAR(key);
}

// For a module's traverse.
template <std::size_t N>
int visit_keys(const InternedKeys<N>& keys, visitproc visit, void* arg) {
  for (PyObject* key : keys) Py_VISIT(key);
  return 0;
}

}  // namespace quillmere::lib
