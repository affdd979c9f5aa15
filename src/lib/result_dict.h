// build_result_dict: a MetricsSnapshot as the 26-entry dict that
// get_metrics_once returns.
//
// Keys are inserted in the snapshot's field order; 15 values are floats
// (single-precision fields widened exactly) and 11 are ints (unsigned,
// never negative). The key strings are made once per module (interned, their
// hashes cached), so a call creates and hashes no key. Call with the
// interpreter lock held.
#pragma once

#include <Python.h>

#include <array>

#include "collector/exact/snapshot.h"
#include "lib/boundary.h"

namespace quillmere::lib {

// The 26 keys in the order of the dict.
inline constexpr std::array kResultKeyNames = {
    "timestamp", "cpu_usage_percent", "cpu_user_percent", "cpu_system_percent", "cpu_idle_percent",
    "cpu_iowait_percent", "cpu_irq_percent", "cpu_softirq_percent", "cpu_steal_percent", "run_queue_length",
    "context_switches_per_sec", "cpu_temp_celsius", "throttle_status", "mem_total_bytes", "mem_used_bytes",
    "page_faults_minor_per_sec", "page_faults_major_per_sec", "uptime_seconds", "load_avg_1", "load_avg_5",
    "load_avg_15", "disk_read_bytes_per_sec", "disk_write_bytes_per_sec", "net_rx_bytes_per_sec",
    "net_tx_bytes_per_sec", "measure_clock"};
static_assert(kResultKeyNames.size() == 26);

using ResultKeys = InternedKeys<kResultKeyNames.size()>;

// A new reference to the dict, or nullptr with a Python error set when the
// interpreter could not allocate; no partial dict escapes.
PyObject* build_result_dict(const ResultKeys& keys, const collector::MetricsSnapshot& snapshot);

}  // namespace quillmere::lib
