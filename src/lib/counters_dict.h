// The two dictionaries of quillmere_sampler: read_counters()'s counters and
// gauges (a CounterReading) and the Sampler's interval sample (an
// IntervalSample), key by key in the documented order.
//
// A value whose source could not be read is None. Device and zone names are
// decoded as UTF-8 with errors="surrogateescape", so a name of any bytes
// survives the round trip. Call with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "collector/monitoring/monitoring_contract.h"
#include "lib/boundary.h"

namespace quillmere::lib {

// Every key of the two dicts and their nested dicts, each once.
inline constexpr std::array kDictKeyNames = {
    "timestamp", "uptime_seconds", "cpu_seconds", "user", "nice", "system", "idle", "iowait", "irq",
    "softirq", "steal", "context_switches_total", "page_faults_total", "page_faults_major_total",
    "disk_read_bytes_total", "disk_written_bytes_total", "net_received_bytes_total",
    "net_transmitted_bytes_total", "disks", "read_bytes", "written_bytes", "interfaces", "received_bytes",
    "transmitted_bytes", "run_queue_length", "load_avg_1", "load_avg_5", "load_avg_15", "mem_total_bytes",
    "mem_used_bytes", "mem_available_bytes", "swap_total_bytes", "swap_used_bytes", "temperatures", "type",
    "celsius", "cpu_temp_celsius", "throttle_status", "arm_clock_hz", "cpu_usage_percent", "cpu_user_percent",
    "cpu_system_percent", "cpu_idle_percent", "cpu_iowait_percent", "cpu_irq_percent", "cpu_softirq_percent",
    "cpu_steal_percent", "context_switches_per_sec", "page_faults_minor_per_sec", "page_faults_major_per_sec",
    "disk_read_bytes_per_sec", "disk_write_bytes_per_sec", "net_rx_bytes_per_sec", "net_tx_bytes_per_sec",
    "measure_clock", "interval_seconds", "missed", "cpus", "processes", "running", "blocked", "threads",
    "forks_total", "throttle", "under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit",
    "under_voltage_occurred", "arm_frequency_capped_occurred", "throttled_occurred",
    "soft_temperature_limit_occurred", "swap_in_pages_total", "swap_out_pages_total", "oom_kills_total",
    "cpus_usage_percent", "processes_running", "processes_blocked", "reads_completed", "writes_completed",
    "io_seconds", "received_packets", "transmitted_packets", "receive_errors", "transmit_errors", "receive_drops",
    "transmit_drops", "read_bytes_per_sec", "write_bytes_per_sec", "reads_per_sec", "writes_per_sec",
    "busy_percent", "rx_bytes_per_sec", "tx_bytes_per_sec", "rx_packets_per_sec", "tx_packets_per_sec",
    "errors_per_sec", "drops_per_sec", "cpu_frequencies_hz", "pressure", "some_seconds_total",
    "full_seconds_total", "filesystems", "device", "size_bytes", "free_bytes", "available_bytes", "files",
    "files_free", "read_only", "wireless", "link_quality", "signal_dbm", "hwmon", "label", "value", "alarm",
    "clock_synchronized", "clock_max_error_seconds", "some_percent", "full_percent"};

using DictKeys = InternedKeys<kDictKeyNames.size()>;

// New references, or nullptr with a Python error set; no partial dict escapes.
// Throws only std::bad_alloc.
PyObject* build_counters_dict(const DictKeys& keys, const collector::CounterReading& reading);
PyObject* build_sample_dict(const DictKeys& keys, const collector::IntervalSample& sample, std::uint64_t missed);

}  // namespace quillmere::lib
