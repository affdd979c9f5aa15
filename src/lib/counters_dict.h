// The two dictionaries of quillmere_sampler: read_counters()'s counters and
// gauges (a CounterReading) and the Sampler's interval sample (an
// IntervalSample), key by key in the documented order.
//
// A value whose source could not be read is None. Device and zone names are
// decoded as UTF-8 with errors="surrogateescape", so a name of any bytes
// survives the round trip. Call with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>

#include "collector/counter_reading.h"

namespace quillmere::lib {

// New references, or nullptr with a Python error set; no partial dict escapes.
PyObject* build_counters_dict(const collector::CounterReading& reading);
PyObject* build_sample_dict(const collector::IntervalSample& sample, std::uint64_t missed);

}  // namespace quillmere::lib
