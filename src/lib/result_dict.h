// build_result_dict: a MetricsSnapshot as the 26-entry dict that
// get_metrics_once returns.
//
// Keys are inserted in the snapshot's field order; 15 values are floats
// (single-precision fields widened exactly) and 11 are ints (unsigned,
// never negative). Call with the interpreter lock held.
#pragma once

#include <Python.h>

#include "collector/snapshot.h"

namespace quillmere::lib {

// A new reference to the dict, or nullptr with a Python error set when the
// interpreter could not allocate; no partial dict escapes.
PyObject* build_result_dict(const collector::MetricsSnapshot& snapshot);

}  // namespace quillmere::lib
