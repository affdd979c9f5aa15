// The Sampler type of quillmere_sampler: a background sampler over the
// monitoring pass, whose sample() and iteration hand out its interval
// samples as dicts, with close(), fileno() and the context manager.
//
// Sampler(interval_ms=1000, *, procfs=, sysfs=, rootfs=) starts its worker;
// close() (or the deallocator) stops and joins it. A sampler that is
// finalized unclosed warns with ResourceWarning. In a process forked from
// the one that made it, every method raises RuntimeError: its worker thread
// does not exist there. Every wait runs with the interpreter lock released.
#pragma once

#include <Python.h>

#include "lib/boundary.h"
#include "lib/dict_parts.h"

namespace quillmere::lib {

// The module's state: the type and the dict keys, which the type's methods
// find through their type.
struct ModuleState {
  PyObject* sampler_type = nullptr;  // strong reference
  DictKeys keys{};                   // strong references
};

inline PyObject* runtime_error_type() { return PyExc_RuntimeError; }

// How the module's functions and the type's methods raise a C++ failure.
inline constexpr BoundaryRules kSamplerRules{Raise::kMemoryError, Raise::kOSError, Raise::kOSError,
                                             runtime_error_type, "quillmere_sampler internal fault: "};

// A new Sampler type for `module` (whose state is a ModuleState), or nullptr
// with a Python error set.
PyObject* make_sampler_type(PyObject* module);

}  // namespace quillmere::lib
