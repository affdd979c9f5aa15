// The result dictionary, key by key in the order callers rely on.
#include "lib/result_dict.h"

#include <cstdint>

#include "lib/py_ref.h"
#include "lib/timestamp.h"

namespace quillmere::lib {

namespace {

consteval std::size_t key(std::string_view name) { return key_index(kResultKeyNames, name); }

// Single precision widened exactly: 0.1f reads as 0.10000000149011612.
PyObject* widen(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

}  // namespace

PyObject* build_result_dict(const ResultKeys& keys, const collector::MetricsSnapshot& s) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = set_item(d, keys[key("timestamp")], PyFloat_FromDouble(timestamp_seconds(s.timestamp))) &&
                  set_item(d, keys[key("cpu_usage_percent")], widen(s.cpu_usage_percent)) &&
                  set_item(d, keys[key("cpu_user_percent")], widen(s.cpu_user_percent)) &&
                  set_item(d, keys[key("cpu_system_percent")], widen(s.cpu_system_percent)) &&
                  set_item(d, keys[key("cpu_idle_percent")], widen(s.cpu_idle_percent)) &&
                  set_item(d, keys[key("cpu_iowait_percent")], widen(s.cpu_iowait_percent)) &&
                  set_item(d, keys[key("cpu_irq_percent")], widen(s.cpu_irq_percent)) &&
                  set_item(d, keys[key("cpu_softirq_percent")], widen(s.cpu_softirq_percent)) &&
                  set_item(d, keys[key("cpu_steal_percent")], widen(s.cpu_steal_percent)) &&
                  set_item(d, keys[key("run_queue_length")], widen(s.run_queue_length)) &&
                  set_item(d, keys[key("context_switches_per_sec")], unsigned_int(s.context_switches_per_sec)) &&
                  set_item(d, keys[key("cpu_temp_celsius")], widen(s.cpu_temp_celsius)) &&
                  // Zero-extended: a word with bit 31 set stays positive, also
                  // where long is 32 bits wide (32-bit ARM boards).
                  set_item(d, keys[key("throttle_status")], unsigned_int(s.throttle_status)) &&
                  set_item(d, keys[key("mem_total_bytes")], unsigned_int(s.mem_total_bytes)) &&
                  set_item(d, keys[key("mem_used_bytes")], unsigned_int(s.mem_used_bytes)) &&
                  set_item(d, keys[key("page_faults_minor_per_sec")], unsigned_int(s.page_faults_minor_per_sec)) &&
                  set_item(d, keys[key("page_faults_major_per_sec")], unsigned_int(s.page_faults_major_per_sec)) &&
                  set_item(d, keys[key("uptime_seconds")], PyFloat_FromDouble(s.uptime_seconds)) &&
                  set_item(d, keys[key("load_avg_1")], widen(s.load_avg_1)) &&
                  set_item(d, keys[key("load_avg_5")], widen(s.load_avg_5)) &&
                  set_item(d, keys[key("load_avg_15")], widen(s.load_avg_15)) &&
                  set_item(d, keys[key("disk_read_bytes_per_sec")], unsigned_int(s.disk_read_bytes_per_sec)) &&
                  set_item(d, keys[key("disk_write_bytes_per_sec")], unsigned_int(s.disk_write_bytes_per_sec)) &&
                  set_item(d, keys[key("net_rx_bytes_per_sec")], unsigned_int(s.net_rx_bytes_per_sec)) &&
                  set_item(d, keys[key("net_tx_bytes_per_sec")], unsigned_int(s.net_tx_bytes_per_sec)) &&
                  set_item(d, keys[key("measure_clock")], unsigned_int(s.measure_clock));
  if (!ok) return nullptr;
  return dict.release();
}

}  // namespace quillmere::lib
