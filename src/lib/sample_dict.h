// The Sampler's dictionary of quillmere_sampler: the gauges and rates of one
// IntervalSample, key by key in the documented order.
//
// A value whose sources could not be read in either reading is None. Device
// and zone names are decoded as UTF-8 with errors="surrogateescape". Call
// with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>

#include "collector/monitoring/monitoring_contract.h"
#include "lib/dict_parts.h"

namespace quillmere::lib {

// A new reference, or nullptr with a Python error set; no partial dict
// escapes. missed: the samples dropped unread before this one. Throws only
// std::bad_alloc.
PyObject* build_sample_dict(const DictKeys& keys, const collector::IntervalSample& sample, std::uint64_t missed);

}  // namespace quillmere::lib
