// The root keywords of read_counters() and Sampler (procfs=, sysfs=,
// rootfs=: str, bytes or os.PathLike, encoded as the file system encodes
// names) to the sources of a counter pass, so that a container can read its
// host's trees. The environment the firmware tool is found and run with is
// copied here, while the interpreter lock is held, never read while
// os.environ changes.
#pragma once

#include <Python.h>

#include <optional>

#include "collector/monitoring/counter_pass.h"

namespace quillmere::lib {

// Sources with the given roots (nullptr: a keyword not given, which keeps
// the default) and a copy of the environment, taken now (the lock held);
// nullopt with a Python error set when a root is not a path (a wrong type,
// an embedded NUL).
std::optional<collector::CounterSources> sources_now(PyObject* procfs, PyObject* sysfs, PyObject* rootfs);

}  // namespace quillmere::lib
