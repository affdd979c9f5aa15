// read_counters()'s dictionary of quillmere_sampler: the counters and gauges
// of one CounterReading, key by key in the documented order.
//
// A value whose source could not be read is None. Device and zone names are
// decoded as UTF-8 with errors="surrogateescape", so a name of any bytes
// survives the round trip. Call with the interpreter lock held.
#pragma once

#include <Python.h>

#include "collector/monitoring/monitoring_contract.h"
#include "lib/dict_parts.h"

namespace quillmere::lib {

// A new reference, or nullptr with a Python error set; no partial dict
// escapes. Throws only std::bad_alloc.
PyObject* build_counters_dict(const DictKeys& keys, const collector::CounterReading& reading);

}  // namespace quillmere::lib
